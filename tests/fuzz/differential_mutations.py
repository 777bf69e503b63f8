"""Mutations of ZIP archives for the differential run.

Two kinds: changes to the archive taken apart into its records and laid out
again (every offset, count and size then still agrees, so the change is the
only lie: a method, a size, a flag, an extra field, a name, a hidden record,
a second directory), and changes to the bytes as they stand (end record
fields, offsets, lengths, flipped, cut and inserted bytes).
"""

from __future__ import annotations

import copy
import random
import struct
import zlib
from dataclasses import dataclass, field

LOCAL, CENTRAL, END = b"PK\x03\x04", b"PK\x01\x02", b"PK\x05\x06"
ZIP64_END, ZIP64_LOCATOR, DESCRIPTOR = b"PK\x06\x06", b"PK\x06\x07", b"PK\x07\x08"


def u16(data: bytes | bytearray, at: int) -> int:
    return struct.unpack_from("<H", data, at)[0]


def u32(data: bytes | bytearray, at: int) -> int:
    return struct.unpack_from("<I", data, at)[0]


def end_record_at(data: bytes) -> int:
    """The end record nearest the end of the file, as quastor finds it; -1 if none."""
    return data.rfind(END, max(0, len(data) - 65557), max(0, len(data) - 18))


@dataclass
class Record:
    """One entry: its local record (header, name, extra field, then its data
    and whatever follows up to the next record) and its central header."""

    local: bytearray
    local_name: bytes
    local_extra: bytes
    body: bytes
    central: bytearray
    name: bytes
    extra: bytes
    comment: bytes

    def data_length(self) -> int:
        return u32(self.central, 20)


@dataclass
class Model:
    prefix: bytes
    records: list[Record]              # in the order of their local records
    order: list[int]                   # the directory's order, as indices into records
    trailer: bytes                     # between the directory and the end record
    end: bytearray
    comment: bytes
    after: bytes                       # past the comment (a writer's padding)
    unlisted: list[bytes] = field(default_factory=list)   # central headers past the count


def parse(data: bytes) -> Model | None:
    """Takes a plain archive apart; None where its records overlap, are out
    of order or do not parse (those seeds get byte changes only)."""
    at = end_record_at(data)
    if at < 0:
        return None
    count, size, offset = u16(data, at + 10), u32(data, at + 12), u32(data, at + 16)
    trailer = data[offset + size:at]
    if offset + size > at or (trailer and not trailer.startswith(ZIP64_END)):
        return None
    headers, cursor = [], offset
    for _ in range(count):
        if data[cursor:cursor + 4] != CENTRAL or cursor + 46 > len(data):
            return None
        name_length, extra_length, comment_length = struct.unpack_from("<HHH", data, cursor + 28)
        headers.append(cursor)
        cursor += 46 + name_length + extra_length + comment_length
    if cursor != offset + size:
        return None
    starts = [u32(data, h + 42) for h in headers]
    if len(set(starts)) != len(starts) or any(s + 30 > offset or data[s:s + 4] != LOCAL for s in starts):
        return None
    ordered = sorted(range(count), key=lambda i: starts[i])
    records: list[Record | None] = [None] * count
    for rank, index in enumerate(ordered):
        s, h = starts[index], headers[index]
        stop = starts[ordered[rank + 1]] if rank + 1 < count else offset
        name_length, extra_length = u16(data, s + 26), u16(data, s + 28)
        body_start = s + 30 + name_length + extra_length
        c_name, c_extra, c_comment = struct.unpack_from("<HHH", data, h + 28)
        if body_start + u32(data, h + 20) > stop:
            return None
        records[rank] = Record(
            bytearray(data[s:s + 30]), data[s + 30:s + 30 + name_length], data[s + 30 + name_length:body_start],
            data[body_start:stop], bytearray(data[h:h + 46]), data[h + 46:h + 46 + c_name],
            data[h + 46 + c_name:h + 46 + c_name + c_extra],
            data[h + 46 + c_name + c_extra:h + 46 + c_name + c_extra + c_comment])
    rank_of = {index: rank for rank, index in enumerate(ordered)}
    return Model(data[:starts[ordered[0]]] if count else data[:offset], records,  # type: ignore[arg-type]
                 [rank_of[i] for i in range(count)], trailer, bytearray(data[at:at + 22]),
                 data[at + 22:at + 22 + u16(data, at + 20)], data[at + 22 + u16(data, at + 20):])


