// Extraction: the plan executed on the shared pool, by descriptor.

#include "extract/extract.hpp"

#include "archive/archive.hpp"
#include "common/kernel_calls.hpp"
#include "common/pool.hpp"
#include "common/text.hpp"
#include "extract/decode.hpp"
#include "extract/directories.hpp"
#include "extract/large_member.hpp"
#include "extract/piece_writer.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace quastor {

namespace {

// What one worker keeps from entry to entry: its decompressor, its buffers
// for stored and decoded data, and its directory descriptors (none when
// only verifying).
struct WorkerState {
    Decompressor decompressor;
    ReusableBuffer stored;
    ReusableBuffer decoded;
    LargeMemberState large;
    std::optional<DirectoryHandles> directories;
    // Workers of the call that have run out of work.
    std::atomic<unsigned> const* idle_workers = nullptr;
};

Result<DecodedData> decode_checked(ArchiveSource const& archive, ExtractionPlanEntry const& planned, WorkerState& worker)
{
    ZipEntry const& entry = planned.entry;
    Bytes const stored
        = QUASTOR_TRY(archive.read(planned.data_offset, static_cast<size_t>(entry.compressed_size), worker.stored));
    DecodedData const data = QUASTOR_TRY(decode_stored_data(entry, stored, worker.decompressor.get(), worker.decoded));
    QUASTOR_TRY(check_crc32(entry, data));
    return data;
}

// Opens a file entry's target for writing, creating or emptying it.
Result<UniqueFd> open_target(DirectoryHandle directory, std::string const& name)
{
    // Never blocks: a FIFO in the file's place fails (ENXIO) instead of
    // waiting for a reader. A link is followed only where it may predate
    // the call; in a directory the call made, one can only have been
    // planted meanwhile.
    int const flags = O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | (directory.created ? O_NOFOLLOW : 0);
    UniqueFd file(open_at(directory.fd, QUASTOR_TRY(os_path(name)), flags, 0666));
    if (!file)
        return fail(QuastorError::io(errno));
    struct stat status;
    if (::fstat(file.get(), &status) != 0)
        return fail(QuastorError::io(errno));
    if (!S_ISREG(status.st_mode))
        return fail(QuastorError::io(ENXIO));
    return file;
}

// Zeros no stream wrote are not written: the file is extended, which reads
// as the same bytes. Then the archived mode, through the descriptor
// written, so that a link swapped in at the path meanwhile cannot pass the
// mode on to another file.
Result<void> finish_file(int fd, ExtractionPlanEntry const& planned, uint64_t zero_tail)
{
    if (zero_tail != 0 && ::ftruncate(fd, static_cast<off_t>(planned.entry.uncompressed_size)) != 0)
        return fail(QuastorError::io(errno));
    if (planned.entry.external_attr >= 0x10000) {
        if (::fchmod(fd, static_cast<mode_t>((planned.entry.external_attr >> 16) & 07777)) != 0)
            return fail(QuastorError::io(errno));
    }
    return {};
}

Result<void> write_file(DirectoryHandle directory, std::string const& name, ExtractionPlanEntry const& planned,
    DecodedData const& data)
{
    UniqueFd file = QUASTOR_TRY(open_target(directory, name));
    QUASTOR_TRY(write_all(file.get(), data.written()));
    // Closing happens as `file` goes; its error changes nothing written.
    return finish_file(file.get(), planned, data.zero_tail);
}

// Copies a whole file into another, both open, in the kernel.
Result<void> copy_whole(int from, int to, uint64_t length)
{
    off_t in = 0;
    while (static_cast<uint64_t>(in) < length) {
        ssize_t copied = kernel_copy_range(from, &in, to, nullptr, static_cast<size_t>(length - in));
        if (copied < 0 && errno == EINTR)
            continue;
        if (copied < 0)
            return fail(QuastorError::io(errno));
        if (copied == 0)
            return fail(QuastorError::io_unexpected_eof());
    }
    return {};
}

// A member too large to hold whole is streamed into a file without a name
// beside its target, and given the target's name only once its CRC-32 has
// matched: as with any file, a member whose data is bad leaves nothing.
Result<void> write_large_file(ArchiveSource const& archive, DirectoryHandle directory, std::string const& name,
    ExtractionPlanEntry const& planned, WorkerState& worker)
{
    UniqueFd temporary(open_at(directory.fd, ".", O_TMPFILE | O_RDWR, 0666));
    if (!temporary) {
        // A file system without unnamed files: decoded whole, as before.
        DecodedData const data = QUASTOR_TRY(decode_checked(archive, planned, worker));
        return write_file(directory, name, planned, data);
    }
    int const fd = temporary.get();
    uint64_t zero_tail = 0;
    {
        std::atomic<unsigned> const* idle = worker.idle_workers;
        PieceWriter writer(fd, [idle] { return idle != nullptr && idle->load(std::memory_order_relaxed) != 0; });
        zero_tail = QUASTOR_TRY(stream_member(archive, planned, worker.large, [&](Bytes piece) { return writer.submit(piece); }));
        QUASTOR_TRY(writer.finish());
    }
    QUASTOR_TRY(finish_file(fd, planned, zero_tail));
    std::string const self = "/proc/self/fd/" + std::to_string(fd);
    if (::linkat(AT_FDCWD, self.c_str(), directory.fd, QUASTOR_TRY(os_path(name)), AT_SYMLINK_FOLLOW) == 0)
        return {};
    if (errno != EEXIST && errno != ENOENT)
        return fail(QuastorError::io(errno));
    // Something is already there (or /proc is not mounted): the target is
    // overwritten in place, as a smaller member's would be.
    UniqueFd file = QUASTOR_TRY(open_target(directory, name));
    QUASTOR_TRY(copy_whole(fd, file.get(), planned.entry.uncompressed_size));
    return finish_file(file.get(), planned, 0);
}

Result<void> create_symlink(DirectoryHandle directory, std::string const& name, DecodedData const& data)
{
    Bytes const written = data.written();
    std::string_view text(reinterpret_cast<char const*>(written.data()), written.size());
    if (!is_valid_utf8(text))
        return fail(QuastorError::invalid_zip("Invalid symlink target UTF-8"));
    // Zeros no stream wrote are NUL bytes, which no link target may hold.
    if (data.zero_tail != 0)
        return fail(QuastorError::io_nul_in_path());
    std::string link_target(text);
    char const* c_link_target = QUASTOR_TRY(os_path(link_target));
    // Never replaces: whatever already sits at the path makes this fail.
    if (::symlinkat(c_link_target, directory.fd, QUASTOR_TRY(os_path(name))) != 0)
        return fail(QuastorError::io(errno));
    return {};
}


Result<void> extract_one(ArchiveSource const& archive, ExtractionPlanEntry const& planned, WorkerState& worker)
{
    if (!worker.directories) {
        // Verifying: the plan has already decoded and checked every link
        // target, and directories hold no data.
        if (is_large_member(planned))
            (void)QUASTOR_TRY(stream_member(archive, planned, worker.large, [](Bytes) { return Result<void>(); }));
        else if (!planned.entry.is_dir && !planned.is_symlink)
            (void)QUASTOR_TRY(decode_checked(archive, planned, worker));
        return {};
    }
    std::string_view const path = planned.path;
    if (planned.entry.is_dir) {
        (void)QUASTOR_TRY(worker.directories->open(path));
        return {};
    }
    // Parents first, so that they exist even when the data turns out bad.
    std::string_view const parent = parent_of(path);
    DirectoryHandle const directory = QUASTOR_TRY(worker.directories->open(parent));
    std::string const name(parent.empty() ? path : path.substr(parent.size() + 1));
    if (is_large_member(planned))
        return write_large_file(archive, directory, name, planned, worker);
    DecodedData const data = QUASTOR_TRY(decode_checked(archive, planned, worker));
    if (planned.is_symlink)
        return create_symlink(directory, name, data);
    return write_file(directory, name, planned, data);
}

// Cost of an entry when handing out work: its uncompressed size plus a fixed
// amount standing for the file-system calls every entry makes, so that a run
// of tiny files weighs about as much as one file of comparable total size.
constexpr uint64_t per_entry_cost = 16 * 1024;
constexpr uint64_t inline_weight = 10 * per_entry_cost;

// One call's shared state. Workers first take the members too large to hold
// whole, largest first, one at a time from `next_large`, so that the
// longest jobs start at once. Then they claim consecutive index ranges of
// the other entries from `next`, each claim a share of the remaining weight
// that shrinks as the work runs out (large, distant ranges first, so that
// workers rarely meet in one directory; single entries at the end, so that
// nobody idles while another finishes a long range). Within its ranges a
// worker only moves forward, so its entries run in plan order with its one
// decompressor.
struct Execution {
    std::vector<ExtractionPlanEntry> const& plan;
    ArchiveSource const& archive;
    ReachedDirectories* directories; // none when only verifying
    Progress* progress;
    std::vector<uint64_t> weight; // weight[i]: cost of the ranged entries among [0, i)
    std::vector<size_t> large;    // indexes of the streamed members, largest first
    unsigned workers = 1;
    std::atomic<size_t> next_large{0};
    std::atomic<size_t> next{0};
    std::atomic<unsigned> idle{0};
    // Set once by the first failure; read without ordering, since a late
    // reader only does a little more work.
    std::atomic<bool> stop{false};
};

// The first error one worker met, with its entry's index. Written only by
// its worker; read by the caller after the pool's run has returned.
struct WorkerOutcome {
    size_t index = 0;
    std::optional<QuastorError> error;
};

bool claim(Execution& execution, size_t& begin, size_t& end)
{
    size_t const count = execution.plan.size();
    auto const& weight = execution.weight;
    size_t current = execution.next.load(std::memory_order_relaxed);
    for (;;) {
        if (current >= count)
            return false;
        uint64_t share = (weight[count] - weight[current]) / (2 * uint64_t{execution.workers});
        auto bound = std::lower_bound(weight.begin() + static_cast<ptrdiff_t>(current) + 1, weight.end(),
            weight[current] + share);
        size_t stop = std::min(static_cast<size_t>(bound - weight.begin()), count);
        if (execution.next.compare_exchange_weak(current, stop, std::memory_order_relaxed)) {
            begin = current;
            end = stop;
            return true;
        }
    }
}

void run_worker(Execution& execution, WorkerOutcome& outcome)
{
    // However the worker leaves, its processor is then to spare.
    struct Leaving {
        std::atomic<unsigned>& idle;
        ~Leaving() { idle.fetch_add(1, std::memory_order_relaxed); }
    } const leaving{execution.idle};
    WorkerState worker;
    worker.idle_workers = &execution.idle;
    if (execution.directories != nullptr)
        worker.directories.emplace(*execution.directories, directory_handles_per_worker(execution.workers));
    auto failed = [&](size_t index, QuastorError error) {
        outcome.index = index;
        outcome.error = std::move(error);
        execution.stop.store(true, std::memory_order_relaxed);
    };
    auto run = [&](size_t i) {
        auto done = extract_one(execution.archive, execution.plan[i], worker);
        if (!done.has_value()) {
            failed(i, std::move(done).error());
            return false;
        }
        if (execution.progress != nullptr)
            execution.progress->finished(execution.plan[i].entry.uncompressed_size);
        return !execution.stop.load(std::memory_order_relaxed);
    };
    // A worker's first failure ends its work, whichever list it came from,
    // so the lowest failing index over all workers is still the lowest
    // attempted.
    while (!execution.stop.load(std::memory_order_relaxed)) {
        size_t const k = execution.next_large.fetch_add(1, std::memory_order_relaxed);
        if (k >= execution.large.size())
            break;
        if (!run(execution.large[k]))
            return;
    }
    size_t begin = 0;
    size_t end = 0;
    while (!execution.stop.load(std::memory_order_relaxed) && claim(execution, begin, end)) {
        for (size_t i = begin; i < end; ++i) {
            if (is_large_member(execution.plan[i]))
                continue;
            if (!worker.decompressor) {
                auto made = make_decompressor();
                if (!made.has_value())
                    return failed(i, std::move(made).error());
                worker.decompressor = std::move(*made);
            }
            if (!run(i))
                return;
        }
    }
}

// Builds the plan, then runs it: into dest_path, or, without one, only
// decoding and checking the data.
Result<void> run_plan(std::vector<ZipEntry> entries, ArchiveSource const& archive, std::string const* dest_path,
    Progress* progress)
{
    std::vector<ExtractionPlanEntry> plan = QUASTOR_TRY(build_extraction_plan(std::move(entries), archive));
    if (plan.empty())
        return {};

    // Every entry lies below the root, so reaching it once here, before the
    // workers, gives each of them the error it would have met first.
    std::optional<ReachedDirectories> directories;
    if (dest_path != nullptr)
        directories.emplace(QUASTOR_TRY(reach_directories(*dest_path)));
    Execution execution{.plan = plan, .archive = archive, .directories = directories ? &*directories : nullptr,
        .progress = progress, .weight = {}, .large = {}};
    execution.weight.resize(plan.size() + 1);
    uint64_t total = 0;
    for (size_t i = 0; i < plan.size(); ++i) {
        uint64_t const cost = plan[i].entry.uncompressed_size + per_entry_cost;
        total += cost;
        bool const large = is_large_member(plan[i]);
        if (large)
            execution.large.push_back(i);
        execution.weight[i + 1] = execution.weight[i] + (large ? 0 : cost);
    }
    std::stable_sort(execution.large.begin(), execution.large.end(),
        [&](size_t a, size_t b) { return plan[a].entry.uncompressed_size > plan[b].entry.uncompressed_size; });

    std::vector<WorkerOutcome> outcomes;
    // Waking the pool costs more than a handful of small entries take, so
    // a small archive (a typical small wheel) stays on the calling thread.
    // Processors no worker of this call will use count as idle from the
    // start: a lone large member may write on one of them.
    if (plan.size() < 2 || total < inline_weight) {
        outcomes.resize(1);
        execution.idle.store(available_processors() > 1 ? 1 : 0, std::memory_order_relaxed);
        run_worker(execution, outcomes[0]);
    } else {
        WorkerPool* pool = QUASTOR_TRY(shared_extraction_pool());
        execution.workers = static_cast<unsigned>(std::min<size_t>(pool->size(), plan.size()));
        execution.idle.store(pool->size() - execution.workers, std::memory_order_relaxed);
        outcomes.resize(execution.workers);
        if (execution.workers == 1)
            run_worker(execution, outcomes[0]);
        else
            pool->run(execution.workers, [&](unsigned worker) { run_worker(execution, outcomes[worker]); });
    }

    // Each worker stopped at its own first failure and moved only forward, so
    // the lowest of these indexes is the lowest failing entry attempted.
    WorkerOutcome* first = nullptr;
    for (auto& outcome : outcomes)
        if (outcome.error.has_value() && (first == nullptr || outcome.index < first->index))
            first = &outcome;
    if (first != nullptr)
        return fail(std::move(*first->error));
    return {};
}

} // namespace

Result<void> extract(std::string const& archive_path, std::string const& dest_path, Progress* progress)
{
    ZipArchive archive = QUASTOR_TRY(ZipArchive::open(archive_path));
    return run_plan(std::move(archive.entries()), archive.source(), &dest_path, progress);
}

Result<void> extract_from_bytes(Bytes archive, std::string const& dest_path, Progress* progress)
{
    std::vector<ZipEntry> entries = QUASTOR_TRY(ZipArchive::parse_entries(archive));
    return run_plan(std::move(entries), archive, &dest_path, progress);
}

Result<void> verify(std::string const& archive_path, Progress* progress)
{
    ZipArchive archive = QUASTOR_TRY(ZipArchive::open(archive_path));
    return run_plan(std::move(archive.entries()), archive.source(), nullptr, progress);
}

Result<void> verify_bytes(Bytes archive, Progress* progress)
{
    std::vector<ZipEntry> entries = QUASTOR_TRY(ZipArchive::parse_entries(archive));
    return run_plan(std::move(entries), archive, nullptr, progress);
}

} // namespace quastor
