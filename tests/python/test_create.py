"""create_zip: what goes into the archive, in which order, under which names,
and the paths it refuses; the scratch directory's life."""

import os
import pathlib
import resource
import signal
import stat
import zipfile

import pytest

import quastor

PREFIX = "Archive creation failed: "
NOBODY = 65534

# The one-file archive of a file `a`, mode 0o644, holding "abc".
GOLDEN_ONE_FILE = bytes.fromhex(
    "504b0304 1400 0008 0000 0000 2100 c2412435 03000000 03000000 0100 0000 61 616263"
    "504b0102 1403 1400 0008 0000 0000 2100 c2412435 03000000 03000000 0100 0000 0000"
    "0000 0000 0000a481 00000000 61"
    "504b0506 0000 0000 0100 0100 2f000000 22000000 0000".replace(" ", "")
)


def make_tree(root: pathlib.Path, spec: dict) -> pathlib.Path:
    """Builds files (bytes values), directories (dict values) and links
    (('link', target) values) below root."""
    root.mkdir(parents=True, exist_ok=True)
    for name, value in spec.items():
        path = root / name
        if isinstance(value, dict):
            make_tree(path, value)
        elif isinstance(value, tuple):
            os.symlink(value[1], path)
        else:
            path.write_bytes(value)
    return root


def entries(archive: pathlib.Path) -> list[zipfile.ZipInfo]:
    with zipfile.ZipFile(archive) as zf:
        return zf.infolist()


def names(archive: pathlib.Path) -> list[str]:
    return [info.filename for info in entries(archive)]


def create_error(source, archive) -> str:
    with pytest.raises(RuntimeError) as raised:
        quastor.create_zip(str(source), str(archive))
    text = str(raised.value)
    assert text.startswith(PREFIX)
    return text[len(PREFIX):]


@pytest.fixture
def scratch_root(tmp_path, monkeypatch):
    """A TMPDIR of our own, so that scratch directories can be seen."""
    root = tmp_path / "tmp"
    root.mkdir()
    monkeypatch.setenv("TMPDIR", str(root))
    return root


class TestCollectionOrder:
    def test_depth_first_with_names_sorted_per_directory(self, tmp_path):
        src = make_tree(tmp_path / "src", {"b": b"2", "a": b"1", "c": {"d": b"3"}})
        quastor.create_zip(str(src), str(tmp_path / "out.zip"))
        assert names(tmp_path / "out.zip") == ["a", "b", "c/", "c/d"]

    def test_directory_contents_come_before_a_sibling_that_sorts_first_as_a_full_name(self, tmp_path):
        src = make_tree(tmp_path / "src", {"a.txt": b"t", "a": {"x": b"x"}})
        quastor.create_zip(str(src), str(tmp_path / "out.zip"))
        assert names(tmp_path / "out.zip") == ["a/", "a/x", "a.txt"]

    def test_names_compare_as_bytes(self, tmp_path):
        src = make_tree(tmp_path / "src", {"a": b"", "B": b"", "_": b"", "Z": b"", "\u00e9": b""})
        quastor.create_zip(str(src), str(tmp_path / "out.zip"))
        assert names(tmp_path / "out.zip") == ["B", "Z", "_", "a", "\u00e9"]

    def test_empty_source_directory_gives_the_bare_end_record(self, tmp_path):
        (tmp_path / "src").mkdir()
        quastor.create_zip(str(tmp_path / "src"), str(tmp_path / "out.zip"))
        assert (tmp_path / "out.zip").read_bytes() == b"PK\x05\x06" + bytes(18)

    def test_empty_source_path_archives_the_working_directory(self, tmp_path, monkeypatch):
        make_tree(tmp_path / "src", {"f": b"x", "d": {}})
        monkeypatch.chdir(tmp_path / "src")
        quastor.create_zip("", "../out.zip")
        assert names(tmp_path / "out.zip") == ["d/", "f"]


