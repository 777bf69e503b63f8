"""Mutated archives read by quastor and by every other reader at hand.

    python tests/fuzz/differential.py [--count N | --seconds S] [--seed R] [--tolerate SHAPE] [ARCHIVE...]

The seeds (the tests' builder, this machine's writers, small real archives,
and any ARCHIVE given) are mutated; each mutant that quastor reads (preflight
and extraction both succeed) is read by each other reader as well, and the
readings are compared: names, kinds (a link counts as a file holding its
target), sizes, CRC-32s and the extracted bytes. The readers: zipfile of
each Python 3.10 to 3.13 found, stream-unzip, Go's archive/zip (through
listing.go, built into build/differential), Info-ZIP unzip, bsdtar and
7-Zip, the last three extracting into a directory in memory, as an
unprivileged user when run as root. A reader that refuses an archive
(an error, a failing exit status) gives no second reading.

Names compare after splitting at "/" and "\\" and dropping empty and "."
segments; a segment that is not ASCII in the other reader's spelling may be
spelled otherwise (a legacy code page, a Unicode Path field re-encoding it),
an ASCII one may not.

Every archive read two ways is put down to its shape (differential_classes)
and the first few of each shape are kept under build/differential/findings
with the readings side by side. The last line is the verdict; the exit
status is 1 when any archive quastor reads is read differently.
"""

from __future__ import annotations

import argparse
import glob
import hashlib
import importlib.util
import json
import multiprocessing
import os
import random
import re
import select
import shutil
import subprocess
import sys
import tempfile
import time
import zlib
from collections import Counter, defaultdict
from dataclasses import dataclass
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from differential_classes import class_for, classes_of  # noqa: E402
from differential_mutations import mutate, parse  # noqa: E402
from differential_seeds import make_seeds  # noqa: E402

BUILD = HERE.parents[1] / "build" / "differential"
KEPT_PER_CLASS = 6
BATCH = 12
READ_TIMEOUT = 30.0
NOBODY = 65534
LARGE = 64 << 20
# Seeds read as they are, never mutated: every mutant would make each
# reader write 4 GiB.
UNMUTATED = {"shape-size past the stream"}


@dataclass(frozen=True)
class Reader:
    name: str
    argv: tuple[str, ...]
    serves: bool          # reads paths on standard input, answers JSON lines
    ok_status: tuple[int, ...] = (0,)
    refusals: tuple[str, ...] = ()   # words on standard error that mean an entry was left out


def python_for(minor: int) -> str | None:
    found = sorted(glob.glob(f"/root/.pyenv/versions/3.{minor}.*/bin/python3"),
                   key=lambda p: [int(x) for x in re.findall(r"\d+", p.split("/versions/")[1].split("/")[0])])
    return found[-1] if found else shutil.which(f"python3.{minor}")


def build_go_listing() -> Path | None:
    """listing.go built into build/differential, when go is here and the
    binary is older than its source."""
    go = shutil.which("go")
    if go is None:
        return None
    binary, source = BUILD / "listing", HERE / "listing.go"
    if not binary.exists() or binary.stat().st_mtime < source.stat().st_mtime:
        BUILD.mkdir(parents=True, exist_ok=True)
        env = os.environ | {"GOCACHE": str(BUILD / "gocache"), "GOPATH": str(BUILD / "gopath"), "GOFLAGS": ""}
        done = subprocess.run([go, "build", "-o", str(binary), str(source)], env=env, capture_output=True, text=True)
        if done.returncode != 0:
            print(f"go build of listing.go failed:\n{done.stderr}", file=sys.stderr)
            return None
    return binary


