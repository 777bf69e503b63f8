"""Real workloads, when this machine has them: the largest wheel found,
extracted and checked beside bsdtar, zipfile and zipfile's infolist(), and
a few hundred small wheels extracted one after another in one process.

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

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

from bench_extract import QUASTOR_FILE, ZIPFILE, fresh, scratch_parent  # noqa: E402
from measure import Tool, measure, print_goals, print_table, python_command, repeat_count  # noqa: E402

DEFAULT_DIRECTORIES = ("/opt/wheels", "/opt/pypi-more/files", "~/.cache/pip")
SMALL_WHEEL = 1 << 20  # bytes
SMALL_COUNT = 300

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


def find_wheels() -> list[pathlib.Path]:
    chosen = os.environ.get("QUASTOR_BENCH_WHEELS")
    directories = chosen.split(":") if chosen else DEFAULT_DIRECTORIES
    found: dict[str, pathlib.Path] = {}
    for directory in directories:
        root = pathlib.Path(directory).expanduser()
        if root.is_dir():
            for wheel in root.rglob("*.whl"):
                found.setdefault(wheel.name, wheel)
    return sorted(found.values(), key=lambda w: w.stat().st_size)


def largest(wheel: pathlib.Path, out: pathlib.Path, goals: list[str]) -> None:
    size = wheel.stat().st_size / (1 << 20)
    tools = [
        Tool("quastor extract_zip", python_command(QUASTOR_FILE, str(wheel), str(out / "q")), fresh(out / "q"),
             reports_call_time=True),
        Tool("zipfile extractall", python_command(ZIPFILE, str(wheel), str(out / "z")), fresh(out / "z")),
    ]
    if shutil.which("bsdtar"):
        tools.append(Tool("bsdtar -xf", ["bsdtar", "-xf", str(wheel), "-C", str(out / "b")],
                          fresh(out / "b", create=True)))
    summaries = measure(tools, repeat_count(3))
    print_table(f"Extract the largest wheel, {wheel.name} ({size:.0f} MiB)", summaries)
    ours = summaries[0]
    # The goal is set against bsdtar, the fastest peer on the generated
    # corpora; on a wheel zipfile may be faster, and is shown beside it.
    for peer in summaries[1:]:
        goals.append(f"  largest wheel: {peer.name} {peer.wall:.3f}s / quastor {ours.wall:.3f}s = "
                     f"{peer.wall / ours.wall:.2f}x" + (" (goal >= 3.3x)" if peer.name.startswith("bsdtar") else ""))
    goals.append(f"  largest wheel: quastor's peak {ours.rss_mib:.0f} MiB (goal <= 250 MiB)")
    checks = measure([
        Tool("quastor preflight_zip", python_command(PREFLIGHT, str(wheel)), None, reports_call_time=True),
        Tool("zipfile infolist", python_command(INFOLIST, str(wheel)), None),
    ], repeat_count(5))
    print_table(f"Check the largest wheel, {wheel.name}", checks)
    goals.append(f"  largest wheel preflight: infolist {checks[1].wall:.3f}s / quastor {checks[0].wall:.3f}s = "
                 f"{checks[1].wall / checks[0].wall:.2f}x (goal >= 1.5x)")


def many_small(wheels: list[pathlib.Path], out: pathlib.Path, goals: list[str]) -> None:
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
    goals.append(f"  small wheels: quastor {ours / len(wheels) * 1000:.2f} ms each, "
                 f"zipfile {theirs / len(wheels) * 1000:.2f} ms each ({theirs / ours:.2f}x)")


def main() -> None:
    wheels = find_wheels()
    if not wheels:
        print("Wheel benchmark skipped: no wheels found on this machine", flush=True)
        return
    root = pathlib.Path(tempfile.mkdtemp(prefix="quastor-bench-wheels-", dir=scratch_parent()))
    print(f"Wheel benchmark: {len(wheels)} wheels found, under {root}", flush=True)
    goals: list[str] = []
    try:
        out = root / "out"
        out.mkdir()
        largest(wheels[-1], out, goals)
        small = [w for w in wheels if w.stat().st_size <= SMALL_WHEEL]
        if small:
            # Cycled up to the count, so that the per-call cost is measured
            # over enough calls.
            many_small([small[i % len(small)] for i in range(SMALL_COUNT)], out, goals)
        print_goals("Real workloads (whole-process wall time)", goals)
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
