// Leaving out the entries whose targets already exist.

#include "cli/existing_targets.hpp"

#include "common/fd.hpp"
#include "common/path.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

namespace quastor::cli {

Result<size_t> skip_existing(std::vector<ExtractionPlanEntry>& plan, std::string const& dest_path)
{
    UniqueFd const root(open_at(AT_FDCWD, QUASTOR_TRY(os_path(dest_path)), O_RDONLY | O_DIRECTORY));
    if (!root) {
        if (errno == ENOENT)
            return size_t{0};
        return fail(QuastorError::io(errno));
    }
    size_t kept = 0;
    for (size_t i = 0; i < plan.size(); ++i) {
        bool there = false;
        if (!plan[i].entry.is_dir) {
            // A question, not a step of the writing: links on the way are
            // followed as extraction follows those it did not make.
            struct stat status;
            there = ::fstatat(root.get(), QUASTOR_TRY(os_path(plan[i].path)), &status, AT_SYMLINK_NOFOLLOW) == 0;
            // Nothing there, or a file where a parent should be, which the
            // writing itself refuses.
            if (!there && errno != ENOENT && errno != ENOTDIR)
                return fail(QuastorError::io(errno).about(plan[i].entry.name));
        }
        if (there)
            continue;
        if (kept != i)
            plan[kept] = std::move(plan[i]);
        ++kept;
    }
    size_t const skipped = plan.size() - kept;
    plan.resize(kept);
    return skipped;
}

} // namespace quastor::cli
