// The archive reader: the central directory, header by header.

#include "archive/archive.hpp"
#include "archive/end_records.hpp"
#include "archive/records.hpp"
#include "archive/unicode_path.hpp"
#include "common/text.hpp"

#include <algorithm>

namespace quastor {

using namespace zip;

Result<ZipArchive> ZipArchive::open(std::string const& path, CallInterruption* interruption)
{
    ZipArchive archive(QUASTOR_TRY(ArchiveBytes::open(path)));
    archive.entries_ = QUASTOR_TRY(parse_entries(archive.bytes_, interruption));
    return archive;
}

namespace {

// Reads the central directory header at `q`, moving `q` to its end.
Result<ZipEntry> read_central_header(ArchiveCursor& cursor, uint64_t& q)
{
    uint64_t const n = cursor.size();
    if (n - q < 4)
        return fail(QuastorError::io_unexpected_eof());
    Bytes const fixed = QUASTOR_TRY(cursor.read(q, static_cast<size_t>(std::min<uint64_t>(n - q, central_header::length))));
    uint8_t const* header = fixed.data();
    if (load_le32(header) != central_header::signature)
        return fail(QuastorError::invalid_zip("Invalid Central Directory signature"));
    if (fixed.size() < central_header::length)
        return fail(QuastorError::io_unexpected_eof());
    ZipEntry entry;
    entry.version_made_by = load_le16(header + central_header::version_made_by);
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
    // Version needed, time, date, disk number and internal attributes are skipped.

    uint64_t const name_start = q + central_header::length;
    if (n - name_start < name_length)
        return fail(QuastorError::invalid_zip("ZIP entry exceeds archive bounds"));
    Bytes const name = QUASTOR_TRY(cursor.read(name_start, name_length));
    std::string_view const name_text(reinterpret_cast<char const*>(name.data()), name.size());
    entry.name = decode_utf8_lossy(name_text);
    if (entry.name != name_text)
        entry.name_bytes = name_text;
    size_t const tail_length = name_length + extra_length + comment_length;
    if (n - name_start < tail_length)
        return fail(QuastorError::invalid_zip("Central directory entry exceeds archive bounds"));
    entry.central_header_offset = q;
    if (extra_length != 0) {
        Bytes const extra = QUASTOR_TRY(cursor.read(name_start + name_length, extra_length));
        entry.unicode_paths = unicode_path_names(entry.header_name(), extra);
    }
    entry.is_dir = !entry.name.empty() && entry.name.back() == '/';
    q = name_start + tail_length;
    return entry;
}

} // namespace

Result<std::vector<ZipEntry>> ZipArchive::parse_entries(ArchiveBytes const& archive, CallInterruption* interruption)
{
    EndRecord const end = QUASTOR_TRY(find_end_record(archive));
    ArchiveCursor cursor(archive);
    std::optional<Zip64End> const zip64 = QUASTOR_TRY(find_zip64_end(cursor, end.offset));
    // A ZIP64 archive may hold more entries than the end record can count;
    // reading only the first 65535 would lose the rest unseen.
    if (zip64 && zip64->total_entries > max_entry_count)
        return fail(QuastorError::archive_too_large("ZIP entry count exceeds ZIP32 limits"));
    if (end.directory_offset > archive.size())
        return fail(QuastorError::invalid_zip("Central directory offset is outside the archive"));

    std::vector<ZipEntry> entries;
    entries.reserve(end.count);
    uint64_t q = end.directory_offset;
    for (uint32_t i = 0; i < end.count; ++i) {
        if (interruption != nullptr && interruption->interrupted())
            return fail(CallInterruption::error());
        entries.push_back(QUASTOR_TRY(read_central_header(cursor, q)));
    }
    QUASTOR_TRY(check_one_directory(cursor, end, zip64, q));
    return entries;
}

} // namespace quastor
