#pragma once

// PathTable: the lookup tables of plan building. Keys are relative paths
// from an untrusted archive, so the tables hash with XXH3 under a secret
// drawn at random once per process: names cannot be chosen to collide.
//
// A whole random secret rather than XXH3's seeded form: a seed only offsets
// xxHash's public default secret by one 64-bit value, the same in every
// lane, so the lane keys stay publicly related to each other. With 192
// independent random bytes every multiply-accumulate lane has a key of its
// own that the archive's author cannot know, which is what makes colliding
// names impossible to prepare in advance.
//
// Keys are views, not copies: they point into the normalised path strings of
// the plan being built, whose storage is reserved up front and never moves
// while the tables live. Copying every ancestor of a deep name would cost
// memory quadratic in the name's length.

#include "common/kernel_calls.hpp"
#include "common/path.hpp"
#include "error.hpp"

#define XXH_INLINE_ALL
#include <xxhash.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quastor::plan_detail {

struct PathHashSecret {
    unsigned char bytes[XXH3_SECRET_DEFAULT_SIZE];
    int error = 0; // the errno of a failed draw, 0 once the bytes are random
};

// The secret of every path table, drawn from the kernel on first use and
// kept for the life of the process. Returns the secret, or an Io error
// (every later call returns the same one) when the kernel gives no
// randomness. Safe to call from any thread.
inline Result<PathHashSecret const*> path_hash_secret()
{
    static PathHashSecret const secret = [] {
        PathHashSecret drawn;
        size_t filled = 0;
        while (filled < sizeof drawn.bytes) {
            ssize_t const got = kernel_random(drawn.bytes + filled, sizeof drawn.bytes - filled);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                drawn.error = got < 0 ? errno : EIO;
                break;
            }
            filled += static_cast<size_t>(got);
        }
        return drawn;
    }();
    if (secret.error != 0)
        return fail(QuastorError::io(secret.error));
    return &secret;
}

struct PathKey {
    std::string_view text;
    uint64_t hash;
};

struct PathKeyHash {
    size_t operator()(PathKey const& key) const { return key.hash; }
};

// Key bytes compared by this thread's tables, for tests that hold plan
// building to a cost linear in the bytes of names.
inline thread_local uint64_t compared_key_bytes = 0;

struct PathKeyEqual {
    bool operator()(PathKey const& a, PathKey const& b) const
    {
        compared_key_bytes += a.text.size();
        return a.text == b.text;
    }
};

template <typename Mapped>
class PathTable {
public:
    // `secret` comes from path_hash_secret() and lives for the process.
    PathTable(size_t expected, PathHashSecret const& secret)
        : secret_(secret)
    {
        table_.reserve(expected);
    }

    // The hashes of the path's leading parts that end at a segment boundary,
    // shortest first: for "a/b/c" those of "a", "a/b" and "a/b/c". Chained,
    // h("a/b") = XXH3(h("a") || "b"), so all of them cost one pass over
    // the path however deep it is, and the leading parts the path shares
    // with the path of the previous call keep their hashes: names listed
    // next to their siblings cost their new segments only. `path` is a
    // normalised entry path, never empty, so there is at least one. Valid
    // until the next call.
    std::span<uint64_t const> hash_prefixes(std::string_view path)
    {
        size_t const common = static_cast<size_t>(
            std::mismatch(path.begin(), path.end(), previous_.begin(), previous_.end()).first - path.begin());
        size_t kept = 0;
        while (kept < ends_.size() && ends_[kept] <= common && (ends_[kept] == path.size() || path[ends_[kept]] == '/'))
            ++kept;
        hashes_.resize(kept);
        ends_.resize(kept);
        for (size_t start = kept == 0 ? 0 : ends_.back() + 1; start <= path.size();) {
            size_t end = path.find('/', start);
            if (end == std::string_view::npos)
                end = path.size();
            scratch_.assign(reinterpret_cast<char const*>(&(hashes_.empty() ? zero_hash : hashes_.back())),
                sizeof(uint64_t));
            scratch_.append(path.substr(start, end - start));
            hashes_.push_back(XXH3_64bits_withSecret(scratch_.data(), scratch_.size(), secret_.bytes, sizeof secret_.bytes));
            ends_.push_back(end);
            start = end + 1;
        }
        previous_.assign(path);
        return hashes_;
    }

    // Where each of those leading parts ends in the path last hashed.
    std::span<size_t const> prefix_ends() const { return ends_; }

    bool empty() const { return table_.empty(); }

    // `hash` must come from this table's hash_prefixes for exactly `path`.
    // The value stays where it is, whatever is inserted later.
    Mapped const* find(std::string_view path, uint64_t hash) const
    {
        auto it = table_.find(PathKey{path, hash});
        return it == table_.end() ? nullptr : &it->second;
    }
    Mapped* find(std::string_view path, uint64_t hash)
    {
        auto it = table_.find(PathKey{path, hash});
        return it == table_.end() ? nullptr : &it->second;
    }

    // False, leaving the stored value, when the path is already present.
    // `path` must outlive the table.
    bool insert(std::string_view path, uint64_t hash, Mapped value = {})
    {
        return table_.emplace(PathKey{path, hash}, value).second;
    }

private:
    PathHashSecret const& secret_;
    std::unordered_map<PathKey, Mapped, PathKeyHash, PathKeyEqual> table_;
    static constexpr uint64_t zero_hash = 0; // what the first segment is chained to
    std::vector<uint64_t> hashes_;
    std::vector<size_t> ends_;
    std::string previous_;
    std::string scratch_;
};

} // namespace quastor::plan_detail
