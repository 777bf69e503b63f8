#pragma once

// ZipEntry: one central directory entry as the reader found it.

#include "error.hpp"

#include <cstdint>
#include <string>
#include <string_view>

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
    bool is_dir = false; // the name's last byte is '/'
    // The header's name bytes where they are not valid UTF-8 (and so differ
    // from `name`); empty where `name` holds them.
    std::string name_bytes;
    uint64_t central_header_offset = 0;
    // A well-formed Unicode Path extra field names another path than the
    // header's name: readers that take the field would write another file.
    bool unicode_path_differs = false;

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

    // The Unix mode (type and permission bits) kept in the upper half of
    // the external attributes; 0 where none was recorded.
    uint32_t unix_mode() const { return external_attr >> 16; }

    // The central header's name bytes.
    std::string_view header_name() const { return name_bytes.empty() ? name : name_bytes; }
};

} // namespace quastor
