"""Extraction side by side: quastor against zipfile, Info-ZIP unzip and
bsdtar, and the Python libraries zipfile-isal, libarchive-c and stream-unzip
when they are installed, each as a whole process, on three corpora; plus a
stored archive of the standard library against cp -a. Every tool's output
is counted once, after the warm-up, before it is timed.

Goals (whole-process wall time on two cores, against the fastest of
zipfile, unzip, bsdtar and 7-Zip's 7zz; the Python libraries and pigz with
tar are shown beside): 1.8x on the standard library, 2.2x on the large
files, 2.4x on the tiny files; stored standard library within 1.5x of cp -a.
Against the floor (floor.py: the same inflater on the same threads, no
archive, the files written), in the call: 1.05x on the standard library and
the large files, 1.10x on the tiny files.

Corpora and outputs live in memory (/dev/shm) unless QUASTOR_BENCH_DIR names
another directory: on a disk the kernel's inode allocation after the many
deletions between runs can cost more than the extraction itself (ext4
without a journal skips inodes freed in the last 30 seconds one by one),
which measures the file system's history rather than the tools.
"""

from __future__ import annotations

import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import floor  # noqa: E402
from corpora import Corpora, describe, selected  # noqa: E402
from measure import FloorLine, Report, Result, Tool, floor_goal, measure, print_goals, print_table, python_command, repeat_count, verdict  # noqa: E402
from peers import LIBARCHIVE_EXTRACT, STREAM_UNZIP, ZIPFILE_ISAL_EXTRACT, archive_file_count, available, tree_holds  # noqa: E402

QUASTOR_FILE = (
    "import sys, time, quastor\n"
    "start = time.perf_counter()\n"
    "quastor.extract_zip(sys.argv[1], sys.argv[2])\n"
    "print('call_seconds', time.perf_counter() - start)\n"
)
QUASTOR_BYTES = (
    "import sys, time, quastor\n"
    "with open(sys.argv[1], 'rb') as f: data = f.read()\n"
    "start = time.perf_counter()\n"
    "quastor.extract_zip_bytes(data, sys.argv[2])\n"
    "print('call_seconds', time.perf_counter() - start)\n"
)
ZIPFILE = "import sys, zipfile\nwith zipfile.ZipFile(sys.argv[1]) as z: z.extractall(sys.argv[2])\n"

GOALS = {"stdlib": 1.8, "large": 2.2, "tiny": 2.4}
STORED_GOAL = 1.5
# The goals were set against the tools people extract with from the shell
# and the standard library; the Python libraries are timed beside them and
# shown, each against quastor, without a goal of their own.
GOAL_PEERS = ("zipfile extractall", "unzip -q", "bsdtar -xf", "7zz x")
PIGZ = "pigz -dc | tar -x"
PEERS = (*GOAL_PEERS, PIGZ, "zipfile-isal extractall", "libarchive-c extract_file", "stream-unzip")
FLOOR_GOALS = {"stdlib": 1.05, "large": 1.05, "tiny": 1.10}
# pigz decompresses on one thread (with helpers for reading, writing and
# the check); tar writes the files.
PIGZ_EXTRACT = 'pigz -dc "$0" | tar -xf - -C "$1"'
LIBRARIES = {
    "zipfile-isal extractall": ZIPFILE_ISAL_EXTRACT,
    "libarchive-c extract_file": LIBARCHIVE_EXTRACT,
    "stream-unzip": STREAM_UNZIP,
}


def fresh(path: pathlib.Path, *, create: bool = False):
    """A prepare step: the output directory gone (or empty), caches flushed
    so that one tool's pending writes do not land on the next one's time."""

    def prepare() -> None:
        shutil.rmtree(path, ignore_errors=True)
        if create:
            path.mkdir()
        os.sync()

    return prepare


def extractor(name: str, argv: list[str], target: pathlib.Path, expected: int, *, create: bool = False,
              call_time: bool = False) -> Tool:
    """A tool writing into `target`: emptied before each sample, and its
    files counted against the archive's once, after the warm-up."""
    return Tool(name, argv, fresh(target, create=create), reports_call_time=call_time,
                check=tree_holds(name, target, expected), cleanup=lambda: shutil.rmtree(target, ignore_errors=True))


def extraction_tools(archive: pathlib.Path, out: pathlib.Path, *, libraries: bool = True) -> list[Tool]:
    files = archive_file_count(archive)
    tools = [
        extractor("quastor extract_zip", python_command(QUASTOR_FILE, str(archive), str(out / "q")), out / "q", files,
                  call_time=True),
        extractor("quastor extract_zip_bytes", python_command(QUASTOR_BYTES, str(archive), str(out / "qb")),
                  out / "qb", files, call_time=True),
        extractor("zipfile extractall", python_command(ZIPFILE, str(archive), str(out / "z")), out / "z", files),
    ]
    if shutil.which("unzip"):
        tools.append(extractor("unzip -q", ["unzip", "-q", "-o", str(archive), "-d", str(out / "u")], out / "u", files))
    if shutil.which("bsdtar"):
        tools.append(extractor("bsdtar -xf", ["bsdtar", "-xf", str(archive), "-C", str(out / "b")], out / "b", files,
                               create=True))
    if shutil.which("7zz"):
        tools.append(extractor("7zz x", ["7zz", "x", "-y", "-bd", f"-mmt={floor.threads()}", f"-o{out / 's'}",
                                         str(archive)], out / "s", files))
    if libraries:
        for index, name in enumerate(available(list(LIBRARIES))):
            target = out / f"lib{index}"
            tools.append(extractor(name, python_command(LIBRARIES[name], str(archive), str(target)), target, files))
    return tools


