"""What makes an archive read two ways: the known shapes, told from its bytes.

Each test looks at the archive as quastor reads it (the end record nearest
the end, its offset and count) and says whether one shape is there; an
archive read two ways that none of them describes is reported as
"unclassified", with its bytes kept, for a closer look.
"""

from __future__ import annotations

import struct
import zlib

from differential_mutations import CENTRAL, DESCRIPTOR, END, LOCAL, ZIP64_END, ZIP64_LOCATOR, end_record_at, u16, u32


def central_headers(data: bytes) -> tuple[list[int], int]:
    """The counted central headers and where the count ends."""
    at = end_record_at(data)
    count, cursor = u16(data, at + 10), u32(data, at + 16)
    headers = []
    for _ in range(count):
        if data[cursor:cursor + 4] != CENTRAL or cursor + 46 > len(data):
            break
        headers.append(cursor)
        cursor += 46 + sum(struct.unpack_from("<HHH", data, cursor + 28))
    return headers, cursor


def extra_fields(extra: bytes) -> list[tuple[int, bytes]]:
    fields = []
    while len(extra) >= 4:
        kind, length = struct.unpack_from("<HH", extra)
        fields.append((kind, extra[4:4 + length]))
        extra = extra[4 + length:]
    return fields


def entry_count(data: bytes) -> bool:
    """A central header right after the last counted one (or, for count 0,
    at the directory's offset)."""
    headers, cursor = central_headers(data)
    return data[cursor:cursor + 4] == CENTRAL


def renamed_segments(name: bytes, field: bytes) -> bool:
    ours, theirs = name.replace(b"\\", b"/").split(b"/"), field.replace(b"\\", b"/").split(b"/")
    return len(ours) != len(theirs) or any(b != a for a, b in zip(ours, theirs) if b.isascii()) or \
        any(part in (b"..", b".") for part in theirs) or field.startswith((b"/", b"\\"))


def unicode_path(data: bytes) -> bool:
    """A Unicode Path field, central or local, any version, with the CRC-32
    of its header's name, naming another path than a re-encoding would, or
    the path of another entry."""
    headers = central_headers(data)[0]
    names = {data[h + 46:h + 46 + u16(data, h + 28)].replace(b"\\", b"/").strip(b"/") for h in headers}
    for header in headers:
        name_length, extra_length = u16(data, header + 28), u16(data, header + 30)
        name = data[header + 46:header + 46 + name_length]
        extras = [data[header + 46 + name_length:header + 46 + name_length + extra_length]]
        local = u32(data, header + 42)
        if data[local:local + 4] == LOCAL and local + 30 <= len(data):
            local_name = data[local + 30:local + 30 + u16(data, local + 26)]
            if local_name == name:
                extras.append(data[local + 30 + len(local_name):local + 30 + len(local_name) + u16(data, local + 28)])
        for extra in extras:
            for kind, body in extra_fields(extra):
                if kind == 0x7075 and len(body) >= 5 and u32(body, 1) == zlib.crc32(name) and body[5:] != name and \
                        (renamed_segments(name, body[5:]) or body[5:].replace(b"\\", b"/").strip(b"/") in names):
                    return True
    return False


def zip64_elsewhere(data: bytes) -> bool:
    """A ZIP64 locator right before the end record naming a ZIP64 end record
    whose values are not the end record's."""
    at = end_record_at(data)
    if at < 20 or data[at - 20:at - 16] != ZIP64_LOCATOR:
        return False
    record = struct.unpack_from("<Q", data, at - 12)[0]
    if record + 56 > len(data) or data[record:record + 4] != ZIP64_END:
        return False
    count, size, offset = struct.unpack_from("<QQQ", data, record + 32)
    ours = (u16(data, at + 10), u32(data, at + 12), u32(data, at + 16))
    return (count, size, offset) != ours


def listed_spans(data: bytes) -> list[tuple[int, int]]:
    """Local record extents of the listed entries: header, name, extra field,
    data and a data descriptor when bit 3 says one follows."""
    spans = []
    for header in central_headers(data)[0]:
        local = u32(data, header + 42)
        if data[local:local + 4] != LOCAL or local + 30 > len(data):
            continue
        end = local + 30 + u16(data, local + 26) + u16(data, local + 28) + u32(data, header + 20)
        if data[end:end + 4] == DESCRIPTOR:
            end += 16
        elif u16(data, local + 6) & 8 and data[end:end + 4] == data[header + 16:header + 20]:
            end += 12  # a descriptor without its signature
        spans.append((local, end))
    return sorted(spans)