def zip64_tail(count: int, size: int, offset: int, at: int) -> bytes:
    """A ZIP64 end record standing at `at` and its locator."""
    record = ZIP64_END + struct.pack("<QHHII", 44, 45, 45, 0, 0) + struct.pack("<QQQQ", count, count, size, offset)
    return record + ZIP64_LOCATOR + struct.pack("<IQI", 0, at, 1)


def central_bytes(record: Record) -> bytes:
    header = bytearray(record.central)
    struct.pack_into("<HHH", header, 28, len(record.name), len(record.extra), len(record.comment))
    return bytes(header) + record.name + record.extra + record.comment


def serialize(model: Model) -> tuple[bytes, int]:
    """The archive's bytes, every offset and count laid out anew, and where
    its end record stands."""
    out = bytearray(model.prefix)
    for record in model.records:
        struct.pack_into("<I", record.central, 42, len(out))
        header = bytearray(record.local)
        struct.pack_into("<HH", header, 26, len(record.local_name), len(record.local_extra))
        out += header + record.local_name + record.local_extra + record.body
    offset = len(out)
    for index in model.order:
        out += central_bytes(model.records[index])
    size = len(out) - offset
    for extra in model.unlisted:
        out += extra
    if model.trailer.startswith(ZIP64_END) and len(model.trailer) >= 76:  # the writer's own, values laid anew
        tail = bytearray(model.trailer)
        struct.pack_into("<QQQQ", tail, 24, len(model.order), len(model.order), size, offset)
        struct.pack_into("<Q", tail, len(tail) - 12, len(out))
        out += tail
    elif model.trailer.startswith(ZIP64_END):
        out += zip64_tail(len(model.order), size, offset, len(out))
    else:
        out += model.trailer
    end = bytearray(model.end)
    struct.pack_into("<HHIIH", end, 8, len(model.order), len(model.order), size, offset, len(model.comment))
    at = len(out)
    return bytes(out + end + model.comment + model.after), at


def extra_field(kind: int, body: bytes) -> bytes:
    return struct.pack("<HH", kind, len(body)) + body


def local_record(name: bytes, data: bytes, method: int = 0, flags: int = 0x0800) -> bytes:
    stored = data
    if method == 8:
        compressor = zlib.compressobj(6, zlib.DEFLATED, -15)
        stored = compressor.compress(data) + compressor.flush()
    return (LOCAL + struct.pack("<HHHHHIIIHH", 20, flags, method, 0, 0x21, zlib.crc32(data), len(stored),
                                len(data), len(name), 0) + name + stored)


def central_for(local: bytes, offset: int) -> bytes:
    """A central header repeating a local record's header, for the entry at `offset`."""
    flags, method, time, date, crc, csize, usize, name_length = struct.unpack_from("<HHHHIIIH", local, 6)
    name = local[30:30 + name_length]
    return (CENTRAL + struct.pack("<HHHHHHIIIHHHHHII", 0x0314, 20, flags, method, time, date, crc, csize, usize,
                                  len(name), 0, 0, 0, 0, 0o100644 << 16, offset) + name)


# Names an attacker would pick for a second reading of one entry.
def other_names(record: Record, model: Model, rng: random.Random) -> bytes:
    names = [r.name for r in model.records]
    name = record.name
    return rng.choice([
        rng.choice(names), b"run.sh", b"evil.sh", name + b"x", b"x/" + name, name.upper(),
        name.replace(b"/", b"\\"), b"./" + name, name + b"/", b"\xe9" + name, name[:-1] or b"a",
        b"../" + name, b"d/../" + name, name.rstrip(b"/") + b"/../x",
    ])


def unicode_path(header_name: bytes, field_name: bytes, rng: random.Random) -> bytes:
    crc = zlib.crc32(header_name) if rng.random() < 0.9 else rng.randrange(1 << 32)
    return extra_field(0x7075, bytes([1 if rng.random() < 0.8 else rng.choice([0, 2])]) +
                       struct.pack("<I", crc) + field_name)


