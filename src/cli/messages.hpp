#pragma once

// What the command prints about failures, and the small texts it reads.

#include "cli/path_problems.hpp"
#include "error.hpp"

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quastor::cli {

// A name or path as it may appear on a terminal: as itself when it prints
// plainly, otherwise in the quoted form of error texts, so that no name can
// drive the terminal.
std::string shown(std::string_view text);

// The archive operand as reports name it: "standard input" for "-", its
// name otherwise; shown_archive gives it as a terminal may show it.
std::string archive_label(std::string const& archive);
std::string shown_archive(std::string const& archive);

// "quastor: " and `text` on standard error, with what would not print
// escaped.
void print_error_line(std::string_view text);

// A failure: "quastor: ARCHIVE: [SUBJECT: ]PREFIX DISPLAY", where SUBJECT
// is the entry or source item the core says the error is about. Returns the
// failure exit status.
// A file that holds no end record at all gets a plain hint after the text.
// `subject`, when given, names the item in place of the error's own.
int report_failure(std::string const& archive, char const* prefix, QuastorError const& error,
    std::string const* subject = nullptr);

// A failure found to be about a path the user gave: "quastor: PATH: WHAT:
// PREFIX DISPLAY", the module's text unchanged after the plain words.
int report_path_problem(PathProblem const& problem, char const* prefix, QuastorError const& error);

// A size with an optional decimal fraction and an optional suffix k, M, G,
// T, P or E (powers of 1024, case ignored, "B" or "iB" allowed after it),
// rounded down to whole bytes: "1.5G" is 1610612736. Nothing for text that
// is no such size or exceeds 64 bits.
std::optional<uint64_t> parse_size(std::string_view text);

// Of `names`, the one closest to `typed` by edit distance, when it is close
// enough to be what was meant; empty otherwise.
std::string closest_name(std::string_view typed, std::span<std::string const> names);

} // namespace quastor::cli