class TestDeepTrees:
    def test_order_and_a_bounded_count_of_descriptors_at_any_depth(self, tmp_path):
        """A chain of 100 directories whose paths grow past PATH_MAX, with a
        file and a later sibling at every level, is walked in archive order
        and read by a call that may open only 64 more descriptors than the
        process holds."""
        depth, step = 100, "d" * 60
        src = tmp_path / "src"
        src.mkdir()
        fd = os.open(src, os.O_RDONLY | os.O_DIRECTORY)
        expected, prefix = [], ""
        for _ in range(depth):
            for name in ("a", "z"):
                with open(os.open(name, os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd), "wb") as f:
                    f.write(prefix.encode() + name.encode())
            os.mkdir(step, dir_fd=fd)
            expected[len(expected):] = [prefix + "a", prefix + step + "/"]
            child = os.open(step, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
            os.close(fd)
            fd, prefix = child, prefix + step + "/"
        os.close(fd)
        # Each level's later sibling comes once everything below it is done.
        for level in range(depth - 1, -1, -1):
            expected.append((step + "/") * level + "z")
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (len(os.listdir("/proc/self/fd")) + 64, hard))
        try:
            quastor.create_zip(str(src), str(tmp_path / "out.zip"))
        finally:
            resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
        assert names(tmp_path / "out.zip") == expected
        with zipfile.ZipFile(tmp_path / "out.zip") as zf:
            assert all(zf.read(name) == name.encode() for name in expected if not name.endswith("/"))


class TestEntryShape:
    def test_directory_entries_end_in_slash_and_carry_the_dos_directory_bit(self, tmp_path):
        src = make_tree(tmp_path / "src", {"e": {}, "f": b"data"})
        os.chmod(src / "e", 0o750)
        os.chmod(src / "f", 0o4755)
        quastor.create_zip(str(src), str(tmp_path / "out.zip"))
        directory, regular = entries(tmp_path / "out.zip")
        assert directory.filename == "e/"
        assert directory.external_attr == (0o040750 << 16) | 0x10
        assert (directory.CRC, directory.file_size, directory.compress_size) == (0, 0, 0)
        assert regular.external_attr == 0o104755 << 16
        assert directory.flag_bits == regular.flag_bits == 0x0800

    def test_links_are_stored_as_links_and_never_followed(self, tmp_path):
        target = make_tree(tmp_path / "elsewhere", {"inside": b"must not appear"})
        src = make_tree(tmp_path / "src", {"to_dir": ("link", str(target)), "dangling": ("link", "../x")})
        quastor.create_zip(str(src), str(tmp_path / "out.zip"))
        with zipfile.ZipFile(tmp_path / "out.zip") as zf:
            assert zf.namelist() == ["dangling", "to_dir"]
            for info, expected in zip(zf.infolist(), [b"../x", str(target).encode()]):
                assert stat.S_ISLNK(info.external_attr >> 16)
                assert info.compress_type == zipfile.ZIP_STORED
                assert zf.read(info) == expected

    @pytest.mark.parametrize(
        "raw,expected",
        [(b"bad\xffname", "bad\ufffdname"), (b"cut\xe2\x82", "cut\ufffd"), (b"ok\xc3\xa9", "ok\u00e9")],
    )
    def test_names_that_are_not_utf8_carry_replacement_characters(self, tmp_path, raw, expected):
        src = tmp_path / "src"
        src.mkdir()
        with open(os.path.join(bytes(src), raw), "wb") as f:
            f.write(b"x")
        quastor.create_zip(str(src), str(tmp_path / "out.zip"))
        assert names(tmp_path / "out.zip") == [expected]

    @pytest.mark.parametrize("first,second,second_is_dir", [
        (b"x\xfe", b"x\xff", False),
        (b"x\xef\xbf\xbd", b"x\xff", False),  # the replacement character itself
        (b"x\xfe", b"x\xff", True),
    ])
    def test_names_that_collapse_into_one_are_both_kept(self, tmp_path, first, second, second_is_dir):
        src = tmp_path / "src"
        src.mkdir()
        with open(os.path.join(bytes(src), first), "wb") as f:
            f.write(first)
        if second_is_dir:
            os.mkdir(os.path.join(bytes(src), second))
        else:
            with open(os.path.join(bytes(src), second), "wb") as f:
                f.write(second)
        quastor.create_zip(str(src), str(tmp_path / "out.zip"))
        with zipfile.ZipFile(tmp_path / "out.zip") as zf:
            kept = [(info.filename, zf.read(info)) for info in zf.infolist()]
        assert kept == [("x\ufffd", first), ("x\ufffd/", b"") if second_is_dir else ("x\ufffd", second)]

    @pytest.mark.parametrize("where", ["top", "deep"])
    def test_a_named_pipe_is_refused_with_its_absolute_path(self, tmp_path, where):
        src = make_tree(tmp_path / "src", {"a": b"1", "d": {"e": {}}})
        pipe = src / "pipe" if where == "top" else src / "d" / "e" / "pipe"
        os.mkfifo(pipe)
        assert create_error(src, tmp_path / "out.zip") == f"Invalid input: Unsupported filesystem entry: {pipe}"
        assert not (tmp_path / "out.zip").exists()


