"""Extraction: the tree it writes, the failures it reports, and its work
shared by several workers."""

import os
import stat
import subprocess
import sys
import zipfile

import pytest

import quastor
from memory import peak_kib
from trees import snapshot
from zipbuild import Entry, build_zip, crc32, deflate, directory, file_entry, symlink

UMASK = 0o027
# Under 027, 0777 and 0755 (or 0666 and 0644) less the umask are one mode:
# the mode tests also run where they differ.
UMASKS = [UMASK, 0o002, 0]


@pytest.fixture(autouse=True)
def umask(request):
    """The process umask during the test: UMASK, or the parameter given."""
    value = getattr(request, "param", UMASK)
    old = os.umask(value)
    yield value
    os.umask(old)


def extract(tmp_path, entries, dest="out"):
    archive = tmp_path / "a.zip"
    archive.write_bytes(build_zip(entries) if isinstance(entries, list) else entries)
    target = tmp_path / dest
    quastor.extract_zip(str(archive), str(target))
    return target


def failure(tmp_path, entries, dest="out"):
    with pytest.raises(RuntimeError) as caught:
        extract(tmp_path, entries, dest)
    return str(caught.value)


def mode(path):
    return stat.S_IMODE(os.lstat(path).st_mode)


class TestKindsAndModes:
    @pytest.mark.parametrize("umask", UMASKS, indirect=True)
    def test_implicit_parents_get_default_directory_mode(self, tmp_path, umask):
        out = extract(tmp_path, [file_entry("d/sub/f.txt", b"x")])
        for directory_path in (out, out / "d", out / "d/sub"):
            assert directory_path.is_dir()
            assert mode(directory_path) == 0o777 & ~umask
        assert (out / "d/sub/f.txt").read_bytes() == b"x"

    @pytest.mark.parametrize("umask", UMASKS, indirect=True)
    def test_archived_directory_mode_is_not_applied(self, tmp_path, umask):
        out = extract(tmp_path, [directory("d", mode=0o700), directory("e", mode=0o1777)])
        assert mode(out / "d") == 0o777 & ~umask
        assert mode(out / "e") == 0o777 & ~umask

    @pytest.mark.parametrize("umask", UMASKS, indirect=True)
    @pytest.mark.parametrize(
        "external_attr,expected",
        [
            ((stat.S_IFREG | 0o644) << 16, 0o644),
            ((stat.S_IFREG | 0o600) << 16, 0o600),
            ((stat.S_IFREG | 0o4755) << 16, 0o4755),
            ((stat.S_IFREG | 0o1777) << 16, 0o1777),
            (0, None),  # 0666 less the umask
            (0x20, None),  # DOS attributes only
        ],
    )
    def test_file_mode_from_external_attributes(self, tmp_path, umask, external_attr, expected):
        out = extract(tmp_path, [Entry("f", b"data", external_attr=external_attr)])
        assert mode(out / "f") == (0o666 & ~umask if expected is None else expected)

    @pytest.mark.parametrize("method", [0, 8])
    def test_contents_round_trip(self, tmp_path, method):
        data = bytes(range(256)) * 1000
        out = extract(tmp_path, [file_entry("a", data, method=method), file_entry("empty", b"", method=method)])
        assert (out / "a").read_bytes() == data
        assert (out / "empty").read_bytes() == b""

    def test_directory_flagged_as_symlink_is_a_directory(self, tmp_path):
        out = extract(tmp_path, [Entry("d/", external_attr=(stat.S_IFLNK | 0o755) << 16)])
        assert out.joinpath("d").is_dir() and not out.joinpath("d").is_symlink()

    def test_existing_file_is_overwritten_in_place(self, tmp_path):
        (tmp_path / "out").mkdir()
        (tmp_path / "out/f").write_bytes(b"a much longer old content")
        os.chmod(tmp_path / "out/f", 0o640)
        out = extract(tmp_path, [Entry("f", b"new", external_attr=0)])
        assert (out / "f").read_bytes() == b"new"
        assert mode(out / "f") == 0o640

    def test_empty_archive_creates_nothing(self, tmp_path):
        extract(tmp_path, [])
        assert not (tmp_path / "out").exists()


class TestSymlinks:
    @pytest.mark.parametrize("target", ["f.txt", "../outside", "/etc/passwd", "a/../../b", "dangling/nowhere", "ünï"])
    def test_target_is_kept_exactly(self, tmp_path, target):
        out = extract(tmp_path, [symlink("d/link", target)])
        assert os.readlink(out / "d/link") == target
        assert mode(out / "d") == 0o777 & ~UMASK

    def test_second_extraction_fails_on_the_link(self, tmp_path):
        entries = [file_entry("f", b"1"), symlink("l", "f")]
        extract(tmp_path, entries)
        message = failure(tmp_path, entries)
        assert message == "Extraction failed: I/O error: File exists (os error 17)"

    def test_second_extraction_without_links_overwrites(self, tmp_path):
        extract(tmp_path, [directory("d"), file_entry("d/f", b"old")])
        out = extract(tmp_path, [directory("d"), file_entry("d/f", b"new", method=8)])
        assert (out / "d/f").read_bytes() == b"new"


