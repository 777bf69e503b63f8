"""The quastor command, run as a process: each subcommand's success and
refusal, its JSON report against preflight_zip, archives on standard input,
member selection and the overwrite policies, messages that name the archive
and the entry, and the exit statuses 0 (success), 1 (refused or failed) and
2 (usage)."""

import importlib.metadata
import importlib.util
import json
import os
import pathlib
import shlex
import shutil
import subprocess
import sysconfig
import tempfile

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
DOCUMENTS = pathlib.Path(__file__).resolve().parents[2] / "docs" / "command_documents.py"
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


def run(*args, stdin: bytes | None = None, env: dict | None = None, user: int | None = None,
        command: str | None = None, cwd=None, stdout=None) -> subprocess.CompletedProcess:
    """`stdout`: a file for standard output, or "closed" to start without one."""
    assert COMMAND is not None

    def child():
        if stdout == "closed":
            os.close(1)
        if user is not None:
            os.setuid(user)
    return subprocess.run([command or COMMAND, *map(str, args)], input=stdin, timeout=60, cwd=cwd,
                          stdout=subprocess.PIPE if stdout in (None, "closed") else stdout, stderr=subprocess.PIPE,
                          env=None if env is None else {**os.environ, **env},
                          preexec_fn=None if user is None and stdout != "closed" else child)


# zsh completes only in an interactive shell: one runs on a terminal of its
# own, with compadd noting what it is given, and is typed the line and a key
# that completes it and then says it is done.
ZSH_COMPLETE = r"""
zmodload zsh/zpty
zpty z zsh -f -i
zpty -w z "fpath=($1 \$fpath); autoload -Uz compinit; compinit -u -D; quastor() { : }"
zpty -w z "compadd() { local -a hits; builtin compadd -O hits \"\$@\"; print -rl -- \$hits >>$3; builtin compadd \"\$@\" }"
zpty -w z "complete-then-say() { zle complete-word; print >$3.done }; zle -N complete-then-say; bindkey '^T' complete-then-say"
zpty -w -n z "$2"$'\C-t'
while [[ ! -e $3.done ]]; do sleep 0.05; done
zpty -d z
"""


