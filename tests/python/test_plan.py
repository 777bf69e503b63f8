"""The extraction plan as preflight shows it: entries that meet on disk,
methods, local headers and symbolic-link targets, and the order of the tests."""

from __future__ import annotations

import errno
import os

import pytest

import quastor
from zipbuild import (
    S_IFDIR,
    S_IFLNK,
    S_IFREG,
    Entry,
    build,
    build_zip,
    crc32,
    directory,
    file_entry,
    set_local,
    symlink,
    unicode_path_extra,
)

FAILED = "Preflight failed: "
CONFLICT = FAILED + "Archive entry conflict: "


def plan(*entries) -> list[quastor.PreflightEntry]:
    return quastor.preflight_zip_bytes(build_zip(list(entries)))


def refusal(*entries) -> str:
    with pytest.raises(RuntimeError) as caught:
        plan(*entries)
    return str(caught.value)


# The three kinds an entry can take, at a given name.
KINDS = {
    "file": lambda name: file_entry(name, b"data"),
    "link": lambda name: symlink(name, "target"),
    "dir": lambda name: directory(name),
}


def spelled(name: bytes, field: str, *, local: bool = False) -> Entry:
    """A file whose header name is `name` and whose Unicode Path field, in
    the central or the local header, spells it `field`."""
    extra = unicode_path_extra(name, field)
    return file_entry(name, b"data", **({"local_extra": extra} if local else {"extra": extra}))


CENTRAL = FAILED + "Invalid ZIP format: Invalid Central Directory signature"
LOCAL = FAILED + "Invalid ZIP format: Invalid Local File Header signature"


def make(kind: str, name: str) -> Entry:
    return KINDS[kind](name)


def shown(kind: str, name: str) -> str:
    """The name as an entry of this kind stores it."""
    return name + "/" if kind == "dir" else name


class TestConflictTable:
    @pytest.mark.parametrize("first", ["file", "link"])
    @pytest.mark.parametrize("second", ["file", "link", "dir"])
    def test_same_destination_as_a_file(self, first, second):
        assert refusal(make(first, "x"), make(second, "x")) == (
            CONFLICT + f'"{shown(second, "x")}" maps to "x", which is already reserved as file')

    @pytest.mark.parametrize("second", ["file", "link", "dir"])
    def test_same_destination_as_a_directory(self, second):
        assert refusal(make("dir", "x"), make(second, "x")) == (
            CONFLICT + f'"{shown(second, "x")}" maps to "x", which is already reserved as directory')

    @pytest.mark.parametrize("first", ["file", "link"])
    @pytest.mark.parametrize("second", ["file", "link", "dir"])
    def test_under_a_file_or_link(self, first, second):
        assert refusal(make(first, "x"), make(second, "x/y")) == (
            CONFLICT + f'"{shown(second, "x/y")}" would place data under "x", which is already a file or symlink')

    @pytest.mark.parametrize("first", ["file", "link", "dir"])
    @pytest.mark.parametrize("second", ["file", "link"])
    def test_over_a_needed_parent(self, first, second):
        assert refusal(make(first, "x/y"), make(second, "x")) == (
            CONFLICT + '"x" maps to "x", which is already needed as a parent directory')

    @pytest.mark.parametrize("first", ["file", "link", "dir"])
    def test_directory_after_its_contents(self, first):
        report = plan(make(first, "x/y"), make("dir", "x"))
        assert [e["path"] for e in report] == ["x/y", "x"]

    @pytest.mark.parametrize("second", ["file", "link", "dir"])
    def test_contents_after_their_directory(self, second):
        assert len(plan(make("dir", "x"), make(second, "x/y"))) == 2

    @pytest.mark.parametrize("spelling", ["x\\y", "x//y", "./x/y", "x/./y", "x\\\\y"])
    def test_spellings_of_one_path(self, spelling):
        quoted = spelling.replace("\\", "\\\\")
        assert refusal(file_entry("x/y"), file_entry(spelling)) == (
            CONFLICT + f'"{quoted}" maps to "x/y", which is already reserved as file')

    @pytest.mark.parametrize("entries,refused", [
        # Readers that know the Unicode Path field write both to café.txt.
        ([spelled(b"caf%U00E9.txt", "caf\u00e9.txt"), file_entry("caf\u00e9.txt")], CENTRAL),
        ([file_entry("caf\u00e9.txt"), spelled(b"caf?.txt", "caf\u00e9.txt")], CENTRAL),
        ([spelled(b"d?", "d\u00e9"), file_entry("d\u00e9/x")], CENTRAL),
        ([file_entry("d\u00e9/x"), spelled(b"d?", "d\u00e9")], CENTRAL),
        ([file_entry("caf\u00e9.txt"), spelled(b"caf?.txt", "caf\u00e9.txt", local=True)], LOCAL),
        ([spelled(b"caf?.txt", "caf\u00e9.txt"), spelled(b"caf%U00E9.txt", "caf\u00e9.txt", local=True)], LOCAL),
        ([spelled(b"d?/", "d\u00e9/"), file_entry("d\u00e9/x")], None),
        ([spelled(b"caf?.txt", "caf\u00e9.txt"), file_entry("cafe.txt"), file_entry("caf\u00e9.txt.1")], None),
    ])
    def test_names_as_the_unicode_path_field_gives_them(self, entries, refused):
        if refused is None:
            assert len(plan(*entries)) == len(entries)
        else:
            assert refusal(*entries) == refused

    def test_comparison_is_exact(self):
        assert [e["path"] for e in plan(file_entry("X"), file_entry("x"), file_entry("A/b"), file_entry("a/B"))] == [
            "X", "x", "A/b", "a/B"]


