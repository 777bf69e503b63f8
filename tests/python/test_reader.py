"""Reading archives: the end record search, the central directory walk and the
local header checks, each refusal with its exact text and in its order."""

import os

import pytest

import quastor
from zipbuild import (
    CENTRAL,
    Entry,
    build,
    build_zip,
    directory,
    end_record,
    file_entry,
    patch_u16,
    patch_u32,
    set_central,
    set_end,
    set_local,
)

PREFIX = "Preflight failed: Invalid ZIP format: "
EOF_TEXT = "Preflight failed: I/O error: failed to fill whole buffer"


def refusal(data: bytes) -> str:
    with pytest.raises(RuntimeError) as caught:
        quastor.preflight_zip_bytes(data)
    return str(caught.value)


def names(data: bytes) -> list[str]:
    return [e["archive_name"] for e in quastor.preflight_zip_bytes(data)]


def two_files():
    return build([file_entry("a.txt", b"alpha"), file_entry("b.txt", b"beta")])


class TestEndRecord:
    @pytest.mark.parametrize("length", [0, 1, 21])
    def test_too_short(self, length):
        assert refusal(b"PK\x05\x06"[:length] + bytes(max(0, length - 4))) == PREFIX + "File too short to be a ZIP file"

    def test_22_zero_bytes_have_no_signature(self):
        assert refusal(bytes(22)) == PREFIX + "EOCD signature not found"

    def test_bare_record_is_an_empty_archive(self):
        assert quastor.preflight_zip_bytes(end_record()) == []

    def test_offset_equal_to_length_is_inside_but_not_where_the_directory_ends(self):
        assert refusal(end_record(cd_offset=22)) == PREFIX + "Invalid Central Directory signature"

    def test_offset_beyond_length(self):
        assert refusal(end_record(cd_offset=23)) == PREFIX + "Central directory offset is outside the archive"
        assert refusal(end_record(cd_offset=0xFFFFFFFF)) == PREFIX + "Central directory offset is outside the archive"

    def test_longest_comment_is_found(self):
        data = build_zip([file_entry("a", b"x")], comment=b"c" * 65535)
        assert names(data) == ["a"]

    def test_record_further_from_the_end_is_not_found(self):
        data = build_zip([file_entry("a", b"x")], comment=b"c" * 65535, suffix=b"c")
        assert refusal(data) == PREFIX + "EOCD signature not found"

    def test_signature_in_comment_nearer_the_end_wins(self):
        # A whole fake record as the comment ends 0 bytes before the end; its
        # empty directory at offset 0 does not end where it begins.
        data = build_zip([file_entry("a", b"x")], comment=end_record())
        assert refusal(data) == PREFIX + "Invalid Central Directory signature"
        assert names(build_zip([], comment=end_record(cd_offset=22))) == []

    def test_signature_in_the_last_21_bytes_is_not_a_candidate(self):
        data = build_zip([file_entry("a", b"x")], comment=b"PK\x05\x06" + bytes(17))
        assert names(data) == ["a"]

    def test_zip64_end_record_is_refused(self):
        # With 0xFFFF entries and a ZIP64 locator just before it, the real
        # count lies elsewhere: reading 65535 entries would lose the rest.
        locator = (0x07064B50).to_bytes(4, "little") + bytes(16)
        data = locator + end_record(count=0xFFFF, cd_offset=0)
        assert refusal(data) == "Preflight failed: Archive is too large: ZIP entry count exceeds ZIP32 limits"
        assert refusal(bytes(20) + end_record(count=0xFFFF)) == PREFIX + "Invalid Central Directory signature"

    def test_comment_length_and_disk_numbers_are_not_read(self):
        built = two_files()
        data = set_end(built, "comment_length", 500)
        data = patch_u16(data, built.end_offset + 4, 7)  # number of this disk
        data = patch_u16(data, built.end_offset + 6, 9)  # disk where the directory starts
        assert names(data) == ["a.txt", "b.txt"]


