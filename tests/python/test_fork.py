"""The process-wide extraction pool: started only when there is parallel
work, sized by QUASTOR_EXTRACT_THREADS when that is a positive integer, and
rebuilt by a forked child instead of waiting on its parent's dead threads.
A signal stops a call, or the command, early, leaving what a failure leaves;
a second one ends the command at once, still leaving nothing behind, but
never once the archive is being named; a stalled standard input does not
keep the command from stopping. Calls
from several threads at once, which a free-threaded interpreter runs side by
side, give what the same calls give one after another."""

import multiprocessing
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import sysconfig
import textwrap
import threading
import time

import pytest

import quastor
from trees import snapshot
from zipbuild import build_zip, crc32, deflate, file_entry

MANY = build_zip([file_entry(f"d{i % 5}/f{i}", b"%d" % i * 100, method=8) for i in range(64)])
EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "docs" / "examples"


def extract_in_child(archive, dest):
    quastor.extract_zip_bytes(archive, dest)


class TestFork:
    def test_child_extracts_after_parent_used_the_pool(self, tmp_path):
        quastor.extract_zip_bytes(MANY, str(tmp_path / "parent"))
        process = multiprocessing.get_context("fork").Process(target=extract_in_child, args=(MANY, str(tmp_path / "child")))
        process.start()
        process.join(timeout=60)
        if process.exitcode is None:
            process.kill()
            pytest.fail("the child hung on the parent's pool")
        assert process.exitcode == 0
        assert sorted(os.listdir(tmp_path / "child")) == sorted(os.listdir(tmp_path / "parent"))
        # The parent's pool still works after the fork.
        quastor.extract_zip_bytes(MANY, str(tmp_path / "again"))

    def test_bare_fork_child(self, tmp_path):
        quastor.extract_zip_bytes(MANY, str(tmp_path / "parent"))
        pid = os.fork()
        if pid == 0:
            code = 1
            try:
                quastor.extract_zip_bytes(MANY, str(tmp_path / "child"))
                code = 0
            finally:
                os._exit(code)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
        assert len(os.listdir(tmp_path / "child")) == 5

    @pytest.mark.skipif(not EXAMPLES.exists(), reason="the source tree's docs/ is not here")
    def test_fan_out_example_on_a_dask_cluster(self, tmp_path, monkeypatch):
        distributed = pytest.importorskip("distributed")
        # The workers are processes of their own: they import the example
        # as the test does.
        monkeypatch.syspath_prepend(str(EXAMPLES))
        monkeypatch.setenv("PYTHONPATH", os.pathsep.join(filter(None, [str(EXAMPLES), os.environ.get("PYTHONPATH")])))
        import fan_out

        uploads = tmp_path / "uploads"
        uploads.mkdir()
        wheel = [file_entry("pkg/__init__.py", b"x = 1\n" * 50, method=8), file_entry("pkg/data.bin", bytes(range(256)))]
        kept = {"app.whl": build_zip(wheel), "many.JAR": MANY}
        refused = {
            "climbs.zip": (build_zip([file_entry("../evil", b"x")]),
                           'Preflight failed: Unsafe archive entry path: "../evil" contains a parent-directory segment'),
            "twice.apk": (build_zip([file_entry("a", b"1"), file_entry("a", b"2")]),
                          'Preflight failed: Archive entry conflict: "a" maps to "a", which is already reserved as file'),
            "bad-crc.egg": (build_zip([file_entry("f", b"data", crc32=crc32(b"atad"))]), "Extraction failed: CRC32 mismatch"),
            "empty.nupkg": (b"", "Preflight failed: Invalid ZIP format: File too short to be a ZIP file"),
        }
        for name, data in kept.items():
            (uploads / name).write_bytes(data)
        for name, (data, _) in refused.items():
            (uploads / name).write_bytes(data)
        (uploads / "notes.txt").write_bytes(MANY)  # not an archive by its name: left alone
        out = tmp_path / "out"
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      dashboard_address=None) as cluster, distributed.Client(cluster) as client:
            results = fan_out.fan_out(client, fan_out.archives_in(str(uploads)), str(out))
            workers = set(client.run(os.getpid).values())
        assert len(workers) == 2 and os.getpid() not in workers
        by_name = {os.path.basename(result["archive"]): result for result in results}
        assert sorted(by_name) == sorted([*kept, *refused])
        for name, data in kept.items():
            assert by_name[name]["error"] is None
            quastor.extract_zip_bytes(data, str(tmp_path / "here" / name))
            assert snapshot(out / name) == snapshot(tmp_path / "here" / name)
            assert by_name[name]["entries"] == len(quastor.preflight_zip_bytes(data))
        for name, (_, text) in refused.items():
            assert by_name[name]["error"].startswith(text), by_name[name]
        # Refused by the preflight: nothing written; by extraction: as far as it got.
        assert sorted(os.listdir(out)) == sorted([*kept, "bad-crc.egg"])
        assert fan_out.summary(results).splitlines()[-1] == "2 of 6 archives extracted, 4 failed"


