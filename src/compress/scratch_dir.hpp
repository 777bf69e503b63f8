#pragma once

// The call's private directory of deflated entry data, removed with all it holds.

#include "common/fd.hpp"
#include "common/leftovers.hpp"
#include "error.hpp"

#include <cstddef>
#include <string>

namespace quastor {

// Held by descriptor. Made with mode 0700 whatever the umask, its files
// made in it exclusively, never through a link, with mode 0600, and read
// back relative to it, so that no other user can read, plant or swap
// anything there. Owns the directory: remove(), or dropping it, removes the
// directory and everything in it, ignoring errors. Shared read-only by all
// workers; each creates only its own entry file.
class ScratchDir {
public:
    // Makes "quastor-<pid>-<ns since the epoch>-<attempt>" in `root` (the
    // caller's TMPDIR). Io where `root` cannot be reached or written;
    // InvalidInput "Failed to allocate a temporary scratch directory" after
    // 1024 names in a row that were taken.
    static Result<ScratchDir> allocate(std::string const& root);
    ScratchDir(ScratchDir&& other) noexcept = default;
    ScratchDir& operator=(ScratchDir&&) = delete;
    ScratchDir(ScratchDir const&) = delete;
    ScratchDir& operator=(ScratchDir const&) = delete;
    ~ScratchDir() { remove(); }

    std::string const& path() const { return path_; }
    int fd() const { return directory_.get(); }
    // "<dir>/<index, at least 8 digits>.deflate"; touches nothing on disk.
    std::string entry_path(size_t index) const;
    // The last component of entry_path(index).
    std::string entry_name(size_t index) const;
    // Creates entry_name(index) for writing: O_EXCL, O_NOFOLLOW, mode 0600.
    Result<UniqueFd> create_entry(size_t index) const;
    // Empties and removes the directory, once; later calls do nothing.
    // Until then the directory is noted among the process's leftovers, so
    // that a process ended at once by a signal removes it too.
    void remove() noexcept;

private:
    // The directory `name` that allocate() made in `parent`, held as
    // `directory`; `path` is how errors name it.
    ScratchDir(std::string path, UniqueFd parent, std::string name, UniqueFd directory)
        : path_(std::move(path)), name_(std::move(name)), parent_(std::move(parent)), directory_(std::move(directory))
    {
    }

    std::string path_;
    std::string name_;
    UniqueFd parent_;
    UniqueFd directory_;
    Leftover leftover_;
};

} // namespace quastor
