"""Side-by-side benchmark: quastor against the tools users would otherwise pick.

Builds its corpora on the fly, then runs the extraction and the creation
tables, then the command's, then real wheels when the machine has them.
QUASTOR_BENCH_REPEAT sets the number of interleaved repetitions;
QUASTOR_BENCH_CORPORA=tiny (say) runs the extraction and creation tables on
those corpora alone. At the end
every goal line is printed again, counted, then one table puts quastor's
time in the call and as a whole process against the floors (floor.py)
beside its ratio to the fastest peer, and the speed-ups are charted to
QUASTOR_BENCH_CHART (build/bench/speed.png by default).
"""

import os
import pathlib
import re
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import bench_cli  # noqa: E402
import bench_create  # noqa: E402
import bench_extract  # noqa: E402
import bench_wheels  # noqa: E402
from chart import write_chart  # noqa: E402
from measure import FLOOR_HEADER, Report  # noqa: E402

DEFAULT_CHART = "build/bench/speed.png"
# A line may carry more than one verdict (time and size, say).
VERDICT = re.compile(r": (met|MISSED)\b")


def summarise(reports: list[Report]) -> None:
    verdicts = [v for report in reports for line in report.goals for v in VERDICT.findall(line)]
    print(f"Goals: {verdicts.count('met')} met, {verdicts.count('MISSED')} missed")
    for report in reports:
        if report.goals:
            print(f"{report.title}:")
            print("\n".join(report.goals))
    print(flush=True)
    lines = [line for report in reports for line in report.floors]
    if lines:
        print("quastor against its floors (x: quastor's time over the floor's, in the call and whole process) "
              "and against the fastest goal peer (x: the peer's whole-process time over quastor's):")
        print(FLOOR_HEADER)
        print("\n".join(line.cells() for line in lines))
        print(flush=True)


def main() -> None:
    reports = [bench_extract.main(), bench_create.main()]
    # A chosen subset of the corpora is a quick look: the command's and the
    # wheels' tables are left out.
    if not os.environ.get("QUASTOR_BENCH_CORPORA"):
        reports += [bench_cli.main(), bench_wheels.main()]
    summarise(reports)
    write_chart([r for report in reports for r in report.results],
                pathlib.Path(os.environ.get("QUASTOR_BENCH_CHART") or DEFAULT_CHART))


if __name__ == "__main__":
    main()
