// The Unicode Path extra field: the names it gives, and whether one names another path.

#include "archive/unicode_path.hpp"
#include "archive/records.hpp"
#include "common/crc32.hpp"
#include "common/path.hpp"

#include <algorithm>
#include <optional>

namespace quastor {

using namespace zip;

namespace {

bool is_ascii(std::string_view text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

} // namespace

std::vector<std::string> unicode_path_names(std::string_view name, Bytes extra)
{
    std::vector<std::string> names;
    std::optional<uint32_t> name_crc;
    while (extra.size() >= extra_block_header) {
        uint16_t const id = load_le16(extra.data());
        size_t const length = load_le16(extra.data() + 2);
        if (extra.size() - extra_block_header < length)
            break;
        Bytes const data = extra.subspan(extra_block_header, length);
        extra = extra.subspan(extra_block_header + length);
        if (id != unicode_path_field::id || length < unicode_path_field::name)
            continue;
        if (!name_crc)
            name_crc = crc32(Bytes(reinterpret_cast<uint8_t const*>(name.data()), name.size()));
        if (load_le32(data.data() + unicode_path_field::name_crc32) != *name_crc)
            continue;
        names.emplace_back(reinterpret_cast<char const*>(data.data()) + unicode_path_field::name,
            length - unicode_path_field::name);
    }
    return names;
}

// Tools that write a legacy code page in the header and the field's UTF-8
// differ only where the field's spelling is not ASCII: an ASCII name is
// spelled alike in every legacy code page, while a character the code page
// lacks comes out as '?', as an escape such as "%U00E9", or as double-byte
// codes whose trail bytes may be ASCII. "/" is never such a trail byte, so
// the segments line up.
bool names_another_path(std::string_view name, std::string_view field)
{
    if (field == name)
        return false;
    auto name_segments = path_segments(name);
    auto field_segments = path_segments(field);
    auto n = name_segments.begin();
    auto f = field_segments.begin();
    for (; n != name_segments.end() && f != field_segments.end(); ++n, ++f) {
        if (is_ascii(*f) && *n != *f)
            return true;
    }
    return n != name_segments.end() || f != field_segments.end();
}

} // namespace quastor