class TestCentralDirectory:
    def test_count_larger_than_headers_runs_into_the_end_record(self):
        assert refusal(set_end(two_files(), "count", 3)) == PREFIX + "Invalid Central Directory signature"


    def test_count_one_at_the_very_end(self):
        assert refusal(end_record(count=1, cd_offset=22)) == EOF_TEXT

    def test_fewer_than_four_bytes_left(self):
        assert refusal(end_record(count=1, cd_offset=19)) == EOF_TEXT

    def test_signature_then_fewer_than_46_bytes(self):
        data = b"PK\x01\x02" + end_record(count=1, cd_offset=0)
        assert refusal(data) == EOF_TEXT

    def test_wrong_signature(self):
        assert refusal(set_central(two_files(), 1, "signature", 0x02014B51)) == PREFIX + "Invalid Central Directory signature"

    def test_name_beyond_the_end(self):
        assert refusal(set_central(two_files(), 1, "name_length", 0xFFFF)) == PREFIX + "ZIP entry exceeds archive bounds"

    @pytest.mark.parametrize("field", ["extra_length", "comment_length"])
    def test_extra_or_comment_beyond_the_end(self, field):
        assert refusal(set_central(two_files(), 1, field, 0xFFFF)) == PREFIX + "Central directory entry exceeds archive bounds"

    def test_extra_and_comment_are_skipped_unread(self):
        data = build_zip([Entry("a", b"x", extra=b"\x55\x54\x05\x00junk", comment=b"PK\x01\x02 no"), file_entry("b")])
        assert names(data) == ["a", "b"]

    def test_invalid_utf8_name_gets_replacement(self):
        for flags in (0, 0x0800):
            report = quastor.preflight_zip_bytes(build_zip([Entry(b"a\xffb", b"", flags=flags)]))
            assert report[0]["archive_name"] == "a\ufffdb"
            assert report[0]["path"] == "a\ufffdb"

    def test_truncated_sequence_is_one_replacement(self):
        assert names(build_zip([Entry(b"x\xe2\x82", b"")])) == ["x\ufffd"]

    @pytest.mark.parametrize("name,is_dir", [("dir/", True), ("dir\\", False), ("dir/.", False), ("dir", False)])
    def test_directory_flag_is_the_last_byte(self, name, is_dir):
        assert quastor.preflight_zip_bytes(build_zip([Entry(name, b"")]))[0]["is_dir"] is is_dir

    def test_fields_are_taken_from_the_central_header(self):
        entry = Entry("f", b"hello", method=8, external_attr=0xFFFF0000 | 0o100600 << 16 | 0x1234,
                      crc32=0xDEADBEEF, local_crc32=0, local_compress_size=0, local_file_size=0, local_method=0)
        report = quastor.preflight_zip_bytes(build_zip([entry]))[0]
        assert report["compress_type"] == 8
        assert report["crc32"] == 0xDEADBEEF
        assert report["file_size"] == 5
        assert report["compress_size"] == len(entry.stored())
        assert report["external_attr"] == entry.attr()


