"""Benchmark corpora, built on the fly below a scratch directory.

- stdlib: the running Python's standard library, without site-packages and
  __pycache__ (many small and mid-sized files, a few large ones);
- large: four 48 MiB files: two of real text (standard-library source), one
  of mixed binary (shared objects, source and random blocks), one random;
- tiny: 20,000 files of up to a few hundred bytes in 200 directories;
- huge: one 512 MiB file of mixed text and binary, the archive of a single
  large entry (a data set, a model, a disk image).

Each tree is built once per Corpora object; archives are written with
zipfile, DEFLATE at level 6 (or stored), directories listed before their
contents, names sorted.
"""

from __future__ import annotations

import os
import pathlib
import random
import shutil
import sysconfig
import zipfile

MIB = 1 << 20
LARGE_SIZE = 48 * MIB
HUGE_SIZE = 512 * MIB
TINY_FILES = 20_000
TINY_DIRECTORIES = 200


def stdlib_directory() -> pathlib.Path:
    return pathlib.Path(sysconfig.get_paths()["stdlib"])


def _skip_stdlib(directory: str, names: list[str]) -> set[str]:
    skipped = {"__pycache__"}
    if pathlib.Path(directory) == stdlib_directory():
        skipped.add("site-packages")
    return skipped.intersection(names)


def copy_stdlib(target: pathlib.Path) -> pathlib.Path:
    shutil.copytree(stdlib_directory(), target, symlinks=True, ignore=_skip_stdlib)
    return target


def _stdlib_text() -> bytes:
    """All standard-library source text, in a fixed order."""
    chunks = []
    for path in sorted(stdlib_directory().rglob("*.py")):
        if "site-packages" in path.parts or "__pycache__" in path.parts:
            continue
        try:
            chunks.append(path.read_bytes())
        except OSError:
            continue
    return b"".join(chunks)


def _fill(path: pathlib.Path, pieces, size: int) -> None:
    """Writes pieces over and over until the file holds exactly `size` bytes."""
    written = 0
    with open(path, "wb") as out:
        while written < size:
            for piece in pieces():
                piece = piece[: size - written]
                out.write(piece)
                written += len(piece)
                if written >= size:
                    break


def make_large(target: pathlib.Path) -> pathlib.Path:
    target.mkdir(parents=True)
    text = _stdlib_text()
    rng = random.Random(48)
    binaries = _binaries()

    def text_forward():
        yield text

    def text_shuffled():
        # The same language, another order: source files cut into 64 KiB
        # blocks and shuffled, so the two text files differ.
        blocks = [text[i:i + 65536] for i in range(0, len(text), 65536)]
        rng.shuffle(blocks)
        yield from blocks

    _fill(target / "text-1.txt", text_forward, LARGE_SIZE)
    _fill(target / "text-2.txt", text_shuffled, LARGE_SIZE)
    _fill(target / "mixed.bin", _mixed(text, binaries, rng), LARGE_SIZE)
    _fill(target / "random.bin", lambda: iter([rng.randbytes(4 * MIB)]), LARGE_SIZE)
    return target


def _binaries() -> list[bytes]:
    files = sorted(stdlib_directory().joinpath("lib-dynload").glob("*.so"))
    return [p.read_bytes() for p in files] or [random.Random(1).randbytes(MIB)]


def _mixed(text: bytes, binaries: list[bytes], rng: random.Random):
    """Shared objects, source text and random blocks in turn."""

    def pieces():
        for index, binary in enumerate(binaries):
            yield binary
            start = (index * 1_000_003) % max(1, len(text) - 262144)
            yield text[start:start + 262144]
            yield rng.randbytes(131072)

    return pieces


def make_huge(target: pathlib.Path) -> pathlib.Path:
    target.mkdir(parents=True)
    _fill(target / "huge.bin", _mixed(_stdlib_text(), _binaries(), random.Random(512)), HUGE_SIZE)
    return target


