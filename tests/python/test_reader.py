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
    deflate,
    directory,
    end_record,
    file_entry,
    patch_u16,
    patch_u32,
    set_central,
    set_end,
    set_local,
    local_record,
    unicode_path_extra,
    zip64_tail,
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

    def test_offset_equal_to_length_is_an_empty_list(self):
        assert quastor.preflight_zip_bytes(end_record(cd_offset=22)) == []

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
        # A whole fake record as the comment: its count of 1 at offset 0
        # finds a local header, not a central one.
        data = build_zip([file_entry("a", b"x")], comment=end_record(count=1))
        assert refusal(data) == PREFIX + "Invalid Central Directory signature"
        assert names(build_zip([], comment=end_record(cd_offset=22))) == []

    def test_signature_in_the_last_21_bytes_is_not_a_candidate(self):
        data = build_zip([file_entry("a", b"x")], comment=b"PK\x05\x06" + bytes(17))
        assert names(data) == ["a"]

    def test_zip64_end_record_counting_more_is_refused(self):
        # The real count lies in the ZIP64 end record: reading 65535 entries
        # would lose the rest. A locator's signature alone is not one.
        data = zip64_tail(0, 0, 0x10000, at=0) + end_record(count=0xFFFF, cd_offset=0)
        assert refusal(data) == "Preflight failed: Archive is too large: ZIP entry count exceeds ZIP32 limits"
        locator = (0x07064B50).to_bytes(4, "little") + bytes(16)
        assert refusal(locator + end_record(count=0xFFFF)) == PREFIX + "Invalid Central Directory signature"

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
        entry = Entry("f", b"hello", method=8, external_attr=0o100600 << 16 | 0x1234, crc32=0xDEADBEEF,
                      flags=0x0808, local_crc32=0, local_compress_size=0, local_file_size=0)
        report = quastor.preflight_zip_bytes(build_zip([entry]))[0]
        assert report["compress_type"] == 8
        assert report["crc32"] == 0xDEADBEEF
        assert report["file_size"] == 5
        assert report["compress_size"] == len(entry.stored())
        assert report["external_attr"] == entry.attr()


def two_directories(first: list, second: list, between: bytes = b"") -> bytes:
    """The end record's offset reaches the directory of `first`; its size
    field covers the directory of `second`, placed just before it (after
    the bytes `between`)."""
    one = build(first)
    other = build(second)
    shown = other.data[other.central_offsets[0]:other.end_offset]
    data = one.data[:one.end_offset] + between + shown + one.data[one.end_offset:]
    return patch_u32(data, len(data) - 10, len(shown))


def with_zip64_tail(count=2, **change) -> bytes:
    """Two files with a ZIP64 end record and locator before the end record,
    as Info-ZIP writes them when reading from a pipe."""
    plain = two_files()
    start, size = plain.central_offsets[0], plain.end_offset - plain.central_offsets[0]
    fields = {"cd_offset": start, "cd_size": size, "count": count, "at": plain.end_offset} | change
    tail = zip64_tail(fields.pop("cd_offset"), fields.pop("cd_size"), fields.pop("count"), **fields)
    return build_zip([file_entry("a.txt", b"alpha"), file_entry("b.txt", b"beta")], before_end=tail)


def many_entries(count: int, *, zip64: bool) -> bytes:
    entries = [Entry(str(i), b"") for i in range(count)]
    if not zip64:
        return build_zip(entries)
    plain = build(entries)
    start, size = plain.central_offsets[0], plain.end_offset - plain.central_offsets[0]
    return build_zip(entries, before_end=zip64_tail(start, size, count, at=plain.end_offset))


def two_headers(**end_fields) -> bytes:
    """A directory of two headers for the one local record, and an end
    record counting as told."""
    one = build([file_entry("a.txt", b"alpha")])
    header = one.data[one.central_offsets[0]:one.end_offset]
    return build_zip([file_entry("a.txt", b"alpha")], before_end=header, **({"cd_size": 2 * len(header)} | end_fields))


