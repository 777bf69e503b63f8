"""The seeds of the differential run: archives of the tests' builder, archives
that this machine's writers make of one small tree, and a few small real
archives found on the machine (wheels and eggs beside the interpreters)."""

from __future__ import annotations

import glob
import io
import os
import shutil
import struct
import subprocess
import sys
import zipfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))

from zipbuild import (  # noqa: E402
    Entry,
    build,
    build_zip,
    crc32,
    deflate,
    directory,
    end_record,
    file_entry,
    local_record,
    symlink,
    unicode_path_extra,
    zip64_tail,
)

# Small enough that a reader extracts one in a few milliseconds.
REAL_ARCHIVE_LIMIT = 128 * 1024


def builder_seeds() -> dict[str, bytes]:
    """The shapes the tests build: one entry, directories, links, deflate,
    odd names, a data descriptor, a prefix, a comment, a ZIP64 tail and a
    Unicode Path field re-encoding a legacy name."""
    text = b"the quick brown fox jumps over the lazy dog\n" * 20
    described = deflate(text)
    descriptor = b"PK\x07\x08" + struct.pack("<III", crc32(text), len(described), len(text))
    big5 = b"\xa7A\xa6n.txt"
    sets = {
        "empty": ([], {}),
        "one": ([file_entry("a.txt", b"hello")], {}),
        "tree": ([directory("d/"), file_entry("d/f.txt", b"x" * 300, method=8), file_entry("d/sub/f", b"deep", method=8),
                  file_entry("d/g", b"")], {}),
        "empties": ([file_entry("empty", b"", method=8), file_entry("stored-empty", b"")], {}),
        "link": ([symlink("link", "target"), file_entry("target", b"t")], {}),
        "names": ([file_entry("x\\y", b"back"), file_entry("./a//b", b"dots"), file_entry("caf\u00e9", b"utf8"),
                   file_entry(b"bad\xff", b"lossy", flags=0)], {}),
        "modes": ([file_entry("exe", b"#!/bin/sh\n", mode=0o755), directory("private/", mode=0o700),
                   Entry("plain", b"no mode", external_attr=0)], {}),
        "descriptor": ([file_entry("streamed.txt", text, method=8, flags=0x0808, payload=described + descriptor,
                                   compress_size=len(described), local_crc32=0, local_compress_size=0,
                                   local_file_size=0), file_entry("after.txt", b"after")], {}),
        "prefix": ([file_entry("a.txt", b"hello"), file_entry("b.txt", text, method=8)],
                   {"prefix": b"#!/bin/sh\nexit 0\n" + b"\0" * 40}),
        "comment": ([file_entry("a.txt", b"hello")], {"comment": b"made for the differential run"}),
        "legacy name": ([file_entry(big5, b"big5", flags=0, extra=unicode_path_extra(big5, "\u4f60\u597d.txt")),
                         file_entry("plain.txt", b"plain")], {}),
    }
    seeds = {f"builder-{name}": build_zip(entries, **overrides) for name, (entries, overrides) in sets.items()}
    one = build_zip([file_entry("a.txt", b"hello"), file_entry("b.txt", text, method=8)])
    end = one.rfind(b"PK\x05\x06")
    size, offset = struct.unpack_from("<II", one, end + 12)
    seeds["builder-zip64 tail"] = one[:end] + zip64_tail(offset, size, 2, at=end) + one[end:]
    return seeds


PAYLOAD, BENIGN = b"#!/bin/sh\necho payload\n", b"#!/bin/sh\necho benign\n"


def split_directories(first: list[Entry], second: list[Entry]) -> tuple[bytes, bytes, bytes]:
    """The local records of both lists, then one directory for each: the
    records, the first directory (offsets set) and the second."""
    both = build(first + second)
    records = both.data[:both.central_offsets[0]]
    cut = both.central_offsets[len(first)] if second else both.end_offset
    return records, both.data[both.central_offsets[0]:cut], both.data[cut:both.end_offset]


