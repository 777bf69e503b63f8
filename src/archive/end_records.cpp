// The end record, the ZIP64 records before it, and one directory for every reader.

#include "archive/end_records.hpp"
#include "archive/local_header.hpp"
#include "archive/records.hpp"

#include <algorithm>

namespace quastor {

using namespace zip;

namespace {

// The last position at or before `from` in `tail` where an end record
// signature stands.
std::optional<size_t> last_signature(Bytes tail, size_t from)
{
    for (size_t p = from + 1; p-- > 0;) {
        if (load_le32(tail.data() + p) == end_record::signature)
            return p;
    }
    return std::nullopt;
}

// The ZIP64 end record a locator right before the end record names by its
// offset, wherever it stands; nullopt where no locator or no record is there.
Result<std::optional<Zip64End>> find_named_zip64_end(ArchiveCursor& cursor, uint64_t end, uint64_t archive_size)
{
    if (end < zip64_locator::length)
        return std::nullopt;
    Bytes const locator = QUASTOR_TRY(cursor.read(end - zip64_locator::length, zip64_locator::length));
    if (load_le32(locator.data()) != zip64_locator::signature)
        return std::nullopt;
    uint64_t const at = load_le64(locator.data() + zip64_locator::end_record_offset);
    if (at > archive_size || archive_size - at < zip64_end_record::length)
        return std::nullopt;
    Bytes const r = QUASTOR_TRY(cursor.read(at, zip64_end_record::length));
    if (load_le32(r.data()) != zip64_end_record::signature)
        return std::nullopt;
    return Zip64End{at, load_le64(r.data() + zip64_end_record::entries_on_disk),
        load_le64(r.data() + zip64_end_record::total_entries), load_le64(r.data() + zip64_end_record::central_directory_size),
        load_le64(r.data() + zip64_end_record::central_directory_offset)};
}

bool repeats(Zip64End const& zip64, EndRecord const& end)
{
    return zip64.total_entries == end.count && zip64.entries_on_disk == end.count_on_disk
        && zip64.directory_size == end.directory_size && zip64.directory_offset == end.directory_offset;
}

// Readers that find the directory back from the end record by its size
// field, not by its offset field, must not find another directory than
// the one read here. Where the two fields agree, they do. Where they do
// not, such a reader finds an empty directory (size 0) or, where a central
// header signature stands, another directory, even where this one lists
// nothing; elsewhere it refuses the archive itself, and the offset field
// rules as always.
Result<void> check_size_field(ArchiveCursor& cursor, EndRecord const& end, std::optional<Zip64End> const& zip64)
{
    uint64_t before = end.offset;
    if (zip64) {
        // Readers that understand ZIP64 go by its record: it must say what
        // the end record says.
        if (zip64->directory_size != end.directory_size || zip64->directory_offset != end.directory_offset)
            return fail(QuastorError::invalid_zip("Invalid Central Directory signature"));
        before = zip64->offset;
    }
    if (end.directory_size > before)
        return {};
    uint64_t const by_size = before - end.directory_size;
    if (by_size == end.directory_offset)
        return {};
    // An empty directory differs from this one unless it lists nothing too.
    if (end.directory_size == 0 && end.count != 0)
        return fail(QuastorError::invalid_zip("Invalid Central Directory signature"));
    Bytes const at = QUASTOR_TRY(cursor.read(by_size, 4));
    if (load_le32(at.data()) == central_header::signature)
        return fail(QuastorError::invalid_zip("Invalid Central Directory signature"));
    return {};
}

} // namespace

Result<EndRecord> find_end_record(ArchiveBytes const& archive)
{
    uint64_t const n = archive.size();
    if (n < end_record::length)
        return fail(QuastorError::invalid_zip("File too short to be a ZIP file"));
    // The record may be followed by a comment of up to 65535 bytes.
    uint64_t const tail_offset = n - std::min<uint64_t>(n, end_record::length + end_record::search_window - 1);
    ReusableBuffer buffer;
    Bytes const tail = QUASTOR_TRY(archive.read(tail_offset, static_cast<size_t>(n - tail_offset), buffer));
    std::optional<size_t> const found = last_signature(tail, tail.size() - end_record::length);
    if (!found)
        return fail(QuastorError::invalid_zip("EOCD signature not found"));
    uint8_t const* record = tail.data() + *found;
    EndRecord end;
    end.offset = tail_offset + *found;
    end.directory_offset = load_le32(record + end_record::central_directory_offset);
    end.directory_size = load_le32(record + end_record::central_directory_size);
    end.count = load_le16(record + end_record::total_entries);
    end.count_on_disk = load_le16(record + end_record::entries_on_disk);
    size_t const comment_room = tail.size() - *found - end_record::length;
    end.comment_hides_another = load_le16(record + end_record::comment_length) > comment_room && *found > 0
        && last_signature(tail, *found - 1).has_value();
    return end;
}

Result<std::optional<Zip64End>> find_zip64_end(ArchiveCursor& cursor, uint64_t end)
{
    constexpr size_t both = zip64_end_record::length + zip64_locator::length;
    if (end < both)
        return std::nullopt;
    Bytes const found = QUASTOR_TRY(cursor.read(end - both, both));
    uint8_t const* r = found.data();
    uint8_t const* locator = r + zip64_end_record::length;
    if (load_le32(locator) != zip64_locator::signature || load_le32(r) != zip64_end_record::signature)
        return std::nullopt;
    return Zip64End{end - both, load_le64(r + zip64_end_record::entries_on_disk), load_le64(r + zip64_end_record::total_entries),
        load_le64(r + zip64_end_record::central_directory_size),
        load_le64(r + zip64_end_record::central_directory_offset)};
}

Result<void> check_one_directory(ArchiveCursor& cursor, EndRecord const& end, std::optional<Zip64End> const& zip64,
    uint64_t directory_end)
{
    if (end.count != 0) {
        if (zip64 && (zip64->total_entries != end.count || zip64->entries_on_disk != end.count_on_disk))
            return fail(QuastorError::invalid_zip("Invalid Central Directory signature"));
    }
    QUASTOR_TRY(check_size_field(cursor, end, zip64));
    uint64_t const n = cursor.size();
    // Readers that skip an end record whose comment does not fit read the
    // directory of an earlier one.
    if (end.comment_hides_another)
        return fail(QuastorError::invalid_zip("Invalid Central Directory signature"));
    // The locator's offset is where some readers find the ZIP64 end record,
    // wherever it stands: it must say what the end record says.
    std::optional<Zip64End> const named = QUASTOR_TRY(find_named_zip64_end(cursor, end.offset, n));
    if (named && named->total_entries > max_entry_count)
        return fail(QuastorError::archive_too_large("ZIP entry count exceeds ZIP32 limits"));
    if (named && !repeats(*named, end))
        return fail(QuastorError::invalid_zip("Invalid Central Directory signature"));
    // Readers that take every header they find, whatever the count, list
    // one more where a header follows the last one counted.
    if (n - directory_end >= 4) {
        Bytes const next = QUASTOR_TRY(cursor.read(directory_end, 4));
        if (load_le32(next.data()) == central_header::signature)
            return fail(QuastorError::invalid_zip("Invalid Central Directory signature"));
    }
    // A directory that lists nothing still leaves every record before the
    // end record to readers that walk the local headers (7-Zip reads a
    // whole archive, behind a stub too, before an empty end record appended
    // to it), and those before its offset, wherever that points.
    uint64_t const records_end = std::max(end.offset, std::min(end.directory_offset, n));
    if (end.count == 0 && QUASTOR_TRY(find_local_header(cursor, 0, records_end)))
        return fail(QuastorError::invalid_zip("Invalid Local File Header signature"));
    return {};
}

} // namespace quastor
