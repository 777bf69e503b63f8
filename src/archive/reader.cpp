#include "archive/archive.hpp"
#include "archive/records.hpp"
#include "common/text.hpp"

#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>

namespace quastor {

using namespace zip;

Result<ZipArchive> ZipArchive::open(std::string const& path)
{
    // The descriptor is only needed to create the mapping; it closes on
    // every return path when `fd` goes out of scope.
    UniqueFd fd = QUASTOR_TRY(open_file(path, O_RDONLY));
    struct stat status;
    if (::fstat(fd.get(), &status) != 0)
        return fail(QuastorError::io(errno));
    ZipArchive archive;
    archive.mapping_ = QUASTOR_TRY(Mapping::map(fd.get(), static_cast<uint64_t>(status.st_size)));
    archive.entries_ = QUASTOR_TRY(parse_entries(archive.mapping_.bytes()));
    return archive;
}

namespace {

// The end record nearest the end of the archive; nothing else about the
// candidate is tested, so a signature inside a trailing comment wins.
std::optional<size_t> find_end_record(Bytes archive)
{
    size_t const n = archive.size();
    size_t const last = n - end_record::length;
    size_t const first = n > end_record::length + end_record::search_window - 1
        ? n - end_record::length - (end_record::search_window - 1)
        : 0;
    for (size_t p = last + 1; p-- > first;) {
        if (load_le32(archive.data() + p) == end_record::signature)
            return p;
    }
    return std::nullopt;
}

} // namespace

Result<std::vector<ZipEntry>> ZipArchive::parse_entries(Bytes archive)
{
    size_t const n = archive.size();
    if (n < end_record::length)
        return fail(QuastorError::invalid_zip("File too short to be a ZIP file"));
    std::optional<size_t> end = find_end_record(archive);
    if (!end)
        return fail(QuastorError::invalid_zip("EOCD signature not found"));
    uint8_t const* record = archive.data() + *end;
    // Disk numbers, the on-this-disk count, the directory size and the
    // comment length are not read.
    uint64_t const directory_offset = load_le32(record + end_record::central_directory_offset);
    uint16_t const count = load_le16(record + end_record::total_entries);
    if (directory_offset > n)
        return fail(QuastorError::invalid_zip("Central directory offset is outside the archive"));

    std::vector<ZipEntry> entries;
    entries.reserve(count);
    size_t q = static_cast<size_t>(directory_offset);
    for (uint32_t i = 0; i < count; ++i) {
        if (n - q < 4)
            return fail(QuastorError::io_unexpected_eof());
        uint8_t const* header = archive.data() + q;
        if (load_le32(header) != central_header::signature)
            return fail(QuastorError::invalid_zip("Invalid Central Directory signature"));
        if (n - q < central_header::length)
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

        size_t const name_start = q + central_header::length;
        if (n - name_start < name_length)
            return fail(QuastorError::invalid_zip("ZIP entry exceeds archive bounds"));
        entry.name = decode_utf8_lossy(
            std::string_view(reinterpret_cast<char const*>(archive.data() + name_start), name_length));
        size_t const tail = name_length + extra_length + comment_length;
        if (n - name_start < tail)
            return fail(QuastorError::invalid_zip("Central directory entry exceeds archive bounds"));
        entry.is_dir = !entry.name.empty() && entry.name.back() == '/';
        entries.push_back(std::move(entry));
        q = name_start + tail;
    }
    return entries;
}

Result<Bytes> ZipEntry::data(Bytes archive) const
{
    uint64_t const n = archive.size();
    uint64_t const o = local_header_offset;
    if (o > n || n - o < local_header::length)
        return fail(QuastorError::invalid_zip("ZIP entry exceeds archive bounds"));
    uint8_t const* header = archive.data() + o;
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
    return archive.subspan(static_cast<size_t>(start), static_cast<size_t>(compressed_size));
}

} // namespace quastor