class TestFailures:
    def test_crc_mismatch_leaves_parents_but_no_file(self, tmp_path):
        good = crc32(b"payload")
        message = failure(tmp_path, [Entry("p/q/f", b"payload", method=8, crc32=good ^ 1)])
        assert message == f"Extraction failed: CRC32 mismatch (expected {good ^ 1:08x}, got {good:08x})"
        assert (tmp_path / "out/p/q").is_dir()
        assert not (tmp_path / "out/p/q/f").exists()

    def test_corrupt_deflate_leaves_parents_but_no_file(self, tmp_path):
        message = failure(tmp_path, [Entry("p/f", b"x" * 100, method=8, payload=b"\xff" * 20)])
        assert message == "Extraction failed: Decompression error: BadData"
        assert (tmp_path / "out/p").is_dir()
        assert not (tmp_path / "out/p/f").exists()

    @pytest.mark.parametrize("entries", [[file_entry("a", b"1")], [file_entry("a", b"1"), directory("b/c")]])
    def test_destination_that_is_a_file(self, tmp_path, entries):
        (tmp_path / "out").write_bytes(b"occupied")
        message = failure(tmp_path, entries)
        assert message.startswith("Extraction failed: I/O error: ")
        assert (tmp_path / "out").read_bytes() == b"occupied"

    @pytest.mark.parametrize("dest,entry", [("out/sub", "f"), ("out", "a/b/f")])
    def test_a_file_above_a_directory_is_not_a_directory(self, tmp_path, dest, entry):
        file_above = tmp_path / ("out" if dest == "out/sub" else "out/a")
        file_above.parent.mkdir(exist_ok=True)
        file_above.write_bytes(b"occupied")
        message = failure(tmp_path, [file_entry(entry, b"1")], dest=dest)
        assert message == "Extraction failed: I/O error: Not a directory (os error 20)"

    @pytest.mark.parametrize("kind", ["fifo", "fifo with a reader", "link to a device"])
    def test_non_regular_file_target_fails_without_waiting(self, tmp_path, kind):
        os.makedirs(tmp_path / "out")
        target = tmp_path / "out/f"
        if kind == "link to a device":
            os.symlink("/dev/null", target)
        else:
            os.mkfifo(target)
        reader = os.open(target, os.O_RDONLY | os.O_NONBLOCK) if kind == "fifo with a reader" else None
        try:
            # No mode in the entry: a target written through by mistake
            # must not pass one on to the device.
            message = failure(tmp_path, [Entry("f", b"1", external_attr=0), file_entry("g", b"2")])
            assert message == "Extraction failed: I/O error: No such device or address (os error 6)"
            if reader is not None:
                assert os.read(reader, 16) == b"", "nothing is written into the FIFO"
        finally:
            if reader is not None:
                os.close(reader)

    def test_nul_in_destination(self, tmp_path):
        message = failure(tmp_path, [file_entry("a", b"1")], dest="o\0ut")
        assert message == "Extraction failed: I/O error: file name contained an unexpected NUL byte"

    def test_refused_plan_writes_nothing(self, tmp_path):
        failure(tmp_path, [file_entry("a/f", b"1"), file_entry("../evil", b"2")])
        assert not (tmp_path / "out").exists()


class TestParallel:
    COUNT = 400

    def test_a_failure_stops_the_other_workers(self, tmp_path):
        # One worker streams the bad large member; the other claims a quarter
        # of the 2 MiB files meanwhile. Once the member fails, that worker
        # finishes the file in hand and writes no more of its range; one that
        # ignored the stop would write the whole quarter. (Under a sanitizer
        # on a loaded machine the member takes long enough for 60 files.)
        data, big = bytes(2 << 20), bytes(20 << 20)
        payload, good = deflate(data), crc32(data)
        entries = [Entry("bad", big, method=8, payload=deflate(big), crc32=0)]
        entries += [Entry(f"f{i}", data, method=8, payload=payload, crc32=good) for i in range(self.COUNT)]
        with pytest.raises(RuntimeError):
            quastor.extract_zip_bytes(build_zip(entries), str(tmp_path / "out"))
        assert len(list((tmp_path / "out").iterdir())) < self.COUNT // 4

    def test_directory_descriptors_stay_bounded(self, tmp_path):
        # Directories are held by descriptor: 3000 of them, and a tree 3000
        # deep, under a limit of 64.
        deep = "n/" * 3000 + "f"
        entries = [file_entry(f"d{i % 50}/s{i}/f", b"x") for i in range(3000)] + [file_entry(deep, b"x")]
        (tmp_path / "a.zip").write_bytes(build_zip(entries))
        code = ("import resource, sys, quastor; resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64)); "
                "quastor.extract_zip(sys.argv[1], sys.argv[2])")
        subprocess.run([sys.executable, "-c", code, str(tmp_path / "a.zip"), str(tmp_path / "out")], check=True)
        assert len(list((tmp_path / "out").glob("d*/s*/f"))) == 3000
        subprocess.run(["rm", "-rf", str(tmp_path / "out/n")], check=True)

    def test_file_and_bytes_give_identical_trees(self, tmp_path):
        entries = [directory("top")]
        for i in range(self.COUNT):
            entries.append(file_entry(f"top/d{i % 17}/f{i}", os.urandom(i * 13 % 3000), mode=0o600 + i % 8, method=8 * (i % 2)))
        entries += [symlink("top/link", "d0/f0"), file_entry("big", b"z" * (4 << 20), method=8)]
        archive = build_zip(entries)
        (tmp_path / "a.zip").write_bytes(archive)
        quastor.extract_zip(str(tmp_path / "a.zip"), str(tmp_path / "from_file"))
        quastor.extract_zip_bytes(archive, str(tmp_path / "from_bytes"))
        assert snapshot(tmp_path / "from_file") == snapshot(tmp_path / "from_bytes")
        with zipfile.ZipFile(tmp_path / "a.zip") as reference:
            for info in reference.infolist():
                if not info.is_dir() and not stat.S_ISLNK(info.external_attr >> 16):
                    assert (tmp_path / "from_file" / info.filename).read_bytes() == reference.read(info)




