"""Real workloads, when this machine has them: the largest wheel of each
directory searched, extracted beside bsdtar, zipfile and the Python
libraries of the extraction tables; the largest of all checked beside
zipfile's infolist(); and a few hundred small wheels extracted one after
another in one process.

Goals: each large wheel extracted at least 3.3x faster than bsdtar, with
quastor's peak resident set at most 250 MiB; the check at least 1.5x
faster than infolist(), whole process against whole process. The small
wheels report milliseconds per wheel, with no goal.

Wheels are looked for in the directories of QUASTOR_BENCH_WHEELS
(separated by ":"), by default those where wheels are kept on these
machines and pip's cache. Nothing found, nothing measured.
"""

from __future__ import annotations

import os
import pathlib
import shutil
import sys
import tempfile
import zipfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

from bench_extract import LIBRARIES, extraction_tools, fresh, scratch_parent  # noqa: E402
from measure import Report, Result, Tool, measure, print_goals, print_table, python_command, repeat_count, verdict  # noqa: E402

DEFAULT_DIRECTORIES = ("/opt/wheels", "/opt/pypi/files", "/opt/pypi-more/files", "~/.cache/pip")
SMALL_WHEEL = 1 << 20  # bytes
LARGE_WHEEL = 64 << 20
SMALL_COUNT = 300
EXTRACT_GOAL = 3.3
PEAK_GOAL = 250  # MiB
PREFLIGHT_GOAL = 1.5
# Unzip and the extraction from bytes add little here beyond the generated
# corpora, and each costs seconds on a wheel this size.
LARGEST_TOOLS = ("quastor extract_zip", "zipfile extractall", "bsdtar -xf", *LIBRARIES)

PREFLIGHT = (
    "import sys, time, quastor\n"
    "start = time.perf_counter()\n"
    "quastor.preflight_zip(sys.argv[1])\n"
    "print('call_seconds', time.perf_counter() - start)\n"
)
INFOLIST = "import sys, zipfile\nzipfile.ZipFile(sys.argv[1]).infolist()\n"
# Every wheel in turn into its own directory, as an installer would.
MANY = (
    "import sys, time\n"
    "wheels = sys.argv[2:]\n"
    "start = time.perf_counter()\n"
    "if sys.argv[1] == 'quastor':\n"
    "    import quastor\n"
    "    for i, w in enumerate(wheels): quastor.extract_zip(w, f'{{OUT}}/{i}')\n"
    "else:\n"
    "    import zipfile\n"
    "    for i, w in enumerate(wheels):\n"
    "        with zipfile.ZipFile(w) as z: z.extractall(f'{{OUT}}/{i}')\n"
    "print('call_seconds', time.perf_counter() - start)\n"
)


def find_wheels() -> dict[pathlib.Path, list[pathlib.Path]]:
    """Every wheel found, by the directory searched, smallest first; a wheel
    of a name already found elsewhere is left out."""
    chosen = os.environ.get("QUASTOR_BENCH_WHEELS")
    directories = chosen.split(":") if chosen else DEFAULT_DIRECTORIES
    seen: set[str] = set()
    found: dict[pathlib.Path, list[pathlib.Path]] = {}
    for directory in directories:
        root = pathlib.Path(directory).expanduser()
        if not root.is_dir():
            continue
        wheels = [w for w in root.rglob("*.whl") if w.name not in seen]
        seen.update(w.name for w in wheels)
        if wheels:
            found[root] = sorted(wheels, key=lambda w: w.stat().st_size)
    return found


def wheel_label(wheel: pathlib.Path) -> str:
    """"wheel torch 2.13.0+cpu": the project and version from the file name."""
    return "wheel " + " ".join(wheel.name.split("-")[:2])


def large_wheel(wheel: pathlib.Path, out: pathlib.Path, report: Report) -> None:
    size = wheel.stat().st_size / (1 << 20)
    label = wheel_label(wheel)
    tools = [t for t in extraction_tools(wheel, out) if t.name in LARGEST_TOOLS]
    # Five rounds: a second-long run meets more of the machine's noise.
    summaries = measure(tools, repeat_count(5))
    print_table(f"Extract {wheel.name} ({size:.0f} MiB)", summaries)
    ours = summaries[0]
    # The goal is set against bsdtar, the fastest peer on the generated
    # corpora; on a wheel another may be faster, and is shown beside it.
    for peer in summaries[1:]:
        ratio = peer.wall / ours.wall
        line = f"  {label}: {peer.name} {peer.wall:.3f}s / quastor {ours.wall:.3f}s = {ratio:.2f}x"
        if peer.name.startswith("bsdtar"):
            line += f" (goal >= {EXTRACT_GOAL}x): {verdict(ratio >= EXTRACT_GOAL)}"
        report.goals.append(line)
        report.results.append(Result(label, ours.wall, peer.name, peer.wall))
    report.goals.append(f"  {label}: quastor's peak {ours.rss_mib:.0f} MiB (goal <= {PEAK_GOAL} MiB): "
                        f"{verdict(ours.rss_mib <= PEAK_GOAL)}")
    largest_entry(wheel, report)


