"""Byte-level ZIP builder for tests.

Every field of every record can be overridden, so a test can make exactly the
archive it needs: one good archive plus one wrong field.

    from zipbuild import Entry, build_zip, file_entry, directory, symlink

    data = build_zip([directory("d/"), file_entry("d/a.txt", b"hi", method=8)])
    built = build([...])            # bytes plus record offsets, for corrupters
    bad = patch_u32(built.data, built.local_offsets[0], 0)   # local signature

Fields not overridden are filled the way a careful writer would: sizes and
CRC-32 from the data, the local header repeating the central header, flags
0x0800, Unix file-type bits in the upper half of external_attr.
"""

from __future__ import annotations

import struct
import zlib
from dataclasses import dataclass, field

LOCAL_SIGNATURE = 0x04034B50
CENTRAL_SIGNATURE = 0x02014B50
END_SIGNATURE = 0x06054B50
LOCAL_LENGTH = 30
CENTRAL_LENGTH = 46
END_LENGTH = 22

# Field offsets inside each record, for one-field corrupters.
LOCAL = {
    "signature": 0, "version_needed": 4, "flags": 6, "method": 8, "time": 10,
    "date": 12, "crc32": 14, "compress_size": 18, "file_size": 22,
    "name_length": 26, "extra_length": 28,
}
CENTRAL = {
    "signature": 0, "version_made_by": 4, "version_needed": 6, "flags": 8,
    "method": 10, "time": 12, "date": 14, "crc32": 16, "compress_size": 20,
    "file_size": 24, "name_length": 28, "extra_length": 30,
    "comment_length": 32, "disk_start": 34, "internal_attr": 36,
    "external_attr": 38, "local_header_offset": 42,
}
END = {
    "signature": 0, "disk": 4, "cd_disk": 6, "disk_count": 8, "count": 10,
    "cd_size": 12, "cd_offset": 16, "comment_length": 20,
}

S_IFREG = 0o100000
S_IFDIR = 0o040000
S_IFLNK = 0o120000


def deflate(data: bytes, level: int = 6) -> bytes:
    """Raw DEFLATE (no zlib or gzip wrapper)."""
    compressor = zlib.compressobj(level, zlib.DEFLATED, -15)
    return compressor.compress(data) + compressor.flush()


def crc32(data: bytes) -> int:
    return zlib.crc32(data) & 0xFFFFFFFF


def _as_bytes(value: str | bytes) -> bytes:
    return value.encode("utf-8") if isinstance(value, str) else value


@dataclass
class Entry:
    """One archive entry. `None` means "derive from the data".

    `data` is the uncompressed content; `payload` replaces the bytes actually
    stored after the local header (e.g. a corrupt DEFLATE stream).
    Fields named local_* override the local header only; the others set the
    central header, and the local header copies them unless overridden.
    """

    name: str | bytes
    data: bytes = b""
    method: int = 0
    external_attr: int | None = None
    flags: int = 0x0800
    crc32: int | None = None
    compress_size: int | None = None
    file_size: int | None = None
    payload: bytes | None = None
    # central directory header only
    central_signature: int = CENTRAL_SIGNATURE
    version_made_by: int = 0x0314
    version_needed: int = 20
    time: int = 0
    date: int = 0x21
    extra: bytes = b""
    comment: bytes = b""
    disk_start: int = 0
    internal_attr: int = 0
    local_header_offset: int | None = None
    central_name: bytes | None = None
    name_length: int | None = None
    extra_length: int | None = None
    comment_length: int | None = None
    # local file header only
    local_signature: int = LOCAL_SIGNATURE
    local_method: int | None = None
    local_flags: int | None = None
    local_crc32: int | None = None
    local_compress_size: int | None = None
    local_file_size: int | None = None
    local_name: bytes | None = None
    local_extra: bytes = b""
    local_name_length: int | None = None
    local_extra_length: int | None = None
    # bytes placed before this entry's local header (gaps, junk)
    gap: bytes = b""

    @property
    def name_bytes(self) -> bytes:
        return _as_bytes(self.name)

    def stored(self) -> bytes:
        if self.payload is not None:
            return self.payload
        return deflate(self.data) if self.method == 8 else self.data

    def attr(self) -> int:
        if self.external_attr is not None:
            return self.external_attr
        if self.name_bytes.endswith(b"/"):
            return (S_IFDIR | 0o755) << 16 | 0x10
        return (S_IFREG | 0o644) << 16


