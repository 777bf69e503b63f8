"""Creation side by side: quastor against zipfile (DEFLATE level 6), Info-ZIP
zip -6, bsdtar, 7-Zip (-mx=5, multithreaded) and the Python libraries
zipfile-isal, fastzip and libarchive-c when they are installed, each as a
whole process, on three corpora; then quastor alone on the large corpus
twice over, to show that its peak memory follows the largest file and the
thread count, not the size of the archive. Each table has every archive's
size beside its time, so a peer that is faster by compressing less shows
as such.

Rows that are no peers set the floor (floor.py): the same libdeflate at
level 6 on the same threads, each file an independent shard with no
archive around it, once dropping the bytes and once writing them into one
file.

Goals (whole-process wall time on two cores, against the fastest of
zipfile, Info-ZIP, bsdtar, 7-Zip and 7zz whose archive is at most 2 % larger
than quastor's; the Python libraries and tar | pigz are shown beside, and a
peer faster by writing a larger archive is named as such): 4x on the
standard library, 4.3x on the large files, 3x on the tiny files; in the
call against the CPU + write floor, 1.05x on the standard library and the
large files, 1.15x on the tiny files; and no archive larger than
Info-ZIP's at level 6.
"""

from __future__ import annotations

import os
import pathlib
import shutil
import sys
import sysconfig
import tarfile
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import floor  # noqa: E402
from corpora import MIB, Corpora, describe, selected  # noqa: E402
from measure import (  # noqa: E402
    COMPARABLE_SIZE,
    FloorLine,
    Report,
    Result,
    Summary,
    Tool,
    floor_goal,
    measure,
    print_goals,
    print_table,
    python_command,
    repeat_count,
    verdict,
)
from peers import FASTZIP_CREATE, LIBARCHIVE_CREATE, ZIPFILE_ISAL_CREATE, archive_holds, available, tree_file_count  # noqa: E402

QUASTOR = (
    "import sys, time, quastor\n"
    "start = time.perf_counter()\n"
    "quastor.create_zip(sys.argv[1], sys.argv[2])\n"
    "print('call_seconds', time.perf_counter() - start)\n"
)
ZIPFILE = (
    "import os, sys, zipfile\n"
    "source, archive = sys.argv[1], sys.argv[2]\n"
    "with zipfile.ZipFile(archive, 'w', zipfile.ZIP_DEFLATED, compresslevel=6) as out:\n"
    "    for directory, directories, files in os.walk(source):\n"
    "        directories.sort()\n"
    "        for name in directories + sorted(files):\n"
    "            path = os.path.join(directory, name)\n"
    "            out.write(path, os.path.relpath(path, source))\n"
)
GOALS = {"stdlib": 4.0, "large": 4.3, "tiny": 3.0}
# The command at level 1, ISA-L's engine: shown beside the peers that trade
# archive size for speed, not a peer itself.
FAST_END = "quastor create --level 1"
FLOOR_GOALS = {"stdlib": 1.05, "large": 1.05, "tiny": 1.15}
# tar walks and writes on one thread, pigz compresses on all of them: a
# .tar.gz, not a ZIP, so shown beside the goal peers rather than among them.
PIGZ = "tar -c | pigz -6"
LIBRARIES = {
    "zipfile-isal ISA-L level 3": ZIPFILE_ISAL_CREATE,
    "fastzip level 6": FASTZIP_CREATE,
    "libarchive-c level 6": LIBARCHIVE_CREATE,
}
# The goals were set against these; the Python libraries are timed beside
# them and shown, each against quastor, without a goal of their own.
GOAL_PEERS = ("zipfile level 6", "zip -r -6", "bsdtar --format zip", "7z a -mx=5 -mmt=on", "7zz a -mx=5")
PEERS = (*GOAL_PEERS, PIGZ, *LIBRARIES)
# What each row writes, by row name: its size is the row's archive size.
Outputs = dict[str, list[pathlib.Path]]


def fresh(path: pathlib.Path):
    """A prepare step: the last archive gone and its pages written back, so
    that one tool's pending writes do not land on the next one's time."""

    def prepare() -> None:
        path.unlink(missing_ok=True)
        os.sync()

    return prepare


def in_directory(directory: pathlib.Path, argv: list[str]) -> list[str]:
    # Info-ZIP and 7-Zip name entries as the paths are given: run them inside
    # the tree. exec keeps the tool's own resource usage.
    return ["sh", "-c", 'cd "$0" && exec "$@"', str(directory), *argv]