def offered(shell: str, line: str, cwd: pathlib.Path) -> set[str]:
    """What SHELL's completion file in docs/ offers for `quastor LINE` in CWD,
    directories without their trailing "/"."""
    completions = DOCUMENTS.parent / "completions"
    if shell == "bash":
        words = " ".join(shlex.quote(word) for word in ["quastor", *line.split(" ")])
        script = (f"source {completions / 'quastor.bash'}; COMP_WORDS=({words}); "
                  'COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _quastor; printf "%s\\n" "${COMPREPLY[@]}"')
        output = subprocess.run(["bash", "--norc", "-c", script], cwd=cwd, capture_output=True, text=True, timeout=60).stdout
    elif shell == "fish":
        script = f"source {completions / 'quastor.fish'}; complete -C {shlex.quote('quastor ' + line)}"
        output = subprocess.run(["fish", "--no-config", "-c", script], cwd=cwd, capture_output=True, text=True,
                                timeout=60).stdout
    else:
        noted = cwd.parent / "noted"
        noted.unlink(missing_ok=True)
        pathlib.Path(f"{noted}.done").unlink(missing_ok=True)
        subprocess.run(["zsh", "-f", "-c", ZSH_COMPLETE, "zsh", completions, "quastor " + line, noted],
                       cwd=cwd, capture_output=True, timeout=60, check=True)
        output = noted.read_text() if noted.exists() else ""
    return {entry.split("\t")[0].rstrip("/") for entry in output.splitlines() if entry}


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
        # From inside the directory, the module's archive byte for byte; a
        # relative ARCHIVE is still named from where the command runs.
        assert run("create", "-C", "src", "cli.zip", ".", cwd=tmp_path).returncode == 0
        assert (tmp_path / "cli.zip").read_bytes() == (tmp_path / "module.zip").read_bytes()

        assert run("-q", "create", "--level", "0", tmp_path / "store.zip", source).returncode == 0
        report = quastor.preflight_zip(str(tmp_path / "store.zip"))
        assert {entry["compress_type"] for entry in report} == {0}

        archive = tmp_path / "cli.zip"
        assert run("extract", archive, "-d", tmp_path / "from-file").returncode == 0
        assert run("extract", "-", "-d", tmp_path / "from-stdin", stdin=archive.read_bytes()).returncode == 0
        assert snapshot(tmp_path / "from-file") == snapshot(tmp_path / "from-stdin") == snapshot(source)
        # An archive already there is replaced, not added to.
        assert run("create", archive, source / "tool").returncode == 0
        assert [entry["archive_name"] for entry in quastor.preflight_zip(str(archive))] == ["tool"]
        # Given by name, the directory comes under its own name, with its mode.
        assert run("create", tmp_path / "named.zip", source).returncode == 0
        assert run("extract", tmp_path / "named.zip", "-d", tmp_path / "named").returncode == 0
        assert [p.name for p in (tmp_path / "named").iterdir()] == ["src"]
        assert snapshot(tmp_path / "named" / "src") == snapshot(source)

    # Each SOURCE as given, from a directory holding src/{sub/x, top}.
    @pytest.mark.parametrize(("options", "sources", "names"), [
        ([], ["src"], ["src/", "src/sub/", "src/sub/x", "src/top"]),
        ([], ["src//"], ["src/", "src/sub/", "src/sub/x", "src/top"]),
        ([], ["src/."], ["sub/", "sub/x", "top"]),  # "." and ".." name no directory of their own
        (["-C", "src/sub"], [".."], ["sub/", "sub/x", "top"]),
        (["-C", "src"], ["sub", "top"], ["sub/", "sub/x", "top"]),
        (["-C", "src", "-x", "sub"], ["."], ["top"]),
        (["-x", "src/sub"], ["src"], ["src/", "src/top"]),  # -x sees the names as the source gives them
        (["-x", "src"], ["src"], []),
        (["--prefix", "p/", "-x", "*/x"], ["src"], ["p/", "p/src/", "p/src/sub/", "p/src/top"]),
    ])
    def test_sources_give_their_own_names(self, tmp_path, options, sources, names):
        (tmp_path / "src" / "sub").mkdir(parents=True)
        (tmp_path / "src" / "sub" / "x").write_bytes(b"x")
        (tmp_path / "src" / "top").write_bytes(b"t")
        (tmp_path / "src").chmod(0o750)
        assert run("create", *options, "out.zip", *sources, cwd=tmp_path).returncode == 0
        report = quastor.preflight_zip(str(tmp_path / "out.zip"))
        assert [entry["archive_name"] for entry in report] == names
        if names[:1] == ["src/"]:
            assert report[0]["external_attr"] >> 16 == 0o40750

    def test_several_sources_and_a_prefix(self, tmp_path):
        (tmp_path / "a" / "sub").mkdir(parents=True)
        (tmp_path / "a" / "sub" / "x").write_bytes(b"x" * 1000)
        (tmp_path / "a" / "sub").chmod(0o750)
        (tmp_path / "b" / ".git").mkdir(parents=True)
        (tmp_path / "b" / "y").write_bytes(b"y")
        os.symlink("y", tmp_path / "b" / "link")
        (tmp_path / "top.txt").write_bytes(b"t")
        sources = [tmp_path / "a", tmp_path / "b", tmp_path / "top.txt"]
        out = tmp_path / "out"
        out.mkdir()
        # Each source under its own name, sources in the order given, read
        # where they are: nothing linked to or copied from them.
        files = [tmp_path / "a" / "sub" / "x", tmp_path / "b" / "y"]
        before = [(p.stat().st_nlink, p.stat().st_ctime_ns) for p in files]
        assert run("create", out / "all.zip", *sources).returncode == 0
        names = ["a/", "a/sub/", "a/sub/x", "b/", "b/.git/", "b/link", "b/y", "top.txt"]
        assert [e["archive_name"] for e in quastor.preflight_zip(str(out / "all.zip"))] == names
        assert [(p.stat().st_nlink, p.stat().st_ctime_ns) for p in files] == before
        assert run("extract", out / "all.zip", "-d", tmp_path / "all").returncode == 0
        assert [snapshot(tmp_path / "all" / s.name) for s in sources[:2]] == [snapshot(s) for s in sources[:2]]
        # Under a prefix, -x matched against the names each source gives, a
        # single file's too.
        assert run("create", "--prefix", "top/dir", "-x", "b/.git", "-x", "top.txt", out / "p.zip",
                   *sources).returncode == 0
        expected = ["top/", "top/dir/"] + ["top/dir/" + n for n in names if not n.startswith(("b/.git", "top"))]
        assert [e["archive_name"] for e in quastor.preflight_zip(str(out / "p.zip"))] == expected
        # One directory giving what it holds under a prefix is what naming it
        # gives: the prefix's last level takes its mode, the levels above it
        # the mode new directories are made with.
        assert run("create", "--prefix", "up/", out / "one.zip", tmp_path / "a" / "sub").returncode == 0
        assert run("create", "-C", tmp_path / "a" / "sub", "--prefix", "up/sub/", out / "inside.zip",
                   ".").returncode == 0
        assert (out / "inside.zip").read_bytes() == (out / "one.zip").read_bytes()
        umask = os.umask(0o22)
        os.umask(umask)
        assert [(e["archive_name"], e["external_attr"] >> 16 & 0o777) for e in
                quastor.preflight_zip(str(out / "one.zip"))] == [("up/", 0o777 & ~umask), ("up/sub/", 0o750),
                                                                 ("up/sub/x", 0o644)]
        # Two sources that give one name, two directories or a directory and
        # a file, refuse the call before anything is written.
        (tmp_path / "c" / "a").mkdir(parents=True)
        (tmp_path / "d").mkdir()
        (tmp_path / "d" / "a").write_bytes(b"file")
        for second, name in ((tmp_path / "c" / "a", "a/"), (tmp_path / "d" / "a", "a")):
            done = run("create", out / "twice.zip", tmp_path / "a", second)
            assert (done.returncode, done.stderr.decode()) == (
                1, f"quastor: {out / 'twice.zip'}: Archive creation failed: Invalid input: Two sources give the "
                   f'entry name "{name}"\n')
        assert sorted(p.name for p in out.iterdir()) == ["all.zip", "inside.zip", "one.zip", "p.zip"]
        done = run("create", out / "x.zip", tmp_path / "a", tmp_path / "missing")
        assert done.stderr.decode().startswith(f"quastor: {tmp_path / 'missing'}: does not exist: ")
        # An item at fault is named where it lives.
        os.mkfifo(tmp_path / "b" / "pipe")
        done = run("create", "--prefix", "p/", out / "x.zip", tmp_path / "a", tmp_path / "b")
        assert done.stderr.decode().endswith(f"Unsupported filesystem entry: {tmp_path / 'b' / 'pipe'}\n")
        for prefix in ("../up", "C:/x/", "c:x"):
            assert run("create", "--prefix", prefix, out / "x.zip", tmp_path / "a").returncode == 2
        assert sorted(p.name for p in out.iterdir()) == ["all.zip", "inside.zip", "one.zip", "p.zip"]

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
        assert lines[0].split() == ["Mode", "Size", "Compressed", "Method", "Name"]
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
        # With --json standard output still holds one JSON value; standard
        # input has one name there and on standard error.
        done = run("check", "--json", archive)
        assert (done.returncode, json.loads(done.stdout)) == (1, {"error": text, "archive": str(archive)})
        done = run("check", "--json", "-", "nomatch", stdin=GOOD)
        assert json.loads(done.stdout) == {"error": "nomatch: matches no entry", "archive": "standard input"}
        assert done.stderr.decode() == "quastor: standard input: nomatch: matches no entry\n"

        risky = stored(tmp_path, build_zip([
            symlink("abs", "/etc/passwd"),
            symlink("d/up", "../../x"),
            symlink("d/inside", "../y/./z"),
            symlink("s", "."),
            symlink("x", "s/.."),  # harmless one by one, out through the chain
            file_entry("su", b"x", mode=0o4755),
            file_entry("sg", b"x", mode=0o2755),
            file_entry("enc", b"", flags=0x0801),
            file_entry("both", b"x", mode=0o6755, flags=0x0801),  # three findings, each under this entry and its own reason
        ]))
        assert run("check", risky).returncode == 0
        done = run("check", "--strict", "--max-size", "2", risky)
        assert done.returncode == 1
        # With --json the findings are in the report too, tied to their entries.
        report = json.loads(run("check", "--json", "--strict", "--max-size", "2", risky, "d").stdout)
        assert [entry["path"] for entry in report["entries"]] == ["d/up", "d/inside"]
        assert [(finding["entry"], finding["reason"]) for finding in report["findings"]] == [
            ("abs", "absolute_link"), ("d/up", "link_outside"), ("x", "link_outside"), ("su", "setuid"),
            ("sg", "setgid"), ("enc", "encrypted"), ("both", "encrypted"), ("both", "setuid"), ("both", "setgid"),
            (None, "max_size")]
        assert [f'quastor: {risky}: {finding["text"]}' for finding in report["findings"]] == \
            done.stderr.decode().splitlines()
        assert done.stderr.decode().splitlines() == [f"quastor: {risky}: {line}" for line in [
            '"abs" links to the absolute path "/etc/passwd"',
            '"d/up" links out of the destination: "../../x"',
            '"x" links out of the destination: "s/.."',
            '"su" has the set-user-ID bit',
            '"sg" has the set-group-ID bit',
            '"enc" is encrypted',
            '"both" is encrypted',
            '"both" has the set-user-ID bit',
            '"both" has the set-group-ID bit',
            "Total size 34 bytes exceeds the limit of 2 bytes",
        ]]
        assert run("check", "--max-size", "1k", risky).returncode == 0
        # The limit holds without --strict, and a total equal to it passes.
        assert run("check", "--max-size", "34", risky).returncode == 0
        done = run("check", "--max-size", "33", risky)
        assert (done.returncode, done.stderr.decode()) == (1, f"quastor: {risky}: Total size 34 bytes exceeds the limit of 33 bytes\n")
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
        # Noise grows a little when deflated: said as growth, never a negative saving.
        grown = stored(tmp_path, build_zip([file_entry("r", os.urandom(1000), method=8)]))
        assert run("check", grown).stdout.decode().splitlines()[3].endswith(" compressed, 1% larger")


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
        (["d", "d/a.txt", "*.txt"], {"d", "d/a.txt", "d/e/b.txt", "d/e/c.log", "top.txt"}),  # patterns overlap
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
        said = run("test", archive, *choice).stdout.decode()
        assert f": {counted}, " in said and said.endswith(" tested\n")

    def test_unmatched_pattern_fails_before_writing(self, tmp_path):
        archive = stored(tmp_path, self.TREE)
        done = run("extract", archive, "top.txt", "nope*", "-d", tmp_path / "out")
        assert (done.returncode, done.stderr.decode()) == (1, f"quastor: {archive}: nope*: matches no entry\n")
        assert not (tmp_path / "out").exists()
        # A last operand no entry even starts with reads as a destination
        # without -d; a near miss, a glob or a given -d does not.
        for args, hint in ((["out"], "; did you mean '-d out'?"), (["d/e/b"], ""), (["o*"], ""),
                           (["out", "-d", "x"], ""), (["out", "-p"], "")):
            done = run("extract", archive, *args)
            assert done.stderr.decode() == f"quastor: {archive}: {args[0]}: matches no entry{hint}\n"
        assert not (tmp_path / "x").exists()

    def test_listing_of_a_chosen_link_shows_its_target(self, tmp_path):
        lines = run("list", stored(tmp_path, self.TREE), "l", "d/a.txt").stdout.decode().splitlines()
        assert lines[2].endswith(" d/a.txt") and lines[3].split()[-3:] == ["l", "->", "top.txt"]

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
    def test_refuse_existing_and_empty_refuse_before_writing(self, tmp_path):
        archive = stored(tmp_path, GOOD)
        out = tmp_path / "out"
        out.mkdir()
        (out / "run").write_bytes(b"mine")
        for option in ("--refuse-existing", "--no-overwrite", "--empty"):
            done = run("extract", option, archive, "-d", out)
            assert done.returncode == 1
            assert sorted(p.name for p in out.iterdir()) == ["run"]
            assert (out / "run").read_bytes() == b"mine"
        assert run("extract", "--refuse-existing", archive, "-d", out).stderr.decode() == (
            f"quastor: {out}/run: already exists; --refuse-existing extracts nothing when a target exists\n")
        # What is not chosen is not in the way; nor is a directory already there.
        (out / "d").mkdir()
        assert run("extract", "--refuse-existing", archive, "-x", "run", "-d", out).returncode == 0
        assert run("extract", "--empty", archive, "-d", tmp_path / "new").returncode == 0

    # A link at a target is judged as itself, never through it: a dangling
    # one is something there. Where a directory goes, -n cannot leave it
    # out either, so both refuse before anything is written.
    @pytest.mark.parametrize("place, options", [
        ("d/a.txt", ["--refuse-existing"]),
        ("d", ["--refuse-existing"]),
        ("d", ["-n"]),
    ])
    def test_a_dangling_link_at_a_target_refuses_before_writing(self, tmp_path, place, options):
        # Entries before it that a late refusal would already have written.
        archive = stored(tmp_path, build_zip([file_entry(f"f{i}", b"x") for i in range(64)] + [
            directory("d/"), file_entry("d/a.txt", b"hello\n")]))
        out = tmp_path / "out"
        (out / "d").mkdir(parents=True)
        if place == "d":
            (out / "d").rmdir()
        os.symlink("../victim", out / place)
        done = run("extract", *options, archive, "-d", out)
        assert done.returncode == 1
        if "-n" not in options:
            assert done.stderr.decode() == (
                f"quastor: {out}/{place}: already exists; --refuse-existing extracts nothing when a target exists\n")
        assert os.readlink(out / place) == "../victim"
        assert not (tmp_path / "victim").exists() and not (out / "victim").exists()
        assert sorted(p.name for p in out.iterdir()) == ["d"]

    def test_no_clobber_keeps_what_is_there_and_extracts_the_rest(self, tmp_path):
        archive = stored(tmp_path, GOOD)
        out = tmp_path / "out"
        (out / "d").mkdir(parents=True)
        (out / "run").write_bytes(b"mine")
        # A dangling link at a target is something there too: kept, and
        # nothing is written through it.
        os.symlink("../victim", out / "d" / "a.txt")
        for option, quiet, said in (("-n", [], "2 entries skipped: their targets already exist\n"),
                                    ("--no-clobber", ["-q"], "")):
            done = run(*quiet, "extract", option, archive, "-d", out)
            assert (done.returncode, done.stderr.decode()) == (0, f"quastor: {archive}: {said}" if said else "")
            assert (out / "run").read_bytes() == b"mine"
            assert os.readlink(out / "d" / "a.txt") == "../victim" and not (tmp_path / "victim").exists()
            assert os.readlink(out / "d" / "l") == "../run"
        assert run("extract", "-n", archive, "-d", tmp_path / "new").stderr == b""
        assert (tmp_path / "new" / "run").read_bytes() == b"#!/bin/sh\n"


