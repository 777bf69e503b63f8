"""The quastor command, run as a process: each subcommand's success and
refusal, its JSON report against preflight_zip, archives on standard input,
member selection and the overwrite policies, messages that name the archive
and the entry, and the exit statuses 0 (success), 1 (refused or failed) and
2 (usage)."""

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


def run(*args, stdin: bytes | None = None, env: dict | None = None) -> subprocess.CompletedProcess:
    assert COMMAND is not None
    return subprocess.run([COMMAND, *map(str, args)], input=stdin, capture_output=True, timeout=60,
                          env=None if env is None else {**os.environ, **env})


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
        assert done.stderr.decode() == (f'quastor: {archive}: Extraction failed: Unsafe archive entry path: '
                                        '"../evil" contains a parent-directory segment\n')
        assert not (tmp_path / "out").exists()

        done = run("create", tmp_path / "x", tmp_path / "./x")
        assert (done.returncode, done.stderr.decode()) == (1, f"quastor: {tmp_path / 'x'}: Archive creation failed: "
                                                              "Invalid input: Source path and archive path must be "
                                                              "different\n")


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
        archive = stored(tmp_path, EVIL)
        done = run("check", archive)
        text = module_error(quastor.preflight_zip_bytes, EVIL)
        assert (done.returncode, done.stderr.decode()) == (1, f"quastor: {archive}: {text}\n")
        # With --json standard output still holds one JSON value.
        done = run("check", "--json", archive)
        assert (done.returncode, json.loads(done.stdout)) == (1, {"error": text, "archive": str(archive)})

        risky = stored(tmp_path, build_zip([
            symlink("abs", "/etc/passwd"),
            symlink("d/up", "../../x"),
            symlink("d/inside", "../y/./z"),
            symlink("s", "."),
            symlink("x", "s/.."),  # harmless one by one, out through the chain
            file_entry("su", b"x", mode=0o4755),
            file_entry("sg", b"x", mode=0o2755),
            file_entry("enc", b"", flags=0x0801),
        ]))
        assert run("check", risky).returncode == 0
        done = run("check", "--strict", "--max-size", "2", risky)
        assert done.returncode == 1
        assert done.stderr.decode().splitlines() == [f"quastor: {risky}: {line}" for line in [
            '"abs" links to the absolute path "/etc/passwd"',
            '"d/up" links out of the destination: "../../x"',
            '"x" links out of the destination: "s/.."',
            '"su" has the set-user-ID bit',
            '"sg" has the set-group-ID bit',
            '"enc" is encrypted',
            "Total size 33 bytes exceeds the limit of 2 bytes",
        ]]
        assert run("check", "--max-size", "1k", risky).returncode == 0
        # The limit holds without --strict, and a total equal to it passes.
        assert run("check", "--max-size", "33", risky).returncode == 0
        done = run("check", "--max-size", "32", risky)
        assert (done.returncode, done.stderr.decode()) == (1, f"quastor: {risky}: Total size 33 bytes exceeds the limit of 32 bytes\n")
        # The same refusals on extract, before anything is written, also
        # for a stream.
        for args, stdin in (([risky], None), (["-"], risky.read_bytes())):
            done = run("extract", "--strict", *args, "-d", tmp_path / "out", stdin=stdin)
            assert done.returncode == 1 and not (tmp_path / "out").exists()

    @pytest.mark.parametrize(("limit", "code"), [("1.5k", 0), ("1535", 1), ("0.0014M", 1), ("1.5KiB", 0)])
    def test_max_size_takes_decimals(self, tmp_path, limit, code):
        archive = stored(tmp_path, build_zip([file_entry("f", b"x" * 1536)]))
        assert run("extract", "--max-size", limit, archive, "-d", tmp_path / "out").returncode == code
        assert (tmp_path / "out").exists() == (code == 0)

    def test_listing_counts_and_rounds_honestly(self, tmp_path):
        # 10,000 zeros deflate to a few dozen bytes: over 99.5 % saved, not all of it.
        archive = stored(tmp_path, build_zip([file_entry("z", bytes(10000), method=8, flags=0x0801)]))
        lines = run("check", archive).stdout.decode().splitlines()
        assert lines[2].endswith("z  (encrypted)")
        assert lines[3].startswith("1 entry, 10000 bytes when extracted") and lines[3].endswith(" 99% saved")


