// Entry preparation: CRC-32, compression and spilling, on the creation pool.

#include "archive/records.hpp"
#include "common/buffer.hpp"
#include "common/crc32.hpp"
#include "common/fd.hpp"
#include "common/pool.hpp"
#include "common/text.hpp"
#include "compress/in_order.hpp"
#include "compress/prepare.hpp"
#include "compress/reopen.hpp"
#include "compress/writer.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <fcntl.h>
#include <new>
#include <memory>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace quastor {

namespace {

PreparedEntry empty_entry(SourceEntry const& entry)
{
    PreparedEntry prepared;
    prepared.data = EmptyData{};
    prepared.name = entry.name;
    prepared.external_attr = entry.external_attr;
    prepared.method = zip::method_stored;
    prepared.flags = zip::written::flag_utf8_name;
    return prepared;
}

// The link is opened itself (O_PATH without following it) and read through
// its descriptor, so the target read is the one of the link collected.
Result<PreparedEntry> prepare_symlink(SourceEntry const& entry)
{
    struct stat status;
    UniqueFd const link
        = QUASTOR_TRY(open_collected(AT_FDCWD, entry.path, entry.path, O_PATH, entry.identity, S_IFLNK, status));
    std::string target = QUASTOR_TRY(read_link(link.get(), ""));
    if (target.size() > zip::max_entry_size)
        return fail(QuastorError::archive_too_large("Symlink target exceeds ZIP limits"));
    PreparedEntry prepared = empty_entry(entry);
    prepared.crc32 = crc32(Bytes(reinterpret_cast<uint8_t const*>(target.data()), target.size()));
    prepared.compressed_size = static_cast<uint32_t>(target.size());
    prepared.uncompressed_size = static_cast<uint32_t>(target.size());
    prepared.data = InlineData{std::move(target)};
    return prepared;
}

// Reads up to `buffer.size()` bytes from the start of the file; a file that
// shrank since its length was taken is read at its new length.
Result<Bytes> read_start(int fd, std::span<uint8_t> buffer) { return read_full_at(fd, buffer, 0); }

// The file is opened first and its status queried only when that fails: an
// empty file needs no opening, so one that cannot be opened is still fine.
// Non-blocking, so that a file replaced by a FIFO since it was listed
// cannot hang the worker, and never through a final link; what it is now
// is checked once it is open.
Result<UniqueFd> open_source(SourceEntry const& entry, bool& empty)
{
    QUASTOR_TRY(os_path(entry.path));
    int const opened = open_item(entry, O_RDONLY | O_NONBLOCK);
    if (opened >= 0)
        return UniqueFd(opened);
    Result<UniqueFd> fd = fail(QuastorError::io(errno));
    struct stat status;
    if (lstat_item(entry, status) != 0)
        return fail(errno == ENOTDIR || errno == ELOOP ? file_changed(entry.path) : QuastorError::io(errno));
    if (!is_collected(status, entry.identity, S_IFREG))
        return fail(file_changed(entry.path));
    if (status.st_size != 0)
        return fd;
    empty = true;
    return UniqueFd();
}

// An entry as its worker leaves it: prepared, its data bytes (deflated, or
// the file's own when stored) still in the worker's buffers until the next
// entry, and `entry.data` what the writer would read them from later.
struct FreshEntry {
    PreparedEntry entry;
    std::optional<Bytes> in_hand;
};

Result<FreshEntry> prepare_file(SourceEntry const& entry, EntryWorkspace& workspace)
{
    PreparedEntry prepared = empty_entry(entry);
    bool empty = false;
    UniqueFd fd = QUASTOR_TRY(open_source(entry, empty));
    if (empty)
        return FreshEntry{std::move(prepared), std::nullopt};
    struct stat status;
    if (::fstat(fd.get(), &status) != 0)
        return fail(QuastorError::io(errno));
    if (!S_ISREG(status.st_mode))
        return fail(QuastorError::invalid_input("Unsupported filesystem entry: " + decode_utf8_lossy(entry.path)));
    // Any path component may have been swapped for a link since the
    // listing: only the file collected may be read.
    if (!is_collected(status, entry.identity, S_IFREG))
        return fail(file_changed(entry.path));
    prepared.source = SourceOrigin{entry.path, entry.identity, entry.directory};
    uint64_t const length = static_cast<uint64_t>(status.st_size);
    if (length > zip::max_entry_size)
        return fail(QuastorError::archive_too_large("File exceeds ZIP32 size limits"));

    std::span<uint8_t> buffer = QUASTOR_TRY(workspace.input().reserve(static_cast<size_t>(length)));
    Bytes bytes = QUASTOR_TRY(read_start(fd.get(), buffer));
    // A file emptied since it was first seen is read as it now is: an empty
    // file.
    if (bytes.empty())
        return FreshEntry{std::move(prepared), std::nullopt};

    prepared.crc32 = crc32(bytes);
    prepared.uncompressed_size = static_cast<uint32_t>(bytes.size());
    prepared.compressed_size = static_cast<uint32_t>(bytes.size());
    std::optional<Bytes> const kept = bytes.size() < min_deflate_length || workspace.level() == 0
        ? std::nullopt
        : QUASTOR_TRY(workspace.deflate(bytes));
    // DEFLATE is kept only when it saves something; otherwise the entry is
    // stored, and the writer may copy the source file again.
    if (!kept) {
        prepared.data = SourceFileData{entry.path, entry.identity};
        return FreshEntry{std::move(prepared), bytes};
    }
    prepared.compressed_size = static_cast<uint32_t>(kept->size());
    prepared.method = zip::method_deflate;
    return FreshEntry{std::move(prepared), *kept};
}

Result<FreshEntry> prepare_fresh(SourceEntry const& entry, EntryWorkspace& workspace)
{
    switch (entry.kind) {
    case SourceKind::Directory:
        return FreshEntry{empty_entry(entry), std::nullopt};
    case SourceKind::Symlink:
        return FreshEntry{QUASTOR_TRY(prepare_symlink(entry)), std::nullopt};
    case SourceKind::File:
        return prepare_file(entry, workspace);
    }
    return FreshEntry{empty_entry(entry), std::nullopt};
}

// Moves deflated bytes out of the worker's buffer before its next entry:
// into memory while `budget` grants it, else into the entry's scratch file.
// Stored bytes need no keeping, since the writer can read the source file
// again; `keep_stored` keeps them in memory too while the budget grants it,
// which spares the writer an open and a read of a small file.
Result<PreparedEntry> park(
    size_t index, FreshEntry fresh, ScratchDir const& scratch, InlineBudget* budget, bool keep_stored = false)
{
    PreparedEntry& prepared = fresh.entry;
    if (!fresh.in_hand)
        return std::move(prepared);
    bool const deflated = prepared.method == zip::method_deflate;
    if (!deflated && !keep_stored)
        return std::move(prepared);
    Bytes const bytes = *fresh.in_hand;
    if (budget != nullptr && budget->take(bytes.size())) {
        prepared.data = InlineData{std::string(reinterpret_cast<char const*>(bytes.data()), bytes.size())};
        return std::move(prepared);
    }
    if (!deflated)
        return std::move(prepared);
    UniqueFd out = QUASTOR_TRY(scratch.create_entry(index));
    QUASTOR_TRY(write_all(out.get(), bytes));
    prepared.data = ScratchFileData{scratch.entry_path(index), scratch.fd(), scratch.entry_name(index)};
    return std::move(prepared);
}

} // namespace

