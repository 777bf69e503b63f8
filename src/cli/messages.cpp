// Failure messages and the texts the command reads.

#include "cli/messages.hpp"

#include "cli/archive_input.hpp"
#include "cli/stop_signals.hpp"
#include "common/text.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace quastor::cli {

std::string shown(std::string_view text)
{
    std::string const decoded = decode_utf8_lossy(text);
    std::string quoted = quoted_name(decoded);
    if (decoded.size() == text.size() && quoted.size() == text.size() + 2 && quoted.compare(1, text.size(), text) == 0)
        return std::string(text);
    return quoted;
}

std::string archive_label(std::string const& archive)
{
    return archive == standard_input_name ? std::string("standard input") : archive;
}

std::string shown_archive(std::string const& archive)
{
    return archive == standard_input_name ? archive_label(archive) : shown(archive);
}

void print_error_line(std::string_view text)
{
    std::string const line = "quastor: " + escaped_text(decode_utf8_lossy(text)) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
}

int report_failure(std::string const& archive, char const* prefix, QuastorError const& error,
    std::string const* subject)
{
    // A stop signal ends the command by that signal, which says enough: the
    // interruption it caused is no failure to report.
    if (stop_signals()->stop_requested())
        return 1;
    std::string line = shown_archive(archive) + ": ";
    if (subject == nullptr)
        subject = &error.subject();
    if (!subject->empty())
        line += shown(*subject) + ": ";
    line += prefix + error.display();
    // The reader's words for a file with no end record say what was
    // missing, not what the file is.
    if (error.kind() == ErrorKind::InvalidZip && error.payload_text() == "EOCD signature not found")
        line += " (not a ZIP archive, or truncated)";
    print_error_line(line);
    return 1;
}

int report_path_problem(PathProblem const& problem, char const* prefix, QuastorError const& error)
{
    if (stop_signals()->stop_requested())
        return 1;
    print_error_line(shown(problem.path) + ": " + problem.what + ": " + prefix + error.display());
    return 1;
}

std::optional<uint64_t> parse_size(std::string_view text)
{
    size_t digits = 0;
    while (digits < text.size() && ((text[digits] >= '0' && text[digits] <= '9') || text[digits] == '.'))
        ++digits;
    std::string_view number = text.substr(0, digits);
    std::string_view suffix = text.substr(digits);
    if (number.empty() || number == "." || std::count(number.begin(), number.end(), '.') > 1)
        return std::nullopt;
    int shift = 0;
    if (!suffix.empty()) {
        std::string_view const units = "kmgtpe";
        size_t const unit = units.find(static_cast<char>(suffix[0] | 0x20));
        if (unit != std::string_view::npos) {
            shift = 10 * static_cast<int>(unit + 1);
            suffix.remove_prefix(1);
        }
        if (suffix == "iB" || suffix == "ib" || (shift != 0 && suffix == "i"))
            suffix = {};
        if (suffix == "B" || suffix == "b")
            suffix = {};
        if (!suffix.empty())
            return std::nullopt;
    }
    // Whole part exactly; the fraction only as far as it can add bytes.
    size_t const point = number.find('.');
    std::string_view const whole = number.substr(0, point);
    unsigned __int128 value = 0;
    for (char digit : whole) {
        value = value * 10 + static_cast<unsigned>(digit - '0');
        if (value > UINT64_MAX)
            return std::nullopt;
    }
    value <<= shift;
    if (point != std::string_view::npos) {
        // fraction * 2^shift, rounded down, from at most 20 digits.
        std::string_view const fraction = number.substr(point + 1, 20);
        unsigned __int128 numerator = 0;
        unsigned __int128 denominator = 1;
        for (char digit : fraction) {
            numerator = numerator * 10 + static_cast<unsigned>(digit - '0');
            denominator *= 10;
        }
        value += (numerator << shift) / denominator;
    }
    if (value > UINT64_MAX)
        return std::nullopt;
    return static_cast<uint64_t>(value);
}

std::string closest_name(std::string_view typed, std::span<std::string const> names)
{
    std::string best;
    size_t best_distance = SIZE_MAX;
    for (std::string const& name : names) {
        // Levenshtein distance, one row at a time.
        std::vector<size_t> row(name.size() + 1);
        for (size_t j = 0; j <= name.size(); ++j)
            row[j] = j;
        for (size_t i = 1; i <= typed.size(); ++i) {
            size_t diagonal = row[0];
            row[0] = i;
            for (size_t j = 1; j <= name.size(); ++j) {
                size_t const above = row[j];
                row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (typed[i - 1] == name[j - 1] ? 0 : 1)});
                diagonal = above;
            }
        }
        if (row[name.size()] < best_distance) {
            best_distance = row[name.size()];
            best = name;
        }
    }
    // Close enough: a slip of a few keys, not another word.
    return best_distance <= std::max<size_t>(2, typed.size() / 3) && best_distance < typed.size() ? best : std::string();
}

} // namespace quastor::cli
