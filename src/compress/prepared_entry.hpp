#pragma once

// One entry as the writer takes it: header fields and where its data bytes come from.

#include "common/fd.hpp"
#include "common/file_identity.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <string>
#include <variant>

namespace quastor {

// Where an entry's data comes from at write time. The alternatives keep the
// tag order 0..3: nothing, bytes held here (link targets, and small DEFLATE
// output while the call's memory budget lasts), the source file itself
// (stored), or the entry's scratch file (deflated).
struct EmptyData {};
struct InlineData {
    std::string bytes;
};
struct SourceFileData {
    std::string path;
    // The file that was read and checksummed: the writer copies from it
    // alone, never from whatever else the path may lead to by then.
    FileIdentity identity;
};
struct ScratchFileData {
    std::string path; // names the file in errors
    // The scratch directory's descriptor, borrowed from the ScratchDir that
    // outlives every prepared entry, and the file's name in it: the file is
    // read back by descriptor, never by a path that another user could
    // redirect.
    int directory = AT_FDCWD;
    std::string name;
};
using EntryData = std::variant<EmptyData, InlineData, SourceFileData, ScratchFileData>;

// A source file by the path it was read from and the identity it had, and
// the directory collection held for it, if any (see SourceEntry).
struct SourceOrigin {
    std::string path;
    FileIdentity identity;
    std::shared_ptr<UniqueFd const> directory;
};

// One entry as the writer emits it. Holds no descriptor, mapping or
// compressed bytes; the writer expects exactly `compressed_size` bytes from a
// named file, and from a source file the recorded CRC-32 too, and treats
// anything else as a changed file.
struct PreparedEntry {
    EntryData data;
    std::string name;
    uint32_t crc32 = 0;
    uint32_t compressed_size = 0;
    uint32_t uncompressed_size = 0;
    uint32_t external_attr = 0;
    uint16_t method = 0;
    uint16_t flags = 0;
    // The file a File entry was read from: while its path still leads to
    // it, the writer refuses to overwrite it, whatever path led there.
    std::optional<SourceOrigin> source;
};

// Bytes of DEFLATE output that one call may keep in memory instead of in
// scratch files. A scratch file costs a create, a copy and an unlink, which
// for a tree of tiny files dwarfs the compression itself; the budget keeps
// memory bounded whatever the archive's size. Shared by the workers.
class InlineBudget {
public:
    static constexpr size_t max_entry = size_t{64} << 10;
    static constexpr size_t call_total = size_t{32} << 20;

    explicit InlineBudget(size_t total = call_total) : left_(total) {}
    // Reserves `size` bytes; false when the entry is too large or the
    // budget would be exceeded (the caller spills to a scratch file).
    bool take(size_t size)
    {
        if (size > max_entry)
            return false;
        size_t left = left_.load(std::memory_order_relaxed);
        while (left >= size) {
            if (left_.compare_exchange_weak(left, left - size, std::memory_order_relaxed))
                return true;
        }
        return false;
    }
    // Returns what an entry took once its bytes are written and freed.
    void give_back(size_t size) { left_.fetch_add(size, std::memory_order_relaxed); }

private:
    std::atomic<size_t> left_;
};

} // namespace quastor
