// The archive reader: end record, central directory and local headers.

#include "archive/archive.hpp"
#include "archive/records.hpp"
#include "common/text.hpp"

#include <optional>

namespace quastor {

using namespace zip;

Result<ZipArchive> ZipArchive::open(std::string const& path, CallInterruption* interruption)
{
    ZipArchive archive(QUASTOR_TRY(ArchiveBytes::open(path)));
    archive.entries_ = QUASTOR_TRY(parse_entries(archive.bytes_, interruption));
    return archive;
}

namespace {

// The end record nearest the end of `tail`, the archive's last bytes; nothing
// else about the candidate is tested, so a signature inside a trailing
// comment wins.
std::optional<size_t> find_end_record(Bytes tail)
{
    for (size_t p = tail.size() - end_record::length + 1; p-- > 0;) {
        if (load_le32(tail.data() + p) == end_record::signature)
            return p;
    }
    return std::nullopt;
}

// Where the central directory must end for every reader to find the same
// one: at the end record, or, where a ZIP64 locator precedes it, at the
// ZIP64 end record just before the locator, which must then repeat the end
// record's counts, size and offset (ZIP64 readers go by its values).
Result<uint64_t> directory_end(ArchiveCursor& cursor, uint64_t end, uint64_t directory_offset, uint64_t directory_size,
    uint16_t count)
{
    constexpr size_t both = zip64_end_record::length + zip64_locator::length;
    if (end < zip64_locator::length)
        return end;
    Bytes const locator = QUASTOR_TRY(cursor.read(end - zip64_locator::length, zip64_locator::length));
    if (load_le32(locator.data()) != zip64_locator::signature)
        return end;
    uint64_t const record_offset = end - both;
    if (end < both || load_le64(locator.data() + zip64_locator::end_record_offset) != record_offset)
        return fail(QuastorError::invalid_zip("Invalid Central Directory signature"));
    Bytes const record = QUASTOR_TRY(cursor.read(record_offset, zip64_end_record::length));
    uint8_t const* r = record.data();
    if (load_le32(r) != zip64_end_record::signature
        || load_le64(r + zip64_end_record::record_size) != zip64_end_record::length - 12
        || load_le64(r + zip64_end_record::entries_on_disk) != count
        || load_le64(r + zip64_end_record::total_entries) != count
        || load_le64(r + zip64_end_record::central_directory_size) != directory_size
        || load_le64(r + zip64_end_record::central_directory_offset) != directory_offset)
        return fail(QuastorError::invalid_zip("Invalid Central Directory signature"));
    return record_offset;
}

} // namespace

Result<std::vector<ZipEntry>> ZipArchive::parse_entries(ArchiveBytes const& archive, CallInterruption* interruption)
{
    uint64_t const n = archive.size();
    if (n < end_record::length)
        return fail(QuastorError::invalid_zip("File too short to be a ZIP file"));
    // The record may be followed by a comment of up to 65535 bytes.
    uint64_t const tail_offset = n - std::min<uint64_t>(n, end_record::length + end_record::search_window - 1);
    ReusableBuffer tail_buffer;
    Bytes const tail = QUASTOR_TRY(archive.read(tail_offset, static_cast<size_t>(n - tail_offset), tail_buffer));
    std::optional<size_t> found = find_end_record(tail);
    if (!found)
        return fail(QuastorError::invalid_zip("EOCD signature not found"));
    uint8_t const* record = tail.data() + *found;
    uint64_t const end = tail_offset + *found;
    // Disk numbers and the comment length are not read.
    uint64_t const directory_offset = load_le32(record + end_record::central_directory_offset);
    uint64_t const directory_size = load_le32(record + end_record::central_directory_size);
    uint16_t const count = load_le16(record + end_record::total_entries);
    uint16_t const count_on_disk = load_le16(record + end_record::entries_on_disk);

    ArchiveCursor cursor(archive);
    // A ZIP64 archive keeps its real entry count elsewhere and writes 0xFFFF
    // here; reading only the first 65535 entries would lose the rest unseen.
    if (count == max_entry_count && end >= zip64_locator::length) {
        Bytes locator = QUASTOR_TRY(cursor.read(end - zip64_locator::length, 4));
        if (load_le32(locator.data()) == zip64_locator::signature)
            return fail(QuastorError::archive_too_large("ZIP entry count exceeds ZIP32 limits"));
    }
    if (directory_offset > n)
        return fail(QuastorError::invalid_zip("Central directory offset is outside the archive"));

    std::vector<ZipEntry> entries;
    entries.reserve(count);
    uint64_t q = directory_offset;
    for (uint32_t i = 0; i < count; ++i) {
        if (interruption != nullptr && interruption->interrupted())
            return fail(CallInterruption::error());
        if (n - q < 4)
            return fail(QuastorError::io_unexpected_eof());
        Bytes const fixed = QUASTOR_TRY(cursor.read(q, static_cast<size_t>(std::min<uint64_t>(n - q, central_header::length))));
        uint8_t const* header = fixed.data();
        if (load_le32(header) != central_header::signature)
            return fail(QuastorError::invalid_zip("Invalid Central Directory signature"));
        if (fixed.size() < central_header::length)
            return fail(QuastorError::io_unexpected_eof());
        ZipEntry entry;
        entry.flags = load_le16(header + central_header::flags);
        entry.method = load_le16(header + central_header::method);
        entry.crc32 = load_le32(header + central_header::crc32);
        entry.compressed_size = load_le32(header + central_header::compressed_size);
        entry.uncompressed_size = load_le32(header + central_header::uncompressed_size);
        size_t const name_length = load_le16(header + central_header::name_length);
        size_t const extra_length = load_le16(header + central_header::extra_length);
        size_t const comment_length = load_le16(header + central_header::comment_length);
        entry.external_attr = load_le32(header + central_header::external_attr);
        entry.local_header_offset = load_le32(header + central_header::local_header_offset);
        // Version fields, time, date, disk number and internal attributes are skipped.

        uint64_t const name_start = q + central_header::length;
        if (n - name_start < name_length)
            return fail(QuastorError::invalid_zip("ZIP entry exceeds archive bounds"));
        Bytes const name = QUASTOR_TRY(cursor.read(name_start, name_length));
        entry.name = decode_utf8_lossy(std::string_view(reinterpret_cast<char const*>(name.data()), name.size()));
        size_t const tail_length = name_length + extra_length + comment_length;
        if (n - name_start < tail_length)
            return fail(QuastorError::invalid_zip("Central directory entry exceeds archive bounds"));
        entry.is_dir = !entry.name.empty() && entry.name.back() == '/';
        entries.push_back(std::move(entry));
        q = name_start + tail_length;
    }
    // Readers that walk the directory by its size, or locate it back from
    // the end record, must find exactly the entries read here: a directory
    // that overruns its end, leaves bytes before it, disagrees with its
    // recorded size or has two different counts is refused rather than read
    // one way here and another way elsewhere.
    if (count_on_disk != count)
        return fail(QuastorError::invalid_zip("Invalid Central Directory signature"));
    uint64_t const must_end = QUASTOR_TRY(directory_end(cursor, end, directory_offset, directory_size, count));
    if (count != 0 && q > must_end)
        return fail(QuastorError::invalid_zip("Central directory entry exceeds archive bounds"));
    if (q != must_end || q - directory_offset != directory_size)
        return fail(QuastorError::invalid_zip("Invalid Central Directory signature"));
    return entries;
}

Result<uint64_t> ZipEntry::locate_data(ArchiveCursor& cursor, uint64_t archive_size) const
{
    uint64_t const n = archive_size;
    uint64_t const o = local_header_offset;
    if (o > n || n - o < local_header::length)
        return fail(QuastorError::invalid_zip("ZIP entry exceeds archive bounds"));
    Bytes const fixed = QUASTOR_TRY(cursor.read(o, local_header::length));
    uint8_t const* header = fixed.data();
    if (load_le32(header) != local_header::signature)
        return fail(QuastorError::invalid_zip("Invalid Local File Header signature"));
    // Method, sizes and CRC-32 come from the central directory: the local
    // header's may be zero when a data descriptor follows the data.
    uint64_t const start = o + local_header::length + load_le16(header + local_header::name_length)
        + load_le16(header + local_header::extra_length);
    if (start > n)
        return fail(QuastorError::invalid_zip("Local file header exceeds archive bounds"));
    if (n - start < compressed_size)
        return fail(QuastorError::invalid_zip("ZIP entry exceeds archive bounds"));
    return start;
}

} // namespace quastor