def zip64_elsewhere(**change) -> bytes:
    """Two files whose locator names a ZIP64 end record that stands away
    from it (extensible data after it, say), with the fields told."""
    plain = two_files()
    start, size = plain.central_offsets[0], plain.end_offset - plain.central_offsets[0]
    fields = {"cd_offset": start, "cd_size": size, "count": 2} | change
    tail = zip64_tail(fields["cd_offset"], fields["cd_size"], fields["count"], at=plain.end_offset)
    record, locator = tail[:56], tail[56:]
    return build_zip([file_entry("a.txt", b"alpha"), file_entry("b.txt", b"beta")],
                     before_end=record + b"data" + locator)


def behind_a_cut_comment() -> bytes:
    """One local record listed by two directories, each with its end record:
    the last one's comment runs past the end of the archive."""
    first = build([file_entry("a.txt", b"alpha", mode=0o755)])
    second = build([file_entry("a.txt", b"alpha")])
    directory = second.data[second.central_offsets[0]:second.end_offset]
    data = first.data + directory
    return data + end_record(count=1, cd_offset=len(first.data), cd_size=len(directory))[:-2] + b"\x0a\x00"


def uncounted_behind_a_stub(stub: bytes = bytes(16)) -> bytes:
    """A one-entry archive behind a stub its offsets leave out, its end
    record counting no entries: by its size field, the directory is found."""
    built = build([file_entry("run.sh", b"payload")])
    built.data = set_end(built, "disk_count", 0)
    return stub + set_end(built, "count", 0)


# The last name before the end record ends like a ZIP64 locator.
LOCATOR_NAME = "n" + (0x07064B50).to_bytes(4, "little").decode() + "x" * 16