def find_readers(go_listing: Path | None) -> tuple[list[Reader], list[str]]:
    readers, missing = [], []
    listing = str(HERE / "listing.py")
    for minor in (10, 11, 12, 13):
        python = python_for(minor)
        if python:
            readers.append(Reader(f"zipfile-3.{minor}", (python, listing, "zipfile"), True))
        else:
            missing.append(f"zipfile-3.{minor} (no python3.{minor})")
    if importlib.util.find_spec("stream_unzip"):
        readers.append(Reader("stream-unzip", (sys.executable, listing, "stream-unzip"), True))
    else:
        missing.append("stream-unzip (not installed for this Python)")
    if go_listing:
        readers.append(Reader("go", (str(go_listing), "read"), True))
    else:
        missing.append("go (no go, or listing.go did not build)")
    # A password is given so that an encrypted entry is refused rather than
    # asked about. Exit status 1 of unzip and 7-Zip is a warning: everything
    # extracted, unless unzip says it skipped an entry (which -q would hide).
    if shutil.which("unzip"):
        readers.append(Reader("unzip", ("unzip", "-o", "-P", "x", "{archive}", "-d", "{dest}"), False, (0, 1),
                              ("skipping:",)))
    else:
        missing.append("unzip")
    if shutil.which("bsdtar"):
        readers.append(Reader("bsdtar", ("bsdtar", "-xf", "{archive}", "-C", "{dest}"), False))
    else:
        missing.append("bsdtar")
    seven = shutil.which("7zz") or shutil.which("7z")
    if seven:
        readers.append(Reader(os.path.basename(seven), (seven, "x", "-y", "-bd", "-bso0", "-bsp0", "-px", "-o{dest}", "{archive}"),
                              False, (0, 1)))
    else:
        missing.append("7zz (nor 7z)")
    return readers, missing


# A reading: normalised path (segments) -> "dir" or (size, CRC-32).
Reading = dict[tuple[bytes, ...], object]


def segments(name: bytes) -> tuple[bytes, ...]:
    return tuple(part for part in re.split(rb"[/\\]", name) if part not in (b"", b"."))


def from_listing(entries: list) -> Reading:
    reading: Reading = {}
    for name_hex, size, crc in entries:
        name = bytes.fromhex(name_hex)
        path = segments(name)
        if not path:
            continue
        for depth in range(1, len(path)):
            reading.setdefault(path[:depth], "dir")
        reading[path] = "dir" if name.endswith(b"/") else (size, crc)
    return reading


def from_tree(root: bytes) -> Reading:
    """The tree a reader wrote; a backslash in a name written separates
    segments here too, as quastor reads it."""
    reading: Reading = {}
    for top, dirs, files in os.walk(root):
        base = segments(os.path.relpath(top, root)) if top != root else ()
        for name in dirs + files:
            path, key = os.path.join(top, name), base + segments(name)
            for depth in range(len(base) + 1, len(key)):
                reading.setdefault(key[:depth], "dir")
            if os.path.islink(path):
                target = os.readlink(path)
                reading[key] = (len(target), zlib.crc32(target))
            elif os.path.isdir(path):
                reading[key] = "dir"
            elif os.path.isfile(path):
                # Past 64 MiB only the size and the first 64 MiB are
                # compared: a 4 GiB file of zeros is not read whole.
                size, crc = os.path.getsize(path), 0
                with open(path, "rb") as file:
                    while chunk := file.read(min(1 << 20, LARGE - file.tell())):
                        crc = zlib.crc32(chunk, crc)
                reading[key] = (size, crc)
    return reading


def loose(path: tuple[bytes, ...]) -> tuple[bytes | None, ...]:
    return tuple(part if part.isascii() else None for part in path)


def unmatched(ours: Reading, theirs: Reading) -> tuple[list, list]:
    """Entries of each reading without a counterpart in the other: same
    value, and the same path but for segments that are not ASCII in theirs
    (another spelling of a non-ASCII name, or an ASCII stand-in for one)."""
    left = Counter((loose(p), v) for p, v in ours.items())
    right = Counter((loose(p), v) for p, v in theirs.items())
    common = left & right
    left_rest = [(p, v) for p, v in ours.items() if not _take(common, (loose(p), v))]
    common = left & right
    right_rest = [(p, v) for p, v in theirs.items() if not _take(common, (loose(p), v))]
    for item in list(left_rest):
        path, value = item
        for other in right_rest:
            if other[1] == value and len(other[0]) == len(path) and \
                    all(a == b or not b.isascii() or b in stand_ins(a) for a, b in zip(path, other[0])):
                left_rest.remove(item)
                right_rest.remove(other)
                break
    return left_rest, right_rest


