"""Races create_zip against a tree that an unprivileged user changes under it.

Run as root, with the Python that has quastor installed (a minute or two;
--short runs a few attempts of every mode in a few seconds):

    sudo .venv/bin/python tests/stress/create_race.py [--attempts 30] [--short]

A tree owned by uid 65534 (nobody) is archived by root while a racer,
running as nobody through setpriv, keeps changing it:

- file mode: swaps collected regular files for symbolic links to a root-only
  secret (0600 inside a 0700 directory), puts them back as new files of the
  same length, and rewrites them in place at the same length;
- directory mode: swaps collected directories for a symbolic link to the
  secret's directory, which holds a file of the same name as theirs.

- scratch mode: root archives a root-only tree whose files hold the secret
  and deflate to more than fits in memory, so that entries finishing out of
  order are spilled to the scratch directory, under umask 022 and umask 0,
  with TMPDIR world-writable like /tmp; the racer watches TMPDIR and tries to
  read and inflate spilled entries, to swap them for its own data and to
  plant links in the scratch directory to a root file. It reports the
  entries it read holding the secret (must be 0); the root file must keep
  its contents and no archive may hold the racer's data.

For every attempt the archive written, whole or partial, is searched for the
secret, and every archive from a call that succeeded is checked entry by
entry (zipfile's testzip). The report gives per mode the calls that
succeeded, the failures by text, the archives holding the secret (must be
0), the successful archives with a bad entry (must be 0), and the process's
open descriptors and leftover scratch directories before and after (must
not grow). The exit status is 1 when any of these fails.
"""

import argparse
import collections
import os
import pathlib
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile
import zlib

import quastor

import nobody

NOBODY = nobody.NOBODY
SIZE = 4096
VICTIMS = 8
FILLERS = 200
# Bytes of hexadecimal text per scratch-mode file: deflated, more than an
# entry may keep in memory.
SPILLED = 512 << 10

# Runs as nobody until killed. Every victim is changed in turn, with short
# pauses so that each state lasts long enough to be seen.
RACER = r"""
import os, random, sys, time
mode, tree, target = sys.argv[1], sys.argv[2], sys.argv[3]
rng = random.Random(os.getpid())
def pause():
    time.sleep(rng.random() * 0.0003)
i = 0
while True:
    i += 1
    if mode == "file":
        victim = os.path.join(tree, "v%02d" % (i % 8))
        try:
            os.symlink(target, victim + ".lnk")
            os.rename(victim + ".lnk", victim)
            pause()
            with open(victim + ".new", "wb") as f:
                f.write(os.urandom(4096))
            os.rename(victim + ".new", victim)
            pause()
            with open(victim, "r+b") as f:
                f.write(os.urandom(4096))
            pause()
        except OSError:
            pass
    elif mode == "scratch":
        import zlib
        marker, swapped = sys.argv[4].encode(), zlib.compressobj(6, zlib.DEFLATED, -15)
        payload = swapped.compress(b"RACER-PAYLOAD" * 4096) + swapped.flush()
        for scratch in os.listdir(tree):
            where = os.path.join(tree, scratch)
            try:
                names = os.listdir(where)
            except OSError:
                continue
            for n in range(64):
                try:
                    os.symlink(target, os.path.join(where, "%08d.deflate" % n))
                except OSError:
                    pass
            for name in names:
                path = os.path.join(where, name)
                try:
                    with open(path, "rb") as f:
                        if marker in zlib.decompressobj(-15).decompress(f.read()):
                            print("READ", flush=True)
                except (OSError, zlib.error):
                    pass
                try:
                    with open(path + ".x", "wb") as f:
                        f.write(payload)
                    os.rename(path + ".x", path)
                except OSError:
                    pass
    else:
        victim = os.path.join(tree, "d%02d" % (i % 8))
        try:
            os.rename(victim, victim + ".real")
            os.symlink(target, victim)
            pause()
            os.unlink(victim)
            os.rename(victim + ".real", victim)
            pause()
        except OSError:
            pass
"""


def open_descriptors() -> int:
    return len(os.listdir("/proc/self/fd"))


def build(base: pathlib.Path, mode: str, secret: pathlib.Path) -> pathlib.Path:
    tree = base / f"tree-{mode}"
    tree.mkdir()
    for i in range(FILLERS):
        (tree / f"f{i:03d}.txt").write_bytes(b"ordinary words, compressible %d\n" % i * 40)
    for i in range(VICTIMS):
        if mode == "file":
            (tree / f"v{i:02d}").write_bytes(os.urandom(SIZE))
        else:
            (tree / f"d{i:02d}").mkdir()
            (tree / f"d{i:02d}" / secret.name).write_bytes(os.urandom(SIZE))
    for path in [tree, *tree.rglob("*")]:
        os.lchown(path, NOBODY, NOBODY)
    return tree


def payloads(archive: pathlib.Path):
    """Each entry's data as stored, inflated where deflated, CRC unchecked."""
    raw = archive.read_bytes()
    with zipfile.ZipFile(archive) as zf:
        infos = zf.infolist()
    for info in infos:
        names, extra = struct.unpack_from("<HH", raw, info.header_offset + 26)
        start = info.header_offset + 30 + names + extra
        data = raw[start:start + info.compress_size]
        yield zlib.decompress(data, -15) if info.compress_type == zipfile.ZIP_DEFLATED else data


def holds_secret(archive: pathlib.Path, marker: bytes) -> bool:
    if not archive.exists():
        return False
    if marker in archive.read_bytes():
        return True
    try:
        return any(marker in data for data in payloads(archive))
    except (zipfile.BadZipFile, zlib.error, struct.error):
        return False


