#pragma once

// ZipEntry: one central directory entry as the reader found it.

#include "error.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quastor {

class ArchiveCursor;

// One central directory file header as read. A plain value: it holds no
// reference to the archive's bytes.
struct ZipEntry {
    std::string name; // UTF-8, invalid sequences replaced by U+FFFD
    uint64_t local_header_offset = 0;
    uint64_t compressed_size = 0;
    uint64_t uncompressed_size = 0;
    uint32_t crc32 = 0;
    uint32_t external_attr = 0;
    uint16_t method = 0;
    uint16_t flags = 0;
    uint16_t version_made_by = 0; // its upper byte names the host (records.hpp)
    bool is_dir = false; // the name's last byte is '/'
    // The header's name bytes where they are not valid UTF-8 (and so differ
    // from `name`); empty where `name` holds them.
    std::string name_bytes;
    uint64_t central_header_offset = 0;
    // The names that Unicode Path extra fields of the central header give,
    // where they hold the CRC-32 of its name: readers that know the field
    // write the entry under such a name. Usually none.
    std::vector<std::string> unicode_paths;

    // The local header functions are defined in local_header.cpp.

    // Where the entry's compressed data (compressed_size bytes) starts in an
    // archive of `archive_size` bytes, judged from its local file header,
    // which is read through `cursor`. InvalidZip for a header out of bounds
    // or without its signature; Io when the file has shrunk meanwhile.
    Result<uint64_t> locate_data(ArchiveCursor& cursor, uint64_t archive_size) const;

    // InvalidZip "Invalid Local File Header signature" when the local
    // header, whose bounds locate_data has passed, names the entry with
    // other bytes than its central header: streaming readers go by the
    // local name. Io when the file has shrunk meanwhile.
    Result<void> check_local_name(ArchiveCursor& cursor) const;

    // The names that Unicode Path extra fields of the local header give,
    // where they hold the CRC-32 of its name. Io when the file has shrunk.
    Result<std::vector<std::string>> local_unicode_paths(ArchiveCursor& cursor) const;

    // Whether the local header names the same method as the central one
    // (for a directory without data, any), and, where no data descriptor
    // follows (its flag bit 3 clear), the same CRC-32 and sizes, 64-bit
    // sizes taken from its ZIP64 extra field: readers that go by the local
    // header read those. Io when the file has shrunk meanwhile.
    Result<bool> local_fields_agree(ArchiveCursor& cursor) const;

    // The Unix mode (type and permission bits) kept in the upper half of
    // the external attributes; 0 where none was recorded.
    uint32_t unix_mode() const { return external_attr >> 16; }

    // The central header's name bytes.
    std::string_view header_name() const { return name_bytes.empty() ? name : name_bytes; }
};

} // namespace quastor