def stand_ins(name: bytes) -> tuple[bytes, ...]:
    """ASCII spellings a reader may give a name that is not ASCII: its
    other bytes dropped, or each replaced by "?" or "_"."""
    if name.isascii():
        return ()
    text = name.decode("utf-8", "replace")
    return tuple(re.sub(r"[^\x00-\x7f]", mark, text).encode() for mark in ("", "?", "_"))


def _take(counter: Counter, key) -> bool:
    if counter[key] > 0:
        counter[key] -= 1
        return True
    return False


def describe(entries: list) -> str:
    def one(path, value):
        name = b"/".join(path).decode("utf-8", "backslashreplace")
        return f"{name}/" if value == "dir" else f"{name} ({value[0]} bytes, crc {value[1]:08x})"
    return ", ".join(one(p, v) for p, v in sorted(entries, key=lambda e: e[0])[:8]) + \
        (f", ... {len(entries) - 8} more" if len(entries) > 8 else "")


class Server:
    """A reader that answers one JSON line per archive path."""

    def __init__(self, reader: Reader) -> None:
        self.reader = reader
        self.start()

    def start(self) -> None:
        self.process = subprocess.Popen(self.reader.argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, start_new_session=True)
        self.pending = b""

    def send(self, paths: list[str]) -> None:
        self.process.stdin.write("".join(p + "\n" for p in paths).encode())  # type: ignore[union-attr]
        self.process.stdin.flush()  # type: ignore[union-attr]

    def receive(self, paths: list[str]) -> list[dict]:
        """The answers for paths already sent; one that does not come in
        time is a hang, the server is started again for the rest."""
        answers: list[dict] = []
        deadline = time.monotonic() + READ_TIMEOUT
        stdout = self.process.stdout
        while len(answers) < len(paths):
            if b"\n" in self.pending:
                line, self.pending = self.pending.split(b"\n", 1)
                answers.append(json.loads(line))
                deadline = time.monotonic() + READ_TIMEOUT
                continue
            ready, _, _ = select.select([stdout], [], [], max(0.0, deadline - time.monotonic()))
            chunk = os.read(stdout.fileno(), 1 << 20) if ready else b""  # type: ignore[union-attr]
            if chunk:
                self.pending += chunk
                continue
            # A hang or a crash on the next archive.
            self.process.kill()
            self.process.wait()
            answers.append({"ok": False, "error": "hung" if not ready else "crashed", "failed": True})
            self.start()
            rest = paths[len(answers):]
            if rest:
                self.send(rest)
                answers += self.receive(rest)
        return answers


def remove(path: str) -> None:
    def writable(function, failed, _):
        os.chmod(os.path.dirname(failed), 0o700)
        function(failed)
    if os.path.lexists(path):
        shutil.rmtree(path, onerror=writable)


def extract_with(reader: Reader, archive: str, dest: str) -> tuple[str, object]:
    os.mkdir(dest)
    as_nobody = os.geteuid() == 0
    if as_nobody:
        os.chown(dest, NOBODY, NOBODY)
    argv = [part.replace("{archive}", archive).replace("{dest}", dest) for part in reader.argv]
    try:
        done = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                              timeout=READ_TIMEOUT, start_new_session=True,
                              **({"user": NOBODY, "group": NOBODY, "extra_groups": []} if as_nobody else {}))
    except subprocess.TimeoutExpired:
        return "hung", None
    said = done.stderr.decode(errors="replace")
    if done.returncode not in reader.ok_status or any(word in said for word in reader.refusals):
        return "refused", (said.strip().splitlines() or [f"exit {done.returncode}"])[-1].strip()
    return "read", from_tree(dest.encode())


