#include "cli/inspection.hpp"

#include "common/buffer.hpp"
#include "common/text.hpp"
#include "extract/decode.hpp"
#include "extract/extract.hpp"

#include <string_view>

namespace quastor::cli {

namespace {

constexpr uint32_t set_user_id = 04000;
constexpr uint32_t set_group_id = 02000;

bool is_link(PreflightEntry const& entry) { return entry.is_symlink && !entry.is_dir; }

// Whether a link at `link_path` (normalised, "/"-separated) pointing to
// `target` resolves outside the directory it is extracted into, judged on
// the text alone: ".." climbs from the link's own directory and nothing on
// disk is consulted.
bool leaves_destination(std::string const& link_path, std::string const& target)
{
    if (target.starts_with('/'))
        return true;
    // Depth of the link's own directory below the destination.
    size_t depth = 0;
    for (char c : link_path)
        depth += c == '/' ? 1 : 0;
    std::string_view rest(target);
    while (!rest.empty()) {
        size_t const slash = rest.find('/');
        std::string_view const segment = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (segment.empty() || segment == ".")
            continue;
        if (segment == "..") {
            if (depth == 0)
                return true;
            --depth;
        } else {
            ++depth;
        }
    }
    return false;
}

} // namespace

Result<Inspection> inspect(Bytes archive, std::vector<ZipEntry> const& entries)
{
    Inspection inspection;
    inspection.report = QUASTOR_TRY(preflight_bytes(archive));
    inspection.link_targets.resize(inspection.report.size());
    Decompressor decompressor;
    ReusableBuffer buffer;
    // The report has one element per central-directory entry, in order, so
    // index i names the same entry in both lists.
    for (size_t i = 0; i < inspection.report.size() && i < entries.size(); ++i) {
        if (!is_link(inspection.report[i]))
            continue;
        if (!decompressor)
            decompressor = QUASTOR_TRY(make_decompressor());
        Bytes target = QUASTOR_TRY(decode_entry_data(entries[i], archive, decompressor.get(), buffer));
        inspection.link_targets[i].assign(reinterpret_cast<char const*>(target.data()), target.size());
    }
    return inspection;
}

std::vector<std::string> findings(Inspection const& inspection, Limits const& limits)
{
    std::vector<std::string> lines;
    uint64_t total = 0;
    for (size_t i = 0; i < inspection.report.size(); ++i) {
        PreflightEntry const& entry = inspection.report[i];
        total += entry.file_size;
        if (!limits.strict)
            continue;
        std::string const name = quoted_name(entry.archive_name);
        if (is_link(entry)) {
            std::string const& target = inspection.link_targets[i];
            if (target.starts_with('/'))
                lines.push_back(name + " links to the absolute path " + quoted_name(target));
            else if (leaves_destination(entry.path, target))
                lines.push_back(name + " links out of the destination: " + quoted_name(target));
        } else if (!entry.is_dir) {
            // Extraction applies these bits to regular files only.
            uint32_t const mode = entry.external_attr >> 16;
            if ((mode & set_user_id) != 0)
                lines.push_back(name + " has the set-user-ID bit");
            if ((mode & set_group_id) != 0)
                lines.push_back(name + " has the set-group-ID bit");
        }
    }
    if (limits.max_size.has_value() && total > *limits.max_size)
        lines.push_back("Total size " + std::to_string(total) + " bytes exceeds the limit of "
            + std::to_string(*limits.max_size) + " bytes");
    return lines;
}

} // namespace quastor::cli