class TestDirectoryConsistency:
    """Another reader may walk the directory by its recorded size, or find it
    back from the end record: one that does not end exactly at the end
    record, disagrees with its size or has two counts is refused, so that
    every reader sees the same entries."""

    @pytest.mark.parametrize("changes", [
        {"count": 1, "disk_count": 1},       # headers beyond the count
        {"disk_count": 1},                   # the two counts differ
        {"count": 1},
        {"cd_size": 0},
        {"cd_size": 1},
        {"before_end": b"\0" * 100},         # bytes before the end record
    ])
    def test_refused(self, changes):
        data = build_zip([file_entry("a.txt", b"alpha"), file_entry("b.txt", b"beta")], **changes)
        assert refusal(data) == PREFIX + "Invalid Central Directory signature"

    def test_size_one_off_either_way(self):
        built = two_files()
        size = built.end_offset - built.central_offsets[0]
        assert names(set_end(built, "cd_size", size)) == ["a.txt", "b.txt"]
        for wrong in (size - 1, size + 1):
            assert refusal(set_end(built, "cd_size", wrong)) == PREFIX + "Invalid Central Directory signature"

    def test_second_directory_covered_by_the_size_alone(self):
        # The end record's offset reaches one directory, its size another
        # just before it: two readers would list different entries.
        first = build([file_entry("README.txt", b"hi")])
        second = build([file_entry("run.sh", b"x", mode=0o4755)])
        shown = second.data[second.central_offsets[0]:second.end_offset]
        data = first.data[:first.end_offset] + shown + first.data[first.end_offset:]
        data = patch_u32(data, len(data) - 10, len(shown))
        assert refusal(data) == PREFIX + "Invalid Central Directory signature"

    @pytest.mark.parametrize("change,accepted", [({}, True), ({"count": 3}, False), ({"offset": 1}, False),
                                                 ({"record_size": 45}, False), ({"at": 1}, False)])
    def test_zip64_end_record_must_repeat_the_end_record(self, change, accepted):
        # As written by tools that cannot know the sizes in advance (input
        # from a pipe): a ZIP64 end record and its locator between the
        # directory and the end record. ZIP64 readers go by its values.
        plain = two_files()
        start, end = plain.central_offsets[0], plain.end_offset
        fields = {"count": 2, "offset": start, "record_size": 44, "at": end} | change
        record = (0x06064B50).to_bytes(4, "little") + fields["record_size"].to_bytes(8, "little") + bytes(12)
        record += fields["count"].to_bytes(8, "little") * 2
        record += (end - start).to_bytes(8, "little") + fields["offset"].to_bytes(8, "little")
        locator = (0x07064B50).to_bytes(4, "little") + bytes(4) + fields["at"].to_bytes(8, "little") + bytes(4)
        data = build_zip([file_entry("a.txt", b"alpha"), file_entry("b.txt", b"beta")], before_end=record + locator)
        if accepted:
            assert names(data) == ["a.txt", "b.txt"]
        else:
            assert refusal(data) == PREFIX + "Invalid Central Directory signature"

    def test_last_header_running_into_the_end_record(self):
        built = two_files()
        data = set_central(built, 1, "comment_length", 1)
        assert refusal(data) == PREFIX + "Central directory entry exceeds archive bounds"

    def test_data_before_the_archive(self):
        # Offsets counted from the start of the file pass; offsets of the
        # archive alone, as before the data was put in front, do not.
        entries = [file_entry("a.txt", b"alpha")]
        stub = b"#!/bin/sh\nexit 0\n"
        shifted = build(entries, prefix=stub).data
        assert names(shifted) == ["a.txt"]
        assert refusal(stub + build_zip(entries)) == PREFIX + "Invalid Central Directory signature"


class TestLocalHeader:
    def test_header_in_the_last_29_bytes(self):
        built = two_files()
        data = set_central(built, 0, "local_header_offset", len(built.data) - 29)
        assert refusal(data) == PREFIX + "ZIP entry exceeds archive bounds"

    def test_offset_far_beyond_the_end(self):
        data = set_central(two_files(), 0, "local_header_offset", 0xFFFFFFFF)
        assert refusal(data) == PREFIX + "ZIP entry exceeds archive bounds"

    def test_offset_pointing_at_the_central_directory(self):
        built = two_files()
        data = set_central(built, 1, "local_header_offset", built.central_offsets[0])
        assert refusal(data) == PREFIX + "Invalid Local File Header signature"

    @pytest.mark.parametrize("field", ["name_length", "extra_length"])
    def test_local_name_or_extra_beyond_the_end(self, field):
        data = set_local(two_files(), 1, field, 0xFFFF)
        assert refusal(data) == PREFIX + "Local file header exceeds archive bounds"

    def test_data_beyond_the_end(self):
        data = set_central(two_files(), 1, "compress_size", 0xFFFF)
        assert refusal(data) == PREFIX + "ZIP entry exceeds archive bounds"

    def test_data_ending_exactly_at_the_end_is_accepted(self):
        built = two_files()
        start = built.local_offsets[1] + 30 + len("b.txt")
        exact = set_central(built, 1, "compress_size", len(built.data) - start)
        assert names(exact) == ["a.txt", "b.txt"]
        one_more = set_central(built, 1, "compress_size", len(built.data) - start + 1)
        assert refusal(one_more) == PREFIX + "ZIP entry exceeds archive bounds"

    def test_local_fields_other_than_lengths_are_ignored(self):
        entry = file_entry("f", b"data", local_method=99, local_flags=0xFFFF, local_crc32=1,
                           local_compress_size=0, local_file_size=0, local_name=b"other")
        assert names(build_zip([entry])) == ["f"]

    def test_local_extra_field_is_skipped(self):
        data = build_zip([file_entry("f", b"x", local_extra=b"\x01\x00\x04\x00abcd"), file_entry("g")])
        assert names(data) == ["f", "g"]

    def test_directory_local_header_is_checked_too(self):
        built = build([directory("d/")])
        assert refusal(set_local(built, 0, "signature", 0)) == PREFIX + "Invalid Local File Header signature"


