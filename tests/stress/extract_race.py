"""Races against extract_zip by another local user.

Run as root, with the Python that has quastor installed:

    .venv/bin/python tests/stress/extract_race.py [ATTEMPTS [MODE...]]   (200 per mode, all modes)
    .venv/bin/python tests/stress/extract_race.py --short                (3 per mode, seconds)

A destination subdirectory "w" belongs to uid nobody, who races each call
through setpriv, under umask 0 so that the directories the call makes are
world-writable:
- mode: every file the call has just written is swapped for a symbolic link
  to a root-owned 0600 file; that file's mode must never change.
- escape: every directory the call has just made is swapped for a symbolic
  link to a directory outside the destination; nothing may land there.
- plant: links to the outside directory are planted inside the directories
  the call has made, under the names its next entries will take.
- swap: every directory the call has just made is swapped for one nobody
  prepared, whose subdirectories hold links to the root-owned file under the
  names the call's next entries will take.
- hardlink: hard links to a root-owned 0666 file are planted inside the
  directories the call has made, under the names its next entries will take.
Calls may fail (the tampering is seen); they must never write or chmod
elsewhere, and never leave files in a directory that nobody owns.
"""

import io
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import time
import zipfile

NOBODY = 65534  # the racer's uid, as tests/stress/nobody.py starts it
MODES = ("mode", "escape", "plant", "swap", "hardlink")
PLANTED = [f"e{i}" for i in range(7)] + [f"f{i:03}" for i in range(300)]


def prepare(watched, victim, count):
    # Directories shaped like the call's d*, with links to the victim at the
    # paths of its files, ready to be swapped in.
    made = []
    for _ in range(count):
        prepared = tempfile.mkdtemp(prefix=".prep", dir=watched)
        os.chmod(prepared, 0o777)
        for i in range(7):
            os.mkdir(os.path.join(prepared, f"e{i}"), 0o777)
            for k in range(i, 300, 7):
                os.symlink(victim, os.path.join(prepared, f"e{i}", f"f{k:03}"))
        made.append(prepared)
    return made


def racer(mode, watched, target):
    # Runs as nobody until killed: swap whatever the call has just made, or
    # plant links where it is about to write.
    os.umask(0)
    prepared = prepare(watched, target, 4) if mode == "swap" else []
    open(os.path.join(watched, ".ready"), "w").close()
    while True:
        if mode == "swap":
            for name in os.listdir(watched):
                path = os.path.join(watched, name)
                try:
                    if name.startswith(".") or os.lstat(path).st_uid == NOBODY or not prepared:
                        continue
                    os.rename(path, path + ".aside")
                    os.rename(prepared.pop(), path)
                except OSError:
                    pass
            continue
        for root, dirs, files in os.walk(watched):
            if mode in ("plant", "hardlink"):
                if os.path.basename(root) != "p":
                    continue
                for name in PLANTED:
                    try:
                        if mode == "plant":
                            aim = target if name[0] == "e" else os.path.join(target, name)
                            os.symlink(aim, os.path.join(root, name))
                        elif name[0] == "f":
                            os.link(target, os.path.join(root, name))
                    except OSError:
                        pass
                continue
            names = files if mode == "mode" else dirs
            for name in names:
                path = os.path.join(root, name)
                try:
                    if os.path.islink(path):
                        continue
                    aside = path + ".aside"
                    os.rename(path, aside)
                    os.symlink(target, path)
                except OSError:
                    pass


def archive(mode):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as z:
        if mode in ("plant", "hardlink"):
            # The directory first, then enough data to give the racer time
            # before the entries inside it are written.
            z.writestr("w/p/", b"")
            for i in range(40):
                z.writestr(f"w/big{i}", os.urandom(1 << 20))
            for i in range(300):
                info = zipfile.ZipInfo(f"w/p/f{i:03}")
                info.external_attr = (stat.S_IFREG | 0o4755) << 16
                z.writestr(info, b"payload")
            for i in range(7):
                z.writestr(f"w/p/e{i}/f{i}", b"payload")
        for i in range(300 if mode not in ("plant", "hardlink") else 0):
            name = f"w/f{i:03}" if mode == "mode" else f"w/d{i % 30}/e{i % 7}/f{i:03}"
            info = zipfile.ZipInfo(name)
            info.external_attr = (stat.S_IFREG | 0o4755) << 16
            z.writestr(info, b"payload")
    return buffer.getvalue()


