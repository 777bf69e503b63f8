// Extraction's directories: reached once per call, then held by descriptor.

#include "extract/directories.hpp"
#include "common/path.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/resource.h>
#include <vector>

namespace quastor {

Result<HeldDirectory> ReachedDirectories::reach(HeldDirectory const& parent, std::string const& name, bool is_last)
{
    Step step{parent.identity, name};
    Reached known;
    {
        std::lock_guard lock(mutex_);
        auto found = reached_.find(step);
        if (found == reached_.end()) {
            // Under the lock, so that two workers cannot both take the same
            // directory for one that was already there. A failure is kept:
            // a directory swapped in after mkdir must not pass, for the next
            // worker, as one found already there.
            Result<HeldDirectory> held = reach_directory(parent.fd.get(), parent.created, name, is_last);
            if (!held)
                reached_.emplace(std::move(step), Reached{{}, false, held.error()});
            else
                reached_.emplace(std::move(step), Reached{held->identity, held->created, {}});
            return held;
        }
        known = found->second;
        if (known.failure)
            return fail(*known.failure);
    }
    // A directory this call made is never a link; one it found may have been.
    char const* c_name = QUASTOR_TRY(os_path(name));
    int const fd = open_at(parent.fd.get(), c_name, O_PATH | O_DIRECTORY | (known.created ? O_NOFOLLOW : 0));
    if (fd < 0)
        return fail(QuastorError::io(errno));
    HeldDirectory held{UniqueFd(fd), {}, known.created};
    held.identity = QUASTOR_TRY(identity_of(fd));
    if (held.identity != known.identity)
        return fail(QuastorError::io(ELOOP));
    return held;
}

Result<HeldDirectory const*> HeldDirectories::reach(std::string_view path)
{
    if (path.empty())
        return &reached_.root();
    if (auto found = kept_.find(path); found != kept_.end()) {
        found->second.last_use = ++clock_;
        return &found->second.directory;
    }
    // The nearest ancestor this worker holds, then down from there.
    std::vector<std::string_view> missing{path};
    HeldDirectory const* parent = &reached_.root();
    for (std::string_view ancestor = parent_of(path); !ancestor.empty(); ancestor = parent_of(ancestor)) {
        if (auto found = kept_.find(ancestor); found != kept_.end()) {
            found->second.last_use = ++clock_;
            parent = &found->second.directory;
            break;
        }
        missing.push_back(ancestor);
    }
    // Only the deepest levels, as many as this worker keeps, are kept; above
    // them each level is let go once the next one is held, so that a walk
    // holds one descriptor more than are kept whatever the depth.
    HeldDirectory passing;
    std::string name;
    for (size_t i = missing.size(); i-- > 0;) {
        std::string_view const step = missing[i];
        std::string_view const above = parent_of(step);
        name.assign(step.substr(above.empty() ? 0 : above.size() + 1));
        HeldDirectory held = QUASTOR_TRY(reached_.reach(*parent, name, i == 0));
        if (i < capacity_) {
            parent = keep(std::string(step), std::move(held));
        } else {
            passing = std::move(held);
            parent = &passing;
        }
    }
    return parent;
}

HeldDirectory const* HeldDirectories::keep(std::string path, HeldDirectory directory)
{
    // Kept in walking order, so the directory just kept is the newest and
    // the next level's parent is never the one let go.
    if (kept_.size() >= capacity_ && !kept_.empty()) {
        auto oldest = std::min_element(kept_.begin(), kept_.end(),
            [](auto const& a, auto const& b) { return a.second.last_use < b.second.last_use; });
        kept_.erase(oldest);
    }
    auto [kept, _] = kept_.insert_or_assign(std::move(path), Kept{std::move(directory), ++clock_});
    return &kept->second.directory;
}

size_t held_directories_per_worker(unsigned workers)
{
    rlimit limit{};
    rlim_t available = 1024;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        available = limit.rlim_cur;
    size_t const share = static_cast<size_t>(std::min<rlim_t>(available, 1 << 16)) / 4 / std::max(1u, workers);
    return std::clamp<size_t>(share, 2, 64);
}

} // namespace quastor