class TestDirectoryConsistency:
    """Readers that find the directory back from the end record by its size
    field must find the one read at the offset field; ZIP64 readers take
    the ZIP64 end record's values. Everything else reads as the end record
    says: counts, sizes and stray bytes that no reader would follow."""

    @pytest.mark.parametrize("data,listed", [
        (end_record(cd_offset=22), []),                                 # count 0: an empty list
        (b"x" * 30 + end_record(), []),                                 # count 0 over nothing
        (bytes(16) + end_record(cd_size=8), []),                        # by size: no header there
        (build_zip([file_entry("a.txt", b"alpha")], count=1, before_end=b"PK\x01\x03" + bytes(42)),
         ["a.txt"]),                                                     # a smaller count over garbage
        (build_zip([file_entry("a.txt", b"alpha"), file_entry("b.txt", b"beta")], disk_count=7),
         ["a.txt", "b.txt"]),                                            # this disk's count is not read
        (build_zip([file_entry("a.txt", b"alpha"), file_entry("b.txt", b"beta")], cd_size=1), ["a.txt", "b.txt"]),
        (build_zip([file_entry("a.txt", b"alpha"), file_entry("b.txt", b"beta")], cd_size=0xFFFFFFFF),
         ["a.txt", "b.txt"]),                                            # by size: before the start
        (build_zip([file_entry("a.txt", b"alpha"), file_entry("b.txt", b"beta")], before_end=bytes(100)),
         ["a.txt", "b.txt"]),                                            # bytes before the end record
        (build_zip([file_entry("a.txt"), Entry(LOCATOR_NAME, b"")]), ["a.txt", LOCATOR_NAME]),
        (with_zip64_tail(), ["a.txt", "b.txt"]),
        (with_zip64_tail(at=1), ["a.txt", "b.txt"]),                     # the record stands where it is read
        (zip64_elsewhere(count=2), ["a.txt", "b.txt"]),                  # named, away from the locator
        (build_zip([file_entry("a.txt")], comment_length=10), ["a.txt"]),  # no record before a cut comment
    ])
    def test_read_as_the_end_record_says(self, data, listed):
        assert names(data) == listed

    @pytest.mark.parametrize("data", [
        # The audited archives: zipfile lists README.txt, the offset field
        # reaches run.sh; with size 0 zipfile lists nothing.
        two_directories([file_entry("README.txt", b"hi")], [file_entry("run.sh", b"x", mode=0o4755)]),
        two_directories([file_entry("README.txt", b"hi")], [file_entry("run.sh", b"x")], between=b"junk"),
        build_zip([file_entry("a.txt", b"alpha"), file_entry("b.txt", b"beta")], cd_size=0),
        two_directories([file_entry("a.txt"), file_entry("b.txt")], [file_entry("c.txt")]),
        two_directories([file_entry("a.txt")], [file_entry("b.txt"), file_entry("c.txt")]),
        # Offsets of the archive alone, with a stub put in front unadjusted.
        b"#!/bin/sh\nexit 0\n" + build_zip([file_entry("a.txt", b"alpha")]),
        with_zip64_tail(count=3),
        with_zip64_tail(count=2, disk_count=1),
        with_zip64_tail(cd_offset=1),
        with_zip64_tail(cd_size=7),
        with_zip64_tail(cd_offset=1, at=1),                              # the record before the locator
        with_zip64_tail(cd_size=7, at=1),                                # decides wherever the locator points
        # Headers past the count: zipfile, unzip, bsdtar, 7-Zip list them.
        two_headers(count=1),
        two_headers(count=0, cd_size=0),
        two_headers(count=0, disk_count=2, cd_size=0),
        # Count 0, the directory found by its size: zipfile and bsdtar extract it.
        uncounted_behind_a_stub(),
        # A locator naming a ZIP64 end record elsewhere: bsdtar reads by it.
        zip64_elsewhere(count=3),
        zip64_elsewhere(cd_offset=0),
        # The last end record's comment runs past the end: Go reads the one before.
        behind_a_cut_comment(),
    ])
    def test_two_readings_are_refused(self, data):
        assert refusal(data) == PREFIX + "Invalid Central Directory signature"

    def test_size_one_off_either_way_reads_the_same(self):
        built = two_files()
        size = built.end_offset - built.central_offsets[0]
        for wrong in (size - 1, size, size + 1):
            assert names(set_end(built, "cd_size", wrong)) == ["a.txt", "b.txt"]

    def test_zip64_counting_65535_is_read_and_more_is_refused(self):
        assert len(names(many_entries(65535, zip64=True))) == 65535
        too_many = "Preflight failed: Archive is too large: ZIP entry count exceeds ZIP32 limits"
        assert refusal(with_zip64_tail(count=70000)) == too_many
        assert refusal(zip64_elsewhere(count=70000)) == too_many

    def test_data_before_the_archive_with_offsets_counted_from_the_file(self):
        stub = b"#!/bin/sh\nexit 0\n"
        assert names(build([file_entry("a.txt", b"alpha")], prefix=stub).data) == ["a.txt"]

    def test_last_header_running_into_the_end_record(self):
        # Its comment takes the end record's first byte: still inside the archive.
        built = two_files()
        assert names(set_central(built, 1, "comment_length", 1)) == ["a.txt", "b.txt"]


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
        exact = patch_u32(exact, built.local_offsets[1] + 18, len(built.data) - start)  # as the local header says
        assert names(exact) == ["a.txt", "b.txt"]
        one_more = set_central(built, 1, "compress_size", len(built.data) - start + 1)
        assert refusal(one_more) == PREFIX + "ZIP entry exceeds archive bounds"

    @pytest.mark.parametrize("entry", [
        # A data descriptor follows (bit 3): zero or partial local values, as
        # bsdtar and Info-ZIP write when streaming.
        file_entry("f", b"data" * 20, flags=0x0808, local_crc32=0, local_compress_size=0, local_file_size=0),
        file_entry("f", b"data" * 20, method=8, flags=0x0808, local_crc32=0, local_compress_size=0),
        file_entry("f", b"data", local_flags=0xFFFF, local_crc32=1, local_file_size=7),
        # A directory without data, whatever its local method.
        directory("d/", local_method=8),
        # 64-bit local sizes in the local ZIP64 extra field.
        file_entry("f", b"data", local_compress_size=0xFFFFFFFF, local_file_size=0xFFFFFFFF,
                   local_extra=b"\x01\x00\x10\x00" + (4).to_bytes(8, "little") * 2),
    ])
    def test_local_values_a_descriptor_or_zip64_field_replaces(self, entry):
        assert names(build_zip([entry])) == [entry.name if isinstance(entry.name, str) else entry.name.decode()]

    @pytest.mark.parametrize("entry", [
        # unzip and stream-unzip inflate a stored entry marked deflated locally.
        Entry("f", deflate(b"inflated " * 9), local_method=8),
        # unzip writes the 4 bytes the local sizes say; 7-Zip then finds the
        # record hidden in the rest.
        file_entry("f", b"good" + local_record("evil.sh", b"evil"), local_compress_size=4, local_file_size=4),
        file_entry("f", b"data" * 20, local_file_size=4),
        file_entry("f", b"data" * 20, local_crc32=0),
        file_entry("f", b"data", flags=0x0808, local_flags=0, local_crc32=0, local_compress_size=0,
                   local_file_size=0),
        directory("d/", local_method=8, payload=b"x"),
        file_entry("f", b"data", local_compress_size=0xFFFFFFFF, local_file_size=0xFFFFFFFF,
                   local_extra=b"\x01\x00\x10\x00" + (4).to_bytes(8, "little") + (5).to_bytes(8, "little")),
    ])
    def test_local_values_that_differ_are_refused(self, entry):
        assert refusal(build_zip([file_entry("first"), entry])) == PREFIX + "Invalid Local File Header signature"

    def test_local_extra_field_is_skipped(self):
        data = build_zip([file_entry("f", b"x", local_extra=b"\x01\x00\x04\x00abcd"), file_entry("g")])
        assert names(data) == ["f", "g"]

    def test_directory_local_header_is_checked_too(self):
        built = build([directory("d/")])
        assert refusal(set_local(built, 0, "signature", 0)) == PREFIX + "Invalid Local File Header signature"


