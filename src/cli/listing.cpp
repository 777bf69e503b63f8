// The listing and the JSON report of `quastor check`.

#include "cli/listing.hpp"

#include "cli/messages.hpp"
#include "common/text.hpp"
#include "extract/methods.hpp"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

namespace quastor::cli {

namespace {

std::string method_text(uint16_t id)
{
    // Directories may record any method; nothing is decoded for them.
    CompressionMethod const* method = find_method(id);
    return method != nullptr ? method->name : std::to_string(id);
}

std::string row(char const* mode, char const* size, char const* compressed, char const* method, std::string const& name)
{
    char line[96];
    std::snprintf(line, sizeof line, "%-10s  %10s  %10s  %-7s  ", mode, size, compressed, method);
    return line + name + "\n";
}

// The rwx form of an entry's mode: type character, then the nine permission
// bits with s/S and t/T for the set-ID and sticky bits.
std::string mode_text(PreflightEntry const& reported)
{
    uint32_t mode = reported.entry.unix_mode();
    char const type = reported.entry.is_dir ? 'd' : reported.is_symlink ? 'l' : '-';
    if (type == 'l')
        mode = 0777; // links carry no permissions of their own
    else if (mode == 0)
        mode = type == 'd' ? 0777 : 0666; // no Unix mode stored: what extraction creates before the umask
    std::string text(10, '-');
    text[0] = type;
    char const letters[] = "rwxrwxrwx";
    for (int bit = 0; bit < 9; ++bit)
        if ((mode & (0400u >> bit)) != 0)
            text[static_cast<size_t>(bit) + 1] = letters[bit];
    auto special = [&](size_t at, uint32_t flag, char set) {
        if ((mode & flag) != 0)
            text[at] = text[at] == '-' ? static_cast<char>(set - 'a' + 'A') : set;
    };
    special(3, 04000, 's');
    special(6, 02000, 's');
    special(9, 01000, 't');
    return text;
}

// The word the JSON report gives a reason; a new reason fails to compile
// here until it has one.
char const* reason_word(Reason reason)
{
    switch (reason) {
    case Reason::encrypted:
        return "encrypted";
    case Reason::absolute_link:
        return "absolute_link";
    case Reason::link_outside:
        return "link_outside";
    case Reason::setuid:
        return "setuid";
    case Reason::setgid:
        return "setgid";
    case Reason::max_size:
        return "max_size";
    }
    return "";
}

} // namespace

std::string listing_text(std::vector<ExtractionPlanEntry> const& plan)
{
    std::string out = row("Mode", "Size", "Compressed", "Method", "Name");
    out += row("----------", "----------", "----------", "-------", "----");
    uint64_t total = 0;
    uint64_t compressed = 0;
    for (ExtractionPlanEntry const& reported : plan) {
        total += reported.entry.uncompressed_size;
        compressed += reported.entry.compressed_size;
        std::string name = shown(reported.path);
        if (reported.entry.is_dir)
            name += "/";
        else if (reported.is_symlink)
            name += " -> " + shown(reported.link_target);
        // Its data reads as noise without the key; --strict refuses it.
        if (is_encrypted(reported.entry))
            name += "  (encrypted)";
        out += row(mode_text(reported).c_str(), std::to_string(reported.entry.uncompressed_size).c_str(),
            std::to_string(reported.entry.compressed_size).c_str(), method_text(reported.entry.method).c_str(), name);
    }
    // Percentage saved, as unzip -v shows it, rounded down so that a saving
    // is never overstated (99.8 % is not all); where storing grew the data,
    // the growth, rounded up so that it never reads as none.
    double const ratio = total == 0 ? 1.0 : static_cast<double>(compressed) / static_cast<double>(total);
    std::string const effect = ratio > 1.0
        ? std::to_string(static_cast<long>(std::ceil(100.0 * (ratio - 1.0)))) + "% larger"
        : std::to_string(static_cast<long>(std::floor(100.0 * (1.0 - ratio)))) + "% saved";
    char summary[160];
    size_t const count = plan.size();
    std::snprintf(summary, sizeof summary, "%zu %s, %" PRIu64 " bytes when extracted, %" PRIu64 " compressed, %s\n",
        count, count == 1 ? "entry" : "entries", total, compressed, effect.c_str());
    return out + summary;
}

std::vector<FindingRecord> finding_records(std::vector<Finding> const& found,
    std::vector<ExtractionPlanEntry> const& plan)
{
    std::vector<FindingRecord> records;
    records.reserve(found.size());
    for (Finding const& finding : found) {
        std::optional<std::string> entry;
        if (finding.entry)
            entry = plan[*finding.entry].entry.name;
        records.push_back({std::move(entry), reason_word(finding.reason), finding.text});
    }
    return records;
}

std::string json_text(std::vector<ExtractionPlanEntry> const& report, std::span<FindingRecord const> findings)
{
    nlohmann::ordered_json array = nlohmann::ordered_json::array();
    for (PreflightEntry const& reported : report) {
        array.push_back({
            {"archive_name", reported.entry.name},
            {"path", reported.path},
            {"is_dir", reported.entry.is_dir},
            {"is_symlink", reported.is_symlink},
            {"file_size", reported.entry.uncompressed_size},
            {"compress_size", reported.entry.compressed_size},
            {"compress_type", reported.entry.method},
            {"crc32", reported.entry.crc32},
            {"external_attr", reported.entry.external_attr},
        });
    }
    if (findings.empty())
        return array.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
    nlohmann::ordered_json found = nlohmann::ordered_json::array();
    for (FindingRecord const& finding : findings)
        found.push_back({
            {"entry", finding.entry ? nlohmann::ordered_json(*finding.entry) : nlohmann::ordered_json(nullptr)},
            {"reason", finding.reason},
            {"text", finding.text},
        });
    nlohmann::ordered_json const refused = {{"entries", std::move(array)}, {"findings", std::move(found)}};
    return refused.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

nlohmann::ordered_json failure_object(std::string const& archive, std::string const& text, std::string const& subject)
{
    nlohmann::ordered_json failure = {{"error", text}, {"archive", archive_label(archive)}};
    if (!subject.empty())
        failure["entry"] = subject;
    return failure;
}

} // namespace quastor::cli
