#pragma once

// UTF-8 decoding with replacement, and the quoted form of names and paths
// inside error texts. Pure functions that never fail; any thread.

#include <string>
#include <string_view>

namespace quastor {

// Decodes bytes as UTF-8, replacing each maximal invalid subpart with one
// U+FFFD: a truncated but otherwise valid sequence counts once, any other
// offending byte once. Valid input comes back unchanged.
std::string decode_utf8_lossy(std::string_view bytes);

bool is_valid_utf8(std::string_view bytes);

// The quoted form of an entry name: double quotes, with \0 \t \r \n \\ \"
// escaped and every other unprintable character (ASCII controls, DEL, and
// non-ASCII controls, format, private-use, unassigned, separators other than
// space, and grapheme extenders) written as \u{hex}. Expects valid UTF-8.
std::string quoted_name(std::string_view name);

// The same for a destination path, which additionally escapes the single quote.
std::string quoted_path(std::string_view path);

// A message made safe for a terminal: what the quoted form escapes, but
// without quotes around it and with quotes and backslashes left alone, so
// quoted names inside the message read as before.
std::string escaped_text(std::string_view text);

} // namespace quastor