def shape_seeds() -> dict[str, bytes]:
    """One archive of each shape that readers have been seen to read two
    ways, smallest form: the run starts from them, so each is met on every
    run, and their mutants probe the edges of each refusal."""
    shapes = {}
    # Two central headers, the end record counting one.
    shapes["entry count"] = build_zip([file_entry("a.txt", BENIGN), file_entry("run.sh", PAYLOAD)], count=1)
    # A Unicode Path field giving a legacy name the spelling of a benign entry's.
    shapes["Unicode Path field"] = build_zip([
        file_entry(b"\xe9", PAYLOAD, flags=0, extra=unicode_path_extra(b"\xe9", "run.sh")),
        file_entry("run.sh", BENIGN)])
    # The same with a name that is not UTF-8 but loses its odd byte to a reader.
    shapes["Unicode Path field not UTF-8"] = build_zip([
        file_entry("run.sh", BENIGN),
        file_entry(b"\xe9", PAYLOAD, flags=0, extra=unicode_path_extra(b"\xe9", b"run\xff.sh"))])
    # A ZIP64 locator before the end record naming a ZIP64 record and a
    # directory of its own, elsewhere.
    records, listed, other = split_directories([file_entry("a.txt", BENIGN)], [file_entry("run.sh", PAYLOAD)])
    record_at = len(records) + len(other)
    directory_at = record_at + 56
    tail = zip64_tail(len(records), len(other), 1, at=record_at)
    shapes["ZIP64 locator elsewhere"] = (records + other + tail[:56] + listed + tail[56:]
                                         + end_record(count=1, cd_offset=directory_at, cd_size=len(listed)))
    # An end record counting no entries behind a stub its offsets leave out
    # (a self-extractor's): readers by the size field find the directory.
    counted = build([file_entry("run.sh", PAYLOAD)])
    end_at = counted.end_offset
    shapes["no entries counted over a directory by its size"] = (
        b"\0" * 16 + counted.data[:end_at + 8] + struct.pack("<HH", 0, 0) + counted.data[end_at + 12:])
    # A local record before the first listed one.
    shapes["unlisted local record"] = build_zip([file_entry("a.txt", BENIGN)], prefix=local_record("run.sh", PAYLOAD))
    # A local header saying deflate over a central one saying stored.
    shapes["local method"] = build_zip([file_entry("run.sh", deflate(PAYLOAD), local_method=8,
                                                   local_file_size=len(PAYLOAD), local_crc32=crc32(PAYLOAD))])
    # Two end records, the last one's comment running past the end.
    first_end = end_record(count=1, cd_offset=len(records), cd_size=len(listed))
    second_at = len(records) + len(listed) + len(first_end)
    second_end = bytearray(end_record(count=1, cd_offset=second_at, cd_size=len(other)))
    struct.pack_into("<H", second_end, 20, 40)
    shapes["end record past the end"] = records + listed + first_end + other + bytes(second_end)
    # One byte between the directory and the end record.
    one = build([file_entry("run.sh", PAYLOAD)])
    shapes["directory not by its size"] = one.data[:one.end_offset] + b"\0" + one.data[one.end_offset:]
    # Entries whose attributes say directory, without the trailing slash.
    shapes["directory by its mode"] = build_zip([Entry("run.sh", PAYLOAD, external_attr=0o040755 << 16)])
    shapes["directory by the MS-DOS bit"] = build_zip([Entry("run.sh", PAYLOAD, external_attr=0x10,
                                                             version_made_by=0x0014)])
    # A name ending in a backslash.
    shapes["name ending in a backslash"] = build_zip([file_entry("run.sh\\", PAYLOAD)])
    # The mode of a socket.
    shapes["special file type"] = build_zip([Entry("run.sh", PAYLOAD, external_attr=0o140755 << 16)])
    # An empty DEFLATE stream declaring 4 GiB - 1 bytes, the CRC-32 of as many zeros (0).
    shapes["size past the stream"] = build_zip([file_entry("run.sh", b"", method=8, file_size=0xFFFFFFFF)])
    # A local record where a directory of no entries stands; the same after
    # a whole archive, an end record of no entries appended.
    shapes["local record past the directory"] = local_record("run.sh", PAYLOAD) + end_record()
    shapes["end record of no entries appended"] = build_zip([file_entry("run.sh", PAYLOAD)]) + end_record()
    return {f"shape-{name}": data for name, data in shapes.items()}


