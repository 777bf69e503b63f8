#pragma once

// Directories by descriptor. A directory is resolved by path once, when the
// call first reaches it; from then on the call works relative to its
// descriptor (mkdirat, openat, symlinkat, fchmod), so another process that
// swaps a directory for a link between two steps cannot redirect the call.
// Files are made there before they have their name (PendingFile), and
// copied whole from one descriptor to another, for both the archive and
// extracted files; temporary files are made in TMPDIR. Every function here
// runs on the caller's thread and returns Io errors carrying the operating
// system's error number.

#include "common/fd.hpp"
#include "common/file_identity.hpp"
#include "common/leftovers.hpp"
#include "error.hpp"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>

namespace quastor {

// The identity of the file open at `fd`.
Result<FileIdentity> identity_of(int fd);

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

// A file made in a held directory before it has its final name: an unnamed
// file where the file system makes them, otherwise one under a temporary
// name made with O_EXCL | O_NOFOLLOW relative to the directory. Either way
// `mode` (less the umask; 0600 unless given) and invisible to others under
// the final name until named; a file never named is gone with its owner
// (the temporary name unlinked). Writing into it is the same whichever it
// is: only naming it differs. Io with the directory's errno (EACCES, EROFS,
// ENOSPC...) where no file can be made there.
class PendingFile {
public:
    static Result<PendingFile> create(int directory, mode_t mode = 0600);
    PendingFile(PendingFile&& other) noexcept;
    PendingFile& operator=(PendingFile&&) = delete;
    ~PendingFile();

    int fd() const { return fd_.get(); }
    // Whether the file has a temporary name (no unnamed files here).
    bool has_temporary_name() const { return !temporary_name_.empty(); }

    // Gives the file `name` unless something already has it: false then, or
    // when the file system cannot name it that way, and the file stays
    // pending. A name that turns out to hold another file afterwards (the
    // temporary name swapped meanwhile) is EEXIST, or ELOOP when what it
    // holds is a link.
    Result<bool> name_as(std::string const& name);

    // Gives the file `name` in `directory` (held by the caller for as long
    // as this file) by renaming it over whatever has that name, in one step:
    // the name holds the old file or this one, never anything between.
    // False where it cannot be moved there (another mount, a directory in
    // which the call may make nothing, no /proc to name an unnamed file);
    // then nothing at `name` has changed. Afterwards as name_as.
    Result<bool> replace(int directory, std::string const& name);

private:
    PendingFile(int directory, UniqueFd fd, std::string temporary_name)
        : directory_(directory), fd_(std::move(fd)), temporary_name_(std::move(temporary_name))
    {
    }

    int directory_;
    UniqueFd fd_;
    std::string temporary_name_; // empty for an unnamed file or once named
    Leftover leftover_;          // the temporary name, while it is one
};

// The directory TMPDIR names, /tmp where it is unset or empty ("" names no
// directory at all): where the call's scratch directory and temporary
// files go.
std::string temporary_directory();

// A file only this process can reach, gone once closed, in the temporary
// directory, with mode 0600: unnamed where the file system makes them (and
// never linkable under a name), otherwise made under a fresh name as
// PendingFile makes one and unlinked at once. Io where none can be made.
Result<UniqueFd> temporary_file();

// Copies what `from` holds from its start, up to `limit` bytes or its end,
// onto `to` at its position; `from`'s own position is neither used nor
// moved. The kernel moves the bytes file to file where it can
// (copy_file_range, else sendfile); where it refuses this pair of files,
// they pass through `scratch`. Returns the count copied: a file that grew
// is copied up to `limit`, a file that shrank to its end, and the caller
// compares. Io for a failed read or write.
Result<uint64_t> copy_file_data(int from, int to, uint64_t limit, std::span<uint8_t> scratch);

// Exactly the first `length` bytes of `from` onto `to`, as copy_file_data
// copies them; a file shorter than that is the unexpected-end error.
Result<void> copy_contents(int from, int to, uint64_t length, std::span<uint8_t> scratch);

} // namespace quastor