# Counts this process's threads before and after one extraction.
THREAD_PROBE = textwrap.dedent(
    """
    import os, sys, quastor
    sys.path.insert(0, {tests!r})
    from zipbuild import build_zip, crc32, deflate, file_entry
    count = int(sys.argv[1])
    archive = build_zip([file_entry(f"f{{i}}", b"x") for i in range(count)])
    before = len(os.listdir("/proc/self/task"))
    quastor.extract_zip_bytes(archive, sys.argv[2])
    print(before, len(os.listdir("/proc/self/task")))
    """
)


def started_threads(tmp_path, entries, limit=None):
    env = dict(os.environ)
    env.pop("QUASTOR_EXTRACT_THREADS", None)
    if limit is not None:
        env["QUASTOR_EXTRACT_THREADS"] = limit
    script = THREAD_PROBE.format(tests=os.path.dirname(__file__))
    dest = tmp_path / f"out-{entries}-{limit}"
    result = subprocess.run([sys.executable, "-c", script, str(entries), str(dest)], env=env,
                            capture_output=True, text=True, timeout=60, check=True)
    before, after = map(int, result.stdout.split())
    return after - before


class TestPoolSize:
    def test_small_archives_do_not_start_the_pool(self, tmp_path):
        # A handful of small entries costs less than waking the pool.
        for entries in (0, 1, 8):
            assert started_threads(tmp_path, entries) == 0

    def test_default_size_is_the_available_processors(self, tmp_path):
        default = started_threads(tmp_path, 16)
        assert 1 <= default <= len(os.sched_getaffinity(0))

    def test_limit_from_the_environment(self, tmp_path):
        assert started_threads(tmp_path, 16, "1") == 1

    def test_limit_never_raises_the_size(self, tmp_path):
        assert started_threads(tmp_path, 16, "4096") == started_threads(tmp_path, 16)

    @pytest.mark.parametrize("limit", ["0", "-1", "two", "", " 1", "1.5"])
    def test_unusable_limits_are_ignored(self, tmp_path, limit):
        assert started_threads(tmp_path, 16, limit) == started_threads(tmp_path, 16)


# Runs one call of the module and prints when its KeyboardInterrupt came.
INTERRUPTED_CALL = textwrap.dedent(
    """
    import sys, time, quastor
    print("ready", flush=True)
    try:
        getattr(quastor, sys.argv[1])(*sys.argv[2:])
    except KeyboardInterrupt:
        print(time.monotonic(), flush=True)
        sys.exit(0)
    sys.exit(3)
    """
)
COMMAND = pathlib.Path(sysconfig.get_path("scripts")) / "quastor"


def default_stop_signals():
    for number in (signal.SIGINT, signal.SIGTERM):
        signal.signal(number, signal.SIG_DFL)


def wait_until_catching(child, number):
    """Until the child has its handler for `number` in place: a signal
    sent sooner would end it by the default action, whatever the command
    then does with one."""
    while child.poll() is None:
        with open(f"/proc/{child.pid}/status") as status:
            caught = next(int(line.split()[1], 16) for line in status if line.startswith("SigCgt:"))
        if caught >> (number - 1) & 1:
            return
        time.sleep(0.01)
    pytest.fail(f"the command ended first, with {child.returncode}")