class TestMessages:
    def test_a_directory_as_archive(self, tmp_path):
        done = run("test", tmp_path)
        assert done.stderr.decode() == (
            f"quastor: {tmp_path}: Extraction failed: I/O error: Is a directory (os error 21)\n")

    def test_output_refused_is_said_as_such(self, tmp_path):
        # The archive passed: what failed is writing the command's output.
        archive = stored(tmp_path, GOOD)
        with open("/dev/full", "wb") as full:
            for sink, said in ((full, "No space left on device"), ("closed", "Bad file descriptor")):
                for args in (["test", archive], ["check", archive], ["test", "--json", archive],
                             ["check", "--json", "-"]):
                    done = run(*args, stdout=sink, stdin=GOOD)
                    assert (done.returncode, done.stderr.decode()) == (1, f"quastor: standard output: {said}\n")

    def test_no_zip_at_all_gets_a_plain_hint(self, tmp_path):
        noise = stored(tmp_path, b"not an archive" * 100)
        done = run("check", noise)
        assert done.stderr.decode() == (f"quastor: {noise}: Preflight failed: Invalid ZIP format: EOCD signature not "
                                        "found (not a ZIP archive, or truncated)\n")
        # The JSON error keeps the module's text as it is.
        assert json.loads(run("check", "--json", noise).stdout)["error"].endswith("EOCD signature not found")

    def test_failures_name_the_path_at_fault(self, tmp_path):
        # World-readable, so that an unprivileged user can run through it.
        place = pathlib.Path(tempfile.mkdtemp())
        try:
            place.chmod(0o755)
            archive = stored(place, GOOD)
            (place / "src").mkdir()
            (place / "file").write_bytes(b"")
            (place / "ro").mkdir(mode=0o555)
            (place / "ro").chmod(0o555)
            # The checkout may be closed to other users: they run a copy.
            command = shutil.copy(COMMAND, place / "quastor")
            creation, extraction = "Archive creation failed: I/O error: ", "Extraction failed: I/O error: "
            cases = [
                (["create", place / "x.zip", place / "missing"], "missing", "does not exist",
                 creation + "No such file or directory (os error 2)"),
                (["create", "-C", place / "missing", place / "x.zip", "."], "missing", "does not exist",
                 creation + "No such file or directory (os error 2)"),
                (["extract", place / "missing"], "missing", "does not exist",
                 extraction + "No such file or directory (os error 2)"),
                (["check", place / "file" / "a.zip"], "file", "is not a directory",
                 "Preflight failed: I/O error: Not a directory (os error 20)"),
                (["create", place / "file" / "x.zip", place / "src"], "file", "is not a directory",
                 creation + "File exists (os error 17)"),
                (["extract", archive, "-d", place / "file"], "file", "is not a directory",
                 extraction + "File exists (os error 17)"),
                (["extract", "-n", archive, "-d", place / "file"], "file", "is not a directory",
                 extraction + "Not a directory (os error 20)"),
                (["extract", archive, "-d", place / "file" / "out"], "file", "is not a directory",
                 extraction + "Not a directory (os error 20)"),
                (["extract", archive, "-d", place / "ro" / "out"], "ro", "permission denied",
                 extraction + "Permission denied (os error 13)"),
                (["create", place / "ro" / "x.zip", place / "src"], "ro", "permission denied",
                 creation + "Permission denied (os error 13)"),
            ]
            for args, name, what, text in cases:
                done = run(*args, user=65534 if os.geteuid() == 0 else None, command=str(command))
                assert (done.returncode, done.stderr.decode()) == (1, f"quastor: {place / name}: {what}: {text}\n")
            if os.geteuid() == 0:
                # Where nothing can be made, the file the path leads to (through
                # a link there) is written in place, as its own inode.
                (place / "ro" / "out.zip").write_bytes(b"old")
                os.chown(place / "ro" / "out.zip", 65534, 65534)
                os.symlink("out.zip", place / "ro" / "link.zip")
                inode = (place / "ro" / "out.zip").stat().st_ino
                assert run("create", place / "ro" / "link.zip", place / "src", user=65534,
                           command=str(command)).returncode == 0
                assert (place / "ro" / "out.zip").stat().st_ino == inode
                assert [e["archive_name"] for e in quastor.preflight_zip(str(place / "ro" / "out.zip"))] == ["src/"]
        finally:
            shutil.rmtree(place)

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
        # What is excluded is not even looked at.
        os.mkfifo(source / ".git" / "pipe")
        assert run("create", "--exclude", "*/__pycache__", "-x", ".git", "-C", source,
                   tmp_path / "a.zip", ".").returncode == 0
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
            f"Invalid input: {src}/d/x\\xfe and {src}/d/x\\xff both become \"src/d/x\ufffd\" in the archive\n")
        assert not (tmp_path / "out.zip").exists()


