// Narrowing a plan to the entries chosen by path patterns.

#include "extract/choice.hpp"

#include "common/entry_patterns.hpp"

#include <string_view>

namespace quastor {

std::vector<std::string> narrow_plan(std::vector<ExtractionPlanEntry>& plan, EntryChoice const& choice)
{
    if (choice.patterns.empty() && choice.exclude.empty())
        return {};
    std::vector<std::string_view> paths;
    paths.reserve(plan.size());
    for (ExtractionPlanEntry const& planned : plan)
        paths.push_back(planned.path);
    EntrySelection selection = select_entries(paths, choice.patterns, choice.exclude);
    if (!selection.unmatched.empty())
        return std::move(selection.unmatched);
    size_t kept = 0;
    for (size_t i = 0; i < plan.size(); ++i) {
        if (!selection.chosen[i])
            continue;
        if (kept != i)
            plan[kept] = std::move(plan[i]);
        ++kept;
    }
    plan.resize(kept);
    return {};
}

} // namespace quastor
