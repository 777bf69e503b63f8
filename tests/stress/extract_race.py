"""Races against extract_zip by another local user.

Run as root: python3 tests/stress/extract_race.py [ATTEMPTS]

A destination subdirectory "w" belongs to uid nobody, who races each call:
- mode: every file the call has just written is swapped for a symbolic link
  to a root-owned 0600 file; that file's mode must never change.
- escape: every directory the call has just made is swapped for a symbolic
  link to a directory outside the destination; nothing may land there.
- plant: links to the outside directory are planted inside the directories
  the call has made (world-writable under umask 0), under the names its next
  entries will take.
Calls may fail (the swap is seen); they must never write or chmod elsewhere.
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

NOBODY = 65534


def racer(mode, watched, target):
    # Runs as nobody until killed: swap whatever the call has just made, or
    # plant links where it is about to write.
    open(os.path.join(watched, ".ready"), "w").close()
    while True:
        for root, dirs, files in os.walk(watched):
            if mode == "plant":
                if os.path.basename(root) != "p":
                    continue
                for name in [f"e{i}" for i in range(7)] + [f"f{i:03}" for i in range(300)]:
                    try:
                        aim = target if name[0] == "e" else os.path.join(target, name)
                        os.symlink(aim, os.path.join(root, name))
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
        if mode == "plant":
            # The directory first, then enough data to give the racer time
            # before the entries inside it are written.
            z.writestr("w/p/", b"")
            for i in range(40):
                z.writestr(f"w/big{i}", os.urandom(1 << 20))
            for i in range(300):
                z.writestr(f"w/p/f{i:03}", b"payload")
            for i in range(7):
                z.writestr(f"w/p/e{i}/f{i}", b"payload")
        for i in range(300 if mode != "plant" else 0):
            name = f"w/f{i:03}" if mode == "mode" else f"w/d{i % 30}/e{i % 7}/f{i:03}"
            info = zipfile.ZipInfo(name)
            info.external_attr = (stat.S_IFREG | 0o4755) << 16
            z.writestr(info, b"payload")
    return buffer.getvalue()


def attempt(quastor, mode, base, data, victim, outside):
    dest = os.path.join(base, "dest")
    shutil.rmtree(dest, ignore_errors=True)
    os.makedirs(os.path.join(dest, "w"))
    os.chmod(dest, 0o755)
    os.chown(os.path.join(dest, "w"), NOBODY, NOBODY)
    target = victim if mode == "mode" else outside
    command = ["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups",
               sys.executable, __file__, "--racer", mode, os.path.join(dest, "w"), target]
    racing = subprocess.Popen(command)
    while not os.path.exists(os.path.join(dest, "w", ".ready")):
        time.sleep(0.001)
    try:
        quastor.extract_zip_bytes(data, dest)
        ok = True
    except RuntimeError:
        ok = False
    finally:
        racing.kill()
        racing.wait()
    changed = stat.S_IMODE(os.stat(victim).st_mode) != 0o600
    escaped = bool(os.listdir(outside))
    return ok, changed, escaped


def main():
    import quastor

    attempts = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    os.umask(0)
    base = tempfile.mkdtemp(prefix="quastor-race-")
    os.chmod(base, 0o755)
    secret = os.path.join(base, "secret")
    os.mkdir(secret, 0o700)
    victim = os.path.join(secret, "victim")
    with open(victim, "w") as f:
        f.write("root only\n")
    os.chmod(victim, 0o600)
    outside = os.path.join(base, "outside")
    os.mkdir(outside, 0o777)
    os.chmod(outside, 0o777)
    fds_before = len(os.listdir("/proc/self/fd"))
    failed = False
    try:
        for mode in ("mode", "escape", "plant"):
            data = archive(mode)
            succeeded = changed = escaped = 0
            for _ in range(attempts):
                ok, c, e = attempt(quastor, mode, base, data, victim, outside)
                succeeded += ok
                changed += c
                escaped += e
                os.chmod(victim, 0o600)
                for name in os.listdir(outside):
                    path = os.path.join(outside, name)
                    shutil.rmtree(path) if os.path.isdir(path) else os.unlink(path)
            print(f"{mode}: {attempts} attempts, {succeeded} succeeded, "
                  f"{changed} mode changes, {escaped} escapes")
            failed |= bool(changed or escaped)
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
