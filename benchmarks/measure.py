"""Running commands side by side and tabulating them.

Every sample is one whole process: wall time from start to exit, its CPU
time (user + system, from the child's rusage) and its peak resident set.
Tools take turns within each round (and the order rotates between rounds),
so that a burst of load from elsewhere hits every tool alike. The table
shows medians and, for each row, how many times slower it was than the
baseline row (quastor).

A tool may also report the time of the call it benchmarks by printing a
last line "call_seconds <float>" on standard output.

Each benchmark module's main() hands back a Report: its goal lines and one
Result per workload and peer, which bench.py gathers for the summary and
the chart.
"""

from __future__ import annotations

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field

CALL_MARK = "call_seconds"
# Archives within this of quastor's count as compressing alike.
COMPARABLE_SIZE = 1.02

# A process's peak resident set counts the memory of the process that
# exec'd it, so a tool started straight from this (large) interpreter would
# report at least our size. GNU time, a small process, forks the tool and
# reads the tool's own peak; without it the column stays empty.
GNU_TIME = shutil.which("time", path="/usr/bin:/bin")


def repeat_count(default: int) -> int:
    """QUASTOR_BENCH_REPEAT when it is a positive integer, else the default."""
    text = os.environ.get("QUASTOR_BENCH_REPEAT", "")
    return int(text) if text.isdigit() and int(text) > 0 else default


@dataclass
class Tool:
    name: str
    argv: list[str]
    # Runs before every sample, untimed (e.g. removing the last output).
    prepare: Callable[[], None] | None = None
    reports_call_time: bool = False
    # Runs once after the warm-up sample, untimed: raises when the tool's
    # output is wrong, so that a broken peer is never timed.
    check: Callable[[], None] | None = None
    # Runs after every sample (and after the check), untimed: drops what the
    # tool wrote, so that outputs left by the others do not crowd a
    # memory-backed file system while the next tool runs.
    cleanup: Callable[[], None] | None = None


@dataclass
class Result:
    """One workload, quastor against one peer: seconds by the measure the
    goal uses, and archive sizes in bytes where the workload makes one."""

    workload: str
    quastor: float
    peer: str
    peer_seconds: float
    quastor_size: int | None = None
    peer_size: int | None = None

    @property
    def speedup(self) -> float:
        return self.peer_seconds / self.quastor if self.quastor > 0 else float("nan")


@dataclass
class Report:
    # Heads the module's goal lines in the summary at the end.
    title: str
    goals: list[str] = field(default_factory=list)
    results: list[Result] = field(default_factory=list)
    # quastor against the floor rows, one line per workload that has them.
    floors: list[FloorLine] = field(default_factory=list)


def verdict(met: bool) -> str:
    return "met" if met else "MISSED"


@dataclass
class Sample:
    wall: float
    cpu: float
    rss_kib: int | None
    call: float | None = None


@dataclass
class Summary:
    name: str
    samples: list[Sample] = field(default_factory=list)

    @property
    def wall(self) -> float:
        return statistics.median(s.wall for s in self.samples)

    @property
    def cpu(self) -> float:
        return statistics.median(s.cpu for s in self.samples)

    @property
    def rss_mib(self) -> float:
        peaks = [s.rss_kib for s in self.samples if s.rss_kib is not None]
        return statistics.median(peaks) / 1024 if peaks else float("nan")

    @property
    def call(self) -> float | None:
        calls = [s.call for s in self.samples if s.call is not None]
        return statistics.median(calls) if calls else None

    @property
    def spread(self) -> float:
        """Largest wall time over smallest: how noisy the samples were."""
        walls = [s.wall for s in self.samples]
        return max(walls) / min(walls) if walls and min(walls) > 0 else 0.0


def run_once(tool: Tool) -> Sample:
    if tool.prepare is not None:
        tool.prepare()
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err, \
            tempfile.NamedTemporaryFile("r") as peak:
        argv = tool.argv
        if GNU_TIME:
            argv = [GNU_TIME, "-f", "%M", "-o", peak.name, *argv]
        start = time.perf_counter()
        process = subprocess.Popen(argv, stdout=out, stderr=err)
        # wait4 rather than Popen.wait: it hands back the child's usage,
        # including that of the children it waited for.
        _, status, usage = os.wait4(process.pid, 0)
        wall = time.perf_counter() - start
        process.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        err.seek(0)
        output, errors = out.read(), err.read()
        rss_kib = int(peak.read().split()[-1]) if GNU_TIME and process.returncode == 0 else None
    if process.returncode != 0:
        message = errors.decode(errors="replace").strip()
        raise RuntimeError(f"{tool.name} failed ({process.returncode}): {message}")
    call = None
    if tool.reports_call_time:
        for line in reversed(output.decode().splitlines()):
            if line.startswith(CALL_MARK):
                call = float(line.split()[1])
                break
    return Sample(wall, usage.ru_utime + usage.ru_stime, rss_kib, call)