Result<PreparedEntry> prepare_entry(size_t index, SourceEntry const& entry, ScratchDir const& scratch,
    EntryWorkspace& workspace, InlineBudget* budget)
{
    return park(index, QUASTOR_TRY(prepare_fresh(entry, workspace)), scratch, budget);
}

namespace {

// The order in which entries start: the files that are each a large share
// of the whole work first, largest first, then the rest in archive order.
// A file like that started late would leave one worker compressing it
// alone at the end; started first, it runs beside everything else. Moving
// no more than those keeps most entries reaching the writer in its order,
// so that few are parked. Empty when the archive order will do.
std::vector<size_t> start_order(std::span<SourceEntry const> entries, size_t workers)
{
    uint64_t total = 0;
    for (SourceEntry const& entry : entries)
        total += entry.listed_size;
    uint64_t const large = total / (2 * std::max<size_t>(workers, 1));
    std::vector<size_t> order;
    if (workers < 2 || large == 0)
        return order;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].listed_size >= large)
            order.push_back(i);
    }
    // Where the large files already come first, there is nothing to move.
    bool leading = true;
    for (size_t i = 0; i < order.size() && leading; ++i)
        leading = order[i] == i;
    if (leading)
        return {};
    std::stable_sort(order.begin(), order.end(),
        [&](size_t a, size_t b) { return entries[a].listed_size > entries[b].listed_size; });
    size_t const moved = order.size();
    for (size_t i = 0, m = 0; i < entries.size(); ++i) {
        if (m < moved && entries[i].listed_size >= large) {
            ++m;
            continue;
        }
        order.push_back(i);
    }
    return order;
}

} // namespace

