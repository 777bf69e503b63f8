"""The floor rows: quastor_floor (floor.c), built in quastor's own CMake tree
against the libdeflate and ISA-L the module links, compresses or inflates a
corpus's files as independent shards on as many threads as quastor uses,
with no archive around them. Two rows per workload: the CPU floor (the
bytes are made and dropped) and the CPU + write floor (the shards written
into one file when creating, the files written when extracting). cp -a and
tar stay as the floors of the file system alone.

`make bench` names the program in QUASTOR_FLOOR_PROGRAM; without it the
rows are left out, with one line saying so.
"""

from __future__ import annotations

import os
import pathlib
import shutil
import struct
import subprocess
import zipfile

from measure import Tool

PROGRAM_ENV = "QUASTOR_FLOOR_PROGRAM"


def program() -> pathlib.Path | None:
    """The floor program, or None with a line saying why there is none."""
    named = os.environ.get(PROGRAM_ENV)
    if named and os.access(named, os.X_OK):
        return pathlib.Path(named)
    print(f"  (no floor rows: {PROGRAM_ENV} names no program; `make bench` builds it)", flush=True)
    return None


def threads() -> int:
    # quastor's own default: every processor this process may run on.
    return len(os.sched_getaffinity(0))


def cpu_name(verb: str) -> str:
    return f"floor: {verb}, {threads()} threads"


def write_name(verb: str) -> str:
    return f"floor: {verb} + write, {threads()} threads"


def _wipe(path: pathlib.Path):
    def prepare() -> None:
        if path.is_dir():
            shutil.rmtree(path)
        else:
            path.unlink(missing_ok=True)
        os.sync()

    return prepare


def _counted(name: str, argv: list[str], expected: int):
    """A check: the program reports as many files as the tree holds."""

    def check() -> None:
        output = subprocess.run(argv, capture_output=True, text=True, check=True).stdout.split()
        found = int(output[output.index("files") + 1])
        if found != expected:
            raise RuntimeError(f"{name}: {found} files, expected {expected}")

    return check


def regular_files(tree: pathlib.Path) -> int:
    return sum(1 for directory, _, names in os.walk(tree) for n in names
               if os.path.isfile(os.path.join(directory, n)) and not os.path.islink(os.path.join(directory, n)))


def creation_tools(binary: pathlib.Path, source: pathlib.Path, out: pathlib.Path) -> tuple[list[Tool], pathlib.Path]:
    """The two creation rows, and the file the second one writes."""
    count = regular_files(source)
    shards = out / "floor-shards.bin"
    cpu = [str(binary), "deflate", str(threads()), str(source)]
    write = [*cpu, str(shards)]
    return [
        Tool(cpu_name("deflate -6"), cpu, reports_call_time=True, check=_counted(cpu_name("deflate -6"), cpu, count)),
        Tool(write_name("deflate -6"), write, _wipe(shards), reports_call_time=True,
             check=_counted(write_name("deflate -6"), write, count)),
    ], shards


SHARDS_MAGIC = b"quastor-floor-1\n"


def shards_from_archive(archive: pathlib.Path, shards: pathlib.Path) -> int:
    """Writes the archive's own DEFLATE streams in the floor's shard format,
    so that the floor inflates the very bytes quastor does (another
    compressor's streams differ in block types and cost). Returns the count
    of shards: the archive's deflated files."""
    with zipfile.ZipFile(archive) as z, open(archive, "rb") as raw:
        members = [i for i in z.infolist() if not i.is_dir() and i.compress_type == zipfile.ZIP_DEFLATED]
        directories = {""}
        for info in z.infolist():
            parts = info.filename.rstrip("/").split("/")
            for depth in range(1, len(parts) if not info.is_dir() else len(parts) + 1):
                directories.add("/".join(parts[:depth]))
        # Sorted, a parent comes before what it holds.
        ordered = sorted(directories)
        index = {path: n for n, path in enumerate(ordered)}
        streams = []
        for info in members:
            raw.seek(info.header_offset)
            header = raw.read(30)
            name_length, extra_length = struct.unpack("<HH", header[26:30])
            raw.seek(info.header_offset + 30 + name_length + extra_length)
            streams.append(raw.read(info.compress_size))
    with open(shards, "wb") as out:
        out.write(SHARDS_MAGIC + struct.pack("<QQ", len(ordered), len(members)))
        for path in ordered:
            encoded = path.encode()
            out.write(struct.pack("<I", len(encoded)) + encoded)
        for info, stream in zip(members, streams):
            parent, _, name = info.filename.rpartition("/")
            encoded = name.encode()
            out.write(struct.pack("<IIQQI", index[parent], len(encoded), info.file_size, len(stream), info.CRC) + encoded)
        for stream in streams:
            out.write(stream)
    return len(members)


def extraction_tools(binary: pathlib.Path, archive: pathlib.Path, scratch: pathlib.Path,
                     out: pathlib.Path) -> list[Tool]:
    """Takes the archive's streams as shards (untimed), then the two
    extraction rows: inflate, and inflate + write the files into `out`/floor."""
    shards = scratch / "floor-shards.bin"
    count = shards_from_archive(archive, shards)
    cpu = [str(binary), "inflate", str(threads()), str(shards)]
    target = out / "floor"
    write = [*cpu, str(target)]

    def written() -> None:
        found = regular_files(target)
        if found != count:
            raise RuntimeError(f"{write_name('inflate')}: {found} files written, expected {count}")

    return [
        Tool(cpu_name("inflate"), cpu, reports_call_time=True, check=_counted(cpu_name("inflate"), cpu, count)),
        Tool(write_name("inflate"), write, _wipe(target), reports_call_time=True, check=written,
             cleanup=lambda: shutil.rmtree(target, ignore_errors=True)),
    ]
