"""Wall time of N extractions (or creations) from N threads at once against
the same N calls in a row. Under a free-threaded interpreter the calls run
side by side and meet on the one extraction pool; with the GIL they run one
after another either way. Usage: concurrent_calls.py [N] [ROUNDS]"""

from __future__ import annotations

import os
import pathlib
import random
import shutil
import statistics
import sys
import sysconfig
import tempfile
import threading
import time

import quastor


def make_tree(root: pathlib.Path, files: int, size: int) -> None:
    words = [b"%x" % random.getrandbits(20) for _ in range(4096)]
    for i in range(files):
        directory = root / f"d{i % 16}"
        directory.mkdir(parents=True, exist_ok=True)
        (directory / f"f{i}").write_bytes(b" ".join(random.choices(words, k=size // 6))[:size])


def timed(calls, together: bool) -> float:
    start = time.perf_counter()
    if together:
        threads = [threading.Thread(target=call) for call in calls]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    else:
        for call in calls:
            call()
    return time.perf_counter() - start


def main() -> None:
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 4
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    random.seed(1)
    gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
    print(f"{sys.version.split()[0]}{'t' if sysconfig.get_config_var('Py_GIL_DISABLED') else ''}, "
          f"GIL {'on' if gil else 'off'}, {len(os.sched_getaffinity(0))} processors, {count} calls")
    with tempfile.TemporaryDirectory() as work_name:
        work = pathlib.Path(work_name)
        make_tree(work / "tree", 600, 96 << 10)
        archive = work / "a.zip"
        quastor.create_zip(str(work / "tree"), str(archive))
        for name, make_calls in (
            ("extract_zip", lambda out: [lambda i=i: quastor.extract_zip(str(archive), str(out / f"x{i}")) for i in range(count)]),
            ("create_zip", lambda out: [lambda i=i: quastor.create_zip(str(work / "tree"), str(out / f"a{i}.zip")) for i in range(count)]),
        ):
            times: dict[bool, list[float]] = {False: [], True: []}
            for _ in range(rounds):
                for together in (False, True):
                    out = work / "out"
                    out.mkdir()
                    times[together].append(timed(make_calls(out), together))
                    shutil.rmtree(out)
            row, once = statistics.median(times[False]), statistics.median(times[True])
            print(f"{name}: {count} in a row {row:.2f} s, {count} at once {once:.2f} s (at once / in a row {once / row:.2f})")


if __name__ == "__main__":
    main()