def file_entry(name: str | bytes, data: bytes = b"", *, mode: int = 0o644, method: int = 0, **fields) -> Entry:
    fields.setdefault("external_attr", (S_IFREG | mode) << 16)
    return Entry(name, data, method=method, **fields)


def directory(name: str | bytes, *, mode: int = 0o755, **fields) -> Entry:
    name_bytes = _as_bytes(name)
    if not name_bytes.endswith(b"/"):
        name_bytes += b"/"
    fields.setdefault("external_attr", (S_IFDIR | mode) << 16 | 0x10)
    return Entry(name_bytes, b"", **fields)


def symlink(name: str | bytes, target: str | bytes, *, mode: int = 0o777, **fields) -> Entry:
    fields.setdefault("external_attr", (S_IFLNK | mode) << 16)
    return Entry(name, _as_bytes(target), **fields)


@dataclass
class Built:
    data: bytes
    local_offsets: list[int] = field(default_factory=list)
    central_offsets: list[int] = field(default_factory=list)
    end_offset: int = 0

    def __bytes__(self) -> bytes:
        return self.data


def _u16(v: int) -> bytes:
    return struct.pack("<H", v & 0xFFFF)


def _u32(v: int) -> bytes:
    return struct.pack("<I", v & 0xFFFFFFFF)


def build(
    entries: list[Entry],
    *,
    comment: bytes = b"",
    count: int | None = None,
    disk_count: int | None = None,
    cd_offset: int | None = None,
    cd_size: int | None = None,
    comment_length: int | None = None,
    end_signature: int = END_SIGNATURE,
    prefix: bytes = b"",
    before_end: bytes = b"",
    suffix: bytes = b"",
) -> Built:
    """Lays out local headers and data, the central directory, then the end
    record (with its comment, then `suffix`). `prefix` goes before everything;
    `before_end` between the central directory and the end record.
    """
    out = bytearray(prefix)
    built = Built(b"")
    for entry in entries:
        out += entry.gap
        built.local_offsets.append(len(out))
        name = entry.name_bytes
        stored = entry.stored()
        crc = crc32(entry.data) if entry.crc32 is None else entry.crc32
        csize = len(stored) if entry.compress_size is None else entry.compress_size
        usize = len(entry.data) if entry.file_size is None else entry.file_size
        local_name = name if entry.local_name is None else entry.local_name
        out += _u32(entry.local_signature)
        out += _u16(entry.version_needed)
        out += _u16(entry.flags if entry.local_flags is None else entry.local_flags)
        out += _u16(entry.method if entry.local_method is None else entry.local_method)
        out += _u16(entry.time) + _u16(entry.date)
        out += _u32(crc if entry.local_crc32 is None else entry.local_crc32)
        out += _u32(csize if entry.local_compress_size is None else entry.local_compress_size)
        out += _u32(usize if entry.local_file_size is None else entry.local_file_size)
        out += _u16(len(local_name) if entry.local_name_length is None else entry.local_name_length)
        out += _u16(len(entry.local_extra) if entry.local_extra_length is None else entry.local_extra_length)
        out += local_name + entry.local_extra + stored

    start = len(out) if cd_offset is None else cd_offset
    cd_begin = len(out)
    for entry, local_offset in zip(entries, built.local_offsets):
        built.central_offsets.append(len(out))
        name = entry.name_bytes if entry.central_name is None else entry.central_name
        stored = entry.stored()
        out += _u32(entry.central_signature)
        out += _u16(entry.version_made_by) + _u16(entry.version_needed)
        out += _u16(entry.flags) + _u16(entry.method)
        out += _u16(entry.time) + _u16(entry.date)
        out += _u32(crc32(entry.data) if entry.crc32 is None else entry.crc32)
        out += _u32(len(stored) if entry.compress_size is None else entry.compress_size)
        out += _u32(len(entry.data) if entry.file_size is None else entry.file_size)
        out += _u16(len(name) if entry.name_length is None else entry.name_length)
        out += _u16(len(entry.extra) if entry.extra_length is None else entry.extra_length)
        out += _u16(len(entry.comment) if entry.comment_length is None else entry.comment_length)
        out += _u16(entry.disk_start) + _u16(entry.internal_attr)
        out += _u32(entry.attr())
        out += _u32(local_offset if entry.local_header_offset is None else entry.local_header_offset)
        out += name + entry.extra + entry.comment
    size = len(out) - cd_begin if cd_size is None else cd_size

    out += before_end
    built.end_offset = len(out)
    n = len(entries) if count is None else count
    out += _u32(end_signature) + _u16(0) + _u16(0)
    out += _u16(n if disk_count is None else disk_count) + _u16(n)
    out += _u32(size) + _u32(start)
    out += _u16(len(comment) if comment_length is None else comment_length)
    out += comment + suffix
    built.data = bytes(out)
    return built


