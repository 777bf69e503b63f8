"""The quastor command side by side, each tool a whole process:

- `quastor extract` of the standard-library archive against `bsdtar -xf`
  (goal: at least 3x faster);
- `quastor extract` of one 512 MiB entry, decoded in chunks on all cores,
  against itself held to one core (`taskset -c 0`, goal: at least 1.8x
  faster on two cores), against `bsdtar -xf` (goal: at least 3x faster) and
  `unzip`, with its peak resident set within the bound README states;
- `quastor create --level 1` against zipfile driven by ISA-L at its level 2,
  the fastest DEFLATE a Python program can get, on the three corpora (goal:
  faster, with an archive at most 3 % larger).

Everything lives where the extraction benchmark keeps its files (memory,
unless QUASTOR_BENCH_DIR says otherwise).
"""

from __future__ import annotations

import os
import pathlib
import shutil
import sys
import sysconfig
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

from bench_create import fresh as fresh_archive  # noqa: E402
from bench_extract import fresh as fresh_directory  # noqa: E402
from bench_extract import scratch_parent
from corpora import MIB, Corpora, describe  # noqa: E402
from measure import Report, Tool, measure, print_goals, print_table, python_command, repeat_count, verdict  # noqa: E402

EXTRACT_GOAL = 3.0
SIZE_LIMIT = 1.03
ONE_CORE_GOAL = 1.8
# README's bound on the memory of one entry decoded in chunks, with the
# constants of src/extract/chunked_inflate.hpp (MiB): the chunks inflated
# ahead (two outputs each), the owner's three, the spare outputs, the
# owner's two pieces, and the input and two inflaters of each helper at work.
CHUNK_OUTPUT, CHUNKS_AHEAD, SPARE_OUTPUTS, PIECE, CHUNK_INPUT, FEED, INFLATERS = 4, 16, 4, 4, 0.5, 0.25, 0.5
PROCESS_BASE = 16  # the command's own resident set before any entry

# zipfile with ISA-L swapped in for zlib: compression and CRC-32 both.
ZIPFILE_ISAL = (
    "import os, sys, zipfile\n"
    "from isal import isal_zlib\n"
    "zipfile.zlib = isal_zlib\n"
    "zipfile.crc32 = isal_zlib.crc32\n"
    "source, archive = sys.argv[1], sys.argv[2]\n"
    "with zipfile.ZipFile(archive, 'w', zipfile.ZIP_DEFLATED, compresslevel=2) as out:\n"
    "    for directory, directories, files in os.walk(source):\n"
    "        directories.sort()\n"
    "        for name in directories + sorted(files):\n"
    "            path = os.path.join(directory, name)\n"
    "            out.write(path, os.path.relpath(path, source))\n"
)


def command() -> str | None:
    installed = pathlib.Path(sysconfig.get_path("scripts")) / "quastor"
    return str(installed) if os.access(installed, os.X_OK) else shutil.which("quastor")


def has_isal() -> bool:
    try:
        import isal.isal_zlib  # noqa: F401
    except ImportError:
        return False
    return True


def extraction(quastor: str, corpora: Corpora, out: pathlib.Path) -> str:
    archive = corpora.archive("stdlib")
    print(f"[{Corpora.TITLES['stdlib']}: {describe(archive)}]", flush=True)
    tools = [Tool("quastor extract", [quastor, "extract", str(archive), "-d", str(out / "q")], fresh_directory(out / "q"))]
    if not shutil.which("bsdtar"):
        return "  extract: bsdtar missing, not compared"
    tools.append(Tool("bsdtar -xf", ["bsdtar", "-xf", str(archive), "-C", str(out / "b")],
                      fresh_directory(out / "b", create=True)))
    summaries = measure(tools, repeat_count(5))
    print_table("Command: extract the standard library", summaries)
    ratio = summaries[1].wall / summaries[0].wall
    return (f"  extract stdlib: bsdtar {summaries[1].wall:.3f}s / quastor {summaries[0].wall:.3f}s = {ratio:.2f}x "
            f"(goal >= {EXTRACT_GOAL}x): {verdict(ratio >= EXTRACT_GOAL)}")


def chunk_bound() -> float:
    """README's bound, in MiB, on one entry decoded in chunks, whatever the
    number of threads."""
    outputs = (2 * CHUNKS_AHEAD + 3 + SPARE_OUTPUTS) * CHUNK_OUTPUT
    return outputs + 2 * PIECE + (CHUNKS_AHEAD + 1) * (CHUNK_INPUT + FEED + INFLATERS)


