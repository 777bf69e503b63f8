"""Stop signals at many moments of `quastor create` and `quastor extract`.

Run with the Python whose environment has the quastor command (no root
needed; --short runs a few moments of each mode in seconds):

    .venv/bin/python tests/stress/signal_race.py [--short] [--delays 20] [--modes replace,leftovers,storms,timeout]

- replace mode: an archive already at the path is replaced while SIGTERM or
  SIGKILL comes at moments spread over the end of the run, where the new
  archive is named. The path must hold the old archive or the new one,
  whole, never a mix; a command that ends by SIGTERM must have left the old
  archive, and one that replaced it must say so (exit 0), not 143.
- leftovers mode: creation and extraction are stopped at moments spread
  over the whole run, by SIGINT or SIGTERM, once or twice in a row (as
  timeout(1) signals the child and then its group, or a second Ctrl-C).
  Nothing may be left in TMPDIR or beside the destination (no scratch
  directory, no ".quastor-" temporary name), and an archive that was there
  must be untouched unless the command succeeded. Each moment is tried
  with unnamed files and, through a small interposer built with cc, on a
  file system without them (temporary names).
- storms mode: the same rules under the other stop signals and under
  storms of them a tenth of a millisecond apart: SIGHUP (a closed
  terminal), SIGPIPE, SIGQUIT, SIGINT twice then SIGTERM (a second Ctrl-C
  and a kill landing in the handler's removal), and every stop signal at
  once.
- timeout mode: the command run under timeout(1) with SIGTERM, SIGINT and
  SIGHUP, which signals the command and then its whole group.

In every mode but replace, a run must also end within a second of its last
signal; with --short (as make test runs it, on a machine that may be busy)
a late run is reported but breaks no rule. The report gives per mode the
runs, how they ended, the longest time from a run's last signal to its end
and the load average, and every run that broke a rule. The exit status is
1 when any did.
"""

import argparse
import collections
import os
import pathlib
import resource
import shutil
import signal
import subprocess
import sys
import sysconfig
import tempfile
import time
import zipfile

COMMAND = pathlib.Path(sysconfig.get_path("scripts")) / "quastor"
# The signals of one run, in turn: one, or two in a row (timeout's pair,
# a second Ctrl-C, then the mixed pairs).
SIGNAL_RUNS = [(signal.SIGINT,), (signal.SIGTERM, signal.SIGTERM), (signal.SIGINT, signal.SIGINT), (signal.SIGTERM,),
               (signal.SIGTERM, signal.SIGINT), (signal.SIGINT, signal.SIGTERM)]
STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT, signal.SIGPIPE)
# The storms, each signal a tenth of a millisecond after the one before.
STORMS = [(signal.SIGHUP,), (signal.SIGPIPE,), (signal.SIGQUIT,), (signal.SIGINT, signal.SIGINT, signal.SIGTERM),
          (signal.SIGHUP, signal.SIGTERM), STOP_SIGNALS]
STORM_GAP = 0.0001
# A run must end this soon after its last signal (seconds).
ENDING_BOUND = 1.0