def creation_tools(source: pathlib.Path, out: pathlib.Path, *, libraries: bool = True) -> tuple[list[Tool], Outputs]:
    files = tree_file_count(source)
    tools: list[Tool] = []
    outputs: Outputs = {}

    def add(name: str, argv: list[str], archive: pathlib.Path) -> None:
        tools.append(Tool(name, argv, fresh(archive), reports_call_time=name.startswith("quastor"),
                          check=archive_holds(name, archive, files)))
        outputs[name] = [archive]

    add("quastor create_zip", python_command(QUASTOR, str(source), str(out / "quastor.zip")), out / "quastor.zip")
    command = pathlib.Path(sysconfig.get_path("scripts")) / "quastor"
    if libraries and command.exists():
        add(FAST_END, [str(command), "create", "-q", "--level", "1", "-C", str(source), str(out / "fast.zip"), "."],
            out / "fast.zip")
    add("zipfile level 6", python_command(ZIPFILE, str(source), str(out / "zipfile.zip")), out / "zipfile.zip")
    if shutil.which("zip"):
        add("zip -r -6", in_directory(source, ["zip", "-r", "-6", "-q", str(out / "zip.zip"), "."]), out / "zip.zip")
    if shutil.which("bsdtar"):
        add("bsdtar --format zip", ["bsdtar", "--format", "zip", "-cf", str(out / "bsdtar.zip"), "-C", str(source), "."],
            out / "bsdtar.zip")
    if shutil.which("7z"):
        add("7z a -mx=5 -mmt=on", in_directory(source, ["7z", "a", "-tzip", "-mx=5", "-mmt=on", str(out / "7z.zip"), "."]),
            out / "7z.zip")
    if shutil.which("7zz"):
        add("7zz a -mx=5", in_directory(source, ["7zz", "a", "-tzip", "-mx=5", f"-mmt={floor.threads()}", "-bd",
                                                 str(out / "7zz.zip"), "."]), out / "7zz.zip")
    if libraries and shutil.which("pigz"):
        packed = out / "pigz.tar.gz"
        tools.append(Tool(PIGZ, ["sh", "-c", 'tar -cf - -C "$0" . | pigz -6 -p "$1" > "$2"', str(source),
                                 str(floor.threads()), str(packed)], fresh(packed), check=tar_holds(packed, files)))
        outputs[PIGZ] = [packed]
    for index, name in enumerate(available(list(LIBRARIES)) if libraries else []):
        archive = out / f"lib{index}.zip"
        add(name, python_command(LIBRARIES[name], str(source), str(archive)), archive)
    return tools, outputs


def tar_holds(archive: pathlib.Path, expected: int):
    def check() -> None:
        with tarfile.open(archive) as tar:
            found = sum(not member.isdir() for member in tar)
        if found != expected:
            raise RuntimeError(f"{PIGZ}: {archive} holds {found} files, its source tree has {expected}")

    return check


def archive_sizes(outputs: Outputs) -> dict[str, int]:
    return {name: sum(p.stat().st_size for p in paths) for name, paths in outputs.items()
            if all(p.exists() for p in paths)}


def creation_goals(name: str, summaries: list[Summary], sizes: dict[str, int]) -> list[str]:
    """The goal is set against the fastest peer that compresses about as
    well as quastor: a peer that is faster by writing a larger archive is a
    different trade, named on a line of its own rather than hidden."""
    ours = summaries[0]
    our_size = sizes[ours.name]
    peers = [s for s in summaries if s.name in PEERS]
    alike = [s for s in peers if sizes[s.name] <= our_size * COMPARABLE_SIZE]
    goals = []
    judged = [s for s in alike if s.name in GOAL_PEERS]
    if judged:
        fastest = min(judged, key=lambda s: s.wall)
        ratio = fastest.wall / ours.wall
        goals.append(f"  {name}: fastest peer with an archive at most {COMPARABLE_SIZE}x quastor's: {fastest.name} "
                     f"{fastest.wall:.3f}s / quastor {ours.wall:.3f}s = {ratio:.2f}x (goal >= {GOALS[name]}x): "
                     f"{verdict(ratio >= GOALS[name])}")
    for peer in alike:
        if peer.name not in GOAL_PEERS:
            goals.append(f"  {name}: {peer.name} {peer.wall:.3f}s / quastor {ours.wall:.3f}s = "
                         f"{peer.wall / ours.wall:.2f}x, archive {sizes[peer.name] / our_size:.3f}x quastor's")
    for peer in peers:
        if peer not in alike and peer.wall < min(s.wall for s in alike or [ours]):
            size = sizes[peer.name] / our_size
            goals.append(f"  {name}: {peer.name} is faster, {peer.wall:.3f}s ({peer.wall / ours.wall:.2f}x "
                         f"quastor's time), with a larger archive ({size:.3f}x quastor's)")
    fast_end = next((s for s in summaries if s.name == FAST_END), None)
    if fast_end is not None:
        goals.append(f"  {name}: quastor's own fast end, {FAST_END}: {fast_end.wall:.3f}s, archive "
                     f"{sizes[fast_end.name] / our_size:.3f}x that of level 6")
    if "zip -r -6" in sizes:
        info_zip = sizes["zip -r -6"]
        goals.append(f"  {name}: archive {our_size / MIB:.2f} MiB vs Info-ZIP {info_zip / MIB:.2f} MiB "
                     f"(goal: no larger): {verdict(our_size <= info_zip)}")
    write = next((s for s in summaries if s.name == floor.write_name("deflate -6")), None)
    if write is not None:
        goals.append(floor_goal(name, ours, write, FLOOR_GOALS[name]))
    return goals


