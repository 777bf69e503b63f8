// The overwrite policies, checked before extraction writes.

#include "extract/destination_checks.hpp"

#include "common/fd.hpp"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>

namespace quastor {

namespace {

// The destination directory, or an empty descriptor when it does not exist.
Result<UniqueFd> open_destination(std::string const& dest_path)
{
    UniqueFd root(open_at(AT_FDCWD, QUASTOR_TRY(os_path(dest_path)), O_RDONLY | O_DIRECTORY));
    if (!root && errno != ENOENT)
        return fail(QuastorError::io(errno));
    return root;
}

// Whether something already stands at `target` in `root` that the entry
// would meet: for a directory entry, anything but a directory (followed
// through links); for any other entry, anything, a link taken as itself.
// Nothing there, or a file where a parent should be, meets nothing: the
// writing itself refuses the latter.
Result<bool> meets_something(int root, std::string const& target, bool is_dir)
{
    char const* c_target = QUASTOR_TRY(os_path(target));
    struct stat status;
    if (is_dir && ::fstatat(root, c_target, &status, 0) == 0)
        return !S_ISDIR(status.st_mode);
    if (::fstatat(root, c_target, &status, AT_SYMLINK_NOFOLLOW) == 0)
        return true;
    if (errno != ENOENT && errno != ENOTDIR)
        return fail(QuastorError::io(errno));
    return false;
}

} // namespace

Result<std::vector<size_t>> existing_targets(std::vector<ExtractionPlanEntry> const& plan, std::string const& dest_path)
{
    std::vector<size_t> found;
    UniqueFd const root = QUASTOR_TRY(open_destination(dest_path));
    if (!root)
        return found;
    // A question, not a step of the writing: nothing is made or changed.
    for (size_t i = 0; i < plan.size(); ++i) {
        if (QUASTOR_TRY_ABOUT(meets_something(root.get(), plan[i].path, plan[i].entry.is_dir), plan[i].entry.name))
            found.push_back(i);
    }
    return found;
}

Result<void> refuse_existing(std::vector<ExtractionPlanEntry> const& plan, std::string const& dest_path)
{
    std::vector<size_t> const found = QUASTOR_TRY(existing_targets(plan, dest_path));
    if (!found.empty())
        return fail(QuastorError::io(EEXIST).about(plan[found.front()].entry.name));
    return {};
}

Result<size_t> skip_existing(std::vector<ExtractionPlanEntry>& plan, std::string const& dest_path)
{
    std::vector<size_t> const found = QUASTOR_TRY(existing_targets(plan, dest_path));
    for (size_t const i : found)
        if (plan[i].entry.is_dir)
            return fail(QuastorError::io(EEXIST).about(plan[i].entry.name));
    size_t kept = 0;
    size_t next_found = 0;
    for (size_t i = 0; i < plan.size(); ++i) {
        if (next_found < found.size() && found[next_found] == i) {
            ++next_found;
            continue;
        }
        if (kept != i)
            plan[kept] = std::move(plan[i]);
        ++kept;
    }
    plan.resize(kept);
    return found.size();
}

Result<void> require_empty_destination(std::string const& dest_path)
{
    struct stat status;
    if (::stat(QUASTOR_TRY(os_path(dest_path)), &status) != 0)
        return errno == ENOENT ? Result<void>() : fail(QuastorError::io(errno));
    if (!S_ISDIR(status.st_mode))
        return fail(QuastorError::io(ENOTDIR));
    UniqueDir const listing(::opendir(QUASTOR_TRY(os_path(dest_path))));
    if (!listing)
        return fail(QuastorError::io(errno));
    errno = 0;
    while (dirent const* item = ::readdir(listing.get())) {
        std::string_view const name(item->d_name);
        if (name != "." && name != "..")
            return fail(QuastorError::io(ENOTEMPTY));
    }
    if (errno != 0)
        return fail(QuastorError::io(errno));
    return {};
}

} // namespace quastor
