"""A projection, not a measurement: the wall time of `quastor test` on a
wheel at 4, 8, 16 and 64 cores, before and after one large entry is decoded
in chunks, computed from figures measured on this machine.

Measured here (each the median of QUASTOR_BENCH_REPEAT runs, 5 by default):

- the CPU time of testing the whole wheel held to one core (W1), and of
  testing its largest entry alone held to one core (L1);
- the same for the 512 MiB corpus entry, on one core (H1) and on two (H2,
  wall): one helper beside the entry's thread makes it H1 / H2 times faster,
  so a helper is worth e = H1 / H2 - 1 of the entry's own thread; and the
  CPU time on two cores over that on one, 1 + r: the chunks' extra work;
- the largest entry's compressed size, hence its chunks.

Model. Before: the call cannot end before its largest entry, decoded on
one thread: T(n) = max(W1 / n, L1). After: the entry's thread and up to
min(n - 1, chunks ahead) helpers work on it, each helper worth e, and the
entry costs r more CPU: T(n) = max((W1 + r * L1) / n, L1 / (1 + e * min(n - 1,
ahead))). It leaves out the writing, memory bandwidth and the other
entries' own largest members, so it flatters large n.

Usage: projection.py WHEEL [HUGE_ZIP]   (HUGE_ZIP: benchmarks/corpora.py's
"huge" archive; built under a temporary directory when not given)
"""

from __future__ import annotations

import os
import pathlib
import resource
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
import zipfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

from measure import repeat_count  # noqa: E402

CORES = (4, 8, 16, 64)
CHUNKS_AHEAD = 16  # src/extract/chunked_inflate.hpp
CHUNK_INPUT = 512 << 10


def quastor() -> str:
    installed = pathlib.Path(sysconfig.get_path("scripts")) / "quastor"
    found = str(installed) if os.access(installed, os.X_OK) else shutil.which("quastor")
    if found is None:
        raise SystemExit("the quastor command is not installed")
    return found


def timed(argv: list[str]) -> tuple[float, float]:
    """Wall and CPU seconds (user + system of the child) of one run."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def median(argv: list[str]) -> tuple[float, float]:
    """Median wall and CPU seconds."""
    runs = [timed(argv) for _ in range(repeat_count(5))]
    return statistics.median(r[0] for r in runs), statistics.median(r[1] for r in runs)


def main() -> None:
    if len(sys.argv) not in (2, 3):
        raise SystemExit(__doc__)
    wheel = sys.argv[1]
    command = quastor()
    with zipfile.ZipFile(wheel) as archive:
        largest = max(archive.infolist(), key=lambda info: info.compress_size)
    one_core = ["taskset", "-c", "0", command, "-q", "test"]
    w1 = median([*one_core, wheel])[1]
    l1 = median([*one_core, wheel, largest.filename])[1]
    scratch = None
    huge = sys.argv[2] if len(sys.argv) == 3 else None
    if huge is None:
        from corpora import Corpora

        scratch = tempfile.mkdtemp(prefix="quastor-projection-")
        huge = str(Corpora(pathlib.Path(scratch)).archive("huge"))
    try:
        h1, h1_cpu = median([*one_core, huge])
        h2, h2_cpu = median(["taskset", "-c", "0,1", command, "-q", "test", huge])
    finally:
        if scratch:
            shutil.rmtree(scratch, ignore_errors=True)
    helper = max(0.0, h1 / h2 - 1)
    extra = max(0.0, h2_cpu / h1_cpu - 1)
    chunks = -(-largest.compress_size // CHUNK_INPUT)
    print(f"measured: whole wheel on one core {w1:.3f}s CPU; largest entry {largest.filename} "
          f"({largest.compress_size / (1 << 20):.0f} MiB compressed, {chunks} chunks) {l1:.3f}s CPU; "
          f"512 MiB entry {h1:.3f}s on one core, {h2:.3f}s on two: a helper is worth {helper:.2f} of its owner, "
          f"the chunks cost {extra:.0%} more CPU")
    print("PROJECTION (not measured) of the wall time of testing the wheel:")
    print(f"{'cores':>6} {'before':>9} {'after':>9} {'gain':>6}")
    for n in CORES:
        before = max(w1 / n, l1)
        helpers = min(n - 1, CHUNKS_AHEAD, chunks)
        after = max((w1 + extra * l1) / n, l1 / (1 + helper * helpers))
        print(f"{n:>6} {before:>8.3f}s {after:>8.3f}s {before / after:>5.2f}x")


if __name__ == "__main__":
    main()
