"""The chart of a run: per workload, how many times faster quastor was than
the fastest peer (the bar, named at its end) and than each other peer (the
dots), on a logarithmic axis with 1x marked, titled with the machine.

matplotlib is optional and imported only here, with the Agg backend, so the
chart needs no display.
"""

from __future__ import annotations

import datetime
import os
import pathlib
import platform

from measure import Result

# The order the workloads are read in, top to bottom.
WORKLOADS = ("extract stdlib", "extract large", "extract tiny", "create stdlib", "create large", "create tiny",
             "largest wheel", "preflight", "small wheels")


def machine() -> str:
    model = platform.processor()
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            model = next((line.split(":", 1)[1].strip() for line in cpuinfo if line.startswith("model name")), model)
    except OSError:
        pass
    return f"{os.cpu_count()} CPUs, {model or platform.machine()}"


def write_chart(results: list[Result], path: pathlib.Path) -> bool:
    """Writes the PNG; False, with a line saying why, when it cannot."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("Chart skipped: matplotlib is not installed", flush=True)
        return False
    workloads = [w for w in WORKLOADS if any(r.workload == w for r in results)]
    if not workloads:
        print("Chart skipped: no results", flush=True)
        return False

    figure, axes = plt.subplots(figsize=(9, 1.0 + 0.7 * len(workloads)))
    for row, workload in enumerate(workloads):
        rows = [r for r in results if r.workload == workload]
        fastest = min(rows, key=lambda r: r.peer_seconds)
        ratio = fastest.speedup
        # Bars start at 1x, so a workload where quastor is slower reads leftwards.
        axes.barh(row, ratio - 1, left=1, height=0.45, color="#2b6cb0" if ratio >= 1 else "#c53030")
        others = [r.speedup for r in rows if r is not fastest]
        axes.scatter(others, [row] * len(others), s=12, color="#4a5568", zorder=3)
        label = f"{ratio:.2f}x vs {fastest.peer}"
        if fastest.quastor_size and fastest.peer_size and fastest.peer_size > fastest.quastor_size:
            label += f" (archive {fastest.peer_size / fastest.quastor_size:.2f}x quastor's)"
        # Above the bar, where no dot can cover it.
        axes.annotate(label, (1, row - 0.25), xytext=(3, 1), textcoords="offset points", va="bottom", fontsize=8)
    axes.axvline(1, color="black", linewidth=1)
    axes.set_xscale("log", base=2)
    axes.set_yticks(range(len(workloads)), workloads)
    axes.invert_yaxis()
    axes.set_xlabel("times faster than the peer (whole process; bar: fastest peer, dots: the others)")
    low = min(min(r.speedup for r in results), 1.0)
    high = max(max(r.speedup for r in results), 2.0)
    axes.set_xlim(low / 1.5, high * 1.5)
    ticks = [2.0**k for k in range(-4, 8) if low / 1.5 <= 2.0**k <= high * 1.5]
    axes.set_xticks(ticks, [f"{t:g}x" for t in ticks])
    axes.minorticks_off()
    axes.set_title(f"quastor against its peers: {machine()}, {datetime.date.today().isoformat()}", fontsize=10)
    figure.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path, dpi=120)
    plt.close(figure)
    print(f"Chart: {path}", flush=True)
    return True
