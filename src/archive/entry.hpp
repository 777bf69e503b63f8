#pragma once

#include "common/fd.hpp"
#include "error.hpp"

#include <cstdint>
#include <string>

namespace quastor {

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

    // The entry's stored data inside the whole archive, located through its
    // local file header. Pure; safe to call from any thread.
    Result<Bytes> data(Bytes archive) const;
};

} // namespace quastor