class TestConflictTexts:
    def test_directory_listed_twice(self):
        assert refusal(directory("a/"), directory("a/")) == CONFLICT + '"a/" maps to "a", which is already reserved as directory'

    def test_nearest_file_ancestor_is_named(self):
        assert refusal(file_entry("a/b/c"), file_entry("a/b/c/d/e")) == (
            CONFLICT + '"a/b/c/d/e" would place data under "a/b/c", which is already a file or symlink')

    def test_link_blocks_writes_through_it(self):
        assert refusal(symlink("l", "/tmp"), file_entry("l/f")) == (
            CONFLICT + '"l/f" would place data under "l", which is already a file or symlink')

    def test_destination_escapes_single_quote_but_name_does_not(self):
        assert refusal(file_entry("it's"), file_entry("it's")) == (
            CONFLICT + "\"it's\" maps to \"it\\'s\", which is already reserved as file")

    def test_parent_is_quoted_as_a_path(self):
        assert refusal(file_entry("a'b\\"), file_entry("a'b/\tc")) == (
            CONFLICT + '"a\'b/\\tc" would place data under "a\\\'b", which is already a file or symlink')

    @pytest.mark.parametrize("names,named", [
        # Each name after one that shares part of its leading bytes, where
        # that part ends inside a segment of one of them.
        (["a/bc", "a/b", "a/b/x"], '"a/b/x" would place data under "a/b"'),
        (["ab/c", "a", "a/x"], '"a/x" would place data under "a"'),
        (["a/b", "a/bc/d", "a/bc"], '"a/bc" maps to "a/bc", which is already needed as a parent directory'),
        (["x/y/z", "x/y", "x/y/z/w"], '"x/y" maps to "x/y", which is already needed as a parent directory'),
        (["a/b", "a/bc", "z", "a/bc/x"], '"a/bc/x" would place data under "a/bc"'),
    ])
    def test_names_sharing_leading_bytes(self, names, named):
        assert refusal(*[file_entry(name) for name in names]).startswith(CONFLICT + named)

    def test_only_the_first_conflict_is_reported(self):
        assert refusal(file_entry("a"), file_entry("a"), file_entry("a/b")) == (
            CONFLICT + '"a" maps to "a", which is already reserved as file')


class TestMethods:
    def test_unsupported_method_on_a_file(self):
        assert refusal(Entry("f", b"x", method=12, payload=b"x")) == FAILED + "Unsupported compression method: 12"

    def test_method_is_tested_before_the_name(self):
        assert refusal(Entry("../f", b"x", method=99, payload=b"x")) == FAILED + "Unsupported compression method: 99"

    def test_directory_with_any_method_passes(self):
        report = plan(Entry("d/", b"", method=12))
        assert report[0]["compress_type"] == 12 and report[0]["is_dir"]

    def test_file_data_is_not_decoded(self):
        corrupt = Entry("f", b"hello", method=8, payload=b"\xff\xff\xff")
        wrong_crc = file_entry("g", b"hello", crc32=0)
        wrong_size = file_entry("h", b"hello", file_size=99)
        assert len(plan(corrupt, wrong_crc, wrong_size)) == 3


