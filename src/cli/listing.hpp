#pragma once

// The two forms `quastor check` prints an archive in.

#include "extract/inspection.hpp"
#include "extract/plan.hpp"

#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quastor::cli {

// One line per entry (mode, size, compressed size, method, path, "-> target"
// for links, "(encrypted)" where the data is), then a summary line. Texts that would not print plainly are
// shown in their quoted form, so a name cannot drive the terminal. Pure.
std::string listing_text(std::vector<ExtractionPlanEntry> const& plan);

// One finding of the strict rules or the size limit, as the JSON report
// gives it: the entry's name (none for the size), the reason's word and the
// line the listing prints.
struct FindingRecord {
    std::optional<std::string> entry;
    std::string reason;
    std::string text;
};

// `found`, as findings() gave them for `plan` (the whole archive, in its
// order), with their entries named and their reasons in words: encrypted,
// absolute_link, link_outside, setuid, setgid, max_size. Pure.
std::vector<FindingRecord> finding_records(std::vector<Finding> const& found,
    std::vector<ExtractionPlanEntry> const& plan);

// The preflight report as JSON: per entry an object with the report's nine
// keys in the report's order, in an array when nothing was found, or, when
// findings refuse the archive, in an object {"entries": [...], "findings":
// [...]}. Never fails: names are valid UTF-8 by construction, and a stray
// byte would be replaced. Pure.
std::string json_text(std::vector<ExtractionPlanEntry> const& report, std::span<FindingRecord const> findings = {});

// A failure as --json reports it: the text, the archive as the command
// names it, and the entry when one is known.
nlohmann::ordered_json failure_object(std::string const& archive, std::string const& text, std::string const& subject);

} // namespace quastor::cli
