#pragma once

// Entries ready for the writer: checksummed, compressed or not, and told
// where their data bytes will come from.

#include "common/buffer.hpp"
#include "common/bytes.hpp"
#include "common/fd.hpp"
#include "common/interruption.hpp"
#include "common/leftovers.hpp"
#include "compress/source.hpp"
#include "common/progress.hpp"
#include "error.hpp"

#include <atomic>
#include <cstdint>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

struct libdeflate_compressor;
struct isal_zstream;

namespace quastor {

class WorkerPool;
class ArchiveStream;

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

// The call's private directory of deflated entry data, held by descriptor.
// Made with mode 0700 whatever the umask, its files made in it exclusively,
// never through a link, with mode 0600, and read back relative to it, so
// that no other user can read, plant or swap anything there. Owns the
// directory: remove(), or dropping it, removes the directory and everything
// in it, ignoring errors. Shared read-only by all workers; each creates
// only its own entry file.
class ScratchDir {
public:
    // Makes "quastor-<pid>-<ns since the epoch>-<attempt>" in `root` (the
    // caller's TMPDIR). Io where `root` cannot be reached or written;
    // InvalidInput "Failed to allocate a temporary scratch directory" after
    // 1024 names in a row that were taken.
    static Result<ScratchDir> allocate(std::string const& root);
    // Adopts the existing directory at `path` (opened without following a
    // final link); entry files cannot be made where it cannot be opened.
    explicit ScratchDir(std::string path);
    // The directory `name` that the caller made in `parent`, held as
    // `directory`; `path` is how errors name it.
    ScratchDir(std::string path, UniqueFd parent, std::string name, UniqueFd directory)
        : path_(std::move(path)), name_(std::move(name)), parent_(std::move(parent)), directory_(std::move(directory))
    {
    }
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
    std::string path_;
    std::string name_;
    UniqueFd parent_;
    UniqueFd directory_;
    Leftover leftover_;
};

// Files under this length are stored without trying to compress them.
constexpr uint64_t min_deflate_length = 64;

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
    bool take(size_t size);
    // Returns what an entry took once its bytes are written and freed.
    void give_back(size_t size) { left_.fetch_add(size, std::memory_order_relaxed); }

private:
    std::atomic<size_t> left_;
};

// DEFLATE levels as libdeflate takes them, 12 compressing hardest; at 0
// every file is stored without trying. 6 gives the module's archives. The
// fast end, 1, is ISA-L's engine rather than libdeflate's: about four times
// libdeflate's level 1 on text, and at once done with data that does not
// compress, for a somewhat lower ratio.
constexpr int min_deflate_level = 0;
constexpr int max_deflate_level = 12;
constexpr int default_deflate_level = 6;
constexpr int fast_level = 1;

// What one worker reuses from entry to entry: its compressor at the call's
// level, allocated on first use, the buffer a file is read into and the
// buffer it is deflated into. Files are read, not mapped: a mapped file
// that another process truncates raises SIGBUS and would take the
// interpreter down, and every mmap and munmap takes the process's
// address-space lock and flushes the other workers' TLBs. Never shared.
class EntryWorkspace {
public:
    // `level` is libdeflate's; at 0 files are stored without compressing,
    // and at 1 ISA-L's engine deflates (see fast_level).
    explicit EntryWorkspace(int level = default_deflate_level) : level_(level) {}
    int level() const { return level_; }
    // Deflates `input` (not empty) at the workspace's level into its output
    // buffer: the compressed bytes, valid until the buffer's next use, or
    // nullopt when they would not be smaller than the input. Io ENOMEM when
    // a compressor cannot be allocated, as for any memory.
    Result<std::optional<Bytes>> deflate(Bytes input);
    ReusableBuffer& input() { return input_; }

private:
    Result<std::optional<Bytes>> deflate_fast(Bytes input);
    Result<libdeflate_compressor*> compressor();
    // ISA-L's stream and the working memory its level needs, for level 1.
    Result<isal_zstream*> fast_stream();

    struct FreeCompressor {
        void operator()(libdeflate_compressor* compressor) const;
    };
    struct FreeStream {
        void operator()(isal_zstream* stream) const;
    };
    int level_;
    std::unique_ptr<libdeflate_compressor, FreeCompressor> compressor_;
    std::unique_ptr<isal_zstream, FreeStream> fast_stream_;
    std::unique_ptr<uint8_t[]> fast_level_buffer_;
    ReusableBuffer input_;
    ReusableBuffer output_;
};

// Reads, checksums and, for a file of 64 bytes or more, deflates one entry.
// Kept DEFLATE output stays in memory when `budget` grants it, otherwise it
// is spilled to scratch.entry_path(index). A file or link is read only if
// its path still leads to the item collected (`entry.identity`), never
// through a final link; otherwise "File changed while building the
// archive: <path>". Any thread; `workspace` is the calling worker's own.
Result<PreparedEntry> prepare_entry(size_t index, SourceEntry const& entry, ScratchDir const& scratch,
    EntryWorkspace& workspace, InlineBudget* budget = nullptr);

// Prepares every entry on `pool`, deflating at `level` (0 to 12), the
// calling thread only waiting. Results come back in input order; after the
// first failure no new entry starts, and the first error recorded is the
// one returned. With a `stream`, every entry is also appended to it as soon
// as all before it are, mostly straight from the worker's buffers, so that
// deflated bytes are written once; the results then carry no data, and the
// stream needs only finishing. An `interruption` seen while waiting stops
// the workers as a failure would, and is the call's error.
Result<std::vector<PreparedEntry>> prepare_entries(std::span<SourceEntry const> entries, ScratchDir const& scratch,
    WorkerPool& pool, int level = default_deflate_level, Progress* progress = nullptr,
    ArchiveStream* stream = nullptr, CallInterruption* interruption = nullptr);

} // namespace quastor