def doubled(large: pathlib.Path, target: pathlib.Path) -> pathlib.Path:
    """The large corpus twice, as hard links: twice the archive, no more disk."""
    for copy in ("1", "2"):
        (target / copy).mkdir(parents=True)
        for file in sorted(large.iterdir()):
            os.link(file, target / copy / file.name)
    return target


def main() -> Report:
    import quastor

    repeat = repeat_count(5)
    root = pathlib.Path(tempfile.mkdtemp(prefix="quastor-bench-create-", dir=os.environ.get("QUASTOR_BENCH_DIR")))
    print(f"Creation benchmark: quastor from {quastor.__file__}, {os.cpu_count()} CPUs, "
          f"{len(os.sched_getaffinity(0))} usable, {repeat} rounds, medians; "
          f"load average {os.getloadavg()[0]:.2f}", flush=True)
    report = Report("Creation")
    try:
        corpora = Corpora(root / "corpora")
        for name in selected():
            started = time.perf_counter()
            source = corpora.tree(name)
            print(f"[{Corpora.TITLES[name]}: {describe(source)}; built in {time.perf_counter() - started:.1f}s]",
                  flush=True)
            out = root / "out" / name
            out.mkdir(parents=True)
            tools, outputs = creation_tools(source, out)
            binary = floor.program()
            if binary is not None:
                rows, shards = floor.creation_tools(binary, source, out)
                tools += rows
                outputs[rows[1].name] = [shards]
            summaries = measure(tools, repeat)
            sizes = archive_sizes(outputs)
            print_table(f"Create: {Corpora.TITLES[name]}", summaries, sizes=sizes)
            report.goals += creation_goals(name, summaries, sizes)
            ours = summaries[0]
            report.results += [Result(f"create {name}", ours.wall, s.name, s.wall, sizes[ours.name], sizes[s.name])
                               for s in summaries if s.name in PEERS]
            by_name = {s.name: s for s in summaries}
            if floor.write_name("deflate -6") in by_name:
                alike = [s for s in summaries if s.name in GOAL_PEERS and sizes[s.name] <= sizes[ours.name] * COMPARABLE_SIZE]
                report.floors.append(FloorLine(f"create {name}", ours, by_name[floor.cpu_name("deflate -6")],
                                                     by_name[floor.write_name("deflate -6")],
                                                     min(alike, key=lambda s: s.wall) if alike else None))
            shutil.rmtree(out, ignore_errors=True)

            if name == "large":
                twice = doubled(source, root / "corpora" / "trees" / "large-x2")
                out = root / "out" / "large-x2"
                out.mkdir(parents=True)
                tools, outputs = creation_tools(twice, out, libraries=False)
                tools = [t for t in tools if t.name in ("quastor create_zip", "zip -r -6")]
                summaries = measure(tools, max(1, repeat // 2))
                print_table("Create: the large corpus twice over (peak memory against archive size)", summaries,
                            sizes=archive_sizes(outputs))
                shutil.rmtree(out, ignore_errors=True)
                shutil.rmtree(twice, ignore_errors=True)
            if name != "stdlib":
                shutil.rmtree(source, ignore_errors=True)

        print_goals("Creation goals (whole-process wall time; archive size)", report.goals)
        print(f"load average at the end {os.getloadavg()[0]:.2f}", flush=True)
        print(flush=True)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    return report


if __name__ == "__main__":
    main()