class Table:
    """The readers of one worker process: the serving ones started once."""

    def __init__(self, readers: list[Reader], scratch: str) -> None:
        self.readers = readers
        self.servers = [Server(r) for r in readers if r.serves]
        self.scratch = tempfile.mkdtemp(prefix="worker-", dir=scratch)
        os.chmod(self.scratch, 0o755)

    def read(self, batch: list[tuple[str, int, bytes, bool]]) -> list[dict]:
        import quastor

        paths = []
        for index, (_, _, data, _) in enumerate(batch):
            path = os.path.join(self.scratch, f"{index}.zip")
            with open(path, "wb") as file:
                file.write(data)
            os.chmod(path, 0o644)
            paths.append(path)
        for server in self.servers:
            server.send(paths)
        outcomes = []
        for index, (seed, serial, data, accepted) in enumerate(batch):
            readings: dict[str, tuple[str, object]] = {}
            if accepted:
                dest = os.path.join(self.scratch, f"{index}-quastor")
                try:
                    quastor.extract_zip_bytes(data, dest)
                    readings["quastor"] = ("read", from_tree(dest.encode()))
                except RuntimeError as error:
                    readings["quastor"] = ("refused", str(error))
                remove(dest)
            else:
                readings["quastor"] = ("refused", "preflight")
            for reader in self.readers:
                if not reader.serves:
                    dest = os.path.join(self.scratch, f"{index}-{reader.name}")
                    readings[reader.name] = extract_with(reader, paths[index], dest)
                    remove(dest)
            outcomes.append({"seed": seed, "serial": serial, "readings": readings})
        for server in self.servers:
            for outcome, answer in zip(outcomes, server.receive(paths)):
                outcome["readings"][server.reader.name] = \
                    ("read", from_listing(answer.get("entries", []))) if answer["ok"] else \
                    ("hung" if answer.get("failed") else "refused", answer["error"])
        for path in paths:
            os.unlink(path)
        return [judge(outcome, data) for outcome, (_, _, data, _) in zip(outcomes, batch)]


def judge(outcome: dict, data: bytes) -> dict:
    """Which readers read as quastor did, which otherwise, which refused;
    the readers grouped by reading where they differ."""
    readings = outcome.pop("readings")
    quastor_state, quastor_reading = readings["quastor"]
    outcome["quastor"] = quastor_state if quastor_state == "read" else \
        "refused" if quastor_reading == "preflight" else "refused while extracting"
    verdicts, groups = {}, []  # groups: [representative reading, [names]]
    for name, (state, reading) in readings.items():
        if state != "read":
            verdicts[name] = state
            continue
        for group in groups:
            if unmatched(group[0], reading) == ([], []):
                group[1].append(name)
                break
        else:
            groups.append([reading, [name]])
        if name != "quastor" and quastor_state == "read":
            verdicts[name] = "same" if unmatched(quastor_reading, reading) == ([], []) else "differs"
    outcome["verdicts"] = verdicts
    if len(groups) > 1:
        outcome["classes"] = found = classes_of(data)
        outcome["reader_classes"] = {name: class_for(name, found) for name, verdict in verdicts.items()
                                     if verdict == "differs"}
        lines = []
        base = groups[0][0]
        for reading, names in groups:
            line = ", ".join(names)
            if reading is not base:
                only_first, only_here = unmatched(base, reading)
                line += f": without {describe(only_first) or 'nothing'}; with {describe(only_here) or 'nothing'}"
            else:
                line += f": {describe(list(reading.items())) or 'nothing'}"
            lines.append(line)
        refusals = [f"{n} ({readings[n][1]})" if readings[n][0] == "refused" else f"{n} ({readings[n][0]})"
                    for n in readings if readings[n][0] != "read"]
        if refusals:
            lines.append("not read by: " + "; ".join(str(r) for r in refusals))
        outcome["detail"] = lines
    return outcome


_table: Table | None = None


def start_worker(readers: list[Reader], scratch: str) -> None:
    global _table
    _table = Table(readers, scratch)