class TestLargeMembers:
    """Members beyond 16 MiB are streamed through fixed buffers into an
    unnamed file, named only once their CRC-32 matched."""

    BIG = (b"quastor " * 4096 + bytes(range(256)) * 16) * 600  # 22 MiB

    def test_contents_modes_and_overwriting(self, tmp_path):
        entries = [file_entry("d/deflated", self.BIG, method=8, mode=0o750),
                   file_entry("d/stored", self.BIG[: 17 << 20]), file_entry("small", b"s")]
        archive = build_zip(entries)
        for round_number in range(2):
            if round_number:
                (tmp_path / "out/d/stored").write_bytes(b"old")  # overwritten in place
            out = extract(tmp_path, archive)
            assert (out / "d/deflated").read_bytes() == self.BIG
            assert (out / "d/stored").read_bytes() == self.BIG[: 17 << 20]
            assert mode(out / "d/deflated") == 0o750
        quastor.extract_zip_bytes(archive, str(tmp_path / "from_bytes"))
        assert snapshot(tmp_path / "from_bytes") == snapshot(tmp_path / "out")

    def test_link_to_another_file_system_is_overwritten_in_place(self, tmp_path):
        # The kernel cannot copy across file systems: the bytes go through
        # memory instead, and the old contents stay until the new are whole.
        elsewhere = "/dev/shm"
        if not os.path.isdir(elsewhere) or os.stat(elsewhere).st_dev == os.stat(tmp_path).st_dev:
            pytest.skip("needs a second file system")
        target = os.path.join(elsewhere, f"quastor-test-{os.getpid()}")
        with open(target, "wb") as f:
            f.write(b"old")
        try:
            (tmp_path / "out").mkdir()
            os.symlink(target, tmp_path / "out/f")
            extract(tmp_path, [file_entry("f", self.BIG[: 17 << 20])])
            assert os.path.islink(tmp_path / "out/f")
            with open(target, "rb") as f:
                assert f.read() == self.BIG[: 17 << 20]
        finally:
            os.unlink(target)

    def test_failures_leave_no_file(self, tmp_path):
        good = crc32(self.BIG)
        longer = self.BIG + bytes(1 << 20)
        cases = [
            (Entry("p/f", self.BIG, method=8, crc32=good ^ 1), f"CRC32 mismatch (expected {good ^ 1:08x}, got {good:08x})"),
            (Entry("p/f", self.BIG, method=8, file_size=len(self.BIG) - 1), "Decompression error: InsufficientSpace"),
            (Entry("p/f", self.BIG, method=8, payload=deflate(self.BIG)[:100000]), "Decompression error: BadData"),
            # A stream that ends early is refused even where the CRC-32 covers
            # the zeros that would fill the declared size.
            (Entry("p/f", self.BIG, method=8, file_size=len(longer), crc32=crc32(longer)), "Decompression error: BadData"),
        ]
        for entry, text in cases:
            assert failure(tmp_path, [entry]) == "Extraction failed: " + text
            assert (tmp_path / "out/p").is_dir() and not (tmp_path / "out/p/f").exists()

    def test_memory_does_not_follow_the_member_size(self, tmp_path):
        (tmp_path / "a.zip").write_bytes(build_zip([file_entry("f", bytes(200 << 20), method=8)]))
        assert peak_kib("quastor.extract_zip(sys.argv[1], sys.argv[2])", str(tmp_path / "a.zip"), str(tmp_path / "out")) < 100 << 10
        assert (tmp_path / "out/f").stat().st_size == 200 << 20
