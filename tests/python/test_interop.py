"""Archives quastor writes are read by the tools people already have: each
one tests them clean and extracts the same tree (files, bytes, modes, links)."""

import os
import pathlib
import shutil
import subprocess
import zipfile

import pytest

import quastor
from trees import snapshot


@pytest.fixture(scope="module")
def tree(tmp_path_factory) -> pathlib.Path:
    root = tmp_path_factory.mktemp("interop") / "src"
    (root / "docs" / "deep" / "er").mkdir(parents=True)
    (root / "empty").mkdir()
    (root / "docs" / "readme.txt").write_bytes(b"read me\n" * 400)
    (root / "docs" / "deep" / "er" / "tiny").write_bytes(b"t")
    (root / "random.bin").write_bytes(os.urandom(200_000))
    (root / "zeros").write_bytes(bytes(3_000_000))
    (root / "empty.txt").write_bytes(b"")
    (root / "unicod\u00e9 name.txt").write_bytes("\u00e9\u00e8".encode() * 50)
    (root / "run.sh").write_bytes(b"#!/bin/sh\necho hi\n" * 5)
    os.chmod(root / "run.sh", 0o755)
    os.chmod(root / "random.bin", 0o600)
    os.symlink("docs/readme.txt", root / "to_readme")
    os.symlink("docs", root / "to_docs")
    return root


@pytest.fixture(scope="module")
def archive(tree, tmp_path_factory) -> pathlib.Path:
    path = tmp_path_factory.mktemp("archive") / "tree.zip"
    quastor.create_zip(str(tree), str(path))
    return path


def need(tool: str) -> None:
    if shutil.which(tool) is None:
        pytest.skip(f"{tool} is not installed")


TESTERS = {
    "unzip": lambda a: ["unzip", "-tq", str(a)],
    "7z": lambda a: ["7z", "t", str(a)],
    "bsdtar": lambda a: ["bsdtar", "-tf", str(a)],
}

EXTRACTORS = {
    "unzip": lambda a, d: ["unzip", "-q", str(a), "-d", str(d)],
    "7z": lambda a, d: ["7z", "x", f"-o{d}", str(a)],
    "bsdtar": lambda a, d: ["bsdtar", "-xf", str(a), "-C", str(d)],
}


class TestOtherToolsRead:
    @pytest.mark.parametrize("tool", TESTERS)
    def test_archive_tests_clean(self, archive, tool):
        need(tool)
        result = subprocess.run(TESTERS[tool](archive), capture_output=True, text=True)
        assert result.returncode == 0, result.stdout + result.stderr

    def test_zipfile_finds_no_bad_entry(self, archive):
        with zipfile.ZipFile(archive) as zf:
            assert zf.testzip() is None

    @pytest.mark.parametrize("tool", EXTRACTORS)
    def test_extracts_the_same_tree(self, archive, tree, tmp_path, tool):
        need(tool)
        out = tmp_path / "out"
        out.mkdir()
        result = subprocess.run(EXTRACTORS[tool](archive, out), capture_output=True, text=True,
                                env={**os.environ, "LC_ALL": "C.UTF-8"})
        assert result.returncode == 0, result.stdout + result.stderr
        assert snapshot(out) == snapshot(tree)

    def test_zipfile_extracts_the_same_bytes(self, archive, tree, tmp_path):
        # zipfile restores neither modes nor links: a link comes out as a
        # file holding its target.
        with zipfile.ZipFile(archive) as zf:
            zf.extractall(tmp_path / "out")
        assert snapshot(tmp_path / "out", modes=False) == snapshot(tree, modes=False, links=False)


class TestQuastorReadsItsOwn:
    def test_extracts_the_same_tree(self, archive, tree, tmp_path):
        quastor.extract_zip(str(archive), str(tmp_path / "out"))
        assert snapshot(tmp_path / "out") == snapshot(tree)

    def test_preflight_agrees_with_zipfile(self, archive):
        report = quastor.preflight_zip(str(archive))
        with zipfile.ZipFile(archive) as zf:
            infos = zf.infolist()
        assert [e["archive_name"] for e in report] == [i.filename for i in infos]
        for entry, info in zip(report, infos):
            assert (entry["crc32"], entry["file_size"], entry["compress_size"]) == (
                info.CRC, info.file_size, info.compress_size)
            assert entry["compress_type"] == info.compress_type
            assert entry["external_attr"] == info.external_attr