def measure(tools: list[Tool], repeat: int, *, warmup: bool = True) -> list[Summary]:
    """Runs every tool `repeat` times, interleaved; one untimed warm-up round
    first brings the input into the page cache for everyone."""
    if warmup:
        for tool in tools:
            run_once(tool)
            if tool.check is not None:
                tool.check()
            if tool.cleanup is not None:
                tool.cleanup()
    summaries = {tool.name: Summary(tool.name) for tool in tools}
    for round_number in range(repeat):
        shift = round_number % len(tools)
        for tool in tools[shift:] + tools[:shift]:
            summaries[tool.name].samples.append(run_once(tool))
            if tool.cleanup is not None:
                tool.cleanup()
    return [summaries[tool.name] for tool in tools]


def format_table(title: str, summaries: list[Summary], baseline: str | None = None,
                 sizes: Mapping[str, int] | None = None) -> str:
    """The table; with `sizes` (bytes of each tool's output, by tool name)
    two more columns show each output in MiB and against the baseline's."""
    base = next((s for s in summaries if s.name == baseline), summaries[0])
    header = f"{'tool':<34} {'wall s':>8} {'x quastor':>9} {'cpu s':>7} {'rss MiB':>8} {'call s':>7} {'spread':>7}"
    if sizes is not None:
        header += f" {'out MiB':>8} {'x size':>7}"
    lines = [title, header, "-" * len(header)]
    for s in summaries:
        ratio = s.wall / base.wall if base.wall > 0 else float("nan")
        call = f"{s.call:7.3f}" if s.call is not None else f"{'':>7}"
        line = f"{s.name:<34} {s.wall:8.3f} {ratio:9.2f} {s.cpu:7.3f} {s.rss_mib:8.1f} {call} {s.spread:7.2f}"
        if sizes is not None:
            size, base_size = sizes.get(s.name), sizes.get(base.name)
            if size is not None:
                line += f" {size / (1 << 20):8.2f}"
                line += f" {size / base_size:7.3f}" if base_size else f" {'':>7}"
        lines.append(line)
    return "\n".join(lines)


def print_table(title: str, summaries: list[Summary], baseline: str | None = None,
                sizes: Mapping[str, int] | None = None) -> None:
    print(format_table(title, summaries, baseline, sizes), flush=True)
    print(flush=True)


def print_goals(title: str, goals: list[str]) -> None:
    print(f"{title}:")
    print("\n".join(goals), flush=True)
    print(flush=True)


def python_command(code: str, *args: str) -> list[str]:
    """The running interpreter executing `code` with sys.argv[1:] = args."""
    return [sys.executable, "-c", code, *args]


@dataclass
class FloorLine:
    """One workload: quastor's in-call and whole-process times against both
    floors, beside the fastest peer's whole-process time."""

    workload: str
    quastor: Summary
    cpu: Summary
    write: Summary
    peer: Summary | None

    @staticmethod
    def _ratio(ours: float | None, floor: float | None) -> str:
        if ours is None or not floor:
            return f"{'-':>6}"
        return f"{ours / floor:6.2f}"

    def cells(self) -> str:
        q, c, w = self.quastor, self.cpu, self.write
        text = (f"{self.workload:<15} {q.call or 0:7.3f} {q.wall:7.3f} |"
                f" {c.call or 0:7.3f} {c.wall:7.3f} {self._ratio(q.call, c.call)} {self._ratio(q.wall, c.wall)} |"
                f" {w.call or 0:7.3f} {w.wall:7.3f} {self._ratio(q.call, w.call)} {self._ratio(q.wall, w.wall)} |")
        if self.peer is not None:
            text += f" {self.peer.name:<26} {self.peer.wall:7.3f} {self.peer.wall / q.wall:6.2f}"
        return text


FLOOR_HEADER = (f"{'':<15} {'quastor':>15} | {'CPU floor':<29} | {'CPU + write floor':<29} | fastest goal peer\n"
          f"{'workload':<15} {'call s':>7} {'wall s':>7} | {'call s':>7} {'wall s':>7} {'x call':>6} {'x wall':>6} |"
          f" {'call s':>7} {'wall s':>7} {'x call':>6} {'x wall':>6} | {'tool':<26} {'wall s':>7} {'x':>6}")


def floor_goal(workload: str, quastor: Summary, write: Summary, goal: float) -> str:
    ratio = (quastor.call or quastor.wall) / (write.call or write.wall)
    return (f"  {workload}: quastor in the call {quastor.call or 0:.3f}s / CPU + write floor {write.call or 0:.3f}s "
            f"= {ratio:.2f}x (goal <= {goal}x): {verdict(ratio <= goal)}")