def unlisted_local(data: bytes) -> bool:
    """A parseable local header in a gap between the listed records, before
    the first or before the directory."""
    spans = listed_spans(data)
    directory = u32(data, end_record_at(data) + 16)
    gaps, cursor = [], 0
    for start, end in spans:
        gaps.append((cursor, start))
        cursor = max(cursor, end)
    gaps.append((cursor, directory))
    for start, stop in gaps:  # a header starting in the gap, wherever it ends
        spot = data.find(LOCAL, start, stop + 3)
        while spot >= 0:
            if spot + 30 <= len(data) and spot + 30 + u16(data, spot + 26) + u16(data, spot + 28) <= len(data):
                return True
            spot = data.find(LOCAL, spot + 1, stop + 3)
    return False


def local_record_past_directory(data: bytes) -> bool:
    """A parseable local header after the counted central headers, before
    the end record: where the count is 0, at the directory's very offset."""
    at = end_record_at(data)
    cursor = central_headers(data)[1]
    spot = data.find(LOCAL, cursor, at)
    while spot >= 0:
        if spot + 30 + u16(data, spot + 26) + u16(data, spot + 28) <= len(data):
            return True
        spot = data.find(LOCAL, spot + 1, at)
    return False


def local_fields_differ(data: bytes) -> bool:
    """A local method unlike the central one, or, with bit 3 clear, local
    CRC-32 or sizes unlike the central ones (after a local ZIP64 field)."""
    for header in central_headers(data)[0]:
        local = u32(data, header + 42)
        if data[local:local + 4] != LOCAL or local + 30 > len(data):
            continue
        name_length = u16(data, header + 28)
        is_dir = data[header + 46 + name_length - 1:header + 46 + name_length] == b"/"
        if u16(data, local + 8) != u16(data, header + 10) and not (is_dir and u32(data, header + 20) == 0):
            return True
        if u16(data, local + 6) & 8:
            continue
        crc, csize, usize = struct.unpack_from("<III", data, local + 14)
        extra_at = local + 30 + u16(data, local + 26)
        for kind, body in extra_fields(data[extra_at:extra_at + u16(data, local + 28)]):
            if kind == 0x0001 and len(body) >= 8:
                values = list(struct.unpack_from(f"<{len(body) // 8}Q", body))
                if usize == 0xFFFFFFFF and values:
                    usize = values.pop(0)
                if csize == 0xFFFFFFFF and values:
                    csize = values.pop(0)
        if (crc, csize, usize) != struct.unpack_from("<III", data, header + 16):
            return True
    return False


def end_record_past_end(data: bytes) -> bool:
    """The last end record's comment runs past the end of the file and
    another end record's signature stands earlier in the search window."""
    at = end_record_at(data)
    return at + 22 + u16(data, at + 20) > len(data) and data.rfind(END, max(0, len(data) - 65557), at) >= 0


def directory_by_attributes(data: bytes) -> bool:
    """A name without a trailing "/" whose external attributes say
    directory (from a Unix host, a directory's mode; from a host whose
    attributes 7-Zip or bsdtar take as MS-DOS ones, the MS-DOS directory
    bit): some readers make it a directory, whatever its data."""
    for header in central_headers(data)[0]:
        name = data[header + 46:header + 46 + u16(data, header + 28)]
        attributes, host = u32(data, header + 38), data[header + 5]
        if not name.endswith(b"/") and \
                ((attributes >> 16) & 0o170000 == 0o040000 if host == 3 else
                 host in (0, 6, 11, 14) and attributes & 0x10):
            return True
    return False


def backslash_directory(data: bytes) -> bool:
    """A name ending in a backslash: a file here, a directory to a reader
    that takes the backslash for the slash that ends a directory's name
    (Info-ZIP where the host is not Unix)."""
    return any(data[h + 46 + u16(data, h + 28) - 1:h + 46 + u16(data, h + 28)] == b"\\" and u16(data, h + 28)
               for h in central_headers(data)[0])


def special_file(data: bytes) -> bool:
    """A Unix mode, from a Unix host, of another type than a file, a
    directory, a link or a FIFO (a socket, a device), on a name without a
    trailing "/": one reader writes zeros or makes a device node where the
    others write the entry's data."""
    for header in central_headers(data)[0]:
        name_end = header + 46 + u16(data, header + 28)
        if data[header + 5] == 3 and data[name_end - 1:name_end] != b"/" and \
                (u32(data, header + 38) >> 16) & 0o170000 not in (0, 0o010000, 0o040000, 0o100000, 0o120000):
            return True
    return False