def misplaced(dest):
    # Files the call wrote (root's) inside a directory that nobody owns,
    # other than the destination's own "w".
    count = 0
    for root, _, files in os.walk(os.path.join(dest, "w")):
        if root == os.path.join(dest, "w") or os.stat(root).st_uid != NOBODY:
            continue
        count += sum(1 for name in files if os.lstat(os.path.join(root, name)).st_uid == 0)
    return count


def attempt(quastor, mode, base, data, victims, outside, racer):
    dest = os.path.join(base, "dest")
    shutil.rmtree(dest, ignore_errors=True)
    os.makedirs(os.path.join(dest, "w"))
    os.chmod(dest, 0o755)
    os.chown(os.path.join(dest, "w"), NOBODY, NOBODY)
    target = {"mode": victims[0], "swap": victims[0], "hardlink": victims[1]}.get(mode, outside)
    command = racer + ["--racer", mode, os.path.join(dest, "w"), target]
    racing = subprocess.Popen(command)
    while not os.path.exists(os.path.join(dest, "w", ".ready")):
        if racing.poll() is not None:
            raise SystemExit(f"the racer could not start ({racing.returncode})")
        time.sleep(0.001)
    try:
        quastor.extract_zip_bytes(data, dest)
        ok = True
    except RuntimeError:
        ok = False
    finally:
        racing.kill()
        racing.wait()
    changed = any(stat.S_IMODE(os.stat(path).st_mode) != mode_ or open(path, "rb").read() != b"root only\n"
                  for path, mode_ in zip(victims, (0o600, 0o666)))
    escaped = bool(os.listdir(outside))
    return ok, changed, escaped, misplaced(dest) if ok else 0


def main():
    import quastor
    import nobody

    short = len(sys.argv) > 1 and sys.argv[1] == "--short"
    attempts = 3 if short else int(sys.argv[1]) if len(sys.argv) > 1 else 200
    if os.geteuid() != 0:
        print("extract_race: skipped, needs root to race as another user")
        return
    os.umask(0)
    base = tempfile.mkdtemp(prefix="quastor-race-")
    os.chmod(base, 0o755)
    secret = os.path.join(base, "secret")
    os.mkdir(secret, 0o700)
    victims = [os.path.join(secret, "victim"), os.path.join(base, "shared")]
    outside = os.path.join(base, "outside")
    os.mkdir(outside, 0o777)
    os.chmod(outside, 0o777)
    # The checkout may be closed to nobody: the racer runs from a copy.
    racer = nobody.SETPRIV + [nobody.python(), "-I", nobody.readable_copy(__file__, base)]
    fds_before = len(os.listdir("/proc/self/fd"))
    failed = False
    try:
        for mode in sys.argv[2:] if len(sys.argv) > 2 else MODES:
            data = archive(mode)
            succeeded = changed = escaped = strays = 0
            for _ in range(attempts):
                for path, mode_ in zip(victims, (0o600, 0o666)):
                    with open(path, "wb") as f:
                        f.write(b"root only\n")
                    os.chmod(path, mode_)
                ok, c, e, m = attempt(quastor, mode, base, data, victims, outside, racer)
                succeeded += ok
                changed += c
                escaped += e
                strays += bool(m)
                for name in os.listdir(outside):
                    path = os.path.join(outside, name)
                    shutil.rmtree(path) if os.path.isdir(path) else os.unlink(path)
            print(f"{mode}: {attempts} attempts, {succeeded} succeeded, {changed} victims changed, "
                  f"{escaped} escapes, {strays} successes with files in nobody's directories")
            failed |= bool(changed or escaped or strays)
    finally:
        shutil.rmtree(base, ignore_errors=True)
    fds_after = len(os.listdir("/proc/self/fd"))
    print(f"descriptors: {fds_before} before, {fds_after} after")
    sys.exit(1 if failed or fds_after != fds_before else 0)


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "--racer":
        racer(*sys.argv[2:])
    else:
        main()
