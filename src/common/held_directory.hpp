#pragma once

// Directories by descriptor. A directory is resolved by path once, when the
// call first reaches it; from then on the call works relative to its
// descriptor (mkdirat, openat, symlinkat, fchmod), so another process that
// swaps a directory for a link between two steps cannot redirect the call.
// Regular files are opened there as targets to write. Every function here
// runs on the caller's thread and returns Io errors carrying the operating
// system's error number.

#include "common/fd.hpp"
#include "common/file_identity.hpp"
#include "error.hpp"

#include <string>
#include <sys/stat.h>
#include <sys/types.h>

namespace quastor {

// A directory the call holds: an O_PATH descriptor, usable only as the
// base of *at calls, so that a directory without read permission can still
// be worked in.
struct HeldDirectory {
    UniqueFd fd;
    FileIdentity identity;
    bool created = false; // made by this call, so nothing in it predates the call
};

// The process's file mode creation mask, read without changing it where
// /proc allows.
mode_t current_umask();

// Reaches the directory `name` inside `parent` for the first time. When it is
// missing it is made (0777 before the umask), and counts as made by this
// call only once the call has proved it: opened without following a link,
// a directory owned by the call's user; anything else found at the name
// (swapped in meanwhile) fails with EEXIST. Finding a directory, or a link
// to one, already there also counts, except inside a parent this call made
// (`parent_created`): nothing there can predate the call, so whatever is
// there was planted meanwhile and fails the call with mkdir's EEXIST. When
// neither works, the error is mkdir's, except that an ancestor (`is_last`
// false) that is not a directory gives ENOTDIR, as a path walk through it
// would, and that a directory found but not opened gives the opening's
// error (EMFILE, ELOOP...).
Result<HeldDirectory> reach_directory(int parent, bool parent_created, std::string const& name, bool is_last);

// mkdir -p by descriptor: walks `path` from "/" or the working directory (an
// empty path is the working directory itself), reaching each component as
// reach_directory does and holding one at a time, and holds the last one.
Result<HeldDirectory> reach_directories(std::string const& path);

// A regular file's target in a held directory, opened for writing without
// blocking (a FIFO there fails with ENXIO instead of waiting for a reader).
// `fresh` when this call created it, then with `fresh_mode` (less the
// umask): 0600 unless the caller's final mode may be granted at once, so
// that nobody else can open it before it has that mode. Inside a
// directory the call made (`directory_created`) the file must be new: a
// name already there, link or file, was planted meanwhile and fails with
// EEXIST. Elsewhere an existing file, or a link's target, is opened as is
// and emptied only when `truncate` says so.
struct FileTarget {
    UniqueFd fd;
    bool fresh = false;
};
Result<FileTarget> open_file_target(
    int directory, bool directory_created, std::string const& name, bool truncate, mode_t fresh_mode = 0600);

} // namespace quastor