def build_zip(entries: list[Entry], **overrides) -> bytes:
    """The archive's bytes; see `build` for the overrides."""
    return build(entries, **overrides).data


def end_record(*, count: int = 0, cd_offset: int = 0, cd_size: int = 0, comment: bytes = b"") -> bytes:
    """A bare end of central directory record."""
    return (_u32(END_SIGNATURE) + _u16(0) + _u16(0) + _u16(count) + _u16(count)
            + _u32(cd_size) + _u32(cd_offset) + _u16(len(comment)) + comment)


def unicode_path_extra(header_name: bytes, field_name: str | bytes, *, version: int = 1,
                       name_crc: int | None = None) -> bytes:
    """A Unicode Path extra field (0x7075) giving `field_name` for an entry
    whose header name is `header_name`; well-formed unless told otherwise."""
    body = bytes([version]) + _u32(crc32(header_name) if name_crc is None else name_crc) + _as_bytes(field_name)
    return _u16(0x7075) + _u16(len(body)) + body


def zip64_tail(cd_offset: int, cd_size: int, count: int, *, at: int, disk_count: int | None = None) -> bytes:
    """A ZIP64 end record and its locator, to stand at `at`, between the
    central directory and the end record."""
    record = _u32(0x06064B50) + struct.pack("<Q", 44) + _u16(45) + _u16(45) + _u32(0) + _u32(0)
    record += struct.pack("<QQQQ", count if disk_count is None else disk_count, count, cd_size, cd_offset)
    return record + _u32(0x07064B50) + _u32(0) + struct.pack("<Q", at) + _u32(1)


def local_record(name: str | bytes, data: bytes = b"") -> bytes:
    """A stored local header with its name and data, to hide somewhere."""
    name = _as_bytes(name)
    return (_u32(LOCAL_SIGNATURE) + _u16(20) + _u16(0x0800) + _u16(0) + _u16(0) + _u16(0x21)
            + _u32(crc32(data)) + _u32(len(data)) * 2 + _u16(len(name)) + _u16(0) + name + data)


# One-field corrupters: each returns new bytes.

def patch(data: bytes, offset: int, new: bytes) -> bytes:
    """Overwrites len(new) bytes at offset."""
    if offset < 0 or offset + len(new) > len(data):
        raise ValueError("patch outside the data")
    return data[:offset] + new + data[offset + len(new):]


def patch_u16(data: bytes, offset: int, value: int) -> bytes:
    return patch(data, offset, _u16(value))


def patch_u32(data: bytes, offset: int, value: int) -> bytes:
    return patch(data, offset, _u32(value))


def flip(data: bytes, offset: int, mask: int = 0xFF) -> bytes:
    """XORs one byte."""
    return patch(data, offset, bytes([data[offset] ^ mask]))


def set_local(built: Built, index: int, name: str, value: int) -> bytes:
    """Sets one local-header field of entry `index` by name (see LOCAL)."""
    offset = built.local_offsets[index] + LOCAL[name]
    width = 4 if name in ("signature", "crc32", "compress_size", "file_size") else 2
    return (patch_u32 if width == 4 else patch_u16)(built.data, offset, value)


def set_central(built: Built, index: int, name: str, value: int) -> bytes:
    """Sets one central-header field of entry `index` by name (see CENTRAL)."""
    offset = built.central_offsets[index] + CENTRAL[name]
    wide = ("signature", "crc32", "compress_size", "file_size", "external_attr", "local_header_offset")
    return (patch_u32 if name in wide else patch_u16)(built.data, offset, value)


def set_end(built: Built, name: str, value: int) -> bytes:
    """Sets one end-record field by name (see END)."""
    offset = built.end_offset + END[name]
    wide = ("signature", "cd_size", "cd_offset")
    return (patch_u32 if name in wide else patch_u16)(built.data, offset, value)