def largest_entry(wheel: pathlib.Path, report: Report) -> None:
    """The command testing the wheel, and its largest entry alone: the
    entry bounds the call from below unless it is decoded in chunks."""
    command = shutil.which("quastor") or str(pathlib.Path(sys.executable).with_name("quastor"))
    if not os.access(command, os.X_OK):
        return
    with zipfile.ZipFile(wheel) as archive:
        entry = max(archive.infolist(), key=lambda info: info.compress_size)
    summaries = measure([
        Tool("quastor test, the wheel", [command, "-q", "test", str(wheel)], None),
        Tool("quastor test, its largest entry", [command, "-q", "test", str(wheel), entry.filename], None),
    ], repeat_count(5))
    print_table(f"Test {wheel.name} and its largest entry, {entry.filename} "
                f"({entry.compress_size / (1 << 20):.0f} MiB compressed)", summaries)
    report.goals.append(f"  {wheel_label(wheel)}: test {summaries[0].wall:.3f}s, its largest entry alone "
                        f"{summaries[1].wall:.3f}s")


def preflight(wheel: pathlib.Path, report: Report) -> None:
    checks = measure([
        Tool("quastor preflight_zip", python_command(PREFLIGHT, str(wheel)), None, reports_call_time=True),
        Tool("zipfile infolist", python_command(INFOLIST, str(wheel)), None),
    ], repeat_count(5))
    print_table(f"Check the largest wheel, {wheel.name}", checks)
    ratio = checks[1].wall / checks[0].wall
    report.goals.append(f"  largest wheel preflight: infolist {checks[1].wall:.3f}s / quastor {checks[0].wall:.3f}s = "
                        f"{ratio:.2f}x (goal >= {PREFLIGHT_GOAL}x): {verdict(ratio >= PREFLIGHT_GOAL)}")
    report.results.append(Result("preflight", checks[0].wall, checks[1].name, checks[1].wall))


def many_small(wheels: list[pathlib.Path], out: pathlib.Path, report: Report) -> None:
    code = MANY.replace("{{OUT}}", str(out / "many"))
    paths = [str(w) for w in wheels]
    tools = [
        Tool("quastor extract_zip", python_command(code, "quastor", *paths), fresh(out / "many"),
             reports_call_time=True),
        Tool("zipfile extractall", python_command(code, "zipfile", *paths), fresh(out / "many"),
             reports_call_time=True),
    ]
    summaries = measure(tools, repeat_count(3))
    print_table(f"Extract {len(wheels)} small wheels one after another, in one process", summaries)
    ours, theirs = (s.call or s.wall for s in summaries)
    report.goals.append(f"  small wheels: quastor {ours / len(wheels) * 1000:.2f} ms each, "
                        f"zipfile {theirs / len(wheels) * 1000:.2f} ms each ({theirs / ours:.2f}x)")
    report.results.append(Result("small wheels", ours, summaries[1].name, theirs))


def main() -> Report:
    report = Report("Real workloads")
    by_directory = find_wheels()
    if not by_directory:
        print("Wheel benchmark skipped: no wheels found on this machine", flush=True)
        return report
    root = pathlib.Path(tempfile.mkdtemp(prefix="quastor-bench-wheels-", dir=scratch_parent()))
    count = sum(len(found) for found in by_directory.values())
    print(f"Wheel benchmark: {count} wheels found in {len(by_directory)} directories, under {root}", flush=True)
    try:
        out = root / "out"
        out.mkdir()
        # The largest wheel of each directory: large wheels differ most in
        # their largest member, which sets the critical path.
        for wheel in sorted((found[-1] for found in by_directory.values()), key=lambda w: -w.stat().st_size):
            if wheel.stat().st_size >= LARGE_WHEEL:
                large_wheel(wheel, out, report)
        wheels = sorted((w for found in by_directory.values() for w in found), key=lambda w: w.stat().st_size)
        preflight(wheels[-1], report)
        small = [w for w in wheels if w.stat().st_size <= SMALL_WHEEL]
        if small:
            # Spread over the sizes, and cycled up to the count when there
            # are fewer, so that the per-call cost is measured over enough
            # calls.
            step = max(1, len(small) // SMALL_COUNT)
            chosen = small[::step][:SMALL_COUNT]
            many_small([chosen[i % len(chosen)] for i in range(SMALL_COUNT)], out, report)
        print_goals("Real workloads (whole-process wall time)", report.goals)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    return report


if __name__ == "__main__":
    main()