# Publishing a new archive begins by linking its unnamed file into place:
# right then, two stop signals reach the very thread publishing.
SIGNALS_WHILE_PUBLISHING = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <string.h>
int linkat(int from_directory, const char* from, int to_directory, const char* to, int flags)
{
    static int (*real)(int, const char*, int, const char*, int);
    static int sent;
    if (!real)
        real = (int (*)(int, const char*, int, const char*, int))dlsym(RTLD_NEXT, "linkat");
    if (!sent && strncmp(from, "/proc/self/fd/", 14) == 0) {
        sent = 1;
        raise(SIGINT);
        raise(SIGTERM);
    }
    return real(from_directory, from, to_directory, to, flags);
}
"""


@pytest.fixture(scope="module")
def signals_while_publishing(tmp_path_factory):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler for the interposer")
    root = tmp_path_factory.mktemp("interposer")
    (root / "publish.c").write_text(SIGNALS_WHILE_PUBLISHING)
    subprocess.run([compiler, "-shared", "-fPIC", "-o", str(root / "publish.so"), str(root / "publish.c"), "-ldl"],
                   check=True, capture_output=True, timeout=120)
    return str(root / "publish.so")


SMALL = 1024
BIG = 32 << 20


@pytest.fixture(scope="module")
def long_work(tmp_path_factory):
    """An archive and a tree that take many seconds to extract and to archive.
    Zeros keep them cheap to make: one deflated member stands for them all,
    and the tree is sparse."""
    root = tmp_path_factory.mktemp("long")
    zeros, check = deflate(bytes(BIG)), crc32(bytes(BIG))
    entries = [file_entry(f"small/f{i}", b"s" * SMALL) for i in range(50)]
    entries += [file_entry(f"big/b{i}", method=8, payload=zeros, crc32=check, file_size=BIG) for i in range(200)]
    archive = root / "long.zip"
    archive.write_bytes(build_zip(entries))
    tree = root / "tree"
    tree.mkdir()
    for i in range(4000):
        with open(tree / f"z{i}", "wb") as file:
            file.truncate(4 << 20)
    return archive, tree


class TestInterruption:
    """Half a second into a call that would run for many seconds, a signal
    stops it. Measured latencies are printed, not asserted: the call must
    simply end well before its work is done, with the leftovers of a failure."""

    def interrupt(self, tmp_path, argv, signal_number, *, module, again=None):
        """`again`: a second signal right after the first, as timeout(1)
        sends one to the child and then to its group, or an impatient
        second Ctrl-C."""
        scratch = tmp_path / "scratch"
        scratch.mkdir()
        env = dict(os.environ, TMPDIR=str(scratch))
        if module:
            argv = [sys.executable, "-c", INTERRUPTED_CALL, *argv]
        # A run started as a background job inherits SIGINT ignored, which
        # the command keeps, as a background job should, and under which the
        # interpreter raises no KeyboardInterrupt: the child starts with the
        # default, as at a terminal.
        child = subprocess.Popen(argv, env=env, stdout=subprocess.PIPE, text=True, preexec_fn=default_stop_signals)
        if module:
            assert child.stdout.readline() == "ready\n"
        time.sleep(0.5)
        sent = time.monotonic()
        child.send_signal(signal_number)
        if again is not None:
            # Apart, so that a second SIGINT is not merged with the first,
            # and well before the first is obeyed.
            time.sleep(0.005)
            child.send_signal(again)
        out, _ = child.communicate(timeout=300)
        ended = float(out) if module else time.monotonic()
        print(f"{argv[-3 if module else 1]}: {signal.Signals(signal_number).name} obeyed after {ended - sent:.3f} s")
        # No scratch directory is left behind.
        assert os.listdir(scratch) == []
        return child.returncode

    def check_extracted(self, dest):
        # Only whole entries, and not all of them: no partial or temporary file.
        found = {path: path.stat().st_size for path in dest.rglob("*") if not path.is_dir()}
        assert len(found) < 250
        for path, size in found.items():
            assert size == (SMALL if path.parent.name == "small" else BIG), path

    def check_created(self, archive):
        # The file that was there is untouched, and nothing else was named.
        assert archive.read_bytes() == b"old"
        assert os.listdir(archive.parent) == [archive.name]

    def test_module_extraction(self, tmp_path, long_work):
        dest = tmp_path / "dest"
        argv = ["extract_zip", str(long_work[0]), str(dest)]
        assert self.interrupt(tmp_path, argv, signal.SIGINT, module=True) == 0
        self.check_extracted(dest)

    def test_module_creation(self, tmp_path, long_work):
        archive = tmp_path / "out" / "a.zip"
        archive.parent.mkdir()
        archive.write_bytes(b"old")
        argv = ["create_zip", str(long_work[1]), str(archive)]
        assert self.interrupt(tmp_path, argv, signal.SIGINT, module=True) == 0
        self.check_created(archive)

    @pytest.mark.skipif(not os.access(COMMAND, os.X_OK), reason="the quastor command is not installed")
    def test_command_extraction(self, tmp_path, long_work):
        dest = tmp_path / "dest"
        argv = [str(COMMAND), "extract", "-q", str(long_work[0]), "-d", str(dest)]
        # Ended by the signal itself: a shell reports 143.
        assert self.interrupt(tmp_path, argv, signal.SIGTERM, module=False) == -signal.SIGTERM
        self.check_extracted(dest)

    @pytest.mark.skipif(not os.access(COMMAND, os.X_OK), reason="the quastor command is not installed")
    def test_command_creation(self, tmp_path, long_work):
        archive = tmp_path / "out" / "a.zip"
        archive.parent.mkdir()
        archive.write_bytes(b"old")
        argv = [str(COMMAND), "create", "-q", str(archive), str(long_work[1])]
        # A shell reports 130.
        assert self.interrupt(tmp_path, argv, signal.SIGINT, module=False) == -signal.SIGINT
        self.check_created(archive)

    @pytest.mark.skipif(not os.access(COMMAND, os.X_OK), reason="the quastor command is not installed")
    def test_command_ended_by_a_second_signal_leaves_nothing(self, tmp_path, long_work):
        # A second Ctrl-C; the race script tries the other pairs.
        first = second = signal.SIGINT
        archive = tmp_path / "out" / "a.zip"
        archive.parent.mkdir()
        archive.write_bytes(b"old")
        argv = [str(COMMAND), "create", "-q", str(archive), str(long_work[1])]
        assert self.interrupt(tmp_path, argv, first, module=False, again=second) == -second
        self.check_created(archive)
        dest = tmp_path / "dest"
        argv = [str(COMMAND), "extract", "-q", str(long_work[0]), "-d", str(dest)]
        shutil.rmtree(tmp_path / "scratch")
        assert self.interrupt(tmp_path, argv, first, module=False, again=second) == -second
        assert not [path for path in dest.rglob(".quastor-*")]

    @pytest.mark.skipif(not os.access(COMMAND, os.X_OK), reason="the quastor command is not installed")
    def test_command_signalled_while_publishing_finishes(self, tmp_path, signals_while_publishing):
        # Both signals come once the archive is being named: the call
        # finishes, says so, and leaves no scratch directory.
        (tmp_path / "src").mkdir()
        (tmp_path / "src" / "f").write_bytes(b"data " * 1000)
        scratch = tmp_path / "scratch"
        scratch.mkdir()
        env = dict(os.environ, TMPDIR=str(scratch), LD_PRELOAD=signals_while_publishing)
        archive = tmp_path / "out" / "a.zip"
        archive.parent.mkdir()
        for before in (None, b"old"):
            if before is not None:
                archive.write_bytes(before)
            done = subprocess.run([str(COMMAND), "create", "-q", str(archive), str(tmp_path / "src")], env=env,
                                  capture_output=True, timeout=60, preexec_fn=default_stop_signals)
            assert (done.returncode, done.stderr) == (0, b"")
            assert [e["archive_name"] for e in quastor.preflight_zip(str(archive))] == ["src/", "src/f"]
            assert os.listdir(scratch) == []
            assert os.listdir(archive.parent) == ["a.zip"]

    @pytest.mark.skipif(not os.access(COMMAND, os.X_OK), reason="the quastor command is not installed")
    @pytest.mark.parametrize("subcommand", ["extract", "test"])
    def test_command_waiting_on_a_stalled_input_stops(self, tmp_path, subcommand):
        # Standard input gives the start of an archive, then nothing more,
        # and does not end: the first SIGINT still ends the command.
        argv = [str(COMMAND), subcommand, "-q", "-"]
        if subcommand == "extract":
            argv += ["-d", str(tmp_path / "dest")]
        child = subprocess.Popen(argv, stdin=subprocess.PIPE, stderr=subprocess.PIPE,
                                 env=dict(os.environ, TMPDIR=str(tmp_path)), preexec_fn=default_stop_signals)
        stdin, stderr = child.stdin, child.stderr
        assert stdin is not None and stderr is not None
        try:
            stdin.write(MANY[:1000])
            stdin.flush()
            wait_until_catching(child, signal.SIGINT)
            child.send_signal(signal.SIGINT)
            try:
                child.wait(timeout=30)
            except subprocess.TimeoutExpired:
                pytest.fail("the command went on reading after SIGINT")
            assert child.returncode == -signal.SIGINT
            assert stderr.read() == b""
        finally:
            child.kill()  # our own child, by its id; a no-op once it has ended
            stdin.close()
            stderr.close()
            child.wait()

    def blocked_writer(self, tmp_path, **options):
        """`extract -p` of 32 MiB into a pipe nobody reads yet: the command
        is soon blocked writing."""
        archive = tmp_path / "zeros.zip"
        zeros, check = deflate(bytes(4 << 20)), crc32(bytes(4 << 20))
        archive.write_bytes(build_zip([
            file_entry(f"z{i}", method=8, payload=zeros, crc32=check, file_size=4 << 20) for i in range(8)]))
        child = subprocess.Popen([str(COMMAND), "extract", "-q", "-p", str(archive)], stdout=subprocess.PIPE, **options)
        time.sleep(0.5)
        return child

    @pytest.mark.skipif(not os.access(COMMAND, os.X_OK), reason="the quastor command is not installed")
    def test_command_blocked_on_its_reader_stops(self, tmp_path):
        child = self.blocked_writer(tmp_path)
        try:
            child.send_signal(signal.SIGTERM)
            assert child.wait(timeout=20) == -signal.SIGTERM
        finally:
            child.kill()  # our own child, by its id; a no-op once it has ended
            child.communicate()

    @pytest.mark.skipif(not os.access(COMMAND, os.X_OK), reason="the quastor command is not installed")
    def test_command_started_ignoring_a_signal_completes(self, tmp_path):
        # A shell starts a background job with SIGINT ignored.
        child = self.blocked_writer(tmp_path, preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_IGN))
        child.send_signal(signal.SIGINT)
        time.sleep(0.2)
        out, _ = child.communicate(timeout=60)
        assert (child.returncode, len(out)) == (0, 32 << 20)

def own_tree(root, i):
    """A small tree of its own for caller i: entries enough to start the
    pool, deflated and stored files, a link and an empty directory."""
    for j in range(24):
        (root / f"d{j % 3}").mkdir(parents=True, exist_ok=True)
        (root / f"d{j % 3}" / f"f{j}").write_bytes(b"caller %d file %d " % (i, j) * (j * 40 + i))
    (root / "empty").mkdir()
    (root / "link").symlink_to(f"d0/f{i % 3 * 3}")
    return root


def every_call(tree, work, i):
    """All five functions on caller i's own tree and archives; what they give."""
    archive = work / f"a{i}.zip"
    quastor.create_zip(str(tree), str(archive))
    data = archive.read_bytes()
    quastor.extract_zip(str(archive), str(work / f"x{i}"))
    quastor.extract_zip_bytes(data, str(work / f"b{i}"))
    return data, quastor.preflight_zip(str(archive)), quastor.preflight_zip_bytes(data), \
        snapshot(work / f"x{i}"), snapshot(work / f"b{i}")