def structured(model: Model, rng: random.Random) -> None:
    """One change to the records; the layout is redone after."""
    if not model.records:
        choice = rng.choice(["insert", "zip64", "second directory"])
    else:
        choice = rng.choice(["local method", "central method", "local sizes", "central sizes", "flags",
                             "unicode path", "unicode path", "zip64 extra", "name", "local name", "insert",
                             "insert", "unlisted header", "zip64", "second directory", "duplicate", "attributes"])
    records = model.records
    record = rng.choice(records) if records else None
    if choice == "local method" and record:
        struct.pack_into("<H", record.local, 8, rng.choice([0, 8, 8, 0, 12, 99]))
    elif choice == "central method" and record:
        struct.pack_into("<H", record.central, 10, rng.choice([0, 8, 8, 0, 12, 99]))
    elif choice == "local sizes" and record:
        other = rng.choice(records)
        field_at = rng.choice([14, 18, 22])
        value = rng.choice([0, 4, u32(record.local, field_at) + rng.choice([-1, 1, 30]),
                            u32(other.central, field_at + 2), 0xFFFFFFFF]) & 0xFFFFFFFF
        struct.pack_into("<I", record.local, field_at, value)
        if rng.random() < 0.3:
            struct.pack_into("<I", record.local, 18 if field_at == 22 else 22, value)
    elif choice == "central sizes" and record:
        field_at = rng.choice([16, 20, 24])
        value = rng.choice([0, 4, u32(record.central, field_at) + rng.choice([-1, 1, 30]), 0xFFFFFFFF]) & 0xFFFFFFFF
        struct.pack_into("<I", record.central, field_at, value)
    elif choice == "flags" and record:
        bit = rng.choice([0x8, 0x8, 0x800, 0x1, 0x40, 0x2000])
        places = [(record.local, 6), (record.central, 8)]
        for header, at in ([rng.choice(places)] if rng.random() < 0.6 else places):
            struct.pack_into("<H", header, at, u16(header, at) ^ bit)
    elif choice == "unicode path" and record:
        target = other_names(record, model, rng)
        if rng.random() < 0.3:  # a header name no code page spells the same, the field's benign
            record.name = record.local_name = bytes(b ^ 0x80 if b > 0x60 and rng.random() < 0.5 else b
                                                    for b in record.name)
        field_bytes = unicode_path(record.name, target, rng)
        if rng.random() < 0.6:
            record.extra += field_bytes
        else:
            record.local_extra += field_bytes
    elif choice == "zip64 extra" and record:
        usize, csize, offset = u32(record.central, 24), u32(record.central, 20), 0
        values = rng.choice([struct.pack("<QQ", usize, csize), struct.pack("<QQQ", usize, csize, offset),
                             struct.pack("<QQ", usize + rng.choice([1, 4, 100]), rng.choice([4, csize, csize + 1])),
                             struct.pack("<Q", rng.choice([usize, 4]))])
        masked = rng.random() < 0.5
        if rng.random() < 0.5:
            record.extra += extra_field(0x0001, values)
            if masked:
                struct.pack_into("<II", record.central, 20, 0xFFFFFFFF, 0xFFFFFFFF)
        else:
            record.local_extra += extra_field(0x0001, values)
            if masked:
                struct.pack_into("<II", record.local, 18, 0xFFFFFFFF, 0xFFFFFFFF)
    elif choice == "name" and record:
        record.name = other_names(record, model, rng)
        if rng.random() < 0.7:
            record.local_name = record.name
    elif choice == "local name" and record:
        record.local_name = other_names(record, model, rng)
    elif choice == "insert":  # a local record the directory does not list
        donor = rng.choice(records) if records else None
        name = rng.choice([donor.name if donor else b"a", b"hidden.sh", b"evil.sh"])
        hidden = local_record(name, b"#!/bin/sh\necho hidden\n" * rng.randint(1, 3), rng.choice([0, 8]))
        place = rng.randrange(len(records) + 2)
        if place == 0 or not records:
            model.prefix += hidden
        else:
            target = records[min(place, len(records)) - 1]
            target.body += hidden
    elif choice == "unlisted header" and record:  # a central header past the end record's count
        header = central_bytes(rng.choice(records))
        if rng.random() < 0.5:  # or one for a local record hidden before the directory
            hidden = local_record(b"hidden.sh", b"echo hidden\n")
            records[-1].body += hidden
            header = central_for(hidden, 0xFFFFFFFF)  # its offset is set once laid out
            model.unlisted.append(header)
            return
        model.unlisted.append(header)
    elif choice == "zip64":
        model.trailer = ZIP64_END  # laid out with the directory's values
    elif choice == "second directory" and records:
        model.order = rng.sample(model.order, rng.randint(0, len(model.order)))
    elif choice == "attributes" and record:  # the kind and host the attributes give
        if rng.random() < 0.3:
            record.central[5] = rng.choice([0, 3, 10, 19])
        struct.pack_into("<I", record.central, 38, rng.choice([
            0o040755 << 16, (0o040755 << 16) | 0x10, (0o100644 << 16) | 0x10, 0x10, 0o120777 << 16, 0,
            0o100755 << 16, 0o140644 << 16, 0o060644 << 16, 0o020644 << 16, 0o010644 << 16]))
    elif choice == "duplicate" and record:
        model.order.insert(rng.randrange(len(model.order) + 1), rng.randrange(len(records)))