def make_tiny(target: pathlib.Path) -> pathlib.Path:
    rng = random.Random(20000)
    words = [b"alpha", b"beta", b"gamma", b"delta", b"zip", b"entry", b"quota", b"\n", b" ", b"0123"]
    for d in range(TINY_DIRECTORIES):
        (target / f"dir{d:03d}").mkdir(parents=True)
    for i in range(TINY_FILES):
        size = rng.randrange(0, 400)
        content = b"".join(rng.choice(words) for _ in range(size // 4))[:size]
        (target / f"dir{i % TINY_DIRECTORIES:03d}" / f"file{i:05d}.txt").write_bytes(content)
    return target


def zip_tree(source: pathlib.Path, archive: pathlib.Path, *, stored: bool = False) -> pathlib.Path:
    """Archives the contents of `source` (names relative to it)."""
    method = zipfile.ZIP_STORED if stored else zipfile.ZIP_DEFLATED
    level = None if stored else 6
    with zipfile.ZipFile(archive, "w", compression=method, compresslevel=level) as out:
        for directory, directories, files in os.walk(source):
            directories.sort()
            for name in sorted(directories):
                out.write(os.path.join(directory, name), os.path.relpath(os.path.join(directory, name), source))
            for name in sorted(files):
                path = os.path.join(directory, name)
                out.write(path, os.path.relpath(path, source))
    return archive


class Corpora:
    """Source trees and their archives below `root`, each made on first use."""

    BUILDERS = {"stdlib": copy_stdlib, "large": make_large, "tiny": make_tiny, "huge": make_huge}
    TITLES = {
        "stdlib": "Python standard library",
        "large": "four 48 MiB files (text, text, mixed, random)",
        "tiny": "20,000 tiny files in 200 directories",
        "huge": "one 512 MiB entry (mixed text and binary)",
    }

    def __init__(self, root: pathlib.Path):
        self.root = pathlib.Path(root)
        self._trees: dict[str, pathlib.Path] = {}
        self._archives: dict[tuple[str, bool], pathlib.Path] = {}

    def tree(self, name: str) -> pathlib.Path:
        if name not in self._trees:
            self._trees[name] = self.BUILDERS[name](self.root / "trees" / name)
        return self._trees[name]

    def archive(self, name: str, *, stored: bool = False) -> pathlib.Path:
        key = (name, stored)
        if key not in self._archives:
            (self.root / "archives").mkdir(parents=True, exist_ok=True)
            suffix = "-stored" if stored else ""
            self._archives[key] = zip_tree(self.tree(name), self.root / "archives" / f"{name}{suffix}.zip", stored=stored)
        return self._archives[key]


# Corpora of the command's table alone unless named: building and archiving
# them for every peer would take minutes.
COMMAND_ONLY = ("huge",)


def selected() -> tuple[str, ...]:
    """The corpora QUASTOR_BENCH_CORPORA names (comma-separated), in their
    usual order; all but the command's own when it is unset."""
    named = {n.strip() for n in os.environ.get("QUASTOR_BENCH_CORPORA", "").split(",") if n.strip()}
    unknown = named - set(Corpora.BUILDERS)
    if unknown:
        raise SystemExit(f"QUASTOR_BENCH_CORPORA: no corpus named {', '.join(sorted(unknown))}")
    return tuple(n for n in Corpora.BUILDERS if (n in named if named else n not in COMMAND_ONLY))


def describe(path: pathlib.Path) -> str:
    """Files, directories and bytes of a tree, or the size of an archive."""
    if path.is_file():
        return f"{path.stat().st_size / MIB:.1f} MiB archive"
    files = directories = size = 0
    for _, dirs, names in os.walk(path):
        directories += len(dirs)
        files += len(names)
    for file in path.rglob("*"):
        if file.is_file() and not file.is_symlink():
            size += file.stat().st_size
    return f"{files} files, {directories} directories, {size / MIB:.1f} MiB"
