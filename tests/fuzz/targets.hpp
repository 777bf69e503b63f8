#pragma once

// The bodies of the fuzz targets. libFuzzer drives them through
// fuzz_main.cpp; the replay runner feeds them the kept regressions through
// the normal build. Each returns normally for any input the core handles
// soundly (refusal included) and aborts, naming the broken promise, when it
// does not. They run on the calling thread; extraction also uses the pool.

#include <cstddef>
#include <cstdint>

namespace quastor::fuzz {

// Archive bytes through parsing and planning, as a preflight of bytes does.
void preflight_one(uint8_t const* data, size_t size);
// Archive bytes extracted into a fresh directory; nothing may appear beside
// it and no entry may be written through a link.
void extract_one(uint8_t const* data, size_t size);
// Entry name bytes through the path rules and the quoted forms.
void path_rules_one(uint8_t const* data, size_t size);
// A raw DEFLATE stream (after a declared size and a chunk size) inflated in
// one pass and in chunks with a helper: one verdict, the same bytes.
void chunked_one(uint8_t const* data, size_t size);

struct Target {
    char const* name; // also the subdirectory of its regressions and seeds
    void (*run)(uint8_t const* data, size_t size);
};

inline constexpr Target targets[] = {
    {"preflight", preflight_one},
    {"extract", extract_one},
    {"path_rules", path_rules_one},
    {"chunked", chunked_one},
};

} // namespace quastor::fuzz