def fix_unlisted(data: bytearray, model: Model) -> None:
    """Points central headers made for hidden records at those records."""
    for header in model.unlisted:
        if u32(header, 42) != 0xFFFFFFFF:
            continue
        name = header[46:46 + u16(header, 28)]
        spot = data.find(LOCAL)
        while spot >= 0 and data[spot + 30:spot + 30 + len(name)] != name:
            spot = data.find(LOCAL, spot + 1)
        at = data.find(header)
        if spot >= 0 and at >= 0:
            struct.pack_into("<I", data, at + 42, spot)


def tail_changes(out: bytearray, at: int, rng: random.Random) -> None:
    """Changes past the directory: counts, a ZIP64 record pointing
    elsewhere, a second end record."""
    choice = rng.randrange(6)
    if choice == 0:  # counts
        count = u16(out, at + 10)
        new = rng.choice([0, count - 1, count + 1, 0xFFFF]) & 0xFFFF
        for field_at in rng.choice([(10,), (8,), (8, 10)]):
            struct.pack_into("<H", out, at + field_at, new)
    elif choice == 1:  # the comment length: short, long, past the end
        struct.pack_into("<H", out, at + 20, rng.choice([1, 22, 100, 0xFFFF, max(0, len(out) - at - 22 + 1)]))
    elif choice == 2:  # a second directory and end record after the first, the last one's comment past the end
        offset, size, count = u32(out, at + 16), u32(out, at + 12), u16(out, at + 10)
        directory = bytes(out[offset:offset + size])
        start = len(out)
        keep = rng.randint(0, count)
        cut, cursor = 0, 0
        for _ in range(keep):  # the first `keep` headers
            if directory[cursor:cursor + 4] != CENTRAL:
                break
            cursor += 46 + sum(struct.unpack_from("<HHH", directory, cursor + 28))
            cut = cursor
        second = directory[:cut]
        end = bytearray(out[at:at + 22])
        struct.pack_into("<HHIIH", end, 8, keep, keep, len(second), start,
                         rng.choice([0, 5, 200]))
        out += second + end
    elif choice == 3:  # a ZIP64 record elsewhere, its locator right before the end record
        offset, size, count = u32(out, at + 16), u32(out, at + 12), u16(out, at + 10)
        record_at = rng.choice([0, len(out)])
        other = (max(0, count - 1), size, offset) if rng.random() < 0.5 else (count, 0, offset + size)
        record = ZIP64_END + struct.pack("<QHHII", 44, 45, 45, 0, 0) + struct.pack("<QQQQ", other[0], other[0],
                                                                                 other[1], other[2])
        if record_at == 0:
            locator = ZIP64_LOCATOR + struct.pack("<IQI", 0, 0, 1)
            out[at:at] = locator
            out[0:0] = record  # shifts every offset: the point is whom readers follow
        else:
            locator = ZIP64_LOCATOR + struct.pack("<IQI", 0, at, 1)
            out[at:at] = record + locator
    elif choice == 4:  # the offset or size field
        field_at = rng.choice([12, 16])
        value = u32(out, at + field_at)
        struct.pack_into("<I", out, at + field_at, (value + rng.choice([-1, 1, -46, 46, 30, -value])) & 0xFFFFFFFF)
    else:  # an end record hidden in the comment
        out += bytes(out[at:at + 20]) + struct.pack("<H", 0)
        struct.pack_into("<H", out, at + 20, len(out) - at - 22)


