"""quastor at work on something real: this Python's standard library.

Archives the standard library, checks the archive without writing anything,
extracts it into a fresh directory and verifies that the extracted tree is
the source tree (files, bytes, permission bits, links, empty directories).
Then times the same three steps with Python's zipfile beside it.

The library directory usually holds site-packages (third-party packages,
often far larger than the library itself) and __pycache__ directories of
bytecode. quastor archives a directory whole, so the demo first copies the
library without those two into a temporary directory and works on the
copy; the copy's time is reported apart and counted for neither side.
Everything temporary is removed at the end.
"""

from __future__ import annotations

import os
import pathlib
import sys
import tempfile
import time
import zipfile

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests" / "python"))

import corpora  # noqa: E402
import quastor  # noqa: E402
from trees import snapshot  # noqa: E402  (the tests' tree comparison)

MIB = 1 << 20


def timed(action):
    start = time.perf_counter()
    result = action()
    return time.perf_counter() - start, result


def zipfile_create(source: pathlib.Path, archive: pathlib.Path) -> None:
    corpora.zip_tree(source, archive)


def zipfile_check(archive: pathlib.Path) -> int:
    # zipfile's nearest equivalent of a preflight: read the central directory.
    with zipfile.ZipFile(archive) as zf:
        return len(zf.infolist())


def zipfile_extract(archive: pathlib.Path, destination: pathlib.Path) -> None:
    with zipfile.ZipFile(archive) as zf:
        zf.extractall(destination)


def main() -> int:
    library = corpora.stdlib_directory()
    print(f"quastor demo on {library} (Python {sys.version.split()[0]})")
    with tempfile.TemporaryDirectory(prefix="quastor-demo-") as work:
        work = pathlib.Path(work)
        source = work / "stdlib"
        copy_time, _ = timed(lambda: corpora.copy_stdlib(source))
        source_bytes = sum(p.stat().st_size for p in source.rglob("*") if p.is_file() and not p.is_symlink())
        print(f"copied the library without site-packages and __pycache__ in {copy_time:.2f} s: "
              f"{corpora.describe(source)}")

        archive = work / "stdlib.zip"
        create_time, _ = timed(lambda: quastor.create_zip(str(source), str(archive)))
        check_time, report = timed(lambda: quastor.preflight_zip(str(archive)))
        extracted = work / "extracted"
        extract_time, _ = timed(lambda: quastor.extract_zip(str(archive), str(extracted)))

        archive_bytes = archive.stat().st_size
        files = sum(1 for e in report if not e["is_dir"] and not e["is_symlink"])
        deflated = sum(1 for e in report if e["compress_type"] == 8)
        print(f"archive: {len(report)} entries ({files} files, {deflated} deflated), "
              f"{source_bytes / MIB:.1f} MiB in, {archive_bytes / MIB:.1f} MiB out, "
              f"ratio {source_bytes / archive_bytes:.2f}:1")

        same = snapshot(extracted) == snapshot(source)
        print(f"extracted tree matches the source (files, bytes, modes, links, directories): "
              f"{'yes' if same else 'NO'}")

        reference = work / "zipfile.zip"
        zf_create, _ = timed(lambda: zipfile_create(source, reference))
        zf_check, zf_entries = timed(lambda: zipfile_check(reference))
        zf_extract, _ = timed(lambda: zipfile_extract(reference, work / "zipfile-out"))

        print()
        print(f"{'step':<34}{'quastor':>10}{'zipfile':>10}{'speed-up':>10}")
        rows = [
            ("create (DEFLATE level 6)", create_time, zf_create),
            ("check (quastor: full preflight)", check_time, zf_check),
            ("extract", extract_time, zf_extract),
        ]
        for label, ours, theirs in rows:
            print(f"{label:<34}{ours:>9.3f}s{theirs:>9.3f}s{theirs / ours:>9.1f}x")
        print(f"{'archive size':<34}{archive_bytes / MIB:>7.1f}MiB"
              f"{reference.stat().st_size / MIB:>7.1f}MiB")
        print()
        print(f"zipfile's check only reads the central directory ({zf_entries} entries); quastor's "
              "preflight also checks every name, collision, local header and link target. "
              f"{os.cpu_count()} processors.")
        return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
