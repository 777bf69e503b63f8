"""Mutated real archives read by quastor, by Python's zipfile and by a reader
that walks the local headers from the start, as streaming tools do.

    python tests/fuzz/differential.py [--count N] [--seed S] ARCHIVE...

For every mutation that quastor's preflight accepts, each entry it would
write must be listed by zipfile under the same name at the same place in
the directory, be found by the streaming walk under the same name at its
local header, and carry no well-formed Unicode Path field naming another
path. Prints the tallies and every archive that breaks this (saved under
--keep). Not part of make test: it takes minutes.
"""

from __future__ import annotations

import argparse
import io
import random
import struct
import sys
import zipfile
import zlib
from collections import Counter
from pathlib import Path

import quastor

LOCAL, CENTRAL, END = b"PK\x03\x04", b"PK\x01\x02", b"PK\x05\x06"


def central_entries(data: bytes) -> list[tuple[bytes, int, bytes]]:
    """(name, local header offset, extra field) of each entry, read as
    quastor reads the directory: from the end record's offset field."""
    end = data.rfind(END, max(0, len(data) - 65557), len(data) - 18)
    count, offset = struct.unpack_from("<H", data, end + 10)[0], struct.unpack_from("<I", data, end + 16)[0]
    entries = []
    for _ in range(count):
        name_length, extra_length, comment_length = struct.unpack_from("<HHH", data, offset + 28)
        local = struct.unpack_from("<I", data, offset + 42)[0]
        name = data[offset + 46:offset + 46 + name_length]
        extra = data[offset + 46 + name_length:offset + 46 + name_length + extra_length]
        entries.append((name, local, extra))
        offset += 46 + name_length + extra_length + comment_length
    return entries


def streamed_names(data: bytes) -> tuple[dict[int, bytes], bool]:
    """Local header offset -> name, walking the local records from the start
    and checking each one's CRC-32 as it goes, and whether the walk ended
    cleanly, at the central directory or the end record (not on bytes that
    are no record, or on data that fails its check: there such a reader
    fails)."""
    names, position = {}, 0
    while data[position:position + 4] == LOCAL and len(data) - position >= 30:
        flags, method = struct.unpack_from("<HH", data, position + 6)
        crc, size, _, name_length, extra_length = struct.unpack_from("<IIIHH", data, position + 14)
        names[position] = data[position + 30:position + 30 + name_length]
        start = position + 30 + name_length + extra_length
        if method == 8:
            inflater = zlib.decompressobj(-15)
            try:
                content = inflater.decompress(data[start:] if flags & 8 else data[start:start + size])
            except zlib.error:
                return names, False
            end = len(data) - len(inflater.unused_data) if flags & 8 else start + size
        elif flags & 8:
            return names, False  # stored with a descriptor: no way to find its end
        else:
            content, end = data[start:start + size], start + size
        if flags & 8:
            signed = data[end:end + 4] == b"PK\x07\x08"
            crc = struct.unpack_from("<I", data, end + 4 * signed)[0] if len(data) >= end + 16 else None
            end += 16 if signed else 12
        if zlib.crc32(content) != crc:
            return names, False
        position = end
    return names, data[position:position + 4] in (CENTRAL, END)


def unicode_path(name: bytes, extra: bytes) -> str | None:
    """The name a well-formed Unicode Path field gives, if any."""
    found = None
    while len(extra) >= 4:
        kind, length = struct.unpack_from("<HH", extra)
        body, extra = extra[4:4 + length], extra[4 + length:]
        if kind == 0x7075 and len(body) > 5 and body[0] == 1 and \
                struct.unpack_from("<I", body, 1)[0] == zlib.crc32(name):
            try:
                found = body[5:].decode("utf-8")
            except UnicodeDecodeError:
                pass
    return found


def legacy_reencoding(name: bytes, field: str) -> bool:
    ours, theirs = name.split(b"/"), field.encode().split(b"/")
    return len(ours) == len(theirs) and all(a == b for a, b in zip(ours, theirs) if a.isascii())


def zipfile_names(data: bytes) -> list[bytes]:
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        return [info.filename.encode("utf-8" if info.flag_bits & 0x800 else "cp437") for info in archive.infolist()]


def disagreement(data: bytes) -> str | None:
    """Why the readers disagree on an archive quastor accepts, or None."""
    listed = [entry["archive_name"] for entry in quastor.preflight_zip_bytes(data)]
    entries = central_entries(data)
    try:
        theirs = zipfile_names(data)
    except Exception as error:  # zipfile refuses: it lists nothing, writes nothing
        return f"zipfile refuses: {type(error).__name__}"
    walked, clean = streamed_names(data)
    for index, (name, local, extra) in enumerate(entries):
        assert listed[index] == name.decode("utf-8", "replace")
        if index >= len(theirs) or theirs[index].decode("utf-8", "replace") != listed[index]:
            return f"zipfile lists another name for {listed[index]!r}"
        if local not in walked:
            # Local sizes or data that differ from the central directory's
            # throw a streaming reader off the chain: it fails on what it
            # lands on, unless that is the directory: then it missed one.
            if clean:
                return f"a streaming reader ends cleanly without {listed[index]!r}"
            return "a streaming reader fails: local sizes or data differ"
        if walked[local] != name:
            return f"a streaming reader names {listed[index]!r} {walked[local]!r}"
        field = unicode_path(name, extra)
        if field is not None and field.encode() != name and not legacy_reencoding(name, field):
            return f"the Unicode Path field names {listed[index]!r} {field!r}"
    return None