# Makes openat() refuse unnamed files, as FUSE or NFS do.
NO_UNNAMED_FILES = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
int openat(int directory, const char* name, int flags, ...)
{
    static int (*real)(int, const char*, int, ...);
    mode_t mode = 0;
    if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list more;
        va_start(more, flags);
        mode = va_arg(more, int);
        va_end(more);
    }
    if ((flags & O_TMPFILE) == O_TMPFILE) {
        errno = EOPNOTSUPP;
        return -1;
    }
    if (!real)
        real = (int (*)(int, const char*, int, ...))dlsym(RTLD_NEXT, "openat");
    return real(directory, name, flags, mode);
}
"""


def build_interposer(base: pathlib.Path) -> str | None:
    source, library = base / "no_unnamed.c", base / "no_unnamed.so"
    source.write_text(NO_UNNAMED_FILES)
    try:
        subprocess.run(["cc", "-shared", "-fPIC", "-O2", "-o", str(library), str(source), "-ldl"],
                       check=True, capture_output=True, timeout=120)
    except (OSError, subprocess.SubprocessError):
        return None
    return str(library)


def make_tree(base: pathlib.Path, files: int) -> pathlib.Path:
    """Text that deflates at an ordinary pace, so that a run lasts long
    enough to be stopped at many moments."""
    tree = base / "tree"
    tree.mkdir()
    words = [b"alpha", b"beta", b"gamma", b"delta", b"epsilon", b"zeta", b"eta", b"theta"]
    for i in range(files):
        seed = i * 2654435761
        chunk = b" ".join(words[(seed >> (k % 24)) % 8] + b"%d" % (k * 7919 % 1000) for k in range(20000))
        (tree / f"f{i:03d}.txt").write_bytes(chunk * 8)
    (tree / "small").write_bytes(b"tiny")
    return tree


def make_archive(base: pathlib.Path, members: int) -> pathlib.Path:
    """Members large enough to be streamed into pending files."""
    archive = base / "big.zip"
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as zf:
        for i in range(members):
            zf.writestr(f"d/m{i:02d}", bytes(24 << 20))
    return archive


def duration(argv, env) -> float:
    started = time.monotonic()
    subprocess.run(argv, env=env, check=True, capture_output=True, timeout=300)
    return time.monotonic() - started


def as_at_a_terminal():
    """The child starts with every stop signal at its default, as at a
    terminal (a background job of make would have SIGINT ignored), and
    dumps no core for SIGQUIT."""
    for number in STOP_SIGNALS:
        signal.signal(number, signal.SIG_DFL)
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


def stop_at(argv, env, delay: float, signals, gap: float = 0.003) -> tuple[int, float]:
    """How the run ended, and how long after its last signal."""
    child = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                             preexec_fn=as_at_a_terminal)
    time.sleep(delay)
    last = time.monotonic()
    for k, number in enumerate(signals):
        if k:
            time.sleep(gap)  # 3 ms apart, so that a second SIGINT is not merged with the first
        if child.poll() is None:
            child.send_signal(number)  # our own child, by its id
            last = time.monotonic()
    child.wait(timeout=300)
    return child.returncode, time.monotonic() - last


def temporary_names(root: pathlib.Path) -> list[str]:
    return sorted(str(p) for p in root.rglob(".quastor-*"))


def moments(count: int, span: float) -> list[float]:
    return [span * (0.03 + 0.94 * k / max(count - 1, 1)) for k in range(count)]


def run_replace(base: pathlib.Path, tree: pathlib.Path, tries: int) -> bool:
    out = base / "replace"
    out.mkdir()
    tmp = base / "tmp-replace"
    tmp.mkdir()
    env = dict(os.environ, TMPDIR=str(tmp))
    archive = out / "a.zip"
    with zipfile.ZipFile(archive, "w") as zf:
        zf.writestr("old", b"the old archive")
    old = archive.read_bytes()
    argv = [str(COMMAND), "create", "-q", str(archive), str(tree)]
    span = duration([str(COMMAND), "create", "-q", str(base / "timing.zip"), str(tree)], env)
    (base / "timing.zip").unlink()
    new_names = None
    ended = collections.Counter()
    broken = []
    # The naming comes at the very end: moments crowd the last part.
    for k in range(tries):
        number = signal.SIGTERM if k % 2 == 0 else signal.SIGKILL
        delay = span * (0.6 + 0.45 * k / max(tries - 1, 1))
        archive.write_bytes(old)
        status, _ = stop_at(argv, env, delay, [number])
        ended[status] += 1
        now = archive.read_bytes()
        state = "old" if now == old else "other"
        if state == "other":
            try:
                with zipfile.ZipFile(archive) as zf:
                    names = zf.namelist()
                    state = "new" if zf.testzip() is None and "tree/f000.txt" in names else "torn"
                    new_names = new_names or names
            except zipfile.BadZipFile:
                state = "torn"
        if state == "torn":
            broken.append(f"{signal.Signals(number).name} at {delay:.2f} s: a torn archive")
        elif status == -signal.SIGTERM and state != "old":
            broken.append(f"SIGTERM at {delay:.2f} s: the archive was replaced, yet the command said 143")
        elif status == 0 and state != "new":
            broken.append(f"{signal.Signals(number).name} at {delay:.2f} s: success, but the old archive is there")
        if number != signal.SIGKILL and any(tmp.iterdir()):
            broken.append(f"SIGTERM at {delay:.2f} s: left in TMPDIR: {sorted(p.name for p in tmp.iterdir())}")
        shutil.rmtree(tmp)  # what SIGKILL leaves; the command cannot remove it
        tmp.mkdir()
        left = [p.name for p in out.iterdir() if p.name != "a.zip"]
        if left:
            broken.append(f"{signal.Signals(number).name} at {delay:.2f} s: left beside the archive: {left}")
            for name in left:
                (out / name).unlink()
    print(f"replace mode: {tries} runs of about {span:.2f} s, SIGTERM and SIGKILL near the end; "
          f"ended {dict(sorted(ended.items()))} (0: replaced, -15: old kept, -9: killed)")
    for line in broken:
        print(f"  BROKEN {line}")
    return not broken


def run_leftovers(base: pathlib.Path, tree: pathlib.Path, archive: pathlib.Path, count: int,
                  interposer: str | None, mode: str = "leftovers", timed: bool = True) -> bool:
    """leftovers mode, or with mode "storms" or "timeout" the storms or
    timeout(1) in place of the pairs."""
    tmp = base / f"tmp-{mode}"
    tmp.mkdir()
    work = base / mode
    work.mkdir()
    target = work / "c.zip"
    dest = work / "out"
    environments = [("unnamed files", dict(os.environ, TMPDIR=str(tmp)))]
    if interposer is not None:
        environments.append(("temporary names", dict(os.environ, TMPDIR=str(tmp), LD_PRELOAD=interposer)))
    patterns = {"leftovers": SIGNAL_RUNS, "storms": STORMS,
                "timeout": [(signal.SIGTERM,), (signal.SIGINT,), (signal.SIGHUP,)]}[mode]
    ended = collections.Counter()
    broken = []
    late = []
    runs = 0
    slowest = 0.0
    for label, env in environments:
        operations = {
            "create": [str(COMMAND), "create", "-q", str(target), str(tree)],
            "extract": [str(COMMAND), "extract", "-q", str(archive), "-d", str(dest)],
        }
        for operation, argv in operations.items():
            target.write_bytes(b"old")
            span = duration(argv, env)
            # Each pattern at `count` moments spread over the run.
            tries = [(delay, patterns[k % len(patterns)]) for k, delay in enumerate(moments(count, span))]
            if mode != "leftovers":
                tries = [(delay, signals) for signals in patterns for delay in moments(count, span)]
            for delay, signals in tries:
                target.write_bytes(b"old")
                shutil.rmtree(dest, ignore_errors=True)
                if mode == "timeout":
                    # timeout(1) signals the command, then its own group;
                    # it then ends as the command did.
                    wrapped = ["timeout", "--preserve-status", "-s", signal.Signals(signals[0]).name[3:],
                               f"{delay:.3f}", *argv]
                    status, after = stop_at(wrapped, env, delay, [])
                else:
                    status, after = stop_at(argv, env, delay, signals, STORM_GAP if mode == "storms" else 0.003)
                runs += 1
                ended[status] += 1
                slowest = max(slowest, after)
                said = f"{label}, {operation}, {'+'.join(signal.Signals(s).name for s in signals)} at {delay:.2f} s"
                if mode == "timeout":
                    said = f"{label}, {operation}, timeout -s {signal.Signals(signals[0]).name[3:]} {delay:.2f}"
                if after > ENDING_BOUND:
                    (broken if timed else late).append(f"{said}: ended {after:.2f} s after its last signal")
                if any(tmp.iterdir()):
                    broken.append(f"{said}: left in TMPDIR: {sorted(p.name for p in tmp.iterdir())}")
                    shutil.rmtree(tmp)
                    tmp.mkdir()
                left = temporary_names(work)
                if left:
                    broken.append(f"{said}: temporary names left: {left}")
                    for name in left:
                        os.unlink(name)
                if operation == "create" and status != 0 and target.read_bytes() != b"old":
                    broken.append(f"{said}: interrupted, yet the archive at the path changed")
                if sorted(p.name for p in work.iterdir() if p.name != "out") != ["c.zip"]:
                    broken.append(f"{said}: beside the archive: {sorted(p.name for p in work.iterdir())}")
    per = "operation and file system kind" if mode == "leftovers" else "pattern, operation and file system kind"
    print(f"{mode} mode: {runs} runs ({count} moments per {per}"
          f"{'' if interposer else '; no cc, so unnamed files only'}); ended {dict(sorted(ended.items()))}; "
          f"at most {slowest:.3f} s after the last signal; load average {os.getloadavg()[0]:.1f}")
    for line in late:
        print(f"  LATE {line}")
    for line in broken:
        print(f"  BROKEN {line}")
    return not broken


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--delays", type=int, default=20, help="moments per operation (leftovers mode)")
    parser.add_argument("--modes", default="replace,leftovers,storms,timeout")
    parser.add_argument("--short", action="store_true",
                        help="3 moments per operation (1 per storm), 6 replacements")
    args = parser.parse_args()
    if not os.access(COMMAND, os.X_OK):
        print(f"no quastor command at {COMMAND}", file=sys.stderr)
        return 2
    base = pathlib.Path(tempfile.mkdtemp(prefix="quastor-signals-"))
    try:
        tree = make_tree(base, 16 if args.short else 64)
        sound = []
        archive = None
        interposer = build_interposer(base)
        for mode in args.modes.split(","):
            if mode == "replace":
                sound.append(run_replace(base, tree, 6 if args.short else 30))
                continue
            if mode not in ("leftovers", "storms", "timeout"):
                parser.error(f"no mode {mode!r}")
            if mode == "timeout" and shutil.which("timeout") is None:
                print("timeout mode: no timeout(1) here, skipped")
                continue
            archive = archive or make_archive(base, 4 if args.short else 12)
            count = (3 if mode == "leftovers" else 1) if args.short else args.delays
            sound.append(run_leftovers(base, tree, archive, count, interposer, mode, timed=not args.short))
        return 0 if all(sound) else 1
    finally:
        shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