class TestSelection:
    TREE = build_zip([
        directory("d/"),
        file_entry("d/a.txt", b"a\n"),
        file_entry("d/e/b.txt", b"b\n", method=8),
        file_entry("d/e/c.log", b"c\n"),
        file_entry("top.txt", b"t\n"),
        symlink("l", "top.txt"),
    ])

    @pytest.mark.parametrize(("choice", "chosen"), [
        (["d"], {"d", "d/a.txt", "d/e/b.txt", "d/e/c.log"}),  # a directory brings its contents
        (["*.txt"], {"d/a.txt", "d/e/b.txt", "top.txt"}),    # * crosses "/"
        (["-x", "*.log", "d/", "--exclude", "d/a.txt"], {"d", "d/e/b.txt"}),  # -x takes one
        (["-x", "d", "-x", "l"], {"top.txt"}),
    ])
    def test_extract_check_and_test_choose_alike(self, tmp_path, choice, chosen):
        archive = stored(tmp_path, self.TREE)
        assert run("extract", archive, *choice, "-d", tmp_path / "out").returncode == 0
        written = {str(p.relative_to(tmp_path / "out")) for p in (tmp_path / "out").rglob("*")}
        # Parents of a chosen file are made, as for any file.
        assert written - {"d", "d/e"} == chosen - {"d"}
        listed = json.loads(run("check", "--json", archive, *choice).stdout)
        assert {entry["path"] for entry in listed} == chosen
        counted = f"{len(chosen)} entries" if len(chosen) > 1 else "1 entry"
        assert run("test", archive, *choice).stdout.decode().endswith(f": {counted} tested\n")

    def test_unmatched_pattern_fails_before_writing(self, tmp_path):
        archive = stored(tmp_path, self.TREE)
        done = run("extract", archive, "top.txt", "nope*", "-d", tmp_path / "out")
        assert (done.returncode, done.stderr.decode()) == (1, f"quastor: {archive}: nope*: matches no entry\n")
        assert not (tmp_path / "out").exists()

    def test_selection_follows_the_checks_of_the_whole_archive(self, tmp_path):
        archive = stored(tmp_path, build_zip([file_entry("ok", b"fine"), file_entry("../evil", b"x")]))
        assert run("extract", archive, "ok", "-d", tmp_path / "out").returncode == 1
        assert not (tmp_path / "out").exists()

    def test_stdout_writes_the_chosen_files_in_order(self, tmp_path):
        archive = stored(tmp_path, self.TREE)
        done = run("extract", "-p", archive, "-x", "*.log", "-d", tmp_path / "out")
        assert (done.returncode, done.stdout) == (0, b"a\nb\nt\n")
        assert not (tmp_path / "out").exists()
        done = run("extract", "--stdout", "-", "d/e", stdin=self.TREE)
        assert done.stdout == b"b\nc\n"


class TestOverwritePolicy:
    def test_no_overwrite_and_empty_refuse_before_writing(self, tmp_path):
        archive = stored(tmp_path, GOOD)
        out = tmp_path / "out"
        out.mkdir()
        (out / "run").write_bytes(b"mine")
        for option in ("-n", "--no-overwrite", "--empty"):
            done = run("extract", option, archive, "-d", out)
            assert done.returncode == 1
            assert sorted(p.name for p in out.iterdir()) == ["run"]
            assert (out / "run").read_bytes() == b"mine"
        assert run("extract", "-n", archive, "-d", out).stderr.decode() == (
            f"quastor: {archive}: run: Extraction failed: I/O error: File exists (os error 17)\n")
        # What is not chosen is not in the way; nor is a directory already there.
        (out / "d").mkdir()
        assert run("extract", "-n", archive, "-x", "run", "-d", out).returncode == 0
        assert run("extract", "--empty", archive, "-d", tmp_path / "new").returncode == 0


