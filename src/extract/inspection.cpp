// What inspection adds to preflight: the strict findings and the size limit.

#include "extract/inspection.hpp"

#include "archive/records.hpp"
#include "common/path.hpp"
#include "common/text.hpp"

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <unordered_map>

namespace quastor {

namespace {

constexpr uint32_t set_user_id = 04000;
constexpr uint32_t set_group_id = 02000;

bool is_link(PreflightEntry const& reported) { return reported.is_symlink && !reported.entry.is_dir; }

// The archive's links by normalised path, for following one through another.
using LinkMap = std::unordered_map<std::string, std::string>;

// Most links followed in one resolution, as the kernel's own limit: a cycle
// ends there and cannot be followed on disk either.
constexpr int max_link_hops = 40;

// Whether a link at `link_path` (normalised, "/"-separated) pointing to
// `target` resolves outside the directory it is extracted into. Judged on
// the archive alone, nothing on disk is consulted: ".." climbs from the
// link's own directory, and a step onto another link of the same archive
// continues from that link's target, so that a chain (s -> ".", x -> "s/..")
// cannot hide a way out behind links that each look harmless.
bool leaves_destination(std::string const& link_path, std::string const& target, LinkMap const& links)
{
    // The link's own directory: every segment of its path but the last.
    std::vector<std::string_view> directory;
    for (std::string_view const segment : path_segments(link_path))
        directory.push_back(segment);
    if (!directory.empty())
        directory.pop_back();

    // Segments still to walk, last first, so that a link's target can be
    // pushed in front of the rest.
    std::vector<std::string_view> pending;
    auto push_target = [&](std::string_view text) {
        size_t const first = pending.size();
        for (std::string_view const segment : path_segments(text))
            pending.push_back(segment);
        std::reverse(pending.begin() + static_cast<std::ptrdiff_t>(first), pending.end());
    };
    if (target.starts_with('/'))
        return true;
    push_target(target);

    std::string joined;
    int hops = 0;
    while (!pending.empty()) {
        std::string_view const segment = pending.back();
        pending.pop_back();
        if (segment.empty() || segment == ".")
            continue;
        if (segment == "..") {
            if (directory.empty())
                return true;
            directory.pop_back();
            continue;
        }
        directory.push_back(segment);
        joined.clear();
        for (std::string_view part : directory)
            joined.append(joined.empty() ? "" : "/").append(part);
        auto const link = links.find(joined);
        if (link == links.end())
            continue;
        if (++hops > max_link_hops)
            return false;
        if (link->second.starts_with('/'))
            return true;
        directory.pop_back();
        push_target(link->second);
    }
    return false;
}

} // namespace

bool is_encrypted(ZipEntry const& entry) { return (entry.flags & zip::flag_encrypted) != 0; }

std::vector<Finding> findings(std::vector<ExtractionPlanEntry> const& plan, Limits const& limits)
{
    std::vector<Finding> found;
    LinkMap links;
    if (limits.strict)
        for (ExtractionPlanEntry const& planned : plan)
            if (is_link(planned))
                links.emplace(planned.path, planned.link_target);
    uint64_t total = 0;
    for (size_t index = 0; index < plan.size(); ++index) {
        ExtractionPlanEntry const& reported = plan[index];
        total += reported.entry.uncompressed_size;
        if (!limits.strict)
            continue;
        std::string const name = quoted_name(reported.entry.name);
        auto add = [&](Reason reason, std::string text) { found.push_back({index, reason, name + text}); };
        if (is_encrypted(reported.entry))
            add(Reason::encrypted, " is encrypted");
        if (is_link(reported)) {
            std::string const& target = reported.link_target;
            if (target.starts_with('/'))
                add(Reason::absolute_link, " links to the absolute path " + quoted_name(target));
            else if (leaves_destination(reported.path, target, links))
                add(Reason::link_outside, " links out of the destination: " + quoted_name(target));
        } else if (!reported.entry.is_dir) {
            // Extraction applies these bits to regular files only.
            uint32_t const mode = reported.entry.unix_mode();
            if ((mode & set_user_id) != 0)
                add(Reason::setuid, " has the set-user-ID bit");
            if ((mode & set_group_id) != 0)
                add(Reason::setgid, " has the set-group-ID bit");
        }
    }
    if (limits.max_size.has_value() && total > *limits.max_size)
        found.push_back({std::nullopt, Reason::max_size,
            "Total size " + std::to_string(total) + " bytes exceeds the limit of "
                + std::to_string(*limits.max_size) + " bytes"});
    return found;
}

} // namespace quastor
