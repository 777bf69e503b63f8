"""Preflight reports: values and key order, file and bytes alike, archives
written by other tools, and the scale of a full ZIP32 archive."""

from __future__ import annotations

import errno
import os
import re
import shutil
import subprocess
import time
import zipfile
import zlib

import pytest

import quastor
from memory import peak_kib
from zipbuild import Entry, build_zip, crc32, deflate, directory, file_entry, symlink

KEYS = ["archive_name", "path", "is_dir", "is_symlink", "file_size", "compress_size", "compress_type", "crc32",
        "external_attr"]


def both_ways(tmp_path, data: bytes) -> list[quastor.PreflightEntry]:
    """Preflights the archive as a file and as bytes; the reports must agree."""
    path = tmp_path / "archive.zip"
    path.write_bytes(data)
    from_file = quastor.preflight_zip(str(path))
    assert from_file == quastor.preflight_zip_bytes(data)
    return from_file


class TestReport:
    def test_values_and_key_order(self, tmp_path):
        text = b"read me\n" * 20
        report = both_ways(tmp_path, build_zip([
            directory("docs/"),
            file_entry("docs/readme.txt", text, method=8),
            file_entry("bin\\zap", b"zap", mode=0o755),
            symlink("docs/link", "readme.txt"),
        ]))
        assert [list(entry) for entry in report] == [KEYS] * 4
        assert report == [
            dict(archive_name="docs/", path="docs", is_dir=True, is_symlink=False, file_size=0, compress_size=0,
                 compress_type=0, crc32=0, external_attr=0x41ED0010),
            dict(archive_name="docs/readme.txt", path="docs/readme.txt", is_dir=False, is_symlink=False,
                 file_size=len(text), compress_size=len(deflate(text)), compress_type=8, crc32=crc32(text),
                 external_attr=0x81A40000),
            dict(archive_name="bin\\zap", path="bin/zap", is_dir=False, is_symlink=False, file_size=3,
                 compress_size=3, compress_type=0, crc32=crc32(b"zap"), external_attr=0x81ED0000),
            dict(archive_name="docs/link", path="docs/link", is_dir=False, is_symlink=True, file_size=10,
                 compress_size=10, compress_type=0, crc32=crc32(b"readme.txt"), external_attr=0xA1FF0000),
        ]
        for entry in report:
            assert type(entry["is_dir"]) is bool and type(entry["is_symlink"]) is bool

    def test_top_bits_are_positive(self):
        # From a host that is not Unix, and without the MS-DOS directory
        # bit, every reader takes it for a file.
        entry = Entry("f", b"", crc32=0xFFFFFFFF, external_attr=0xFFFFFFEF, file_size=0xFFFFFFFF,
                      version_made_by=0x0014)
        report = quastor.preflight_zip_bytes(build_zip([entry]))[0]
        assert (report["crc32"], report["external_attr"], report["file_size"]) == (0xFFFFFFFF, 0xFFFFFFEF, 0xFFFFFFFF)

    def test_directory_only(self, tmp_path):
        assert both_ways(tmp_path, build_zip([directory("docs/")])) == [dict(
            archive_name="docs/", path="docs", is_dir=True, is_symlink=False, file_size=0, compress_size=0,
            compress_type=0, crc32=0, external_attr=0x41ED0010)]

    def test_empty_archive(self, tmp_path):
        assert both_ways(tmp_path, build_zip([])) == []

    def test_regular_file_data_is_not_checked(self, tmp_path):
        # Extraction would refuse both; preflight only vouches for headers,
        # names and link targets.
        report = both_ways(tmp_path, build_zip([
            Entry("corrupt", b"hello", method=8, payload=b"\xff\xfe\xfd"),
            file_entry("wrong-crc", b"hello", crc32=0x12345678),
        ]))
        assert [e["path"] for e in report] == ["corrupt", "wrong-crc"]
        assert report[1]["crc32"] == 0x12345678

    def test_link_with_wrong_crc_fails(self, tmp_path):
        with pytest.raises(RuntimeError) as caught:
            both_ways(tmp_path, build_zip([symlink("l", "t", crc32=1)]))
        assert str(caught.value) == f"Preflight failed: CRC32 mismatch (expected 00000001, got {crc32(b't'):08x})"

    def test_unsafe_name_fails_and_writes_nothing(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        data = build_zip([file_entry("ok", b"1"), file_entry("../evil", b"2")])
        for call in (lambda: quastor.preflight_zip_bytes(data), lambda: quastor.preflight_zip(str(tmp_path / "a.zip"))):
            (tmp_path / "a.zip").write_bytes(data)
            with pytest.raises(RuntimeError) as caught:
                call()
            assert str(caught.value) == ('Preflight failed: Unsafe archive entry path: '
                                         '"../evil" contains a parent-directory segment')
        assert sorted(os.listdir(tmp_path)) == ["a.zip"]
        assert not (tmp_path.parent / "evil").exists()


def make_tree(root):
    (root / "sub" / "deep").mkdir(parents=True)
    (root / "a.txt").write_text("hello\n")
    (root / "empty").write_bytes(b"")
    (root / "sub" / "big.txt").write_text("lorem ipsum " * 10000)
    (root / "sub" / "bin").write_bytes(bytes(range(256)) * 40)
    os.symlink("../a.txt", root / "sub" / "link")


EXPECTED_TREE = {
    "src": (True, False, 0),
    "src/a.txt": (False, False, 6),
    "src/empty": (False, False, 0),
    "src/sub": (True, False, 0),
    "src/sub/deep": (True, False, 0),
    "src/sub/big.txt": (False, False, 120000),
    "src/sub/bin": (False, False, 10240),
    "src/sub/link": (False, True, 8),
}


def check_tree_report(report, expected=EXPECTED_TREE):
    seen = {e["path"]: (e["is_dir"], e["is_symlink"], e["file_size"]) for e in report}
    assert seen == expected
    for entry in report:
        if not entry["is_dir"]:
            assert entry["compress_type"] in (0, 8)


def run(tool, *args, cwd):
    if shutil.which(tool) is None:
        pytest.skip(f"{tool} is not installed")
    subprocess.run([tool, *args], cwd=cwd, check=True, capture_output=True)


class TestOtherWriters:
    @pytest.fixture
    def tree(self, tmp_path):
        make_tree(tmp_path / "src")
        return tmp_path

    def test_info_zip(self, tree):
        run("zip", "-r", "-y", "-q", "out.zip", "src", cwd=tree)
        check_tree_report(both_ways(tree, (tree / "out.zip").read_bytes()))

    def test_info_zip_streamed_with_data_descriptors(self, tree):
        # Written to a pipe, zip cannot seek back: local headers carry zero
        # sizes and CRCs, and a data descriptor follows each entry's data.
        if shutil.which("zip") is None:
            pytest.skip("zip is not installed")
        # zip cannot store links on a pipe, so it follows this one.
        data = subprocess.run(["zip", "-r", "-q", "-", "src"], cwd=tree, check=True, capture_output=True).stdout
        report = both_ways(tree, data)
        check_tree_report(report, {**EXPECTED_TREE, "src/sub/link": (False, False, 6)})
        assert any(info.flag_bits & 0x08 for info in zipfile.ZipFile(tree / "archive.zip").infolist())

    def test_bsdtar(self, tree):
        run("bsdtar", "--format", "zip", "-cf", "out.zip", "src", cwd=tree)
        check_tree_report(both_ways(tree, (tree / "out.zip").read_bytes()))

    def test_python_zipfile(self, tree):
        path = tree / "out.zip"
        with zipfile.ZipFile(path, "w") as archive:
            archive.comment = b"made by zipfile"
            archive.write(tree / "src", "src")
            archive.write(tree / "src" / "a.txt", "src/a.txt", compress_type=zipfile.ZIP_STORED)
            archive.write(tree / "src" / "sub" / "big.txt", "src/sub/big.txt", compress_type=zipfile.ZIP_DEFLATED)
            archive.writestr("src/sub/deep/", b"")
            link = zipfile.ZipInfo("src/sub/link")
            link.external_attr = 0o120777 << 16
            archive.writestr(link, "../a.txt")
            archive.writestr(zipfile.ZipInfo("caf\u00e9.txt"), b"unicode name")
        report = both_ways(tree, path.read_bytes())
        check_tree_report(report, {
            "src": (True, False, 0), "src/a.txt": (False, False, 6), "src/sub/big.txt": (False, False, 120000),
            "src/sub/deep": (True, False, 0), "src/sub/link": (False, True, 8), "caf\u00e9.txt": (False, False, 12),
        })


class TestScale:
    def test_full_archive_of_colliding_names(self, tmp_path):
        # 65535 names that share one value of the s[0]*31^(n-1) + ... hash
        # ("Aa" and "BB" collide, so every string of 16 such blocks does).
        names = ["".join("BB" if i >> bit & 1 else "Aa" for bit in range(15, -1, -1)) for i in range(65535)]
        data = build_zip([Entry(name, b"") for name in names])
        started = time.perf_counter()
        report = quastor.preflight_zip_bytes(data)
        elapsed = time.perf_counter() - started
        assert len(report) == 65535
        assert report[-1]["path"] == names[-1]
        print(f"preflight of 65535 colliding names: {elapsed:.3f} s")

    def test_declared_size_costs_no_memory(self, tmp_path):
        # A link declaring 200 MiB, whose stream does inflate to that much,
        # could never be created (targets end below PATH_MAX): it is refused
        # as its creation would be, before anything is inflated.
        squeeze = zlib.compressobj(9, zlib.DEFLATED, -15)
        stream = b"".join(squeeze.compress(bytes(1 << 20)) for _ in range(200)) + squeeze.flush()
        data = build_zip([Entry("l", b"", method=8, payload=stream, crc32=0, file_size=200 << 20,
                                external_attr=0o120777 << 16)])
        (tmp_path / "a.zip").write_bytes(data)
        too_long = re.escape(f"I/O error: {os.strerror(errno.ENAMETOOLONG)} (os error 36)") + "$"
        with pytest.raises(RuntimeError, match=too_long):
            quastor.preflight_zip(str(tmp_path / "a.zip"))
        with pytest.raises(RuntimeError, match=too_long):
            quastor.extract_zip_bytes(data, str(tmp_path / "out"))
        call = "try:\n    quastor.preflight_zip(sys.argv[1])\nexcept RuntimeError:\n    pass"
        assert peak_kib(call, str(tmp_path / "a.zip")) < 100 << 10