class TestSingleSource:
    def test_the_one_file_archive_is_exactly_the_golden_bytes(self, tmp_path):
        (tmp_path / "a").write_bytes(b"abc")
        os.chmod(tmp_path / "a", 0o644)
        quastor.create_zip(str(tmp_path / "a"), str(tmp_path / "out.zip"))
        assert (tmp_path / "out.zip").read_bytes() == GOLDEN_ONE_FILE

    def test_a_file_is_named_by_its_last_component_only(self, tmp_path):
        make_tree(tmp_path / "x" / "y", {"report.txt": b"r"})
        quastor.create_zip(str(tmp_path / "x" / "y" / "report.txt"), str(tmp_path / "out.zip"))
        assert names(tmp_path / "out.zip") == ["report.txt"]

    def test_a_link_source_is_one_link_entry_named_after_the_link(self, tmp_path):
        make_tree(tmp_path / "d", {"f": b"content"})
        os.symlink("d", tmp_path / "link")
        quastor.create_zip(str(tmp_path / "link"), str(tmp_path / "out.zip"))
        with zipfile.ZipFile(tmp_path / "out.zip") as zf:
            assert zf.namelist() == ["link"]
            assert zf.read("link") == b"d"

    def test_a_pipe_source_is_refused(self, tmp_path):
        os.mkfifo(tmp_path / "p")
        message = create_error(tmp_path / "p", tmp_path / "out.zip")
        assert message == f"Invalid input: Unsupported filesystem entry: {tmp_path / 'p'}"

    def test_a_missing_source_is_an_io_error_before_anything_exists(self, tmp_path, scratch_root):
        message = create_error(tmp_path / "missing", tmp_path / "out.zip")
        assert message == "I/O error: No such file or directory (os error 2)"
        assert list(scratch_root.iterdir()) == []


class TestStoreOrDeflate:
    @pytest.mark.parametrize("size,method", [(63, zipfile.ZIP_STORED), (64, zipfile.ZIP_DEFLATED)])
    def test_files_under_64_bytes_are_never_compressed(self, tmp_path, size, method):
        (tmp_path / "f").write_bytes(b"q" * size)
        quastor.create_zip(str(tmp_path / "f"), str(tmp_path / "out.zip"))
        (info,) = entries(tmp_path / "out.zip")
        assert info.compress_type == method
        with zipfile.ZipFile(tmp_path / "out.zip") as zf:
            assert zf.read(info) == b"q" * size

    def test_random_data_is_stored_when_deflate_saves_nothing(self, tmp_path):
        data = os.urandom(1 << 20)
        (tmp_path / "r").write_bytes(data)
        quastor.create_zip(str(tmp_path / "r"), str(tmp_path / "out.zip"))
        (info,) = entries(tmp_path / "out.zip")
        assert info.compress_type == zipfile.ZIP_STORED
        assert info.compress_size == info.file_size == len(data)
        with zipfile.ZipFile(tmp_path / "out.zip") as zf:
            assert zf.read(info) == data

    def test_an_empty_file_has_no_data(self, tmp_path):
        (tmp_path / "e").write_bytes(b"")
        quastor.create_zip(str(tmp_path / "e"), str(tmp_path / "out.zip"))
        (info,) = entries(tmp_path / "out.zip")
        assert (info.CRC, info.compress_size, info.compress_type) == (0, 0, zipfile.ZIP_STORED)