def legacy(name: bytes, field: str | bytes, **fields) -> Entry:
    """An entry whose header name is `name` with a Unicode Path field saying `field`."""
    return file_entry(name, b"x", extra=unicode_path_extra(name, field, **fields))


LOCAL_TEXT = PREFIX + "Invalid Local File Header signature"
CENTRAL_TEXT = PREFIX + "Invalid Central Directory signature"


class TestOneNamePerEntry:
    """Streaming readers take the local header's name and readers that know
    the Unicode Path field take the field's (central or local, whatever its
    version): an entry named two ways is refused. A legacy name re-encoded
    in the field is one name: only segments the field spells in ASCII must
    be the header's."""

    @pytest.mark.parametrize("entry,text", [
        (file_entry("run.sh", b"x", mode=0o755, local_name=b"docs/readme.txt"), LOCAL_TEXT),
        (file_entry("run.sh", b"x", local_name=b"run.sH"), LOCAL_TEXT),
        (file_entry("run.sh", b"x", local_name=b"run.s"), LOCAL_TEXT),
        (Entry(b"a\xff", b"", local_name=b"a\xfe"), LOCAL_TEXT),         # one name only after replacement
        (directory("d/", local_name=b"e/"), LOCAL_TEXT),
        (legacy(b"repo/.git/hooks/post-checkout", "docs/readme.txt"), CENTRAL_TEXT),
        (legacy(b"bin/\xa7A", "lib/\u4f60"), CENTRAL_TEXT),              # an ASCII segment differs
        (legacy(b"\xa7A", "x/\u4f60"), CENTRAL_TEXT),                    # segments added
        (legacy(b"a/\xa7A", "\u4f60"), CENTRAL_TEXT),                    # segments taken away
        (legacy(b"ok", "ok\\..\\x"), CENTRAL_TEXT),
        # zipfile 3.12+, unzip and 7-Zip write run.sh with this payload.
        (legacy(b"\xe9", "run.sh"), CENTRAL_TEXT),
        (legacy(b"a.txt", "b.txt", version=2), CENTRAL_TEXT),
        (legacy(b"a.txt", ""), CENTRAL_TEXT),                            # 7-Zip names it after the archive
        # Non-ASCII segments that break the path rules.
        (legacy(b"\xe9\xe9\xe9", "C:\u00e9"), CENTRAL_TEXT),
        (legacy(b"\xe9\xe9\xe9\xe9", "\u00e9\\..\\x"), CENTRAL_TEXT),
        (legacy(b"\xe9\xe9\xe9", "\u00e9\x00"), CENTRAL_TEXT),
        # Not UTF-8: unzip drops the odd byte and writes run.sh.
        (legacy(b"\xe9", b"run\xff.sh"), CENTRAL_TEXT),
        (legacy(b"a.txt", b"b\xff"), CENTRAL_TEXT),
        (file_entry(b"\xe9", b"x", local_extra=unicode_path_extra(b"\xe9", b"run\xff.sh")), LOCAL_TEXT),
        # bsdtar writes the name of a field in the local header.
        (file_entry(b"\xe9", b"x", local_extra=unicode_path_extra(b"\xe9", "run.sh")), LOCAL_TEXT),
        (file_entry("a.txt", b"x", local_extra=unicode_path_extra(b"a.txt", "b.txt", version=0)), LOCAL_TEXT),
    ])
    def test_refused_naming_the_entry(self, entry, text):
        assert refusal(build_zip([file_entry("first", b"1"), entry])) == text

    @pytest.mark.parametrize("entry,listed", [
        # 7-Zip on Windows: Big5 in the header, whose trail bytes may be ASCII.
        (legacy(b"\xa7A\xa6n.txt", "\u4f60\u597d.txt"), "\ufffdA\ufffdn.txt"),
        (legacy(b"docs/\xa7A\xa6n.txt", "docs/\u4f60\u597d.txt"), "docs/\ufffdA\ufffdn.txt"),
        (legacy(b"same.txt", "same.txt"), "same.txt"),
        # Apache Commons Compress escapes what the code page lacks; Windows
        # tools write '?'.
        (legacy(b"caf%U00E9.txt", "caf\u00e9.txt"), "caf%U00E9.txt"),
        (legacy(b"caf?.txt", "caf\u00e9.txt"), "caf?.txt"),
        (legacy(b"d/caf%U00E9.txt", "d/caf\u00e9.txt", version=0), "d/caf%U00E9.txt"),
        (file_entry("caf?.txt", b"x", local_extra=unicode_path_extra(b"caf?.txt", "caf\u00e9.txt")), "caf?.txt"),
        (legacy(b"a.txt", b"b\xff", name_crc=0), "a.txt"),
        # Not for this name: not read.
        (legacy(b"a.txt", "b.txt", name_crc=0), "a.txt"),
        (file_entry("a.txt", b"x", local_extra=unicode_path_extra(b"a.txt", "b.txt", name_crc=0)), "a.txt"),
        (file_entry("a.txt", b"x", extra=unicode_path_extra(b"a.txt", "b.txt")[:-1]), "a.txt"),
        (file_entry("a.txt", b"x", extra=b"\x01\x00\x01\x00z" + unicode_path_extra(b"a.txt", "a.txt")), "a.txt"),
    ])
    def test_read_under_the_header_name(self, entry, listed):
        assert names(build_zip([entry])) == [listed]


