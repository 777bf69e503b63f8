"""Side-by-side benchmark: quastor against the tools users would otherwise pick.

Builds its corpora on the fly, then runs the extraction and the creation
tables, then the command's, then real wheels when the machine has them. QUASTOR_BENCH_REPEAT sets the number of interleaved repetitions.
"""

import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import bench_cli  # noqa: E402
import bench_create  # noqa: E402
import bench_extract  # noqa: E402
import bench_wheels  # noqa: E402


def main() -> None:
    bench_extract.main()
    bench_create.main()
    bench_cli.main()
    bench_wheels.main()


if __name__ == "__main__":
    main()
