#pragma once

// PathTable: the lookup tables of plan building. Keys are relative paths
// from an untrusted archive, so each table hashes with SipHash under a key of
// its own drawn at random: names cannot be chosen to collide.
//
// Keys are views, not copies: they point into the relative_path strings of
// the plan being built, whose storage is reserved up front and never moves
// while the tables live. Copying every ancestor of a deep name would cost
// memory quadratic in the name's length.

#include <sodium.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quastor::plan_detail {

struct PathKey {
    std::string_view text;
    uint64_t hash;
};

struct PathKeyHash {
    size_t operator()(PathKey const& key) const { return key.hash; }
};

struct PathKeyEqual {
    bool operator()(PathKey const& a, PathKey const& b) const { return a.text == b.text; }
};

// Call only after sodium_init() has succeeded.
template <typename Mapped>
class PathTable {
public:
    explicit PathTable(size_t expected)
    {
        randombytes_buf(key_, sizeof key_);
        table_.reserve(expected);
    }

    // The hashes of the path's leading parts that end at a segment boundary,
    // shortest first: for "a/b/c" those of "a", "a/b" and "a/b/c". Chained,
    // h("a/b") = SipHash(h("a") || "b"), so all of them cost one pass over
    // the path however deep it is. Valid until the next call.
    std::span<uint64_t const> hash_prefixes(std::string_view path)
    {
        hashes_.clear();
        uint64_t hash = 0;
        for (;;) {
            size_t const slash = path.find('/');
            std::string_view const segment = path.substr(0, slash);
            scratch_.assign(reinterpret_cast<char const*>(&hash), sizeof hash);
            scratch_.append(segment);
            crypto_shorthash(reinterpret_cast<unsigned char*>(&hash),
                reinterpret_cast<unsigned char const*>(scratch_.data()), scratch_.size(), key_);
            hashes_.push_back(hash);
            if (slash == std::string_view::npos)
                break;
            path.remove_prefix(slash + 1);
        }
        return hashes_;
    }

    bool empty() const { return table_.empty(); }

    // `hash` must come from this table's hash_prefixes for exactly `path`.
    Mapped const* find(std::string_view path, uint64_t hash) const
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
    static_assert(sizeof(uint64_t) == crypto_shorthash_BYTES);
    unsigned char key_[crypto_shorthash_KEYBYTES];
    std::unordered_map<PathKey, Mapped, PathKeyHash, PathKeyEqual> table_;
    std::vector<uint64_t> hashes_;
    std::string scratch_;
};

} // namespace quastor::plan_detail