class TestLocalHeaders:
    def test_directory_local_header_is_checked(self):
        built = build([directory("d/")])
        with pytest.raises(RuntimeError) as caught:
            quastor.preflight_zip_bytes(set_local(built, 0, "signature", 0x04034B51))
        assert str(caught.value) == FAILED + "Invalid ZIP format: Invalid Local File Header signature"

    def test_conflict_is_found_before_the_local_header(self):
        built = build([file_entry("a"), file_entry("a")])
        with pytest.raises(RuntimeError) as caught:
            quastor.preflight_zip_bytes(set_local(built, 1, "signature", 0))
        assert str(caught.value) == CONFLICT + '"a" maps to "a", which is already reserved as file'

    def test_local_header_is_checked_before_the_link_target(self):
        built = build([symlink("l", "t", crc32=0)])
        with pytest.raises(RuntimeError) as caught:
            quastor.preflight_zip_bytes(set_local(built, 0, "signature", 0))
        assert str(caught.value) == FAILED + "Invalid ZIP format: Invalid Local File Header signature"


class TestSymlinkTargets:
    @pytest.mark.parametrize("target", ["readme.txt", "/etc/passwd", "../../x", "", "a/../../..", "\u00e9"])
    def test_any_valid_target_is_accepted(self, target):
        assert plan(symlink("l", target))[0]["is_symlink"] is True

    def test_deflated_target(self):
        report = plan(symlink("l", "t" * 200, method=8))
        assert report[0]["compress_type"] == 8 and report[0]["file_size"] == 200

    def test_wrong_crc(self):
        assert refusal(symlink("l", "target", crc32=0x0000ABCD)) == (
            FAILED + f"CRC32 mismatch (expected 0000abcd, got {crc32(b'target'):08x})")

    def test_target_not_utf8(self):
        assert refusal(symlink("l", b"bad\xff")) == FAILED + "Invalid ZIP format: Invalid symlink target UTF-8"

    def test_target_that_does_not_decode(self):
        assert refusal(symlink("l", "t", method=8, payload=b"\xff\xff")) == FAILED + "Decompression error: BadData"
        assert refusal(symlink("l", "target", method=8, file_size=3)) == FAILED + "Decompression error: InsufficientSpace"
        assert refusal(symlink("l", "abc", compress_size=2)) == FAILED + "Decompression error: Stored data length mismatch"

    def test_declared_size_of_path_max_fails_as_its_creation_would(self):
        # Refused before decoding, so a link never costs what it declares.
        too_long = FAILED + f"I/O error: {os.strerror(errno.ENAMETOOLONG)} (os error 36)"
        assert refusal(symlink("l", "t", method=8, payload=b"\xff\xff", file_size=4096)) == too_long
        assert refusal(symlink("l", "t", file_size=0xFFFFFFFF)) == too_long
        assert refusal(symlink("l", "t", method=8, payload=b"\xff\xff", file_size=4095)) == (
            FAILED + "Decompression error: BadData")
        assert plan(symlink("l", "t" * 4095, method=8))[0]["file_size"] == 4095

    def test_declared_size_too_long_fails_the_crc(self):
        # The unwritten tail stays zero and the CRC check judges it.
        assert refusal(symlink("l", "target", method=8, file_size=7)) == (
            FAILED + f"CRC32 mismatch (expected {crc32(b'target'):08x}, got {crc32(b'target' + bytes(1)):08x})")

    def test_directory_with_link_mode_is_a_directory(self):
        entry = directory("d/", external_attr=(S_IFLNK | 0o755) << 16, crc32=0x12345678)
        report = plan(entry)[0]
        assert report["is_dir"] is True and report["is_symlink"] is True

    @pytest.mark.parametrize(
        "attr,is_symlink",
        [((S_IFLNK | 0o777) << 16, True), (0xA0000000, True), (0xAFFFFFFF, True), (0xB0000000, False),
         (0x2000A000, False), ((S_IFDIR | 0o777) << 16, False), (0, False)],
    )
    def test_link_is_the_file_type_in_the_upper_bits(self, attr, is_symlink):
        # Targets are valid either way, so only the flag differs. Other
        # types from a Unix host are refused (below); from another host, no
        # reader takes them for anything but a file.
        host = 0x0314 if is_symlink else 0x0014
        assert plan(Entry("x", b"t", external_attr=attr, version_made_by=host))[0]["is_symlink"] is is_symlink

    @pytest.mark.parametrize("entries,refused", [
        # bsdtar and 7-Zip make a directory and drop the data.
        ([Entry("run.sh", b"payload", external_attr=(S_IFDIR | 0o755) << 16)], True),
        ([Entry("run.sh", b"", external_attr=(S_IFDIR | 0o755) << 16)], True),
        ([Entry("run.sh", b"payload", external_attr=0x10, version_made_by=0x0014)], True),
        ([Entry("run.sh", b"payload", external_attr=0x10, version_made_by=0x0B14)], True),   # 7-Zip alone
        ([Entry("run.sh", b"payload", external_attr=0x10, version_made_by=0x0A14)], False),  # a file to all
        ([Entry("run.sh", b"payload", external_attr=0x10, version_made_by=0x1314)], False),
        ([Entry("run.sh", b"payload", external_attr=(S_IFDIR | 0o755) << 16, version_made_by=0x0014)], False),
        ([file_entry("run.sh", b"payload", external_attr=(S_IFREG | 0o755) << 16 | 0x10)], False),
        ([Entry("d/", b"", external_attr=0x10, version_made_by=0x0014), Entry("d/x", b"x", external_attr=0)], False),
        # bsdtar makes a directory of a name ending in a backslash.
        ([file_entry("run.sh\\", b"payload")], True),
        ([directory("d\\"), file_entry("d\\x\\", b"x")], True),
        # Without data, nothing is dropped: Windows tools write directories so.
        ([Entry("d\\e\\", b"", external_attr=0x20, version_made_by=0x0014), file_entry("d\\f")], False),
        ([file_entry("bin\\zap", b"zap")], False),
        # bsdtar writes zeros or a device node for other types; a FIFO's data
        # it writes as a file's.
        ([file_entry("first"), Entry("run.sh", b"payload", external_attr=0o140755 << 16)], True),
        ([Entry("run.sh", b"payload", external_attr=0o110755 << 16)], True),
        ([Entry("fifo", b"payload", external_attr=0o010644 << 16)], False),
        ([Entry("tty", b"", external_attr=0o020644 << 16)], True),
        ([Entry("disk", b"", external_attr=0o060644 << 16)], True),
        ([Entry("d/", b"", external_attr=0o177777 << 16), file_entry("d/x")], False),  # Maven's directories
        ([Entry("run.sh", b"payload", external_attr=0o140755 << 16, version_made_by=0x0014)], False),
        ([Entry("run.sh", b"payload", external_attr=0)], False),
    ])
    def test_kind_other_readers_take_from_attributes_or_name(self, entries, refused):
        if refused:
            assert refusal(*entries) == CENTRAL
        else:
            assert len(plan(*entries)) == len(entries)

    def test_kind_read_two_ways_is_refused_after_every_other_test(self):
        # The conflict further on is reported first.
        assert refusal(file_entry("x\\", b"x"), file_entry("x")) == (
            CONFLICT + '"x" maps to "x", which is already reserved as file')

    def test_link_target_is_read_per_link(self):
        links = [symlink(f"l{i}", f"t{i}" * i, method=8 if i % 2 else 0) for i in range(50)]
        assert len(plan(*links)) == 50


class TestPlanShape:
    def test_empty_archive(self):
        assert plan() == []

    def test_worked_example(self):
        report = plan(
            directory("docs/"),
            file_entry("docs/readme.txt", b"read me\n" * 20, method=8),
            file_entry("bin\\zap", b"zap"),
            symlink("docs/link", "readme.txt"),
        )
        assert [e["path"] for e in report] == ["docs", "docs/readme.txt", "bin/zap", "docs/link"]
        assert [e["is_dir"] for e in report] == [True, False, False, False]
        assert [e["is_symlink"] for e in report] == [False, False, False, True]

    def test_encrypted_flag_is_not_examined(self):
        assert plan(file_entry("f", b"x", flags=0x0001))[0]["path"] == "f"

    def test_file_before_its_directory_entry(self):
        assert [e["path"] for e in plan(file_entry("a/b.txt", b"b"), directory("a/"))] == ["a/b.txt", "a"]