def make_tree(root: Path) -> None:
    (root / "d" / "sub").mkdir(parents=True)
    (root / "a.txt").write_bytes(b"hello\n")
    (root / "d" / "big.txt").write_bytes(b"lorem ipsum dolor sit amet\n" * 80)
    (root / "d" / "sub" / "x.bin").write_bytes(bytes(range(256)))
    (root / "caf\u00e9.txt").write_bytes(b"accent\n")
    os.symlink("a.txt", root / "link")


class Unseekable(io.RawIOBase):
    """A stream zipfile cannot seek in: it writes data descriptors."""

    def __init__(self, buffer: io.BytesIO) -> None:
        self.buffer = buffer

    def writable(self) -> bool:
        return True

    def write(self, chunk) -> int:  # type: ignore[override]
        return self.buffer.write(chunk)


def tool_seeds(work: Path, go_listing: Path | None) -> dict[str, bytes]:
    """What each writer on this machine makes of one small tree; writers
    that are missing are left out."""
    tree = work / "tree"
    shutil.rmtree(work, ignore_errors=True)
    make_tree(tree)
    out = work / "out"
    out.mkdir()
    runs = {
        "infozip": ["zip", "-q", "-r", "-y", str(out / "infozip.zip"), "."],
        "infozip-stdout": ["sh", "-c", f"zip -q -r - . > {out / 'infozip-stdout.zip'}"],
        "infozip-stdin": ["sh", "-c", f"zip -q {out / 'infozip-stdin.zip'} - < a.txt"],
        "7zz": [shutil.which("7zz") or shutil.which("7z") or "7zz", "a", "-tzip", "-bso0", "-bsp0",
                str(out / "7zz.zip"), "."],
        "bsdtar": ["bsdtar", "-c", "--format", "zip", "-f", str(out / "bsdtar.zip"), "."],
        "bsdtar-stdout": ["sh", "-c", f"bsdtar -c --format zip -f - . | cat > {out / 'bsdtar-stdout.zip'}"],
        "jar": ["jar", "cf", str(out / "jar.zip"), "."],
    }
    if go_listing is not None:
        runs["go"] = [str(go_listing), "write", str(out / "go.zip"), str(tree)]
    seeds = {}
    for name, argv in runs.items():
        tool = argv[0] if argv[0] != "sh" else argv[2].split()[0]
        if not shutil.which(tool):
            continue
        try:
            subprocess.run(argv, cwd=tree, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           timeout=60)
        except (subprocess.SubprocessError, OSError):
            continue
        seeds[f"writer-{name}"] = (out / f"{name}.zip").read_bytes()
    for name, seekable in (("zipfile", True), ("zipfile-stream", False)):
        buffer = io.BytesIO()
        with zipfile.ZipFile(buffer if seekable else Unseekable(buffer), "w", zipfile.ZIP_DEFLATED) as archive:
            for path in sorted(tree.rglob("*")):
                archive.write(path, path.relative_to(tree).as_posix())
        seeds[f"writer-{name}"] = buffer.getvalue()
    return seeds


def real_seeds(limit: int = 6) -> dict[str, bytes]:
    """Small wheels and eggs that ship with the interpreters here."""
    patterns = ["/root/.pyenv/versions/*/lib/python3*/test/**/*.whl", "/root/.pyenv/versions/*/lib/python3*/test/**/*.egg",
                f"{sys.base_prefix}/lib/python3*/test/**/*.whl", "/usr/lib/python3*/test/**/*.whl",
                "/usr/share/python-wheels/*.whl"]
    found: dict[tuple[str, str], Path] = {}
    for pattern in patterns:
        for path in sorted(glob.glob(pattern, recursive=True)):
            size = os.path.getsize(path)
            name = os.path.basename(path)
            project = (name.split("-")[0], name.rsplit(".", 1)[-1])  # one version of each
            if size <= REAL_ARCHIVE_LIMIT and project not in found:
                found[project] = Path(path)
    return {f"real-{path.name}": path.read_bytes() for _, path in sorted(found.items())[:limit]}


def make_seeds(work: Path, go_listing: Path | None) -> dict[str, bytes]:
    return builder_seeds() | shape_seeds() | tool_seeds(work, go_listing) | real_seeds()
