// The archive reader: end record, central directory and local headers.

#include "archive/archive.hpp"
#include "archive/records.hpp"
#include "common/crc32.hpp"
#include "common/path.hpp"
#include "common/text.hpp"

#include <algorithm>
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

// A ZIP64 end record and its locator, as they stand between the central
// directory and the end record.
struct Zip64End {
    uint64_t offset; // where the ZIP64 end record starts
    uint64_t entries_on_disk;
    uint64_t total_entries;
    uint64_t directory_size;
    uint64_t directory_offset;
};

// The ZIP64 end record that readers which understand ZIP64 take: a locator
// signature right before the end record and a ZIP64 end record signature
// right before the locator (some readers look there whatever the locator's
// offset says). A locator signature alone is no locator: it may be the last
// bytes of an entry's name.
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

// Readers that find the directory back from the end record by its size
// field, not by its offset field, must not find another directory than
// the one read here. Where the two fields agree, they do. Where they do
// not, such a reader finds an empty directory (size 0) or, where a central
// header signature stands, another directory; elsewhere it refuses the
// archive itself, and the offset field rules as always.
Result<void> check_one_directory(ArchiveCursor& cursor, uint64_t end, uint64_t directory_offset,
    uint64_t directory_size, std::optional<Zip64End> const& zip64)
{
    if (zip64) {
        // Readers that understand ZIP64 go by its record: it must say what
        // the end record says.
        if (zip64->directory_size != directory_size || zip64->directory_offset != directory_offset)
            return fail(QuastorError::invalid_zip("Invalid Central Directory signature"));
        end = zip64->offset;
    }
    if (directory_size > end)
        return {};
    uint64_t const by_size = end - directory_size;
    if (by_size == directory_offset)
        return {};
    if (directory_size == 0)
        return fail(QuastorError::invalid_zip("Invalid Central Directory signature"));
    Bytes const at = QUASTOR_TRY(cursor.read(by_size, 4));
    if (load_le32(at.data()) == central_header::signature)
        return fail(QuastorError::invalid_zip("Invalid Central Directory signature"));
    return {};
}

bool is_ascii(std::string_view text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Whether `field`, a Unicode Path name, names another path than `name`, the
// header's name bytes. Tools that write a legacy code page in the header
// and UTF-8 in the field differ only inside segments holding non-ASCII
// bytes: "/" is never a trail byte of the legacy double-byte code pages,
// but other ASCII bytes are, so only a segment made of ASCII alone must
// read the same both ways.
bool names_another_path(std::string_view name, std::string_view field)
{
    if (field == name)
        return false;
    auto name_segments = path_segments(name);
    auto field_segments = path_segments(field);
    auto n = name_segments.begin();
    auto f = field_segments.begin();
    for (; n != name_segments.end() && f != field_segments.end(); ++n, ++f) {
        if (is_ascii(*n) && *n != *f)
            return true;
    }
    return n != name_segments.end() || f != field_segments.end();
}

// Whether the extra field holds a well-formed Unicode Path field (version 1,
// the CRC-32 of the header's name, a non-empty UTF-8 name) that names
// another path. A block running past the extra field ends the walk; a
// field that is not well-formed is not read.
bool unicode_path_differs(std::string_view name, Bytes extra)
{
    std::optional<uint32_t> name_crc;
    while (extra.size() >= extra_block_header) {
        uint16_t const id = load_le16(extra.data());
        size_t const length = load_le16(extra.data() + 2);
        if (extra.size() - extra_block_header < length)
            return false;
        Bytes const data = extra.subspan(extra_block_header, length);
        extra = extra.subspan(extra_block_header + length);
        if (id != unicode_path_field::id || length <= unicode_path_field::name
            || data[unicode_path_field::version] != unicode_path_field::current_version)
            continue;
        if (!name_crc)
            name_crc = crc32(Bytes(reinterpret_cast<uint8_t const*>(name.data()), name.size()));
        std::string_view const field(
            reinterpret_cast<char const*>(data.data()) + unicode_path_field::name, length - unicode_path_field::name);
        if (load_le32(data.data() + unicode_path_field::name_crc32) == *name_crc && is_valid_utf8(field)
            && names_another_path(name, field))
            return true;
    }
    return false;
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
    // Disk numbers and the comment length are not read; the size field and
    // the count on this disk only serve to compare with what other readers
    // would take.
    uint64_t const directory_offset = load_le32(record + end_record::central_directory_offset);
    uint64_t const directory_size = load_le32(record + end_record::central_directory_size);
    uint16_t const count = load_le16(record + end_record::total_entries);
    uint16_t const count_on_disk = load_le16(record + end_record::entries_on_disk);

    ArchiveCursor cursor(archive);
    std::optional<Zip64End> const zip64 = QUASTOR_TRY(find_zip64_end(cursor, end));
    // A ZIP64 archive may hold more entries than the end record can count;
    // reading only the first 65535 would lose the rest unseen.
    if (zip64 && zip64->total_entries > max_entry_count)
        return fail(QuastorError::archive_too_large("ZIP entry count exceeds ZIP32 limits"));
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
            entry.unicode_path_differs = unicode_path_differs(entry.header_name(), extra);
        }
        entry.is_dir = !entry.name.empty() && entry.name.back() == '/';
        entries.push_back(std::move(entry));
        q = name_start + tail_length;
    }
    if (count != 0) {
        if (zip64 && (zip64->total_entries != count || zip64->entries_on_disk != count_on_disk))
            return fail(QuastorError::invalid_zip("Invalid Central Directory signature"));
        QUASTOR_TRY(check_one_directory(cursor, end, directory_offset, directory_size, zip64));
    }
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

Result<void> ZipEntry::check_local_name(ArchiveCursor& cursor) const
{
    Bytes const fixed = QUASTOR_TRY(cursor.read(local_header_offset, local_header::length));
    size_t const length = load_le16(fixed.data() + local_header::name_length);
    std::string_view const expected = header_name();
    if (length != expected.size())
        return fail(QuastorError::invalid_zip("Invalid Local File Header signature"));
    Bytes const local = QUASTOR_TRY(cursor.read(local_header_offset + local_header::length, length));
    if (std::string_view(reinterpret_cast<char const*>(local.data()), local.size()) != expected)
        return fail(QuastorError::invalid_zip("Invalid Local File Header signature"));
    return {};
}

} // namespace quastor