class TestMessages:
    def test_a_directory_as_archive(self, tmp_path):
        done = run("test", tmp_path)
        assert done.stderr.decode() == (
            f"quastor: {tmp_path}: Extraction failed: I/O error: Is a directory (os error 21)\n")

    def test_create_escapes_control_characters(self, tmp_path):
        source = tmp_path / "src"
        source.mkdir()
        os.mkfifo(source / "bad\x1b[2Jname\n")
        done = run("create", tmp_path / "a.zip", source)
        assert done.returncode == 1
        assert done.stderr.decode().endswith("Unsupported filesystem entry: "
                                             f"{source}/bad\\u{{1b}}[2Jname\\n\n")

    def test_create_exclude(self, tmp_path):
        source = tmp_path / "src"
        (source / "pkg" / "__pycache__").mkdir(parents=True)
        (source / "pkg" / "__pycache__" / "m.pyc").write_bytes(b"x")
        (source / "pkg" / "m.py").write_bytes(b"y")
        (source / ".git").mkdir()
        assert run("create", "--exclude", "*/__pycache__", "--exclude", ".git",
                   tmp_path / "a.zip", source).returncode == 0
        names = [entry["archive_name"] for entry in quastor.preflight_zip(str(tmp_path / "a.zip"))]
        assert names == ["pkg/", "pkg/m.py"]

    def test_a_long_stream_goes_to_an_unnamed_file(self, tmp_path):
        # Past the memory budget, into TMPDIR, which is left as it was.
        data = build_zip([file_entry("big", bytes(40 << 20)), file_entry("small", b"s")])
        scratch = tmp_path / "tmp"
        scratch.mkdir()
        done = run("extract", "-", "-d", tmp_path / "out", stdin=data, env={"TMPDIR": str(scratch)})
        assert done.returncode == 0
        assert (tmp_path / "out" / "big").stat().st_size == 40 << 20
        assert list(scratch.iterdir()) == []


class TestCreateMergedNames:
    """Names that become one once invalid UTF-8 is replaced: the module keeps
    both entries, the command refuses to write an archive that extraction
    would refuse, naming both items and what they become."""

    @pytest.mark.parametrize("second_is_dir", [False, True])
    def test_refused_naming_both_sources_and_the_entry(self, tmp_path, second_is_dir):
        src = tmp_path / "src"
        (src / "d").mkdir(parents=True)
        with open(os.path.join(bytes(src / "d"), b"x\xfe"), "wb") as f:
            f.write(b"1")
        second = os.path.join(bytes(src / "d"), b"x\xff")
        if second_is_dir:
            os.mkdir(second)
        else:
            with open(second, "wb") as f:
                f.write(b"2")
        result = run("create", tmp_path / "out.zip", src)
        assert result.returncode == 1
        assert result.stderr.decode().endswith(
            f"Invalid input: {src}/d/x\\xfe and {src}/d/x\\xff both become \"d/x\ufffd\" in the archive\n")
        assert not (tmp_path / "out.zip").exists()


class TestTest:
    def test_good_archive_from_file_and_stdin(self, tmp_path):
        assert run("test", stored(tmp_path, GOOD)).returncode == 0
        assert run("-q", "test", "-", stdin=GOOD).stdout == b""

    # Faults of one entry's data name the entry; a path refusal names it in
    # its own text.
    @pytest.mark.parametrize(("data", "entry"), [(BAD_CRC, "f: "), (BAD_DEFLATE, "f: "), (EVIL, ""),
                                                 (build_zip([Entry("m", b"x", method=99)]), "m: ")],
                             ids=["crc", "deflate", "unsafe", "method"])
    def test_faults_carry_the_extraction_text(self, tmp_path, data, entry):
        text = module_error(quastor.extract_zip_bytes, data, str(tmp_path / "out"))
        archive = stored(tmp_path, data)
        for name, done in ((archive, run("test", archive)), ("standard input", run("test", "-", stdin=data)),
                           (archive, run("extract", archive, "-d", tmp_path / "out"))):
            assert (done.returncode, done.stderr.decode()) == (1, f"quastor: {name}: {entry}{text}\n")


class TestUsage:
    @pytest.mark.parametrize("args", [[], ["unpack", "a.zip"], ["create", "--level", "13", "a", "b"],
                                      ["check"], ["create", "-", "src"], ["check", "--max-size", "1.5X", "a"],
                                      ["extract", "-p", "-n", "a"]])
    def test_usage_errors_exit_2(self, args):
        assert run(*args).returncode == 2

    def test_unknown_command_names_the_closest(self):
        done = run("-q", "extrct", "a.zip")
        assert done.stderr.decode().splitlines()[0] == "quastor: unknown command 'extrct'; did you mean 'extract'?"
        # The parser's own complaints reach the terminal escaped too.
        done = run("check", "a.zip", "--bad\x1b]0;x\x07")
        assert done.returncode == 2 and b"\x1b" not in done.stderr and b"\\u{1b}" in done.stderr

    def test_help_and_version(self):
        for command in ("create", "extract", "check", "test"):
            done = run(command, "--help")
            assert done.returncode == 0 and b"-q,--quiet" in done.stdout
        done = run("--version")
        assert done.stdout.decode().split() == ["quastor", importlib.metadata.version("quastor")]