def offsets_of(data: bytes, signature: bytes) -> list[int]:
    found, at = [], data.find(signature)
    while at >= 0:
        found.append(at)
        at = data.find(signature, at + 1)
    return found


# Outcomes where the other reader refuses or fails: it writes nothing that
# quastor would not, so they are counted, not reported.
TOLD_APART = ("zipfile refuses", "a streaming reader fails")


def mutate(data: bytes, locals_: list[int], centrals: list[int], rng: random.Random) -> bytes:
    """One to three changes, mostly to record fields an attacker would pick."""
    out = bytearray(data)
    for _ in range(rng.randint(1, 3)):
        try:
            change(out, locals_, centrals, rng)
        except (struct.error, IndexError, ValueError):  # a place an earlier change moved out of reach
            pass
    return bytes(out)


def change(out: bytearray, locals_: list[int], centrals: list[int], rng: random.Random) -> None:
    end = out.rfind(END)
    if True:
        choice = rng.randrange(8)
        if choice == 0 and centrals and locals_:  # point an entry at another record, or inside one
            struct.pack_into("<I", out, rng.choice(centrals) + 42, rng.choice(locals_) + rng.choice([0, 0, 1, 30, 40]))
        elif choice == 1 and end >= 0:  # an end record field: counts, size, offset
            field, width, mask = rng.choice([(8, "<H", 0xFFFF), (10, "<H", 0xFFFF), (12, "<I", 0xFFFFFFFF),
                                             (16, "<I", 0xFFFFFFFF), (20, "<H", 0xFFFF)])
            value = struct.unpack_from(width, out, end + field)[0]
            struct.pack_into(width, out, end + field, (value + rng.choice([-1, 1, -46, 46, 100, -value])) & mask)
        elif choice == 2 and locals_:  # a byte of a local name
            spot = rng.choice(locals_)
            name_length = struct.unpack_from("<H", out, spot + 26)[0]
            if name_length:
                out[spot + 30 + rng.randrange(name_length)] ^= rng.choice([0x01, 0x20, 0x80])
        elif choice == 3 and centrals:  # a central name, extra or comment length
            spot = rng.choice(centrals) + rng.choice([28, 30, 32])
            struct.pack_into("<H", out, spot, (struct.unpack_from("<H", out, spot)[0] + rng.choice([-1, 1, 4])) & 0xFFFF)
        elif choice == 4:  # bytes flipped anywhere
            for _ in range(rng.randint(1, 4)):
                out[rng.randrange(len(out))] ^= 1 << rng.randrange(8)
        elif choice == 5 and locals_:  # a copy of a local record hidden in a comment or before the end record
            spot = rng.choice(locals_)
            name_length, extra_length = struct.unpack_from("<HH", out, spot + 26)
            record = bytes(out[spot:spot + 30 + name_length + extra_length + 64])
            at = len(out) if rng.random() < 0.5 else max(0, end)
            out[at:at] = record
        elif choice == 6:  # bytes cut out or put in
            at = rng.randrange(len(out))
            if rng.random() < 0.5:
                del out[at:at + rng.randint(1, 64)]
            else:
                out[at:at] = rng.randbytes(rng.randint(1, 64))
        elif choice == 7 and centrals and end >= 0:  # the size field pointing at another central header
            struct.pack_into("<I", out, end + 12, max(0, end - rng.choice(centrals)))


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("archives", nargs="+", type=Path)
    parser.add_argument("--count", type=int, default=10000, help="mutations per archive")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--keep", type=Path, default=Path("/tmp/quastor-differential"))
    arguments = parser.parse_args()
    rng = random.Random(arguments.seed)
    tally: Counter[str] = Counter()
    broken = 0
    for path in arguments.archives:
        base = path.read_bytes()
        assert disagreement(base) is None, path
        locals_, centrals = offsets_of(base, LOCAL)[:500], offsets_of(base, CENTRAL)[-500:]
        for round_ in range(arguments.count):
            data = mutate(base, locals_, centrals, rng)
            try:
                quastor.preflight_zip_bytes(data)
            except RuntimeError:
                tally["refused by quastor"] += 1
                continue
            why = disagreement(data)
            refused_elsewhere = why is not None and why.split(":")[0] in TOLD_APART
            tally["accepted, one reading" if why is None else why.split(":")[0] if refused_elsewhere
                  else "accepted, two readings"] += 1
            if why is not None and not refused_elsewhere:
                broken += 1
                arguments.keep.mkdir(parents=True, exist_ok=True)
                kept = arguments.keep / f"{path.stem}-{round_}.zip"
                kept.write_bytes(data)
                print(f"{kept}: {why}")
        print(f"{path.name}: done", file=sys.stderr)
    total = sum(tally.values())
    print(f"{total} mutated archives from {len(arguments.archives)}: " + ", ".join(f"{k} {v}" for k, v in tally.items()))
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main())
