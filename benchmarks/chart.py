"""The chart of a run: per workload, how many times faster quastor was than
the fastest peer (the bar, named above it; where archives are made, the
fastest that compresses about as well) and than each other peer (the dots,
orange for a peer whose archive is larger), on a logarithmic axis with 1x
marked, titled with the machine.

matplotlib is optional and imported only here, with the Agg backend, so the
chart needs no display.
"""

from __future__ import annotations

import datetime
import os
import pathlib
import platform

from measure import COMPARABLE_SIZE, Result

# The order the workloads are read in, top to bottom.
WORKLOADS = ("extract stdlib", "extract large", "extract tiny", "create stdlib", "create large", "create tiny",
             "preflight", "small wheels")


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
    # The known workloads in their order, then any others (one per large
    # wheel) as they came.
    seen = {r.workload for r in results}
    workloads = [w for w in WORKLOADS if w in seen]
    workloads += [w for w in dict.fromkeys(r.workload for r in results) if w not in workloads]
    if not workloads:
        print("Chart skipped: no results", flush=True)
        return False

    figure, axes = plt.subplots(figsize=(10, 1.2 + 0.62 * len(workloads)))
    larger_shown = False
    for row, workload in enumerate(workloads):
        rows = [r for r in results if r.workload == workload]
        # Where archives are made, the bar is the fastest peer that
        # compresses about as well; a peer that compresses less is an orange
        # dot, however fast.
        alike = [r for r in rows if not r.quastor_size or not r.peer_size
                 or r.peer_size <= r.quastor_size * COMPARABLE_SIZE]
        fastest = min(alike or rows, key=lambda r: r.peer_seconds)
        ratio = fastest.speedup
        # Bars start at 1x, so a workload where quastor is slower reads leftwards.
        axes.barh(row, ratio - 1, left=1, height=0.45, color="#2b6cb0" if ratio >= 1 else "#c53030")
        others = [r for r in alike if r is not fastest]
        axes.scatter([r.speedup for r in others], [row] * len(others), s=14, color="#4a5568", zorder=3)
        larger = [r for r in rows if r not in alike]
        if larger:
            larger_shown = True
            axes.scatter([r.speedup for r in larger], [row] * len(larger), s=18, color="#dd6b20", zorder=3)
        # Above the bar, where no dot can cover it.
        axes.annotate(f"{ratio:.2f}x vs {fastest.peer}", (1, row - 0.25), xytext=(3, 1), textcoords="offset points",
                      va="bottom", fontsize=8)
    axes.axvline(1, color="black", linewidth=1)
    axes.set_xscale("log", base=2)
    axes.set_yticks(range(len(workloads)), workloads)
    axes.invert_yaxis()
    note = "; orange: larger archive" if larger_shown else ""
    axes.set_xlabel(f"times faster, whole process (bar: fastest peer; dots: other peers{note})")
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