Result<std::vector<PreparedEntry>> prepare_entries(std::span<SourceEntry const> entries, ScratchDir const& scratch,
    WorkerPool& pool, int level, Progress* progress, ArchiveWriter* stream, CallInterruption* interruption)
{
    size_t const count = entries.size();
    std::vector<PreparedEntry> prepared(count);
    unsigned const workers = static_cast<unsigned>(std::min<size_t>(pool.size(), count));
    std::vector<size_t> const order = start_order(entries, workers);
    // Workers take the next place in the start order from a shared counter
    // and store each result at its own index, so the list is in input order
    // whatever the interleaving.
    std::atomic<size_t> next{0};
    std::atomic<bool> stop{false};
    std::mutex error_lock;
    std::optional<QuastorError> first_error;
    InlineBudget budget;
    std::optional<InOrder> in_order;
    if (stream != nullptr)
        in_order.emplace(*stream, prepared, budget);

    // Prepares entry `index`, and writes it or leaves it for the writer.
    auto one = [&](size_t index, EntryWorkspace& workspace) -> Result<void> {
        FreshEntry fresh = QUASTOR_TRY_ABOUT(prepare_fresh(entries[index], workspace), entries[index].path);
        uint32_t const size = fresh.entry.uncompressed_size;
        if (in_order) {
            prepared[index] = std::move(fresh.entry);
            Bytes const* in_hand = fresh.in_hand ? &*fresh.in_hand : nullptr;
            if (!QUASTOR_TRY(in_order->write_if_next(index, in_hand))) {
                // Not written: nobody else touches this index until it is
                // marked parked, so the entry may be taken back meanwhile.
                fresh.entry = std::move(prepared[index]);
                prepared[index] = QUASTOR_TRY(park(index, std::move(fresh), scratch, &budget, true));
                QUASTOR_TRY(in_order->parked(index));
            }
        } else {
            prepared[index] = QUASTOR_TRY(park(index, std::move(fresh), scratch, &budget));
        }
        if (progress != nullptr)
            progress->finished(size);
        return {};
    };

    auto work = [&](unsigned) {
        EntryWorkspace workspace(level);
        while (!stop.load(std::memory_order_acquire)) {
            size_t const place = next.fetch_add(1, std::memory_order_relaxed);
            if (place >= count)
                return;
            size_t const index = order.empty() ? place : order[place];
            Result<void> result = one(index, workspace);
            if (!result) {
                // Never wait on another worker's error: the first one
                // recorded wins and later ones are dropped.
                if (error_lock.try_lock()) {
                    if (!first_error)
                        first_error.emplace(std::move(result).error());
                    error_lock.unlock();
                }
                stop.store(true, std::memory_order_release);
                return;
            }
        }
    };
    std::function<void()> const look_up = [&] {
        if (interruption->interrupted())
            stop.store(true, std::memory_order_release);
    };
    pool.run(workers, work, interruption != nullptr && interruption->pollable() ? &look_up : nullptr);
    if (interruption != nullptr && interruption->seen())
        return fail(CallInterruption::error());

    // run() has returned from every worker's task, so the slot is read alone.
    if (first_error)
        return fail(std::move(*first_error));
    return prepared;
}

} // namespace quastor
