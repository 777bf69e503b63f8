"""The quastor command, run as a process: each subcommand's success and
refusal, its JSON report against preflight_zip, archives on standard input,
and the exit statuses 0 (success), 1 (refused or failed) and 2 (usage)."""

import importlib.metadata
import json
import os
import pathlib
import shutil
import subprocess
import sysconfig

import pytest

import quastor
from trees import snapshot
from zipbuild import Entry, build_zip, directory, file_entry, symlink


def find_command() -> str | None:
    installed = pathlib.Path(sysconfig.get_path("scripts")) / "quastor"
    if os.access(installed, os.X_OK):
        return str(installed)
    return shutil.which("quastor")


COMMAND = find_command()
pytestmark = pytest.mark.skipif(COMMAND is None, reason="the quastor command is not installed")

GOOD = build_zip([
    directory("d/"),
    file_entry("d/a.txt", b"hello\n" * 50, method=8),
    file_entry("run", b"#!/bin/sh\n", mode=0o755),
    symlink("d/l", "../run"),
])
EVIL = build_zip([file_entry("../evil", b"x")])
# Passes the gate; only decoding finds the fault.
BAD_CRC = build_zip([file_entry("ok", b"fine"), Entry("f", b"data" * 100, method=8, crc32=0)])
BAD_DEFLATE = build_zip([Entry("f", b"data" * 100, method=8, payload=b"\xff" * 40)])


def run(*args, stdin: bytes | None = None) -> subprocess.CompletedProcess:
    assert COMMAND is not None
    return subprocess.run([COMMAND, *map(str, args)], input=stdin, capture_output=True, timeout=60)


def stored(tmp_path, data: bytes) -> pathlib.Path:
    path = tmp_path / "a.zip"
    path.write_bytes(data)
    return path


def module_error(function, *args) -> str:
    with pytest.raises(RuntimeError) as caught:
        function(*args)
    return str(caught.value)


class TestCreateAndExtract:
    def test_round_trip_matches_the_module(self, tmp_path):
        source = tmp_path / "src"
        (source / "sub").mkdir(parents=True)
        (source / "sub" / "text").write_bytes(b"some text " * 1000)
        (source / "tool").write_bytes(b"#!/bin/sh\n")
        (source / "tool").chmod(0o755)
        os.symlink("sub/text", source / "link")
        quastor.create_zip(str(source), str(tmp_path / "module.zip"))
        assert run("create", tmp_path / "cli.zip", source).returncode == 0
        assert (tmp_path / "cli.zip").read_bytes() == (tmp_path / "module.zip").read_bytes()

        assert run("-q", "create", "--level", "0", tmp_path / "store.zip", source).returncode == 0
        report = quastor.preflight_zip(str(tmp_path / "store.zip"))
        assert {entry["compress_type"] for entry in report} == {0}

        archive = tmp_path / "cli.zip"
        assert run("extract", archive, "-d", tmp_path / "from-file").returncode == 0
        assert run("extract", "-", "-d", tmp_path / "from-stdin", stdin=archive.read_bytes()).returncode == 0
        assert snapshot(tmp_path / "from-file") == snapshot(tmp_path / "from-stdin") == snapshot(source)

    def test_refusals_carry_the_module_text(self, tmp_path):
        archive = stored(tmp_path, EVIL)
        done = run("extract", archive, "-d", tmp_path / "out")
        assert done.returncode == 1
        assert done.stderr.decode() == (
            'quastor: Extraction failed: Unsafe archive entry path: "../evil" contains a parent-directory segment\n')
        assert not (tmp_path / "out").exists()

        done = run("create", tmp_path / "x", tmp_path / "./x")
        assert (done.returncode, done.stderr.decode()) == (1, "quastor: Archive creation failed: Invalid input: "
                                                              "Source path and archive path must be different\n")


