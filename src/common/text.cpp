// UTF-8 decoding with replacement, validation, and the quoted forms of names.

#include "common/text.hpp"

#include <cstdint>
#include <cstdio>
#include <utf8proc.h>

namespace quastor {

namespace {

constexpr std::string_view replacement_character = "\xEF\xBF\xBD";

// Length of the valid sequence at the start of bytes, or 0 with `consumed`
// set to the length of the maximal invalid subpart (at least 1). The second
// byte's range depends on the lead byte; that is what excludes overlong
// forms, surrogates and code points above U+10FFFF.
size_t valid_sequence_length(std::string_view bytes, size_t& consumed)
{
    auto byte = [&](size_t i) { return static_cast<uint8_t>(bytes[i]); };
    uint8_t lead = byte(0);
    if (lead < 0x80)
        return 1;
    size_t length;
    uint8_t low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;
        else if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F;
    } else {
        consumed = 1;
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if (i >= bytes.size()) {
            consumed = i;
            return 0;
        }
        uint8_t continuation = byte(i);
        if (continuation < low || continuation > high) {
            consumed = i;
            return 0;
        }
        low = 0x80;
        high = 0xBF;
    }
    return length;
}

bool is_printable(int32_t code_point)
{
    if (code_point < 0x80)
        return code_point >= 0x20 && code_point != 0x7F;
    utf8proc_property_t const* property = utf8proc_get_property(code_point);
    if (property->boundclass == UTF8PROC_BOUNDCLASS_EXTEND)
        return false;
    switch (property->category) {
    case UTF8PROC_CATEGORY_CC:
    case UTF8PROC_CATEGORY_CF:
    case UTF8PROC_CATEGORY_CO:
    case UTF8PROC_CATEGORY_CS:
    case UTF8PROC_CATEGORY_CN:
    case UTF8PROC_CATEGORY_ZS:
    case UTF8PROC_CATEGORY_ZL:
    case UTF8PROC_CATEGORY_ZP:
        return false;
    default:
        return true;
    }
}

// The quoted form, or with `in_quotes` false the same escapes of what does
// not print, leaving quotes and backslashes as they are.
std::string quoted(std::string_view text, bool escape_single_quote, bool in_quotes = true)
{
    std::string out;
    out.reserve(text.size() + 2);
    if (in_quotes)
        out.push_back('"');
    utf8proc_ssize_t offset = 0;
    auto const* data = reinterpret_cast<utf8proc_uint8_t const*>(text.data());
    auto const size = static_cast<utf8proc_ssize_t>(text.size());
    while (offset < size) {
        utf8proc_int32_t code_point;
        utf8proc_ssize_t length = utf8proc_iterate(data + offset, size - offset, &code_point);
        if (length <= 0) {
            // Names are decoded with replacement before they get here; a
            // stray byte still must not reach a message raw, so it reads as
            // decode_utf8_lossy would show it.
            size_t consumed = 1;
            valid_sequence_length(text.substr(static_cast<size_t>(offset)), consumed);
            out.append(replacement_character);
            offset += static_cast<utf8proc_ssize_t>(consumed);
            continue;
        }
        switch (code_point) {
        case 0: out += "\\0"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        case '\\': out += in_quotes ? "\\\\" : "\\"; break;
        case '"': out += in_quotes ? "\\\"" : "\""; break;
        case '\'':
            out += escape_single_quote ? "\\'" : "'";
            break;
        default:
            if (is_printable(code_point)) {
                out.append(text.substr(static_cast<size_t>(offset), static_cast<size_t>(length)));
            } else {
                char buffer[16];
                std::snprintf(buffer, sizeof buffer, "\\u{%x}", static_cast<unsigned>(code_point));
                out += buffer;
            }
        }
        offset += length;
    }
    if (in_quotes)
        out.push_back('"');
    return out;
}

} // namespace

std::string decode_utf8_lossy(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size());
    size_t offset = 0;
    while (offset < bytes.size()) {
        // Names are mostly ASCII: a run of it is copied as it stands.
        size_t ascii = offset;
        while (ascii < bytes.size() && static_cast<unsigned char>(bytes[ascii]) < 0x80)
            ++ascii;
        if (ascii != offset) {
            out.append(bytes.substr(offset, ascii - offset));
            offset = ascii;
            continue;
        }
        size_t consumed = 0;
        size_t length = valid_sequence_length(bytes.substr(offset), consumed);
        if (length > 0) {
            out.append(bytes.substr(offset, length));
            offset += length;
        } else {
            out.append(replacement_character);
            offset += consumed;
        }
    }
    return out;
}

bool is_valid_utf8(std::string_view bytes)
{
    size_t offset = 0;
    while (offset < bytes.size()) {
        size_t consumed = 0;
        size_t length = valid_sequence_length(bytes.substr(offset), consumed);
        if (length == 0)
            return false;
        offset += length;
    }
    return true;
}

std::string quoted_name(std::string_view name) { return quoted(name, false); }

std::string quoted_path(std::string_view path) { return quoted(path, true); }

std::string escaped_text(std::string_view text) { return quoted(text, false, false); }

} // namespace quastor
