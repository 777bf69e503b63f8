"""Check and extract every archive of a directory on a Dask cluster.

One task per archive: a worker preflights it (reading it, writing nothing)
and, when that passes, extracts it into DESTINATION/<archive file name>.
A refused or unreadable archive is a result like any other, its error text
kept as data, so one bad upload does not stop the rest. A table of every
result ends the run; the exit status is 1 when any archive failed.

    python docs/examples/fan_out.py ARCHIVES DESTINATION [SCHEDULER]

Without SCHEDULER (an address such as tcp://10.0.0.5:8786) the script starts
a local cluster of two worker processes. Workers need quastor installed;
quastor keeps no state between calls but its worker pool, which a forked or
spawned worker process builds afresh, so worker processes and threads may
both run calls (see README, Running at scale).
"""

from __future__ import annotations

import os
import pathlib
import sys

# The archive kinds that are ZIP files under another name.
SUFFIXES = {".zip", ".whl", ".jar", ".egg", ".war", ".ear", ".aar", ".apk", ".nupkg", ".xpi", ".pex"}


def unpack(archive: str, destination_root: str) -> dict:
    """Preflight ARCHIVE, then extract it; a failure is returned, not raised."""
    import quastor  # imported on the worker

    result: dict = {"archive": archive, "entries": None, "bytes": None, "error": None}
    try:
        report = quastor.preflight_zip(archive)
        result["entries"] = len(report)
        result["bytes"] = sum(entry["file_size"] for entry in report)
        quastor.extract_zip(archive, os.path.join(destination_root, os.path.basename(archive)))
    except RuntimeError as error:
        result["error"] = str(error)
    return result


def archives_in(directory: str) -> list[str]:
    return sorted(str(path) for path in pathlib.Path(directory).iterdir()
                  if path.is_file() and path.suffix.lower() in SUFFIXES)


def fan_out(client, archives: list[str], destination_root: str) -> list[dict]:
    """One task per archive on CLIENT's cluster; the results in ARCHIVES' order."""
    futures = client.map(unpack, archives, destination_root=destination_root, pure=False)
    return client.gather(futures)


def summary(results: list[dict]) -> str:
    lines = [f"{'archive':<40} {'entries':>8} {'bytes':>12}  result"]
    for result in results:
        entries = "" if result["entries"] is None else str(result["entries"])
        size = "" if result["bytes"] is None else str(result["bytes"])
        outcome = result["error"] or "extracted"
        lines.append(f"{os.path.basename(result['archive']):<40} {entries:>8} {size:>12}  {outcome}")
    failed = sum(1 for result in results if result["error"])
    lines.append(f"{len(results) - failed} of {len(results)} archives extracted, {failed} failed")
    return "\n".join(lines)


def main(arguments: list[str]) -> int:
    if len(arguments) not in (2, 3):
        print(__doc__, file=sys.stderr)
        return 2
    from distributed import Client, LocalCluster

    source, destination = arguments[:2]
    archives = archives_in(source)
    if len(arguments) == 3:
        with Client(arguments[2]) as client:
            results = fan_out(client, archives, os.path.abspath(destination))
    else:
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
                Client(cluster) as client:
            results = fan_out(client, archives, os.path.abspath(destination))
    print(summary(results))
    return 1 if any(result["error"] for result in results) else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