class TestCheck:
    def test_json_is_the_preflight_report(self, tmp_path):
        archive = stored(tmp_path, GOOD)
        expected = quastor.preflight_zip(str(archive))
        for done in (run("check", "--json", archive), run("check", "--json", "-", stdin=GOOD)):
            assert done.returncode == 0
            assert json.loads(done.stdout) == expected
            assert [list(entry) for entry in json.loads(done.stdout)] == [list(entry) for entry in expected]

    def test_listing(self, tmp_path):
        done = run("check", stored(tmp_path, GOOD))
        lines = done.stdout.decode().splitlines()
        assert done.returncode == 0
        assert lines[2].split() == ["drwxr-xr-x", "0", "0", "Stored", "d/"]
        assert lines[3].split()[::4] == ["-rw-r--r--", "d/a.txt"]
        assert lines[4].split() == ["-rwxr-xr-x", "10", "10", "Stored", "run"]
        assert lines[5].split() == ["lrwxrwxrwx", "6", "6", "Stored", "d/l", "->", "../run"]
        assert lines[6].startswith("4 entries, 316 bytes when extracted")
        assert run("-q", "check", stored(tmp_path, GOOD)).stdout == b""

    def test_refusal_and_strict_findings(self, tmp_path):
        done = run("check", stored(tmp_path, EVIL))
        assert (done.returncode, done.stderr.decode()) == (1, "quastor: " + module_error(
            quastor.preflight_zip_bytes, EVIL) + "\n")

        risky = stored(tmp_path, build_zip([
            symlink("abs", "/etc/passwd"),
            symlink("d/up", "../../x"),
            symlink("d/inside", "../y/./z"),
            symlink("s", "."),
            symlink("x", "s/.."),  # harmless one by one, out through the chain
            file_entry("su", b"x", mode=0o4755),
            file_entry("sg", b"x", mode=0o2755),
        ]))
        assert run("check", risky).returncode == 0
        done = run("check", "--strict", "--max-size", "2", risky)
        assert done.returncode == 1
        assert done.stderr.decode().splitlines() == [
            'quastor: "abs" links to the absolute path "/etc/passwd"',
            'quastor: "d/up" links out of the destination: "../../x"',
            'quastor: "x" links out of the destination: "s/.."',
            'quastor: "su" has the set-user-ID bit',
            'quastor: "sg" has the set-group-ID bit',
            "quastor: Total size 33 bytes exceeds the limit of 2 bytes",
        ]
        assert run("check", "--max-size", "1k", risky).returncode == 0
        # The limit holds without --strict, and a total equal to it passes.
        assert run("check", "--max-size", "33", risky).returncode == 0
        done = run("check", "--max-size", "32", risky)
        assert (done.returncode, done.stderr.decode()) == (1, "quastor: Total size 33 bytes exceeds the limit of 32 bytes\n")


class TestTest:
    def test_good_archive_from_file_and_stdin(self, tmp_path):
        assert run("test", stored(tmp_path, GOOD)).returncode == 0
        assert run("-q", "test", "-", stdin=GOOD).stdout == b""

    @pytest.mark.parametrize("data", [BAD_CRC, BAD_DEFLATE, EVIL], ids=["crc", "deflate", "unsafe"])
    def test_faults_carry_the_extraction_text(self, tmp_path, data):
        expected = "quastor: " + module_error(quastor.extract_zip_bytes, data, str(tmp_path / "out")) + "\n"
        for done in (run("test", stored(tmp_path, data)), run("test", "-", stdin=data)):
            assert (done.returncode, done.stderr.decode()) == (1, expected)


class TestUsage:
    @pytest.mark.parametrize("args", [[], ["unpack", "a.zip"], ["create", "--level", "13", "a", "b"],
                                      ["check"], ["create", "-", "src"], ["test", "a", "b"]])
    def test_usage_errors_exit_2(self, args):
        assert run(*args).returncode == 2

    def test_help_and_version(self):
        for args in (["--help"], ["extract", "--help"], ["check", "--help"]):
            assert run(*args).returncode == 0
        done = run("--version")
        assert done.stdout.decode().split() == ["quastor", importlib.metadata.version("quastor")]