def empty_count_over_directory(data: bytes) -> bool:
    """An end record counting no entries whose size field, counted back,
    finds a central header where its offset field names other bytes."""
    at = end_record_at(data)
    found = at - u32(data, at + 12)
    return u16(data, at + 10) == 0 and found != u32(data, at + 16) and data[found:found + 4] == CENTRAL


def invalid_unicode_path(data: bytes) -> bool:
    """A Unicode Path field with the CRC-32 of its header's name whose name
    is not UTF-8: a reader that drops the bytes it cannot decode may be
    left with an ASCII name."""
    for header in central_headers(data)[0]:
        name_length, extra_length = u16(data, header + 28), u16(data, header + 30)
        name = data[header + 46:header + 46 + name_length]
        for kind, body in extra_fields(data[header + 46 + name_length:header + 46 + name_length + extra_length]):
            if kind == 0x7075 and len(body) >= 5 and u32(body, 1) == zlib.crc32(name):
                try:
                    body[5:].decode("utf-8")
                except UnicodeDecodeError:
                    return True
    return False


def size_past_stream(data: bytes) -> bool:
    """A DEFLATE entry whose stream ends before its declared size: the rest
    is read as zeros by one reader, refused or cut by the others."""
    for header in central_headers(data)[0]:
        local = u32(data, header + 42)
        if u16(data, header + 10) != 8 or data[local:local + 4] != LOCAL:
            continue
        start = local + 30 + u16(data, local + 26) + u16(data, local + 28)
        inflater = zlib.decompressobj(-15)
        try:
            out = inflater.decompress(data[start:start + u32(data, header + 20)], u32(data, header + 24) + 1)
        except zlib.error:
            continue
        if inflater.eof and len(out) < u32(data, header + 24):
            return True
    return False


def directory_not_by_size(data: bytes) -> bool:
    """The directory does not end where the end record begins: its size
    field, counted back from the end record, names another place than its
    offset field (bytes between the two, a wrong size, a copy of the end
    record in the comment)."""
    at = end_record_at(data)
    return at - u32(data, at + 12) != u32(data, at + 16)


# Each shape with the readers it throws off, in the order a reader's second
# reading is put down to them: the first shape present whose readers include
# it. ("zipfile" stands for every version.)
CLASSES = [
    ("end record past the end", end_record_past_end, ("go",)),
    ("ZIP64 locator elsewhere", zip64_elsewhere, ("zipfile", "go", "unzip", "bsdtar", "7zz")),
    ("entry count", entry_count, ("zipfile", "unzip", "bsdtar", "7zz", "stream-unzip")),
    ("no entries counted over a directory by its size", empty_count_over_directory, ("zipfile", "bsdtar")),
    ("unlisted local record", unlisted_local, ("7zz", "stream-unzip", "bsdtar")),
    ("local method or sizes", local_fields_differ, ("unzip", "bsdtar", "7zz", "stream-unzip")),
    ("Unicode Path field", unicode_path, ("zipfile-3.12", "zipfile-3.13", "unzip", "bsdtar", "7zz")),
    ("Unicode Path field not UTF-8", invalid_unicode_path, ("unzip",)),
    ("size past the stream", size_past_stream, ("zipfile", "unzip", "stream-unzip", "go", "bsdtar", "7zz")),
    ("directory by its attributes", directory_by_attributes, ("bsdtar", "7zz")),
    ("special file type", special_file, ("bsdtar",)),
    ("name ending in a backslash", backslash_directory, ("bsdtar", "unzip")),
    ("directory not by its size", directory_not_by_size, ("bsdtar",)),
    ("local record past the directory", local_record_past_directory, ("stream-unzip", "7zz")),
]


def classes_of(data: bytes) -> list[str]:
    """Every shape the archive has."""
    found = []
    for name, test, _ in CLASSES:
        try:
            if test(data):
                found.append(name)
        except (struct.error, IndexError, ValueError):
            pass
    return found


def class_for(reader: str, found: list[str]) -> str:
    """The shape a reader's second reading is put down to."""
    for name, _, readers in CLASSES:
        if name in found and any(reader == r or reader.startswith(r + "-") for r in readers):
            return name
    return "unclassified"
