#pragma once

// A minimal in-memory archive builder for the reading-side C++ tests:
// local headers and data, the central directory, the end record.

#include "archive/records.hpp"
#include "common/fd.hpp"

#include <cstdint>
#include <libdeflate.h>
#include <string>
#include <vector>

namespace quastor::testing {

struct TestEntry {
    std::string name = {};
    std::string data = {};  // uncompressed content
    uint16_t method = 0;    // 0 stores data, 8 deflates it
    uint32_t external_attr = 0100644u << 16;
    int64_t crc_override = -1;
    int64_t size_override = -1; // central uncompressed size
    std::string stored = {};    // filled by build: the bytes after the local header
};

inline std::string deflate_raw(std::string const& data)
{
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(6);
    std::string out(libdeflate_deflate_compress_bound(compressor, data.size()), '\0');
    size_t n = libdeflate_deflate_compress(compressor, data.data(), data.size(), out.data(), out.size());
    libdeflate_free_compressor(compressor);
    out.resize(n);
    return out;
}

inline uint32_t crc_of(std::string const& data) { return libdeflate_crc32(0, data.data(), data.size()); }

inline std::string build_archive(std::vector<TestEntry> entries)
{
    std::string out;
    zip::RecordWriter w(out);
    std::vector<uint32_t> offsets;
    for (auto& e : entries) {
        e.stored = e.method == 8 ? deflate_raw(e.data) : e.data;
        offsets.push_back(static_cast<uint32_t>(out.size()));
        // Flag bit 3, as a streaming writer sets it: the local CRC-32 and
        // sizes are zero, and read from the central directory only.
        w.u32(zip::local_header::signature).u16(20).u16(0x0808).u16(e.method).u16(0).u16(0x21);
        w.u32(0).u32(0).u32(0);
        w.u16(static_cast<uint16_t>(e.name.size())).u16(0).bytes(e.name).bytes(e.stored);
    }
    uint32_t const cd_offset = static_cast<uint32_t>(out.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        auto const& e = entries[i];
        uint32_t const crc = e.crc_override >= 0 ? static_cast<uint32_t>(e.crc_override) : crc_of(e.data);
        uint32_t const size = e.size_override >= 0 ? static_cast<uint32_t>(e.size_override)
                                                   : static_cast<uint32_t>(e.data.size());
        w.u32(zip::central_header::signature).u16(0x0314).u16(20).u16(0x0800).u16(e.method).u16(0).u16(0x21);
        w.u32(crc).u32(static_cast<uint32_t>(e.stored.size())).u32(size);
        w.u16(static_cast<uint16_t>(e.name.size())).u16(0).u16(0).u16(0).u16(0);
        w.u32(e.external_attr).u32(offsets[i]).bytes(e.name);
    }
    uint32_t const cd_size = static_cast<uint32_t>(out.size() - cd_offset);
    uint16_t const count = static_cast<uint16_t>(entries.size());
    w.u32(zip::end_record::signature).u16(0).u16(0).u16(count).u16(count).u32(cd_size).u32(cd_offset).u16(0);
    return out;
}

inline Bytes as_bytes(std::string const& s) { return {reinterpret_cast<uint8_t const*>(s.data()), s.size()}; }

} // namespace quastor::testing