def read_batch(batch: list[tuple[str, int, bytes, bool]]) -> list[dict]:
    assert _table is not None
    return _table.read(batch)


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("archives", nargs="*", type=Path, help="more seeds")
    parser.add_argument("--count", type=int, default=2000, help="mutants in all")
    parser.add_argument("--seconds", type=float, help="run this long instead of --count mutants")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--refused-share", type=float, default=0.02,
                        help="share of the mutants quastor refuses that the readers read as well")
    parser.add_argument("--keep", type=Path, default=BUILD / "findings")
    parser.add_argument("--tolerate", action="append", default=[], metavar="SHAPE",
                        help="count archives read two ways for this shape but do not fail for them")
    arguments = parser.parse_args()

    import quastor

    started = time.monotonic()
    go_listing = build_go_listing()
    readers, missing = find_readers(go_listing)
    for name in missing:
        print(f"differential: {name} missing: skipped", file=sys.stderr)
    seeds = make_seeds(BUILD / "writers", go_listing)
    for path in arguments.archives:
        seeds[path.name] = path.read_bytes()
    models = {name: parse(data) for name, data in seeds.items()}
    names = sorted(name for name in seeds if name not in UNMUTATED)

    shutil.rmtree(arguments.keep, ignore_errors=True)
    scratch_root = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    scratch = tempfile.mkdtemp(prefix="quastor-differential-", dir=scratch_root)
    os.chmod(scratch, 0o755)

    rng = random.Random(arguments.seed)
    seen: set[bytes] = set()
    tally: Counter[str] = Counter()
    differs: Counter[str] = Counter()
    by_class: dict[str, Counter[str]] = defaultdict(Counter)
    refused_disagreeing: Counter[str] = Counter()
    kept: Counter[str] = Counter()
    produced = 0

    def batches():
        nonlocal produced
        batch = [(name, -1, seeds[name], True) for name in sorted(seeds)]  # each seed as it is
        serial = 0
        while True:
            if arguments.seconds is not None:
                if time.monotonic() - started >= arguments.seconds:
                    break
            elif produced >= arguments.count:
                break
            name = names[serial % len(names)]
            data = mutate(seeds[name], models[name], rng)
            serial += 1
            digest = hashlib.blake2b(data, digest_size=12).digest()
            if digest in seen:
                continue
            seen.add(digest)
            produced += 1
            try:
                quastor.preflight_zip_bytes(data)
                accepted = True
            except RuntimeError:
                tally["refused by quastor"] += 1
                accepted = False
                if rng.random() >= arguments.refused_share:
                    continue
            batch.append((name, serial, data, accepted))
            if len(batch) >= BATCH:
                yield batch
                batch = []
        if batch:
            yield batch

    def record(outcome: dict, data_of: dict) -> None:
        verdicts = outcome["verdicts"]
        for name, verdict in verdicts.items():
            if verdict == "hung":  # no reading, but worth a look
                tally[f"{name} hung or crashed"] += 1
        if outcome["quastor"] != "read":
            if outcome["serial"] >= 0 and outcome["quastor"] == "refused while extracting":
                tally["refused by quastor while extracting"] += 1
            if "detail" in outcome:
                label = (outcome["classes"] or ["unclassified"])[0]
                refused_disagreeing[label] += 1
                keep(outcome, data_of, f"refused by quastor, {label}")
            return
        tally["read by quastor"] += 1
        against = [name for name, verdict in verdicts.items() if verdict == "differs"]
        if not against:
            tally["read by quastor, one reading"] += 1
            return
        tally["read by quastor, read differently"] += 1
        for name in against:
            differs[name] += 1
            by_class[outcome["reader_classes"][name]][name] += 1
        for label in set(outcome["reader_classes"].values()):
            by_class[label]["archives"] += 1
            keep(outcome, data_of, label)

    def keep(outcome: dict, data_of: dict, label: str) -> None:
        if kept[label] >= KEPT_PER_CLASS * (5 if label == "unclassified" else 1):
            return
        kept[label] += 1
        folder = arguments.keep / label.replace(",", "").replace(" ", "-")
        folder.mkdir(parents=True, exist_ok=True)
        stem = f"{outcome['seed'].replace(' ', '-')}-{outcome['serial']}"
        (folder / f"{stem}.zip").write_bytes(data_of[(outcome["seed"], outcome["serial"])])
        text = [f"quastor: {outcome['quastor']}", f"shapes: {', '.join(outcome['classes']) or 'none'}",
                *(f"{reader} put down to: {label}" for reader, label in outcome.get("reader_classes", {}).items()),
                *outcome["detail"]]
        (folder / f"{stem}.txt").write_text("\n".join(text) + "\n")
        if kept[label] == 1:
            print(f"differential: {label}: {folder / stem}.zip: " + " | ".join(outcome["detail"][:3])[:400])

    context = multiprocessing.get_context("spawn")
    with context.Pool(arguments.jobs, initializer=start_worker, initargs=(readers, scratch)) as pool:
        waiting: list = []
        source = batches()
        exhausted = False
        while waiting or not exhausted:
            while not exhausted and len(waiting) < 2 * arguments.jobs:
                try:
                    batch = next(source)
                except StopIteration:
                    exhausted = True
                    break
                data_of = {(seed, serial): data for seed, serial, data, _ in batch}
                waiting.append((pool.apply_async(read_batch, (batch,)), data_of))
            if waiting:
                result, data_of = waiting.pop(0)
                try:
                    outcomes = result.get(timeout=READ_TIMEOUT * (BATCH * 4 + 10))
                except multiprocessing.TimeoutError:  # the worker died: quastor or a reader crashed it
                    tally["lost with their worker"] += len(data_of)
                    lost = arguments.keep / "lost"
                    lost.mkdir(parents=True, exist_ok=True)
                    for (seed, serial), data in data_of.items():
                        (lost / f"{seed.replace(' ', '-')}-{serial}.zip").write_bytes(data)
                    print(f"differential: a batch did not come back; its archives are in {lost}")
                    continue
                for outcome in outcomes:
                    record(outcome, data_of)
        pool.close()
        pool.join()
    shutil.rmtree(scratch, ignore_errors=True)

    elapsed = time.monotonic() - started
    reader_names = [r.name for r in readers]
    print(f"differential: {produced} mutants of {len(seeds)} seeds, {len(readers)} readers "
          f"({', '.join(reader_names)}), {elapsed:.0f} s")
    print("  " + ", ".join(f"{key} {value}" for key, value in sorted(tally.items())))
    if differs:
        print("  read differently, per reader: " + ", ".join(f"{n} {differs[n]}" for n in reader_names))
        for label, counts in sorted(by_class.items()):
            per_reader = ", ".join(f"{n} {counts[n]}" for n in reader_names if counts[n])
            print(f"  {label}: {counts['archives']} archives ({per_reader})")
        print(f"  examples: {arguments.keep}")
    if refused_disagreeing:
        print("  refused by quastor, readers disagreeing: " +
              ", ".join(f"{label} {count}" for label, count in sorted(refused_disagreeing.items())))
    failing = any(counts["archives"] for label, counts in by_class.items() if label not in arguments.tolerate)
    read_differently = tally["read by quastor, read differently"]
    if tally["lost with their worker"]:
        print(f"== differential: FAILED: {tally['lost with their worker']} archives lost with a worker that died")
        return 1
    if failing:
        print(f"== differential: FAILED: {read_differently} of {tally['read by quastor']} archives quastor reads "
              f"are read differently by another reader")
        return 1
    if read_differently:
        print(f"== differential: {read_differently} archives read two ways, all of shapes tolerated: "
              f"{', '.join(arguments.tolerate)}")
        return 0
    print(f"== differential: one reading: {tally['read by quastor']} archives quastor reads, "
          f"each read alike by {len(readers)} readers")
    return 0


if __name__ == "__main__":
    sys.exit(main())
