"""A Python reader's reading of ZIP archives, for the differential run.

    python listing.py zipfile        (any interpreter from 3.10 on)
    python listing.py stream-unzip   (an interpreter with stream-unzip)

Reads archive paths from standard input, one a line, and prints one JSON line
for each: {"ok": true, "entries": [[name as hex, size, CRC-32], ...]} with the
size and CRC-32 (of the first 64 MiB) of each entry's decoded data (0, 0 for names ending in "/"),
or {"ok": false, "error": "..."} where the reader refuses the archive. zipfile
is read as extractall reads it (the directory, each entry's data checked);
stream-unzip walks the local records from the start.
"""

from __future__ import annotations

import json
import sys
import zlib

# Past 64 MiB only the size counts and the first 64 MiB are checked, as the
# run does with the trees the other readers write.
LARGE = 64 << 20


def measure(chunks) -> tuple[int, int]:
    size, crc = 0, 0
    for chunk in chunks:
        if size < LARGE:
            crc = zlib.crc32(chunk[:LARGE - size], crc)
        size += len(chunk)
    return size, crc


def zipfile_reading(path: str) -> list:
    import zipfile

    entries = []
    with zipfile.ZipFile(path) as archive:
        for info in archive.infolist():
            name = info.filename.encode("utf-8", "surrogateescape")
            if info.is_dir():
                entries.append([name.hex(), 0, 0])
                continue
            with archive.open(info) as data:
                entries.append([name.hex(), *measure(iter(lambda: data.read(1 << 20), b""))])
    return entries


def stream_unzip_reading(path: str) -> list:
    from stream_unzip import stream_unzip

    def chunks():
        with open(path, "rb") as archive:
            while block := archive.read(65536):
                yield block

    entries = []
    for name, _, content in stream_unzip(chunks()):
        size, crc = measure(content)
        entries.append([name.hex(), 0, 0] if name.endswith(b"/") else [name.hex(), size, crc])
    return entries


def main() -> None:
    reading = {"zipfile": zipfile_reading, "stream-unzip": stream_unzip_reading}[sys.argv[1]]
    for line in sys.stdin:
        try:
            result = {"ok": True, "entries": reading(line.rstrip("\n"))}
        except Exception as error:  # every failure is this reader refusing the archive
            result = {"ok": False, "error": f"{type(error).__name__}: {error}"[:200]}
        print(json.dumps(result), flush=True)


if __name__ == "__main__":
    main()
