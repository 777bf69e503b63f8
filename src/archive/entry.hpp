#pragma once

// ZipEntry: one central directory entry as the reader found it.

#include "error.hpp"

#include <cstdint>
#include <string>

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

    // Where the entry's compressed data (compressed_size bytes) starts in an
    // archive of `archive_size` bytes, judged from its local file header,
    // which is read through `cursor`. InvalidZip for a header out of bounds
    // or without its signature; Io when the file has shrunk meanwhile.
    Result<uint64_t> locate_data(ArchiveCursor& cursor, uint64_t archive_size) const;
};

} // namespace quastor
