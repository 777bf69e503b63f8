"""Creation side by side: quastor against zipfile (DEFLATE level 6), Info-ZIP
zip -6, bsdtar and 7-Zip (-mx=5, multithreaded), each as a whole process, on
three corpora; then quastor alone on the large corpus twice over, to show
that its peak memory follows the largest file and the thread count, not the
size of the archive.

Goals (whole-process wall time on two cores, against the fastest peer):
3.3x on the standard library, 4x on the large files, 1.6x on the tiny
files; and no archive larger than Info-ZIP's at level 6.
"""

from __future__ import annotations

import os
import pathlib
import shutil
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

from corpora import MIB, Corpora, describe  # noqa: E402
from measure import Tool, measure, print_table, python_command, repeat_count  # noqa: E402

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

GOALS = {"stdlib": 3.3, "large": 4.0, "tiny": 1.6}
PEERS = ("zipfile level 6", "zip -r -6", "bsdtar --format zip", "7z a -mx=5 -mmt=on")


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


def creation_tools(source: pathlib.Path, out: pathlib.Path) -> list[Tool]:
    tools = [
        Tool("quastor create_zip", python_command(QUASTOR, str(source), str(out / "quastor.zip")),
             fresh(out / "quastor.zip"), reports_call_time=True),
        Tool("zipfile level 6", python_command(ZIPFILE, str(source), str(out / "zipfile.zip")),
             fresh(out / "zipfile.zip")),
    ]
    if shutil.which("zip"):
        tools.append(Tool("zip -r -6", in_directory(source, ["zip", "-r", "-6", "-q", str(out / "zip.zip"), "."]),
                          fresh(out / "zip.zip")))
    if shutil.which("bsdtar"):
        tools.append(Tool("bsdtar --format zip",
                          ["bsdtar", "--format", "zip", "-cf", str(out / "bsdtar.zip"), "-C", str(source), "."],
                          fresh(out / "bsdtar.zip")))
    if shutil.which("7z"):
        tools.append(Tool("7z a -mx=5 -mmt=on",
                          in_directory(source, ["7z", "a", "-tzip", "-mx=5", "-mmt=on", str(out / "7z.zip"), "."]),
                          fresh(out / "7z.zip")))
    return tools


ARCHIVES = {
    "quastor create_zip": "quastor.zip", "zipfile level 6": "zipfile.zip", "zip -r -6": "zip.zip",
    "bsdtar --format zip": "bsdtar.zip", "7z a -mx=5 -mmt=on": "7z.zip",
}


def archive_sizes(out: pathlib.Path, names: list[str]) -> dict[str, int]:
    sizes = {}
    for name in names:
        path = out / ARCHIVES[name]
        if path.exists():
            sizes[name] = path.stat().st_size
    return sizes


def print_sizes(sizes: dict[str, int]) -> None:
    ours = sizes["quastor create_zip"]
    print("archive sizes: " + ", ".join(
        f"{name} {size / MIB:.2f} MiB ({size / ours:.3f}x)" for name, size in sizes.items()), flush=True)
    print(flush=True)


def doubled(large: pathlib.Path, target: pathlib.Path) -> pathlib.Path:
    """The large corpus twice, as hard links: twice the archive, no more disk."""
    for copy in ("1", "2"):
        (target / copy).mkdir(parents=True)
        for file in sorted(large.iterdir()):
            os.link(file, target / copy / file.name)
    return target


def main() -> None:
    import quastor

    repeat = repeat_count(5)
    root = pathlib.Path(tempfile.mkdtemp(prefix="quastor-bench-create-", dir=os.environ.get("QUASTOR_BENCH_DIR")))
    print(f"Creation benchmark: quastor from {quastor.__file__}, {os.cpu_count()} CPUs, "
          f"{len(os.sched_getaffinity(0))} usable, {repeat} rounds, medians; "
          f"load average {os.getloadavg()[0]:.2f}", flush=True)
    goals = []
    try:
        corpora = Corpora(root / "corpora")
        for name in ("stdlib", "large", "tiny"):
            started = time.perf_counter()
            source = corpora.tree(name)
            print(f"[{Corpora.TITLES[name]}: {describe(source)}; built in {time.perf_counter() - started:.1f}s]",
                  flush=True)
            out = root / "out" / name
            out.mkdir(parents=True)
            tools = creation_tools(source, out)
            summaries = measure(tools, repeat)
            print_table(f"Create: {Corpora.TITLES[name]}", summaries)
            sizes = archive_sizes(out, [t.name for t in tools])
            print_sizes(sizes)

            ours = summaries[0].wall
            peers = [s for s in summaries if s.name in PEERS]
            fastest = min(peers, key=lambda s: s.wall)
            ratio = fastest.wall / ours
            goals.append(f"  {name}: fastest peer {fastest.name} {fastest.wall:.3f}s / quastor {ours:.3f}s = "
                         f"{ratio:.2f}x (goal >= {GOALS[name]}x): {'met' if ratio >= GOALS[name] else 'MISSED'}")
            if "zip -r -6" in sizes:
                info_zip = sizes["zip -r -6"]
                size_ok = sizes["quastor create_zip"] <= info_zip
                goals.append(f"  {name}: archive {sizes['quastor create_zip'] / MIB:.2f} MiB vs Info-ZIP "
                             f"{info_zip / MIB:.2f} MiB (goal: no larger): {'met' if size_ok else 'MISSED'}")
            shutil.rmtree(out, ignore_errors=True)

            if name == "large":
                twice = doubled(source, root / "corpora" / "trees" / "large-x2")
                out = root / "out" / "large-x2"
                out.mkdir(parents=True)
                tools = [t for t in creation_tools(twice, out) if t.name in ("quastor create_zip", "zip -r -6")]
                summaries = measure(tools, max(1, repeat // 2))
                print_table("Create: the large corpus twice over (peak memory against archive size)", summaries)
                print_sizes(archive_sizes(out, [t.name for t in tools]))
                shutil.rmtree(out, ignore_errors=True)
                shutil.rmtree(twice, ignore_errors=True)
            if name != "stdlib":
                shutil.rmtree(source, ignore_errors=True)

        print("Creation goals (whole-process wall time; archive size):")
        print("\n".join(goals), flush=True)
        print(f"load average at the end {os.getloadavg()[0]:.2f}", flush=True)
        print(flush=True)
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
