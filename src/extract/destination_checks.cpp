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

struct DirClose {
    void operator()(DIR* directory) const { ::closedir(directory); }
};

} // namespace

Result<void> refuse_existing(std::vector<ExtractionPlanEntry> const& plan, std::string const& dest_path)
{
    UniqueFd const root = QUASTOR_TRY(open_destination(dest_path));
    if (!root)
        return {};
    for (ExtractionPlanEntry const& planned : plan) {
        if (planned.entry.is_dir)
            continue;
        // A question, not a step of the writing: links on the way are
        // followed as extraction would follow those it did not make.
        struct stat status;
        if (::fstatat(root.get(), QUASTOR_TRY(os_path(planned.path)), &status, AT_SYMLINK_NOFOLLOW) == 0)
            return fail(QuastorError::io(EEXIST).about(planned.entry.name));
        // Nothing there, or a file where a parent should be, which the
        // writing itself refuses.
        if (errno != ENOENT && errno != ENOTDIR)
            return fail(QuastorError::io(errno).about(planned.entry.name));
    }
    return {};
}

Result<void> require_empty_destination(std::string const& dest_path)
{
    struct stat status;
    if (::stat(QUASTOR_TRY(os_path(dest_path)), &status) != 0)
        return errno == ENOENT ? Result<void>() : fail(QuastorError::io(errno));
    if (!S_ISDIR(status.st_mode))
        return fail(QuastorError::io(ENOTDIR));
    std::unique_ptr<DIR, DirClose> const listing(::opendir(QUASTOR_TRY(os_path(dest_path))));
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
