"""quastor at work on something real: this Python's standard library.

Archives the standard library, checks the archive without writing anything,
extracts it into a fresh directory and verifies that the extracted tree is
the source tree (files, bytes, permission bits, links, empty directories).
Then times the same three steps with Python's zipfile beside it: a few
rounds, quastor and zipfile taking turns to go first, each step's median
shown with the machine's load, since one sample on a busy machine says
little (`make bench` measures at length).

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
import shutil
import statistics
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
# Rounds of the comparison; the median of each step is shown.
ROUNDS = 5


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


def quastor_steps(source: pathlib.Path, work: pathlib.Path) -> list[float]:
    archive, destination = work / "round.zip", work / "round-out"
    times = [timed(lambda: quastor.create_zip(str(source), str(archive)))[0],
             timed(lambda: quastor.preflight_zip(str(archive)))[0],
             timed(lambda: quastor.extract_zip(str(archive), str(destination)))[0]]
    archive.unlink()
    shutil.rmtree(destination)
    return times


def zipfile_steps(source: pathlib.Path, work: pathlib.Path) -> list[float]:
    archive, destination = work / "round-zipfile.zip", work / "round-zipfile-out"
    times = [timed(lambda: zipfile_create(source, archive))[0],
             timed(lambda: zipfile_check(archive))[0],
             timed(lambda: zipfile_extract(archive, destination))[0]]
    archive.unlink()
    shutil.rmtree(destination)
    return times


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
        quastor.create_zip(str(source), str(archive))
        report = quastor.preflight_zip(str(archive))
        extracted = work / "extracted"
        quastor.extract_zip(str(archive), str(extracted))

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
        zipfile_create(source, reference)
        zf_entries = zipfile_check(reference)

        # Each side's rounds, taking turns to go first, so that neither
        # always meets the caches the other warmed.
        ours: list[list[float]] = []
        theirs: list[list[float]] = []
        load_before = os.getloadavg()[0]
        for round_number in range(ROUNDS):
            if round_number % 2 == 0:
                ours.append(quastor_steps(source, work))
                theirs.append(zipfile_steps(source, work))
            else:
                theirs.append(zipfile_steps(source, work))
                ours.append(quastor_steps(source, work))
        load_after = os.getloadavg()[0]

        print()
        print(f"median of {ROUNDS} rounds each, quastor and zipfile taking turns to go first; "
              f"load average {load_before:.1f} before, {load_after:.1f} after, on {os.cpu_count()} processors")
        print(f"{'step':<34}{'quastor':>10}{'zipfile':>10}{'speed-up':>10}")
        labels = ["create (DEFLATE level 6)", "check (quastor: full preflight)", "extract"]
        for step, label in enumerate(labels):
            ours_median = statistics.median(times[step] for times in ours)
            theirs_median = statistics.median(times[step] for times in theirs)
            print(f"{label:<34}{ours_median:>9.3f}s{theirs_median:>9.3f}s{theirs_median / ours_median:>9.1f}x")
        print(f"{'archive size':<34}{archive_bytes / MIB:>7.1f}MiB"
              f"{reference.stat().st_size / MIB:>7.1f}MiB")
        print()
        print(f"zipfile's check only reads the central directory ({zf_entries} entries); quastor's "
              "preflight also checks every name, collision, local header and link target. "
              "A load near or above the processor count slows the side that uses every core most; "
              "`make bench` measures each tool at length.")
        return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