class TestConcurrentCalls:
    CALLERS = 8

    def test_threads_at_once_give_what_calls_in_a_row_give(self, tmp_path):
        trees = [own_tree(tmp_path / f"tree{i}", i) for i in range(self.CALLERS)]
        (tmp_path / "row").mkdir()
        (tmp_path / "once").mkdir()
        expected = [every_call(tree, tmp_path / "row", i) for i, tree in enumerate(trees)]
        results: list = [None] * self.CALLERS
        start = threading.Barrier(self.CALLERS)

        def caller(i):
            start.wait()
            try:
                results[i] = every_call(trees[i], tmp_path / "once", i)
            except BaseException as failure:  # reported below, not lost in the thread
                results[i] = failure

        threads = [threading.Thread(target=caller, args=(i,)) for i in range(self.CALLERS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        for i in range(self.CALLERS):
            assert results[i] == expected[i], f"caller {i}"
        assert snapshot(tmp_path / "once" / "x0") == snapshot(trees[0])

    @pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="needs a free-threaded interpreter")
    def test_import_leaves_the_gil_off(self):
        env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
        result = subprocess.run([sys.executable, "-W", "error", "-c", "import sys, quastor; print(sys._is_gil_enabled())"],
                                env=env, capture_output=True, text=True, timeout=60)
        assert (result.returncode, result.stdout, result.stderr) == (0, "False\n", "")
