#pragma once

// Directories by descriptor. A directory is resolved by path once, when the
// call first reaches it; from then on the call works relative to its
// descriptor (mkdirat, openat, symlinkat, fchmod), so another process that
// swaps a directory for a link between two steps cannot redirect the call.
// Every function here runs on the caller's thread and returns Io errors
// carrying the operating system's error number.

#include "common/fd.hpp"
#include "error.hpp"

#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>

namespace quastor {

// A file's identity on disk: the same device and inode is the same file,
// whatever path reaches it.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(FileIdentity const&) const = default;
};

inline FileIdentity identity_of(struct stat const& status) { return {status.st_dev, status.st_ino}; }
Result<FileIdentity> identity_of(int fd);

// A directory the call holds: an O_PATH descriptor, usable only as the
// base of *at calls, so that a directory without read permission can still
// be worked in.
struct HeldDirectory {
    UniqueFd fd;
    FileIdentity identity;
    bool created = false; // made by this call, so nothing in it predates the call
};

// The directory holding `path`: empty for a bare name, "/" for a name in the
// root, without the separators that end it ("a//b" gives "a"), and ignoring
// separators at the end of `path` ("a/b/" gives "a").
std::string_view parent_of(std::string_view path);

// Reaches the directory `name` inside `parent` for the first time: makes it
// (0777 before the umask) when missing and holds it without following a link,
// so a link swapped in between the two steps fails. Finding a directory, or a
// link to one, already there also counts, except inside a parent this call
// made (`parent_created`): nothing there can predate the call, so a link
// there was planted meanwhile and is never followed. When neither works, the
// error is mkdir's, except that an ancestor (`is_last` false) that is not a
// directory gives ENOTDIR, as a path walk through it would.
Result<HeldDirectory> reach_directory(int parent, bool parent_created, std::string const& name, bool is_last);

// mkdir -p by descriptor: walks `path` from "/" or the working directory (an
// empty path is the working directory itself), reaching each component as
// reach_directory does, and holds the last one.
Result<HeldDirectory> reach_directories(std::string const& path);

} // namespace quastor