class TestLocalRecordsApart:
    """Every entry's local record (header, name, extra field, data) stands
    apart and before the central directory: one hidden inside another
    entry's data or a comment would be extracted yet be invisible to a
    reader that walks the local headers. Data may run on to the end."""

    @staticmethod
    def pointing_b_at(data: bytes, built, offset: int) -> bytes:
        return patch_u32(data, built.central_offsets[1] + CENTRAL["local_header_offset"], offset)

    def test_header_inside_another_entry_data(self):
        hidden = local_record("b", b"bee")
        built = build([file_entry("a", hidden), file_entry("b", b"bee")])
        data = self.pointing_b_at(built.data, built, built.local_offsets[0] + 31)
        assert refusal(data) == LOCAL_TEXT

    @pytest.mark.parametrize("reach,refused", [(-1, False), (0, False), (1, True), (6, True)])
    def test_header_on_the_last_bytes_of_the_record_before(self, reach, refused):
        # The sizes of "a" reach `reach` bytes into the local header of "b".
        data = build_zip([file_entry("a", b"alpha", compress_size=5 + reach, file_size=5 + reach),
                          file_entry("b", b"beta")])
        if refused:
            assert refusal(data) == LOCAL_TEXT
        else:
            assert names(data) == ["a", "b"]

    @pytest.mark.parametrize("data", [
        # 7-Zip and stream-unzip extract a record no directory lists.
        build_zip([file_entry("a.txt", b"alpha")], prefix=local_record("evil.sh", b"evil")),
        build_zip([file_entry("a.txt", b"alpha"), file_entry("b.txt", b"beta", gap=local_record("evil.sh"))]),
        build_zip([file_entry("a.txt", b"alpha", flags=0x0808),
                   file_entry("b.txt", b"beta", gap=b"PK\x07\x08" + bytes(12) + local_record("evil.sh"))]),
        build_zip([file_entry("a.txt", b"alpha", gap=b"#!/bin/sh\n" + local_record("evil.sh"))]),
        local_record("evil.sh", b"evil") + end_record(cd_offset=len(local_record("evil.sh", b"evil"))),
        # An empty end record appended, or one whose offset names a local
        # header: 7-Zip and stream-unzip extract every record.
        build_zip([file_entry("a.txt", b"alpha"), file_entry("b.txt", b"beta")]) + end_record(),
        build_zip([file_entry("a", b"x")], comment=end_record()),      # the nearer record, count 0
        b"#!/bin/sh\n" + local_record("evil.sh", b"evil") + end_record(cd_offset=10),
        build_zip([file_entry("a.txt", b"alpha")], prefix=b"#!/bin/sh\n") + end_record(),
    ])
    def test_local_header_no_directory_lists(self, data):
        assert refusal(data) == LOCAL_TEXT

    def test_local_header_before_the_directory(self):
        built = build([file_entry("a.txt", b"alpha")])
        start = built.central_offsets[0]
        hidden = local_record("evil.sh", b"evil")
        data = built.data[:start] + hidden + built.data[start:]
        data = patch_u32(data, len(data) - 6, start + len(hidden))
        assert refusal(data) == LOCAL_TEXT

    @pytest.mark.parametrize("data", [
        build_zip([file_entry("a.txt", b"alpha")], prefix=b"#!/bin/sh\nexit 0\n" + bytes(100)),
        build_zip([file_entry("a.txt", b"alpha"), file_entry("b.txt", b"beta", gap=bytes(64))]),
        build_zip([file_entry("a.txt", b"alpha", flags=0x0808, local_crc32=0, local_compress_size=0,
                              local_file_size=0),
                   file_entry("b.txt", b"beta", gap=b"PK\x07\x08" + bytes(12))]),
        # A signature whose header would run past the end parses for nobody.
        build_zip([file_entry("a.txt", b"alpha", gap=b"PK\x03\x04" + bytes(22) + b"\xff\xff" + bytes(2))]),
    ])
    def test_gaps_without_a_local_header(self, data):
        assert names(data) == ["a.txt"] or names(data) == ["a.txt", "b.txt"]

    def test_header_inside_a_comment(self):
        hidden = local_record("b", b"bee")
        built = build([file_entry("a", b"x", comment=hidden), file_entry("b", b"bee")], comment=hidden)
        # The record b had is no record any longer.
        data = patch_u32(built.data, built.local_offsets[1], 0)
        in_end_comment = self.pointing_b_at(data, built, built.end_offset + 22)
        in_central_comment = self.pointing_b_at(data, built, built.central_offsets[0] + 47)
        for data in (in_end_comment, in_central_comment):
            assert refusal(data) == LOCAL_TEXT

    def test_records_in_any_order_with_gaps_and_data_into_the_directory(self):
        built = build([file_entry("a", b"alpha"), file_entry("b", b"beta", gap=b"junk")])
        cd = built.central_offsets
        swapped = built.data[:cd[0]] + built.data[cd[1]:built.end_offset] + built.data[cd[0]:cd[1]]
        swapped += built.data[built.end_offset:]
        assert names(swapped) == ["b", "a"]
        into_directory = build_zip([file_entry("a", b"alpha"), file_entry("b", b"beta", compress_size=14)])
        assert names(into_directory) == ["a", "b"]


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
