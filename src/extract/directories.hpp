#pragma once

// The directories one extraction call works in, held by descriptor.
//
// The destination root is reached once, before the workers start. Below it,
// the first worker to need a directory reaches it (makes it, or finds it,
// following a link that is already there) and records its identity for the
// whole call; any later opening, by any worker, goes from a held ancestor
// and must find that same directory again, so a directory swapped for a link
// once the call has reached it fails with ELOOP instead of leading elsewhere.
// Descriptors are bounded whatever the depth: each worker keeps a small cache
// of them and holds one more while it walks down; for every directory
// reached only its identity is kept, under its parent's identity and its
// own name.

#include "common/held_directory.hpp"
#include "error.hpp"

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace quastor {

// Shared by the workers of one call; reaching a new directory takes its lock.
class ReachedDirectories {
public:
    explicit ReachedDirectories(HeldDirectory root) : root_(std::move(root)), umask_(current_umask()) {}

    HeldDirectory const& root() const { return root_; }
    // The umask as the call began, for the mode of the files it creates.
    mode_t umask() const { return umask_; }

    // The directory `name` inside `parent`: reached for the call now if no
    // worker has reached it yet, otherwise opened again and checked to be
    // the same one.
    Result<HeldDirectory> reach(HeldDirectory const& parent, std::string const& name, bool is_last);

private:
    struct Step {
        FileIdentity parent;
        std::string name;
        bool operator==(Step const&) const = default;
    };
    struct Reached {
        FileIdentity identity;
        bool created = false;
        std::optional<QuastorError> failure; // of the first reach, met again by every later one
    };
    struct Hash {
        size_t operator()(Step const& step) const
        {
            return std::hash<std::string>{}(step.name) ^ (step.parent.inode * 0x9e3779b97f4a7c15ull)
                ^ step.parent.device;
        }
    };

    HeldDirectory root_;
    mode_t umask_;
    std::mutex mutex_;
    std::unordered_map<Step, Reached, Hash> reached_;
};

// The directories one worker holds, at most `capacity` of them, the least
// recently used let go first. Private to its worker.
class HeldDirectories {
public:
    HeldDirectories(ReachedDirectories& reached, size_t capacity) : reached_(reached), capacity_(capacity) {}

    // The directory at relative path `path` ("" is the root), made with its
    // missing ancestors, outermost first, when this call has not reached it.
    // Never null; valid until the next call.
    Result<HeldDirectory const*> reach(std::string_view path);

    mode_t umask() const { return reached_.umask(); }

private:
    struct Kept {
        HeldDirectory directory;
        uint64_t last_use = 0;
    };
    struct Hash {
        using is_transparent = void;
        size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
    };

    // Keeps `directory` under `path` and hands it out.
    HeldDirectory const* keep(std::string path, HeldDirectory directory);

    ReachedDirectories& reached_;
    size_t capacity_;
    uint64_t clock_ = 0;
    std::unordered_map<std::string, Kept, Hash, std::equal_to<>> kept_;
};

// How many directories each of `workers` may hold, from the process's
// descriptor limit: a quarter of it for all of them together.
size_t held_directories_per_worker(unsigned workers);

} // namespace quastor