def goal_line(label: str, ours: float, theirs: float, theirs_name: str, goal: float, *, within: bool = False) -> str:
    if within:
        ratio = ours / theirs
        return f"  {label}: quastor {ours:.3f}s vs {theirs_name} {theirs:.3f}s = {ratio:.2f}x its time (goal <= {goal}x): {verdict(ratio <= goal)}"
    ratio = theirs / ours
    return f"  {label}: fastest peer {theirs_name} {theirs:.3f}s / quastor {ours:.3f}s = {ratio:.2f}x (goal >= {goal}x): {verdict(ratio >= goal)}"


def scratch_parent() -> str | None:
    chosen = os.environ.get("QUASTOR_BENCH_DIR")
    if chosen:
        return chosen
    if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK):
        return "/dev/shm"
    return None


def main() -> Report:
    import quastor

    repeat = repeat_count(5)
    root = pathlib.Path(tempfile.mkdtemp(prefix="quastor-bench-extract-", dir=scratch_parent()))
    print(f"Extraction benchmark: quastor from {quastor.__file__}, {os.cpu_count()} CPUs, "
          f"{len(os.sched_getaffinity(0))} usable, {repeat} rounds, medians, under {root.parent}", flush=True)
    report = Report("Extraction")
    try:
        corpora = Corpora(root / "corpora")
        for name in selected():
            started = time.perf_counter()
            archive = corpora.archive(name)
            print(f"[{Corpora.TITLES[name]}: {describe(corpora.tree(name))}; {describe(archive)}; "
                  f"built in {time.perf_counter() - started:.1f}s]", flush=True)
            out = root / "out" / name
            out.mkdir(parents=True)
            tools = extraction_tools(archive, out)
            tree = corpora.tree(name)
            if shutil.which("pigz"):
                packed = root / "corpora" / f"{name}.tar.gz"
                subprocess.run(f'tar -cf - -C "{tree}" . | pigz -6 > "{packed}"', shell=True, check=True)
                tools.append(extractor(PIGZ, ["sh", "-c", PIGZ_EXTRACT, str(packed), str(out / "p")], out / "p",
                                       archive_file_count(archive), create=True))
            binary = floor.program()
            if binary is not None:
                tools += floor.extraction_tools(binary, archive, root / "corpora", out)
            summaries = measure(tools, repeat)
            print_table(f"Extract: {Corpora.TITLES[name]}", summaries)
            ours = summaries[0].wall
            peers = [s for s in summaries if s.name in PEERS]
            fastest = min((s for s in peers if s.name in GOAL_PEERS), key=lambda s: s.wall)
            report.goals.append(goal_line(name, ours, fastest.wall, fastest.name, GOALS[name]))
            floors = {s.name: s for s in summaries}
            if floor.write_name("inflate") in floors:
                cpu, write = floors[floor.cpu_name("inflate")], floors[floor.write_name("inflate")]
                report.goals.append(floor_goal(name, summaries[0], write, FLOOR_GOALS[name]))
                report.floors.append(FloorLine(f"extract {name}", summaries[0], cpu, write, fastest))
            report.goals += [f"  {name}: {s.name} {s.wall:.3f}s / quastor {ours:.3f}s = {s.wall / ours:.2f}x"
                             for s in peers if s.name not in GOAL_PEERS]
            report.results += [Result(f"extract {name}", ours, s.name, s.wall) for s in peers]
            shutil.rmtree(out, ignore_errors=True)
            for leftover in (root / "corpora" / f"{name}.tar.gz", root / "corpora" / "floor-shards.bin"):
                leftover.unlink(missing_ok=True)
            if name != "stdlib":
                shutil.rmtree(corpora.tree(name), ignore_errors=True)

        if "stdlib" in selected():
            stored = corpora.archive("stdlib", stored=True)
            print(f"[stored standard library: {describe(stored)}]", flush=True)
            out = root / "out" / "stored"
            out.mkdir(parents=True)
            tools = [t for t in extraction_tools(stored, out, libraries=False) if t.name != "zipfile extractall"]
            tools.insert(1, extractor("cp -a", ["cp", "-a", str(corpora.tree("stdlib")), str(out / "c")], out / "c",
                                      archive_file_count(stored)))
            summaries = measure(tools, repeat)
            print_table("Extract: stored standard library, against copying the tree", summaries)
            copy = next(s for s in summaries if s.name == "cp -a")
            report.goals.append(goal_line("stored stdlib", summaries[0].wall, copy.wall, "cp -a", STORED_GOAL,
                                          within=True))

        print_goals("Extraction goals (whole-process wall time)", report.goals)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    return report


if __name__ == "__main__":
    main()
