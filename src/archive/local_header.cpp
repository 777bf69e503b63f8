// Local file headers: an entry's own, its bounds, name and fields, and those
// that stand where no entry points.

#include "archive/local_header.hpp"
#include "archive/entry.hpp"
#include "archive/records.hpp"
#include "archive/unicode_path.hpp"

#include <algorithm>

namespace quastor {

using namespace zip;

namespace {

// The local header's sizes, with a ZIP64 extra field's 64-bit values in
// place of those that hold 0xFFFFFFFF, in the field's order.
struct LocalSizes {
    uint64_t compressed;
    uint64_t uncompressed;
};

LocalSizes local_sizes(uint8_t const* header, Bytes extra)
{
    LocalSizes sizes{load_le32(header + local_header::compressed_size), load_le32(header + local_header::uncompressed_size)};
    while (extra.size() >= extra_block_header) {
        uint16_t const id = load_le16(extra.data());
        size_t const length = load_le16(extra.data() + 2);
        if (extra.size() - extra_block_header < length)
            break;
        Bytes data = extra.subspan(extra_block_header, length);
        extra = extra.subspan(extra_block_header + length);
        if (id != zip64_extra_field::id)
            continue;
        for (uint64_t* size : {&sizes.uncompressed, &sizes.compressed}) {
            if (*size != max_entry_size || data.size() < 8)
                continue;
            *size = load_le64(data.data());
            data = data.subspan(8);
        }
        break;
    }
    return sizes;
}

} // namespace

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

Result<std::vector<std::string>> ZipEntry::local_unicode_paths(ArchiveCursor& cursor) const
{
    Bytes const fixed = QUASTOR_TRY(cursor.read(local_header_offset, local_header::length));
    size_t const extra_length = load_le16(fixed.data() + local_header::extra_length);
    if (extra_length == 0)
        return std::vector<std::string>{};
    // The local name is the header's, as check_local_name found.
    uint64_t const extra_start = local_header_offset + local_header::length + header_name().size();
    Bytes const extra = QUASTOR_TRY(cursor.read(extra_start, extra_length));
    return unicode_path_names(header_name(), extra);
}

Result<bool> ZipEntry::local_fields_agree(ArchiveCursor& cursor) const
{
    Bytes const fixed = QUASTOR_TRY(cursor.read(local_header_offset, local_header::length));
    uint8_t const* header = fixed.data();
    bool const without_data = is_dir && compressed_size == 0;
    if (load_le16(header + local_header::method) != method && !without_data)
        return false;
    if ((load_le16(header + local_header::flags) & flag_data_descriptor) != 0)
        return true;
    uint32_t const crc = load_le32(header + local_header::crc32);
    size_t const extra_length = load_le16(header + local_header::extra_length);
    uint64_t const extra_start = local_header_offset + local_header::length + header_name().size();
    // The fixed part is copied out: reading the extra field may move the window.
    uint8_t copy[local_header::length];
    std::copy(fixed.begin(), fixed.end(), copy);
    Bytes const extra = QUASTOR_TRY(cursor.read(extra_start, extra_length));
    LocalSizes const sizes = local_sizes(copy, extra);
    return crc == crc32 && sizes.compressed == compressed_size && sizes.uncompressed == uncompressed_size;
}

Result<bool> find_local_header(ArchiveCursor& cursor, uint64_t begin, uint64_t end)
{
    uint64_t const n = cursor.size();
    end = std::min(end, n);
    constexpr size_t chunk = size_t{64} << 10;
    for (uint64_t at = begin; at < end && n - at >= 4;) {
        // Each chunk reaches 3 bytes past its positions, so that no
        // signature is split between two.
        size_t const positions = static_cast<size_t>(std::min<uint64_t>(end - at, chunk));
        size_t const length = static_cast<size_t>(std::min<uint64_t>(positions + 3, n - at));
        Bytes const bytes = QUASTOR_TRY(cursor.read(at, length));
        std::vector<uint64_t> found;
        for (size_t p = 0; p + 4 <= bytes.size() && p < positions; ++p) {
            if (load_le32(bytes.data() + p) == local_header::signature)
                found.push_back(at + p);
        }
        for (uint64_t p : found) {
            if (n - p < local_header::length)
                continue;
            Bytes const header = QUASTOR_TRY(cursor.read(p, local_header::length));
            uint64_t const tail = uint64_t{load_le16(header.data() + local_header::name_length)}
                + load_le16(header.data() + local_header::extra_length);
            if (n - p - local_header::length >= tail)
                return true;
        }
        at += positions;
    }
    return false;
}

} // namespace quastor
