#pragma once

// Files made in a held directory before they have their name, for both the
// archive and extracted files. Every function here runs on the caller's
// thread and returns Io errors carrying the operating system's error number.

#include "common/fd.hpp"
#include "common/leftovers.hpp"
#include "error.hpp"

#include <string>
#include <sys/types.h>

namespace quastor {

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

} // namespace quastor
