"""The process-wide extraction pool: started only when there is parallel
work, sized by QUASTOR_EXTRACT_THREADS when that is a positive integer, and
rebuilt by a forked child instead of waiting on its parent's dead threads."""

import multiprocessing
import os
import subprocess
import sys
import textwrap

import pytest

import quastor
from zipbuild import build_zip, file_entry

MANY = build_zip([file_entry(f"d{i % 5}/f{i}", b"%d" % i * 100, method=8) for i in range(64)])


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


# Counts this process's threads before and after one extraction.
THREAD_PROBE = textwrap.dedent(
    """
    import os, sys, quastor
    sys.path.insert(0, {tests!r})
    from zipbuild import build_zip, file_entry
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