def byte_changes(out: bytearray, rng: random.Random) -> None:
    """The blind changes: fields found by their signatures, flipped bytes,
    cut and inserted runs."""
    end = out.rfind(END)
    locals_ = offsets_of(out, LOCAL)
    centrals = offsets_of(out, CENTRAL)
    choice = rng.randrange(7)
    if choice == 0 and centrals and locals_:  # an entry pointed at another record, or inside one
        struct.pack_into("<I", out, rng.choice(centrals) + 42, rng.choice(locals_) + rng.choice([0, 0, 1, 30, 40]))
    elif choice == 1 and locals_:  # a byte of a local name
        spot = rng.choice(locals_)
        name_length = u16(out, spot + 26)
        if name_length:
            out[spot + 30 + rng.randrange(name_length)] ^= rng.choice([0x01, 0x20, 0x80])
    elif choice == 2 and centrals:  # a central name, extra or comment length
        spot = rng.choice(centrals) + rng.choice([28, 30, 32])
        struct.pack_into("<H", out, spot, (u16(out, spot) + rng.choice([-1, 1, 4])) & 0xFFFF)
    elif choice == 3:  # bits flipped anywhere
        for _ in range(rng.randint(1, 4)):
            out[rng.randrange(len(out))] ^= 1 << rng.randrange(8)
    elif choice == 4 and locals_:  # a copy of a local record hidden in a comment or before the end record
        spot = rng.choice(locals_)
        name_length, extra_length = u16(out, spot + 26), u16(out, spot + 28)
        record = bytes(out[spot:spot + 30 + name_length + extra_length + 64])
        at = len(out) if rng.random() < 0.5 else max(0, end)
        out[at:at] = record
    elif choice == 5:  # bytes cut out or put in
        at = rng.randrange(len(out))
        if rng.random() < 0.5:
            del out[at:at + rng.randint(1, 64)]
        else:
            out[at:at] = rng.randbytes(rng.randint(1, 64))
    elif choice == 6 and centrals and end >= 0:  # the size field pointing at another central header
        struct.pack_into("<I", out, end + 12, max(0, end - rng.choice(centrals)))


def offsets_of(data: bytes | bytearray, signature: bytes, limit: int = 500) -> list[int]:
    found, at = [], data.find(signature)
    while at >= 0 and len(found) < limit:
        found.append(at)
        at = data.find(signature, at + 1)
    return found


def mutate(data: bytes, model: Model | None, rng: random.Random) -> bytes:
    """One to three changes: mostly to records laid out anew, then to what
    follows the directory, then to the bytes."""
    out = bytearray(data)
    at = end_record_at(data)
    if model is not None and rng.random() < 0.75:
        changed = copy.deepcopy(model)
        for _ in range(rng.choice([1, 1, 1, 2, 2, 3])):
            structured(changed, rng)
        laid, at = serialize(changed)
        out = bytearray(laid)
        fix_unlisted(out, changed)
    for _ in range(rng.choice([0, 0, 1] if len(out) != len(data) or out != data else [1, 1, 2])):
        try:
            if at >= 0 and rng.random() < 0.5:
                tail_changes(out, at, rng)
            else:
                byte_changes(out, rng)
        except (struct.error, IndexError, ValueError):  # a place an earlier change moved out of reach
            pass
        at = end_record_at(bytes(out))
    return bytes(out)