class TestSamePath:
    """The archive must never be the source under another name: truncating
    it would destroy the only copy, and copying it into itself never ends."""

    @pytest.mark.parametrize("source,archive", [
        ("data", "./data"), ("data", "data/"), ("data", ".//data"), ("./data/.", "data"),
        ("data", "{cwd}/data"),
    ])
    def test_the_same_path_spelled_differently_is_refused(self, tmp_path, monkeypatch, source, archive):
        monkeypatch.chdir(tmp_path)
        (tmp_path / "data").write_bytes(b"precious" * 20)
        message = create_error(source, archive.format(cwd=tmp_path))
        assert message == "Invalid input: Source path and archive path must be different"
        assert (tmp_path / "data").read_bytes() == b"precious" * 20

    @pytest.mark.parametrize("alias", ["dotdot", "dotdot_missing", "symlink", "hardlink"])
    @pytest.mark.parametrize("size", [10, 1000])
    def test_the_same_file_by_another_path_is_refused_and_left_intact(self, tmp_path, monkeypatch, alias, size):
        monkeypatch.chdir(tmp_path)
        content = b"p" * size
        (tmp_path / "data").write_bytes(content)
        if alias == "dotdot":
            (tmp_path / "a").mkdir()
            archive = "a/../data"
        elif alias == "dotdot_missing":
            archive = "missing/../data"
        elif alias == "symlink":
            os.symlink("data", tmp_path / "link.zip")
            archive = "link.zip"
        else:
            os.link("data", tmp_path / "hard.zip")
            archive = "hard.zip"
        message = create_error("data", archive)
        assert message == "Invalid input: Source path and archive path must be different"
        assert (tmp_path / "data").read_bytes() == content

    def test_the_archive_inside_the_tree_is_left_out_and_replaced(self, tmp_path):
        src = make_tree(tmp_path / "src", {"a": b"1", "out.zip": b"old archive" * 100})
        quastor.create_zip(str(src), str(src / "out.zip"))
        assert names(src / "out.zip") == ["a"]

    def test_a_hard_link_to_the_existing_archive_is_left_out(self, tmp_path):
        src = make_tree(tmp_path / "src", {"a": b"1"})
        (tmp_path / "out.zip").write_bytes(b"old" * 100)
        os.link(tmp_path / "out.zip", src / "alias.zip")
        quastor.create_zip(str(src), str(tmp_path / "out.zip"))
        assert names(tmp_path / "out.zip") == ["a"]

    def test_an_archive_reached_through_a_linked_directory_is_left_out(self, tmp_path):
        src = make_tree(tmp_path / "src", {"a": b"1", "out.zip": b"old" * 100})
        os.symlink(src, tmp_path / "via")
        quastor.create_zip(str(src), str(tmp_path / "via" / "out.zip"))
        assert names(src / "out.zip") == ["a"]

    def test_an_archive_in_the_tree_reached_through_a_missing_directory_is_refused(self, tmp_path):
        src = make_tree(tmp_path / "src", {"a": b"1", "out.zip": b"old" * 100})
        message = create_error(src, src / "new" / ".." / "out.zip")
        assert message == "Invalid input: Source path and archive path must be different"
        assert (src / "out.zip").read_bytes() == b"old" * 100

    def test_dotdot_paths_that_name_different_files_are_accepted(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        make_tree(tmp_path, {"data": b"d", "a": {"data": b"other"}})
        quastor.create_zip("a/data", "a/../data.zip")
        assert names(tmp_path / "data.zip") == ["data"]


class TestScratchDirectory:
    def test_removed_after_success(self, tmp_path, scratch_root):
        src = make_tree(tmp_path / "src", {f"f{i}": b"compressible " * 50 for i in range(20)})
        quastor.create_zip(str(src), str(tmp_path / "out.zip"))
        assert list(scratch_root.iterdir()) == []
        assert len(names(tmp_path / "out.zip")) == 20

    def test_removed_after_empty_source(self, tmp_path, scratch_root):
        (tmp_path / "src").mkdir()
        quastor.create_zip(str(tmp_path / "src"), str(tmp_path / "out.zip"))
        assert list(scratch_root.iterdir()) == []

    def test_removed_after_a_failed_preparation(self, tmp_path, scratch_root):
        src = make_tree(tmp_path / "src", {f"f{i}": b"compressible " * 50 for i in range(20)})
        with open(src / "f10", "r+b") as f:
            f.truncate(1 << 32)  # sparse: refused by size before it is read
        message = create_error(src, tmp_path / "out.zip")
        assert message == "Archive is too large: File exceeds ZIP32 size limits"
        assert list(scratch_root.iterdir()) == []
        assert not (tmp_path / "out.zip").exists()

    def test_removed_after_a_failed_write(self, tmp_path, scratch_root):
        src = make_tree(tmp_path / "src", {"f": b"compressible " * 50})
        (tmp_path / "blocker").write_bytes(b"")
        message = create_error(src, tmp_path / "blocker" / "out.zip")
        assert message.startswith("I/O error: ")
        assert list(scratch_root.iterdir()) == []

    def test_a_missing_tmpdir_fails_at_once(self, tmp_path, monkeypatch):
        monkeypatch.setenv("TMPDIR", str(tmp_path / "absent"))
        (tmp_path / "f").write_bytes(b"x")
        message = create_error(tmp_path / "f", tmp_path / "out.zip")
        assert message == "I/O error: No such file or directory (os error 2)"

    def test_the_temporary_directory_as_source_leaves_the_scratch_out(self, tmp_path, scratch_root):
        make_tree(scratch_root, {"f": b"compressible " * 50})
        quastor.create_zip(str(scratch_root), str(tmp_path / "out.zip"))
        assert names(tmp_path / "out.zip") == ["f"]
        assert [p.name for p in scratch_root.iterdir()] == ["f"]


class TestArchiveFile:
    def test_missing_parent_directories_are_created(self, tmp_path):
        (tmp_path / "f").write_bytes(b"x")
        quastor.create_zip(str(tmp_path / "f"), str(tmp_path / "a" / "b" / "out.zip"))
        assert names(tmp_path / "a" / "b" / "out.zip") == ["f"]

    # One error for anything at the path that is not a regular file, with a
    # reader on the FIFO or without.
    @pytest.mark.parametrize("reader", [False, True])
    def test_a_fifo_is_refused_without_waiting_on_it(self, tmp_path, reader):
        expected = "I/O error: No such device or address (os error 6)"
        (tmp_path / "f").write_bytes(b"x")
        os.mkfifo(tmp_path / "out.zip")
        held = os.open(tmp_path / "out.zip", os.O_RDONLY | os.O_NONBLOCK) if reader else None
        try:
            assert create_error(tmp_path / "f", tmp_path / "out.zip") == expected
        finally:
            if held is not None:
                os.close(held)

    def test_an_existing_file_is_replaced_whole_and_kept_when_preparation_fails(self, tmp_path):
        """The archive is renamed over the file the path leads to (through
        a link there), taking its owner and permission bits: the path never
        holds a mix of both, and a hard link keeps the old bytes."""
        (tmp_path / "a").write_bytes(b"abc")
        os.chmod(tmp_path / "a", 0o644)
        (tmp_path / "out.zip").write_bytes(b"z" * 10000)
        os.chmod(tmp_path / "out.zip", 0o640)
        owner = (65534, 65534) if os.geteuid() == 0 else (os.geteuid(), os.getegid())
        os.chown(tmp_path / "out.zip", *owner)
        os.link(tmp_path / "out.zip", tmp_path / "hard.zip")
        os.symlink("out.zip", tmp_path / "soft.zip")
        quastor.create_zip(str(tmp_path / "a"), str(tmp_path / "soft.zip"))
        assert (tmp_path / "out.zip").read_bytes() == GOLDEN_ONE_FILE
        assert (tmp_path / "hard.zip").read_bytes() == b"z" * 10000
        assert (tmp_path / "soft.zip").is_symlink()
        status = (tmp_path / "out.zip").stat()
        assert (stat.S_IMODE(status.st_mode), status.st_uid, status.st_gid) == (0o640, *owner)
        assert sorted(p.name for p in tmp_path.iterdir()) == ["a", "hard.zip", "out.zip", "soft.zip"]

        with open(tmp_path / "huge", "wb") as f:
            f.truncate(1 << 32)  # sparse: refused by size before it is read
        assert create_error(tmp_path / "huge", tmp_path / "out.zip").startswith("Archive is too large")
        assert (tmp_path / "out.zip").read_bytes() == GOLDEN_ONE_FILE

    # In a sticky directory others may write in, a link or file at the path
    # that another user planted is neither followed nor replaced (EACCES, as
    # open(2) under fs.protected_symlinks and fs.protected_regular), unless
    # it is the caller's or the directory owner's; elsewhere as always.
    @pytest.mark.skipif(os.geteuid() != 0, reason="needs root to plant as another user")
    @pytest.mark.parametrize("mode, directory_owner, planted, planter, refused", [
        (0o1777, 0, "link", NOBODY, True),
        (0o1777, 0, "dangling", NOBODY, True),
        (0o1777, 0, "file", NOBODY, True),
        (0o1770, 0, "link", NOBODY, True),
        (0o1777, 0, "link", 0, False),
        (0o1777, NOBODY, "dangling", NOBODY, False),
        (0o1777, NOBODY, "file", NOBODY, False),
        (0o0777, 0, "link", NOBODY, False),
    ])
    def test_a_shared_sticky_directory_keeps_what_others_planted(self, tmp_path, mode, directory_owner, planted,
                                                               planter, refused):
        (tmp_path / "a").write_bytes(b"abc")
        os.chmod(tmp_path / "a", 0o644)
        secret = tmp_path / "secret"
        secret.write_bytes(b"root only")
        os.chmod(secret, 0o600)
        shared = tmp_path / "shared"
        shared.mkdir()
        os.chown(shared, directory_owner, directory_owner)
        os.chmod(shared, mode)
        archive = shared / "out.zip"
        if planted == "file":
            archive.write_bytes(b"theirs")
            os.chmod(archive, 0o666)
        else:
            os.symlink(secret if planted == "link" else tmp_path / "made", archive)
        os.lchown(archive, planter, planter)
        reached = archive if planted == "file" else pathlib.Path(os.readlink(archive))
        if refused:
            assert create_error(tmp_path / "a", archive) == "I/O error: Permission denied (os error 13)"
            assert secret.read_bytes() == b"root only" and not (tmp_path / "made").exists()
            assert os.lstat(archive).st_uid == planter and sorted(os.listdir(shared)) == ["out.zip"]
            assert planted != "file" or archive.read_bytes() == b"theirs"
        else:
            quastor.create_zip(str(tmp_path / "a"), str(archive))
            assert reached.read_bytes() == GOLDEN_ONE_FILE
            assert planted == "file" or archive.is_symlink()

    @pytest.mark.parametrize("existing", [None, b"old archive bytes"])
    def test_a_failed_write_names_nothing_and_leaves_an_existing_file(self, tmp_path, existing):
        """The archive cannot be written past 1 MiB (as on a full file
        system): the call fails, and nothing new stands at the path."""
        (tmp_path / "big").write_bytes(os.urandom(4 << 20))
        archive = tmp_path / "out.zip"
        if existing is not None:
            archive.write_bytes(existing)
        soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
        previous = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, hard))
        try:
            message = create_error(tmp_path / "big", archive)
        finally:
            resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
            signal.signal(signal.SIGXFSZ, previous)
        assert message == "I/O error: File too large (os error 27)"
        assert sorted(p.name for p in tmp_path.iterdir()) == ["big"] + (["out.zip"] if existing else [])
        if existing is not None:
            assert archive.read_bytes() == existing

    def test_the_same_tree_gives_the_same_bytes_whatever_the_times(self, tmp_path):
        src = make_tree(tmp_path / "src", {
            "big": b"lorem ipsum " * 5000, "small": b"s", "d": {"e": {}, "x": bytes(range(256)) * 10},
            "l": ("link", "big"),
        })
        quastor.create_zip(str(src), str(tmp_path / "one.zip"))
        for path in [src / "big", src / "d", src / "d" / "x"]:
            os.utime(path, (1_000_000_000, 1_000_000_000))
        quastor.create_zip(str(src), str(tmp_path / "two.zip"))
        assert (tmp_path / "one.zip").read_bytes() == (tmp_path / "two.zip").read_bytes()
