"""The Python libraries a user might pick instead of quastor, as programs
for a fresh interpreter, and the checks that a tool's output is whole.

Each library is optional: a row whose library does not import is left out,
with one line saying so. Each program is the library used the way its own
documentation shows, DEFLATE at level 6 where it lets us choose.

- zipfile-isal: zipfile with ISA-L's inflate and CRC-32 patched in on import;
- libarchive-c: libarchive through ctypes, extracting into the current
  directory as its documentation has it;
- stream-unzip: extraction only, reading the archive front to back without
  its central directory;
- fastzip: creation only, DEFLATE in 1 MiB blocks across threads. Its
  reading side is a verifier, not an extractor a user would pick.
"""

from __future__ import annotations

import functools
import os
import pathlib
import subprocess
import sys
import zipfile
from collections.abc import Callable

# The module each peer imports, by the row name it gets.
MODULES = {
    "zipfile-isal extractall": "zipfile_isal",
    "libarchive-c extract_file": "libarchive",
    "stream-unzip": "stream_unzip",
    "zipfile-isal ISA-L level 3": "zipfile_isal",
    "fastzip level 6": "fastzip",
    "libarchive-c level 6": "libarchive",
}

ZIPFILE_ISAL_EXTRACT = (
    "import sys\n"
    "import zipfile_isal as zipfile\n"
    "with zipfile.ZipFile(sys.argv[1]) as z: z.extractall(sys.argv[2])\n"
)
LIBARCHIVE_EXTRACT = (
    "import os, sys, libarchive\n"
    "os.makedirs(sys.argv[2], exist_ok=True)\n"
    "os.chdir(sys.argv[2])\n"
    "libarchive.extract_file(sys.argv[1])\n"
)
# Names are trusted here: the archives are our own corpora.
STREAM_UNZIP = (
    "import os, sys\n"
    "from stream_unzip import stream_unzip\n"
    "def chunks(path):\n"
    "    with open(path, 'rb') as f:\n"
    "        while block := f.read(65536): yield block\n"
    "for name, size, content in stream_unzip(chunks(sys.argv[1])):\n"
    "    path = os.path.join(sys.argv[2], name.decode())\n"
    "    if name.endswith(b'/'):\n"
    "        os.makedirs(path, exist_ok=True)\n"
    "        for _ in content: pass\n"
    "        continue\n"
    "    os.makedirs(os.path.dirname(path), exist_ok=True)\n"
    "    with open(path, 'wb') as out:\n"
    "        for block in content: out.write(block)\n"
)

# ISA-L stops at its level 3 (zipfile-isal's -13); below -10 the package
# hands the level to zlib, which would only time zlib again. So this peer
# trades ratio for speed, and its size column shows by how much.
ZIPFILE_ISAL_CREATE = (
    "import os, sys\n"
    "import zipfile_isal as zipfile\n"
    "source, archive = sys.argv[1], sys.argv[2]\n"
    "with zipfile.ZipFile(archive, 'w', zipfile.ZIP_DEFLATED, compresslevel=-13) as out:\n"
    "    for directory, directories, files in os.walk(source):\n"
    "        directories.sort()\n"
    "        for name in directories + sorted(files):\n"
    "            path = os.path.join(directory, name)\n"
    "            out.write(path, os.path.relpath(path, source))\n"
)
# The library's own chooser rules (tiny files stored), with level 6 in place
# of zlib's default. fastzip writes no directory entries.
FASTZIP_CREATE = (
    "import os, sys\n"
    "from pathlib import Path\n"
    "from fastzip.chooser import DEFAULT_CHOOSER, CompressionChooser\n"
    "from fastzip.write import WZip\n"
    "source, archive = sys.argv[1], sys.argv[2]\n"
    "chooser = CompressionChooser(default='deflate@compresslevel=6', rules=DEFAULT_CHOOSER.rules)\n"
    "with WZip(Path(archive), chooser=chooser) as out:\n"
    "    for directory, directories, files in os.walk(source):\n"
    "        directories.sort()\n"
    "        for name in sorted(files):\n"
    "            path = os.path.join(directory, name)\n"
    "            out.write(Path(path), archive_path=Path(os.path.relpath(path, source)))\n"
)
LIBARCHIVE_CREATE = (
    "import os, sys, libarchive\n"
    "source, archive = sys.argv[1], sys.argv[2]\n"
    "os.chdir(source)\n"
    "with libarchive.file_writer(archive, 'zip', options='compression-level=6') as out:\n"
    "    out.add_files(*sorted(os.listdir('.')))\n"
)


@functools.cache
def importable(module: str) -> bool:
    # In a child: importing zipfile_isal patches zipfile for the whole
    # process, and this one builds the corpora with zipfile.
    return subprocess.run([sys.executable, "-c", f"import {module}"], capture_output=True).returncode == 0


def available(names: list[str]) -> list[str]:
    """Those of the named peers whose library imports; one line for each that does not."""
    kept = []
    for name in names:
        if importable(MODULES[name]):
            kept.append(name)
        else:
            print(f"  (no {name} row: the {MODULES[name]} module does not import)", flush=True)
    return kept


def _is_directory(info: zipfile.ZipInfo) -> bool:
    # Some writers mark directories by the MS-DOS attribute alone.
    return info.is_dir() or bool(info.external_attr & 0x10)


def archive_file_count(archive: pathlib.Path) -> int:
    with zipfile.ZipFile(archive) as z:
        return sum(not _is_directory(info) for info in z.infolist())


def tree_file_count(directory: pathlib.Path) -> int:
    """Everything but directories, symbolic links included."""
    return sum(len(files) for _, _, files in os.walk(directory))


def archive_holds(name: str, archive: pathlib.Path, expected: int) -> Callable[[], None]:
    def check() -> None:
        found = archive_file_count(archive)
        if found != expected:
            raise RuntimeError(f"{name}: {archive} lists {found} files, its source tree has {expected}")

    return check


def tree_holds(name: str, directory: pathlib.Path, expected: int) -> Callable[[], None]:
    def check() -> None:
        found = tree_file_count(directory)
        if found != expected:
            raise RuntimeError(f"{name}: {directory} holds {found} files, the archive lists {expected}")

    return check
