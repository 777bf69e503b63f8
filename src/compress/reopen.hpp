#pragma once

// Reaching a collected source item again by its path, and making sure it is
// still the item that collection saw. Every component of the path is looked
// up afresh, so any of them may have been swapped for a link since; the
// final one is never followed, and the item found is compared by device,
// inode and file type, which no swap of names can forge. Any thread.

#include "common/fd.hpp"
#include "compress/collect.hpp"
#include "error.hpp"

#include <string>
#include <sys/stat.h>

namespace quastor {

// InvalidInput "File changed while building the archive: <path>", the path
// shown as UTF-8 with invalid sequences replaced.
QuastorError file_changed(std::string const& path);

// Whether `status` is the collected item: same identity and file type
// (`type` is one of S_IFREG, S_IFDIR, S_IFLNK).
bool is_collected(struct stat const& status, FileIdentity expected, mode_t type);

// open(2) and lstat(2) of a path of any length: one of PATH_MAX bytes or
// more, which the kernel refuses whole (a file deep in a tree), is walked
// in pieces shorter than that, each directory reached relative to the one
// before, links on the way followed as in any path. The descriptor, or -1
// (0 or -1 for the status) with errno set. O_CLOEXEC is added.
int open_path(std::string const& path, int flags);
int lstat_path(std::string const& path, struct stat& status);

// open(2) and lstat(2) of a collected item, never through a final link:
// by its last name relative to the directory collection held for it, or
// else by its path as above.
int open_item(SourceEntry const& entry, int flags);
int lstat_item(SourceEntry const& entry, struct stat& status);
// The same for an item at `path` whose directory collection held as
// `directory` (null: by its path).
int lstat_item(std::string const& path, UniqueFd const* directory, struct stat& status);

// Opens `name` relative to `dir_fd` (AT_FDCWD: the working directory) with
// `flags` plus O_NOFOLLOW and O_CLOEXEC (a path of any length when `dir_fd`
// is AT_FDCWD), and checks that it is the collected item. `path` names the item in errors. A link or a non-directory on the
// way (ELOOP, ENOTDIR) or another item is file_changed; any other failure
// to open or query is Io. `status` receives the open item's status.
Result<UniqueFd> open_collected(int dir_fd, std::string const& name, std::string const& path, int flags,
    FileIdentity expected, mode_t type, struct stat& status);

} // namespace quastor