class TestOrder:
    """With several faults, the earliest test decides."""

    def test_offset_before_directory(self):
        data = set_central(two_files(), 0, "signature", 0)
        data = patch_u32(data, len(data) - 6, len(data) + 1)
        assert refusal(data) == PREFIX + "Central directory offset is outside the archive"

    def test_signature_before_fixed_length(self):
        # Bad signature with fewer than 46 bytes left: the signature decides.
        assert refusal(b"PK\x01\x03" + end_record(count=1)) == PREFIX + "Invalid Central Directory signature"

    def test_name_before_extra_and_comment(self):
        built = two_files()
        data = set_central(built, 1, "name_length", 0xFFFF)
        data = patch_u16(data, built.central_offsets[1] + CENTRAL["comment_length"], 0xFFFF)
        assert refusal(data) == PREFIX + "ZIP entry exceeds archive bounds"

    def test_whole_directory_before_any_local_header(self):
        built = two_files()
        data = set_local(built, 0, "signature", 0)
        data = patch_u32(data, built.central_offsets[1], 0)
        assert refusal(data) == PREFIX + "Invalid Central Directory signature"

    def test_local_signature_before_local_bounds(self):
        built = two_files()
        data = set_local(built, 1, "signature", 0)
        data = patch_u16(data, built.local_offsets[1] + 28, 0xFFFF)
        assert refusal(data) == PREFIX + "Invalid Local File Header signature"

    def test_local_headers_in_directory_order(self):
        built = two_files()
        data = set_local(built, 1, "signature", 0)
        data = patch_u32(data, built.central_offsets[0] + CENTRAL["compress_size"], 0xFFFFF)
        assert refusal(data) == PREFIX + "ZIP entry exceeds archive bounds"


class TestArchiveFile:
    def test_empty_file(self, tmp_path):
        path = tmp_path / "empty.zip"
        path.write_bytes(b"")
        with pytest.raises(RuntimeError, match="^Preflight failed: Invalid ZIP format: File too short to be a ZIP file$"):
            quastor.preflight_zip(str(path))

    def test_missing_file(self, tmp_path):
        with pytest.raises(RuntimeError) as caught:
            quastor.preflight_zip(str(tmp_path / "missing.zip"))
        assert str(caught.value) == "Preflight failed: I/O error: No such file or directory (os error 2)"

    def test_non_regular_file_fails_at_once(self, tmp_path):
        # Reading a FIFO would wait for a writer for ever.
        os.mkfifo(tmp_path / "fifo")
        for path in (tmp_path / "fifo", tmp_path):
            with pytest.raises(RuntimeError, match=r"^Preflight failed: I/O error: No such device \(os error 19\)$"):
                quastor.preflight_zip(str(path))

    def test_file_and_bytes_read_alike(self, tmp_path):
        data = build_zip([directory("d/"), file_entry("d/a", b"abc" * 50, method=8), Entry(b"\xff", b"")],
                         comment=b"note")
        path = tmp_path / "a.zip"
        path.write_bytes(data)
        assert quastor.preflight_zip(str(path)) == quastor.preflight_zip_bytes(data)
