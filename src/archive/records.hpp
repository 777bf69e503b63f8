#pragma once

// The three ZIP records that quastor reads and writes, shared by the reader
// and the writer: signatures, fixed lengths, field offsets and the ZIP32
// limits that follow from the field widths. All integers are little-endian.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quastor::zip {

inline uint16_t load_le16(uint8_t const* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t load_le32(uint8_t const* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16)
        | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t load_le64(uint8_t const* p)
{
    return static_cast<uint64_t>(load_le32(p)) | (static_cast<uint64_t>(load_le32(p + 4)) << 32);
}

// Appends little-endian fields to a byte string, in record order.
class RecordWriter {
public:
    explicit RecordWriter(std::string& out) : out_(out) {}
    RecordWriter& u16(uint16_t v)
    {
        out_.push_back(static_cast<char>(v & 0xFF));
        out_.push_back(static_cast<char>(v >> 8));
        return *this;
    }
    RecordWriter& u32(uint32_t v)
    {
        u16(static_cast<uint16_t>(v & 0xFFFF));
        return u16(static_cast<uint16_t>(v >> 16));
    }
    RecordWriter& bytes(std::string_view v)
    {
        out_.append(v);
        return *this;
    }

private:
    std::string& out_;
};

namespace local_header {
constexpr uint32_t signature = 0x04034B50;
constexpr size_t length = 30; // + file name + extra field
constexpr size_t version_needed = 4;
constexpr size_t flags = 6;
constexpr size_t method = 8;
constexpr size_t mod_time = 10;
constexpr size_t mod_date = 12;
constexpr size_t crc32 = 14;
constexpr size_t compressed_size = 18;
constexpr size_t uncompressed_size = 22;
constexpr size_t name_length = 26;
constexpr size_t extra_length = 28;
} // namespace local_header

namespace central_header {
constexpr uint32_t signature = 0x02014B50;
constexpr size_t length = 46; // + file name + extra field + comment
constexpr size_t version_made_by = 4;
constexpr size_t version_needed = 6;
constexpr size_t flags = 8;
constexpr size_t method = 10;
constexpr size_t mod_time = 12;
constexpr size_t mod_date = 14;
constexpr size_t crc32 = 16;
constexpr size_t compressed_size = 20;
constexpr size_t uncompressed_size = 24;
constexpr size_t name_length = 28;
constexpr size_t extra_length = 30;
constexpr size_t comment_length = 32;
constexpr size_t disk_number_start = 34;
constexpr size_t internal_attr = 36;
constexpr size_t external_attr = 38;
constexpr size_t local_header_offset = 42;
} // namespace central_header

namespace end_record {
constexpr uint32_t signature = 0x06054B50;
constexpr size_t length = 22; // + archive comment
constexpr size_t disk_number = 4;
constexpr size_t central_directory_disk = 6;
constexpr size_t entries_on_disk = 8;
constexpr size_t total_entries = 10;
constexpr size_t central_directory_size = 12;
constexpr size_t central_directory_offset = 16;
constexpr size_t comment_length = 20;
// The backward search covers a record followed by a comment of up to 65535 bytes.
constexpr size_t search_window = 65536;
} // namespace end_record

// Stands immediately before the end record of a ZIP64 archive. Read only
// to refuse an archive whose real entry count lies beyond the end record,
// and to check that the ZIP64 end record repeats the end record's values.
namespace zip64_locator {
constexpr uint32_t signature = 0x07064B50;
constexpr size_t length = 20;
constexpr size_t end_record_offset = 8; // 64 bits
} // namespace zip64_locator

// The ZIP64 end record, between the central directory and the locator.
// Its 64-bit fields are what readers that understand ZIP64 go by.
namespace zip64_end_record {
constexpr uint32_t signature = 0x06064B50;
constexpr size_t length = 56; // + extensible data, which quastor never accepts
constexpr size_t record_size = 4; // 64 bits: the length less its first 12 bytes
constexpr size_t entries_on_disk = 24;
constexpr size_t total_entries = 32;
constexpr size_t central_directory_size = 40;
constexpr size_t central_directory_offset = 48;
} // namespace zip64_end_record

// The Unicode Path extra field: a UTF-8 name for readers that take the
// header's name as a legacy code page, valid while the CRC-32 it holds is
// that of the header's name bytes.
namespace unicode_path_field {
constexpr uint16_t id = 0x7075;
constexpr size_t version = 0;  // 8 bits: 1
constexpr size_t name_crc32 = 1;
constexpr size_t name = 5;     // UTF-8, to the end of the field
constexpr uint8_t current_version = 1;
} // namespace unicode_path_field

// The ZIP64 extended information extra field: the 64-bit values of the
// header's 32-bit fields that hold 0xFFFFFFFF, in the order uncompressed
// size, compressed size.
namespace zip64_extra_field {
constexpr uint16_t id = 0x0001;
} // namespace zip64_extra_field

// Each extra field block opens with its 16-bit id and 16-bit data length.
constexpr size_t extra_block_header = 4;

// What the writer puts into every entry. Apart from the field offsets of
// the same names, so that a bare name never silently means the value.
namespace written {
constexpr uint16_t version_needed = 20;
constexpr uint16_t version_made_by = 0x0314; // Unix, format 2.0
constexpr uint16_t flag_utf8_name = 0x0800;
constexpr uint16_t dos_time = 0x0000;
constexpr uint16_t dos_date = 0x0021; // 1 January 1980
} // namespace written

// General purpose flag bit 0, as read: the data is encrypted and reads as
// noise without the key.
constexpr uint16_t flag_encrypted = 0x0001;
// General purpose flag bit 3: the CRC-32 and sizes follow the data, in a
// data descriptor; the local header's may be zero.
constexpr uint16_t flag_data_descriptor = 0x0008;

constexpr uint16_t method_stored = 0;
constexpr uint16_t method_deflate = 8;
// The MS-DOS directory attribute, in the low half of external attributes.
constexpr uint32_t msdos_directory_attr = 0x10;

// ZIP32 limits.
constexpr uint64_t max_name_length = 0xFFFF;
constexpr uint64_t max_entry_size = 0xFFFFFFFF;
constexpr uint64_t max_offset = 0xFFFFFFFF;
constexpr uint64_t max_entry_count = 0xFFFF;
constexpr uint64_t max_central_directory_size = 0xFFFFFFFF;

// Unix file-type bits as they appear in the upper half of external attributes.
constexpr uint32_t mode_type_mask = 0170000;
constexpr uint32_t mode_fifo = 0010000;
constexpr uint32_t mode_directory = 0040000;
constexpr uint32_t mode_regular = 0100000;
constexpr uint32_t mode_symlink = 0120000;

// The upper byte of "version made by": the host whose attributes the
// external attributes hold. Readers take the Unix mode from a Unix host's;
// 7-Zip takes MS-DOS attributes from the hosts numbered 0, 6, 11 and 14,
// bsdtar from 0.
constexpr uint8_t host_unix = 3;
inline bool host_has_msdos_attributes(uint8_t host) { return host == 0 || host == 6 || host == 11 || host == 14; }

} // namespace quastor::zip
