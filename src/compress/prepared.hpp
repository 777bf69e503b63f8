#pragma once

// Entries ready for the writer: checksummed, compressed or not, and told
// where their data bytes will come from.

#include "compress/source.hpp"
#include "error.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace quastor {

class WorkerPool;

// Where an entry's data comes from at write time. The alternatives keep the
// tag order 0..3: nothing, bytes held here (link targets), the source file
// itself (stored), or the entry's scratch file (deflated).
struct EmptyData {};
struct InlineData {
    std::string bytes;
};
struct SourceFileData {
    std::string path;
};
struct ScratchFileData {
    std::string path;
};
using EntryData = std::variant<EmptyData, InlineData, SourceFileData, ScratchFileData>;

// One entry as the writer emits it. Holds no descriptor, mapping or
// compressed bytes; the writer expects exactly `compress_size` bytes from a
// named file and treats any other count as a changed file.
struct PreparedEntry {
    EntryData data;
    std::string name;
    uint32_t crc32 = 0;
    uint32_t compress_size = 0;
    uint32_t file_size = 0;
    uint32_t external_attr = 0;
    uint16_t compress_type = 0;
    uint16_t flags = 0;
    // The file a File entry was read from: the writer refuses to overwrite
    // it, whatever path led there.
    std::optional<FileIdentity> source_identity;
};

// The call's private directory of deflated entry data. Owns the directory:
// dropping it removes the directory and everything in it, ignoring errors.
// Shared read-only by all workers; each writes only its own entry_path(i).
class ScratchDir {
public:
    explicit ScratchDir(std::string path) : path_(std::move(path)) {}
    ScratchDir(ScratchDir&& other) noexcept : path_(std::exchange(other.path_, std::string())) {}
    ScratchDir& operator=(ScratchDir&&) = delete;
    ScratchDir(ScratchDir const&) = delete;
    ScratchDir& operator=(ScratchDir const&) = delete;
    ~ScratchDir();

    std::string const& path() const { return path_; }
    // "<dir>/<index, at least 8 digits>.deflate"; touches nothing on disk.
    std::string entry_path(size_t index) const;

private:
    std::string path_;
};

// Files under this length are stored without trying to compress them.
constexpr uint64_t min_deflate_length = 64;

// Reads, checksums and, for a file of 64 bytes or more, deflates one entry,
// spilling kept DEFLATE output to scratch.entry_path(index). Any thread.
Result<PreparedEntry> prepare_entry(size_t index, SourceEntry const& entry, ScratchDir const& scratch);

// Prepares every entry on `pool`, the calling thread only waiting. Results
// come back in input order; after the first failure no new entry starts,
// and the first error recorded is the one returned.
Result<std::vector<PreparedEntry>> prepare_entries(std::span<SourceEntry const> entries, ScratchDir const& scratch,
    WorkerPool& pool);

} // namespace quastor