class TestTest:
    def test_good_archive_from_file_and_stdin(self, tmp_path):
        assert run("test", stored(tmp_path, GOOD)).returncode == 0
        assert run("-q", "test", "-", stdin=GOOD).stdout == b""

    def test_bytes_counted_come_to_the_total(self, tmp_path):
        # Members over 16 MiB are counted piece by piece as they stream,
        # the others whole: either way each byte once. A link's target,
        # checked by planning, is not decoded again, so not counted.
        big = bytes(range(256)) * ((17 << 20) // 256)
        archive = stored(tmp_path, build_zip([file_entry("big", big, method=8), file_entry("raw", big[:3000000]),
                                              file_entry("small", b"s" * 100, method=8), directory("d/"),
                                              symlink("link", "small")]))
        total = len(big) + 3000000 + 100
        for args in ([archive], ["-", "big", "small"]):
            expected = total if len(args) == 1 else len(big) + 100
            done = run("test", *args, stdin=archive.read_bytes() if args[0] == "-" else None)
            assert done.stdout.decode().endswith(f"entries, {expected} bytes tested\n")

    # Faults of one entry's data name the entry, and test counts them after
    # their lines; a path refusal names it in its own text.
    @pytest.mark.parametrize(("data", "entry", "counted"), [
        (BAD_CRC, "f: ", "1 of 2 entries failed"), (BAD_DEFLATE, "f: ", "1 of 1 entry failed"), (EVIL, "", None),
        (build_zip([Entry("m", b"x", method=99)]), "m: ", None)],
        ids=["crc", "deflate", "unsafe", "method"])
    def test_faults_carry_the_extraction_text(self, tmp_path, data, entry, counted):
        text = module_error(quastor.extract_zip_bytes, data, str(tmp_path / "out"))
        archive = stored(tmp_path, data)
        for name, done in ((archive, run("test", archive)), ("standard input", run("test", "-", stdin=data)),
                           (archive, run("extract", archive, "-d", tmp_path / "out"))):
            summary = f"quastor: {name}: {counted}\n" if counted and done.args[1] == "test" else ""
            assert (done.returncode, done.stderr.decode()) == (1, f"quastor: {name}: {entry}{text}\n{summary}")

    def test_every_entry_is_tested_and_each_fault_named(self, tmp_path):
        # Enough data for the pool's workers, a streamed member among the
        # faults: every entry is decoded, the faults named in archive order.
        entries = [file_entry(f"f{i:02}", bytes([i]) * 20000, method=8) for i in range(20)]
        entries[3] = Entry("f03", b"data" * 5000, method=8, crc32=0)
        entries[11] = Entry("f11", b"data" * 100, method=8, payload=b"\xff" * 40)
        entries[19] = Entry("f19", bytes(17 << 20), crc32=1)
        archive = stored(tmp_path, build_zip(entries))
        faults = [(e.name, module_error(quastor.extract_zip_bytes, build_zip([e]), str(tmp_path / e.name)))
                  for e in (entries[3], entries[11], entries[19])]
        done = run("test", archive)
        assert (done.returncode, done.stdout) == (1, b"")
        assert done.stderr.decode().splitlines() == [f"quastor: {archive}: {name}: {text}" for name, text in faults] \
            + [f"quastor: {archive}: 3 of 20 entries failed"]
        done = run("test", "--json", archive)
        assert (done.returncode, json.loads(done.stdout)) == (
            1, [{"error": text, "archive": str(archive), "entry": name} for name, text in faults])
        assert json.loads(run("test", "--json", "-", "f0*", "-x", "f03", stdin=archive.read_bytes()).stdout) == []
        # Refused as a whole, or a pattern that names nothing: one object.
        done = run("test", "--json", "-", "nomatch", stdin=archive.read_bytes())
        assert json.loads(done.stdout) == {"error": "nomatch: matches no entry", "archive": "standard input"}


class TestUsage:
    @pytest.mark.parametrize("args", [[], ["unpack", "a.zip"], ["create", "--level", "13", "a", "b"],
                                      ["check"], ["create", "-", "src"], ["check", "--max-size", "1.5X", "a"],
                                      ["extract", "-p", "-n", "a"], ["extract", "-p", "--empty", "a"],
                                      ["extract", "-p", "--refuse-existing", "a"],
                                      ["extract", "-n", "--refuse-existing", "a"]])
    def test_usage_errors_exit_2(self, args):
        assert run(*args).returncode == 2

    def test_list_and_l_are_check(self, tmp_path):
        archive = stored(tmp_path, GOOD)
        listing = run("check", archive)
        assert listing.returncode == 0
        for alias in ("list", "l"):
            assert run(alias, archive).stdout == listing.stdout

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

    @pytest.mark.skipif(not DOCUMENTS.exists(), reason="the source tree's docs/ is not here")
    def test_man_page_and_completions_say_what_help_says(self):
        spec = importlib.util.spec_from_file_location("command_documents", DOCUMENTS)
        assert spec is not None and spec.loader is not None
        documents = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(documents)
        texts = documents.render(COMMAND)
        for kind, path in documents.FILES.items():
            assert path.read_text() == texts[kind], f"{path.name} is stale: run python docs/command_documents.py"
        # The man page's examples are README's command block.
        assert "\\fBquastor create \\-C src release.zip .\\fR" in texts["man"].split(".SH EXAMPLES\n")[1]
        # Every option --help lists is in the man page and each completion.
        for command in ("create", "extract", "check", "test"):
            help_text = run(command, "--help").stdout.decode()
            for option in {word.split("=")[0] for word in help_text.replace(",", " ").split()
                           if word.startswith("--")}:
                for text in texts.values():
                    assert option.replace("-", "\\-") in text or option in text or option[2:] in text
        # The wheel puts them where man and the shells look (when pip
        # installed it, with a record of its files).
        recorded = importlib.metadata.files("quastor")
        if recorded is not None:
            installed = {"man": "share/man/man1/quastor.1", "bash": "share/bash-completion/completions/quastor",
                         "zsh": "share/zsh/site-functions/_quastor",
                         "fish": "share/fish/vendor_completions.d/quastor.fish"}
            for kind, place in installed.items():
                found = [f for f in recorded if f.as_posix().endswith(place)]
                assert len(found) == 1 and pathlib.Path(found[0].locate()).read_text() == texts[kind]
        # What each shell offers: an archive to read among the kinds that
        # are ZIP files (any case) and the directories that lead to them;
        # any path to write or archive; directories for -d.
        here = pathlib.Path(tempfile.mkdtemp()) / "here"
        for name in ("scripts", "sub"):
            (here / name).mkdir(parents=True)
        for name in ("scipy.whl", "lib.JAR", "a.zip", "notes.txt", "sc.txt"):
            (here / name).touch()
        archives = {"scipy.whl", "lib.JAR", "a.zip", "scripts", "sub"}
        cases = [
            ("list ", archives),
            ("check sc", {"scipy.whl", "scripts"}),
            ("extract --max-size 3 ", archives),
            ("create out.zip ", archives | {"notes.txt", "sc.txt"}),
            ("extract -d ", {"scripts", "sub"}),
        ]
        missing = [shell for shell in ("bash", "zsh", "fish") if shutil.which(shell) is None]
        try:
            for shell in ("bash", "zsh", "fish"):
                for line, expected in cases:
                    if shell not in missing:
                        assert offered(shell, line, here) == expected, (shell, line)
        finally:
            shutil.rmtree(here.parent)
        if missing:
            pytest.skip(f"completions not tried in {', '.join(missing)}: not installed")