def one_large_entry(quastor: str, corpora: Corpora, out: pathlib.Path) -> list[str]:
    archive = corpora.archive("huge")
    print(f"[{Corpora.TITLES['huge']}: {describe(archive)}]", flush=True)
    tools = [
        Tool("quastor extract", [quastor, "-q", "extract", str(archive), "-d", str(out / "q")],
             fresh_directory(out / "q")),
        Tool("quastor extract, one core", ["taskset", "-c", "0", quastor, "-q", "extract", str(archive), "-d",
                                           str(out / "q1")], fresh_directory(out / "q1")),
    ]
    if shutil.which("bsdtar"):
        tools.append(Tool("bsdtar -xf", ["bsdtar", "-xf", str(archive), "-C", str(out / "b")],
                          fresh_directory(out / "b", create=True)))
    if shutil.which("unzip"):
        tools.append(Tool("unzip", ["unzip", "-q", "-o", str(archive), "-d", str(out / "u")],
                          fresh_directory(out / "u")))
    summaries = measure(tools, repeat_count(5))
    print_table("Command: extract one 512 MiB entry", summaries)
    for path in ("q", "q1", "b", "u"):
        shutil.rmtree(out / path, ignore_errors=True)
    ours = summaries[0]
    threads = len(os.sched_getaffinity(0))
    bound = chunk_bound() + PROCESS_BASE
    ratio = summaries[1].wall / ours.wall
    goals = [f"  extract one large entry: one core {summaries[1].wall:.3f}s / all {threads} cores {ours.wall:.3f}s "
             f"= {ratio:.2f}x (goal >= {ONE_CORE_GOAL}x on two cores): {verdict(ratio >= ONE_CORE_GOAL)}; "
             f"peak {ours.rss_mib:.0f} MiB (bound {bound:.0f} MiB): {verdict(ours.rss_mib <= bound)}"]
    for peer in summaries[2:]:
        ratio = peer.wall / ours.wall
        goal = EXTRACT_GOAL if peer.name.startswith("bsdtar") else None
        goals.append(f"  extract one large entry: {peer.name} {peer.wall:.3f}s / quastor {ours.wall:.3f}s = "
                     f"{ratio:.2f}x" + (f" (goal >= {goal}x): {verdict(ratio >= goal)}" if goal else ""))
    return goals


def creation(quastor: str, name: str, source: pathlib.Path, out: pathlib.Path) -> str:
    ours, theirs = out / "quastor.zip", out / "isal.zip"
    tools = [
        Tool("quastor create --level 1", [quastor, "-q", "create", "--level", "1", "-C", str(source), str(ours), "."],
             fresh_archive(ours)),
        Tool("zipfile + ISA-L level 2", python_command(ZIPFILE_ISAL, str(source), str(theirs)), fresh_archive(theirs)),
    ]
    summaries = measure(tools, repeat_count(5))
    print_table(f"Command: create, {Corpora.TITLES[name]}", summaries)
    size, peer_size = ours.stat().st_size, theirs.stat().st_size
    print(f"archive sizes: quastor {size / MIB:.2f} MiB, zipfile + ISA-L {peer_size / MIB:.2f} MiB "
          f"({size / peer_size:.3f}x)", flush=True)
    print(flush=True)
    ratio = summaries[1].wall / summaries[0].wall
    small = size <= peer_size * SIZE_LIMIT
    return (f"  create {name}: zipfile + ISA-L {summaries[1].wall:.3f}s / quastor {summaries[0].wall:.3f}s = "
            f"{ratio:.2f}x (goal > 1x): {verdict(ratio > 1)}; archive {size / peer_size:.3f}x "
            f"(goal <= {SIZE_LIMIT}x): {verdict(small)}")


def main() -> Report:
    report = Report("The command")
    quastor = command()
    if quastor is None:
        print("Command benchmark skipped: the quastor command is not installed", flush=True)
        return report
    root = pathlib.Path(tempfile.mkdtemp(prefix="quastor-bench-cli-", dir=scratch_parent()))
    print(f"Command benchmark: {quastor}, {len(os.sched_getaffinity(0))} usable CPUs, "
          f"{repeat_count(5)} rounds, medians, under {root.parent}", flush=True)
    goals = report.goals
    try:
        corpora = Corpora(root / "corpora")
        out = root / "out"
        out.mkdir()
        goals.append(extraction(quastor, corpora, out))
        goals.extend(one_large_entry(quastor, corpora, out))
        if has_isal():
            for name in ("stdlib", "large", "tiny"):
                started = time.perf_counter()
                source = corpora.tree(name)
                print(f"[{Corpora.TITLES[name]}: {describe(source)}; built in {time.perf_counter() - started:.1f}s]",
                      flush=True)
                goals.append(creation(quastor, name, source, out))
                shutil.rmtree(source, ignore_errors=True)
        else:
            goals.append("  create: the isal package is missing, not compared")
        print_goals("Command goals (whole-process wall time; archive size)", goals)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    return report


if __name__ == "__main__":
    main()