def bad_entry(archive: pathlib.Path) -> bool:
    try:
        with zipfile.ZipFile(archive) as zf:
            return zf.testzip() is not None
    except (zipfile.BadZipFile, zlib.error, OSError):
        return True


def run_mode(base: pathlib.Path, mode: str, attempts: int, secret: pathlib.Path, marker: bytes,
             racer_python: str) -> bool:
    tree = build(base, mode, secret)
    out = base / f"out-{mode}"
    out.mkdir(mode=0o700)
    scratch = pathlib.Path(os.environ["TMPDIR"])
    target = secret if mode == "file" else secret.parent
    racer = subprocess.Popen([
        *nobody.SETPRIV, racer_python, "-I", "-c", RACER,
        mode, str(tree), str(target),
    ])
    before = open_descriptors()
    succeeded = leaked = holding = bad = 0
    failures = collections.Counter()
    try:
        for attempt in range(attempts):
            archive = out / f"{attempt:03d}.zip"
            try:
                quastor.create_zip(str(tree), str(archive))
                succeeded += 1
                bad += bad_entry(archive)
            except RuntimeError as error:
                text = str(error)
                failures[text.split(": /")[0] if ": /" in text else text] += 1
            holding += holds_secret(archive, marker)
            leaked += any(scratch.iterdir())
    finally:
        racer.kill()  # our own child, by its id
        racer.wait()
    after = open_descriptors()
    print(f"{mode} mode: {attempts} attempts, {succeeded} succeeded")
    for text, count in failures.most_common():
        print(f"  failed {count:3d}x: {text}")
    print(f"  archives holding the secret: {holding}")
    print(f"  successful archives with a bad entry: {bad}")
    print(f"  open descriptors before/after: {before}/{after}; attempts leaving scratch files: {leaked}")
    return holding == 0 and bad == 0 and after <= before and leaked == 0


def run_scratch(base: pathlib.Path, attempts: int, marker: bytes, files: int, racer_python: str) -> bool:
    tree = base / "tree-scratch"
    tree.mkdir(mode=0o700)
    for i in range(files):
        (tree / f"s{i:03d}").write_bytes(marker + os.urandom(SPILLED // 2).hex().encode())
    world = base / "tmp-world"
    world.mkdir()
    world.chmod(0o1777)
    victim = base / "victim"
    victim.write_bytes(b"root's own file, never to be written by quastor\n")
    victim.chmod(0o644)
    original = victim.read_bytes()
    out = base / "out-scratch"
    out.mkdir(mode=0o700)
    saved_tmpdir, saved_umask = os.environ["TMPDIR"], os.umask(0o022)
    os.umask(saved_umask)
    os.environ["TMPDIR"] = str(world)
    reads = planted = swapped = succeeded = 0
    failures = collections.Counter()
    try:
        for mask in (0o022, 0o000):
            racer = subprocess.Popen([
                *nobody.SETPRIV, racer_python, "-I", "-c", RACER,
                "scratch", str(world), str(victim), marker.decode(),
            ], stdout=subprocess.PIPE, text=True)
            try:
                for attempt in range(attempts):
                    archive = out / f"{mask:o}-{attempt:03d}.zip"
                    os.umask(mask)
                    try:
                        quastor.create_zip(str(tree), str(archive))
                        succeeded += 1
                    except RuntimeError as error:
                        text = str(error)
                        failures[text.split(": /")[0] if ": /" in text else text] += 1
                    finally:
                        os.umask(saved_umask)
                    if victim.read_bytes() != original:
                        planted += 1
                        victim.write_bytes(original)
                    swapped += holds_secret(archive, b"RACER-PAYLOAD")
            finally:
                racer.kill()  # our own child, by its id
                output, _ = racer.communicate()
            reads += output.count("READ")
    finally:
        os.environ["TMPDIR"] = saved_tmpdir
    left = sorted(p.name for p in world.iterdir())
    print(f"scratch mode: {2 * attempts} attempts (umask 022 and 0), {succeeded} succeeded")
    for text, count in failures.most_common():
        print(f"  failed {count:3d}x: {text}")
    print(f"  spilled entries read by the other user holding the secret: {reads}")
    print(f"  root file overwritten through a planted link: {planted}")
    print(f"  archives holding the other user's data: {swapped}")
    print(f"  left in TMPDIR: {left}")
    return reads == 0 and planted == 0 and swapped == 0 and not left


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--attempts", type=int, default=30)
    parser.add_argument("--modes", default="file,directory,scratch")
    parser.add_argument("--short", action="store_true", help="3 attempts per mode, a smaller tree")
    args = parser.parse_args()
    if args.short:
        args.attempts = min(args.attempts, 3)
    if os.geteuid() != 0:
        print("run as root: the racer must be an unprivileged user", file=sys.stderr)
        return 2

    base = pathlib.Path(tempfile.mkdtemp(prefix="quastor-race-"))
    try:
        base.chmod(0o755)  # nobody must reach its tree, nothing else
        vault = base / "vault"
        vault.mkdir(mode=0o700)
        marker = b"QUASTOR-RACE-SECRET-" + os.urandom(16).hex().encode()
        secret = vault / "key"
        secret.write_bytes(marker + os.urandom(SIZE - len(marker)))
        secret.chmod(0o600)
        scratch = base / "tmp"
        scratch.mkdir(mode=0o700)
        os.environ["TMPDIR"] = str(scratch)
        racer_python = nobody.python()
        sound = [
            run_scratch(base, args.attempts, marker, 8 if args.short else 40, racer_python) if mode == "scratch"
            else run_mode(base, mode, args.attempts, secret, marker, racer_python)
            for mode in args.modes.split(",")
        ]
        return 0 if all(sound) else 1
    finally:
        shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
