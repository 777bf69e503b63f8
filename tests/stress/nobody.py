"""Starting the racer as uid nobody, wherever the checkout lies.

A checkout in a private directory (a home directory, mktemp -d) is closed to
nobody, and so may be the interpreter of a virtual environment inside it:
the racer runs an interpreter nobody can start and read, and a script copied
where nobody can read it.
"""

import os
import shutil
import subprocess
import sys

NOBODY = 65534
SETPRIV = ["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups"]


def _runs(python):
    # Importing what the racers import proves the standard library is
    # readable too, not only the executable.
    probe = "import random, shutil, stat, tempfile, zipfile, zlib"
    try:
        return subprocess.run(SETPRIV + [python, "-I", "-c", probe], stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0
    except OSError:
        return False


def python():
    """An interpreter that uid nobody can run, with its standard library."""
    candidates = [sys.executable, getattr(sys, "_base_executable", None), os.path.realpath(sys.executable),
                  shutil.which("python3"), "/usr/bin/python3"]
    for candidate in dict.fromkeys(c for c in candidates if c):
        if _runs(candidate):
            return candidate
    raise SystemExit("no Python interpreter that uid nobody can run: tried " + ", ".join(filter(None, candidates)))


def readable_copy(script, directory):
    """A copy of script inside directory (which nobody must be able to enter),
    readable by nobody."""
    copy = os.path.join(directory, os.path.basename(script))
    shutil.copyfile(script, copy)
    os.chmod(copy, 0o644)
    return copy
