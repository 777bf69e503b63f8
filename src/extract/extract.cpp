// Extraction: the plan executed on the shared pool, by descriptor.

#include "extract/extract.hpp"

#include "archive/archive.hpp"
#include "common/interruption.hpp"
#include "common/path.hpp"
#include "common/pool.hpp"
#include "common/text.hpp"
#include "archive/source.hpp"
#include "extract/decode.hpp"
#include "extract/directories.hpp"
#include "extract/large_member.hpp"
#include "extract/piece_writer.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <functional>
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
    // Small members' stored bytes, read ahead in blocks: a worker's entries
    // run in plan order, which is usually the order of their data, so one
    // read serves a run of tiny members. Made on the first use.
    std::optional<SourceCursor> ahead;
    uint64_t last_end = 0; // where the stored bytes last read ended
    // Workers of the call that have run out of work.
    std::atomic<unsigned> const* idle_workers = nullptr;
};

// Members stored in at most this many bytes are read through the worker's
// read-ahead block; larger ones on their own, into the worker's buffer.
constexpr uint64_t read_ahead_limit = uint64_t{16} << 10;

// Only forward: data laid out in another order than the plan's is read
// member by member, never a block for each one.
Result<Bytes> read_stored(ArchiveSource const& archive, ExtractionPlanEntry const& planned, WorkerState& worker)
{
    uint64_t const offset = planned.data_offset;
    size_t const length = static_cast<size_t>(planned.entry.compressed_size);
    bool const forward = offset >= worker.last_end;
    worker.last_end = offset + length;
    if (length > read_ahead_limit || !forward)
        return archive.read(offset, length, worker.stored);
    if (!worker.ahead)
        worker.ahead.emplace(archive);
    return worker.ahead->read(offset, length);
}

Result<DecodedData> decode_checked(ArchiveSource const& archive, ExtractionPlanEntry const& planned, WorkerState& worker)
{
    ZipEntry const& entry = planned.entry;
    Bytes const stored = QUASTOR_TRY(read_stored(archive, planned, worker));
    DecodedData const data = QUASTOR_TRY(decode_stored_data(entry, stored, worker.decompressor.get(), worker.decoded));
    QUASTOR_TRY(check_crc32(entry, data));
    return data;
}

// The mode a file this call creates is made with. The final mode itself when
// whoever may open the file meanwhile could open it as well once it has
// that mode; 0600 for a set-ID or sticky one, so that nobody can hold it
// open for writing once it has those bits. The archived mode, or else 0666,
// less the umask in both cases: a mode the umask narrows is widened later.
mode_t creation_mode(ExtractionPlanEntry const& planned)
{
    if (planned.entry.external_attr < 0x10000)
        return 0666;
    mode_t const archived = static_cast<mode_t>((planned.entry.external_attr >> 16) & 07777);
    return (archived & 07000) != 0 ? 0600 : archived;
}

// Zeros no stream wrote are not written: the file is extended, which reads
// as the same bytes. Then the mode, through the descriptor written, so that
// a link swapped in at the path meanwhile cannot pass it on to another file:
// the archived one, or for a file this call created 0666 less the umask.
// `created` is the mode a file this call made was given (the umask
// applied), none for one that was there: when it is already the final
// mode, nothing is left to set.
Result<void> finish_file(
    int fd, std::optional<mode_t> created, ExtractionPlanEntry const& planned, uint64_t zero_tail, mode_t umask)
{
    if (zero_tail != 0 && ::ftruncate(fd, static_cast<off_t>(planned.entry.uncompressed_size)) != 0)
        return fail(QuastorError::io(errno));
    std::optional<mode_t> mode;
    if (planned.entry.external_attr >= 0x10000)
        mode = static_cast<mode_t>((planned.entry.external_attr >> 16) & 07777);
    else if (created)
        mode = 0666 & ~umask;
    if (mode && mode != created && ::fchmod(fd, *mode) != 0)
        return fail(QuastorError::io(errno));
    return {};
}

// The mode open_file_target gave the file, if it made it with `fresh_mode`.
std::optional<mode_t> created_mode(FileTarget const& target, mode_t fresh_mode, mode_t umask)
{
    if (!target.fresh)
        return std::nullopt;
    return fresh_mode & ~umask;
}

Result<void> write_file(DirectoryHandle directory, std::string const& name, ExtractionPlanEntry const& planned,
    DecodedData const& data, mode_t umask)
{
    mode_t const fresh_mode = creation_mode(planned);
    FileTarget const target = QUASTOR_TRY(open_file_target(directory.fd, directory.created, name, true, fresh_mode));
    QUASTOR_TRY(write_all(target.fd.get(), data.written()));
    // Closing happens as `target` goes; its error changes nothing written.
    return finish_file(target.fd.get(), created_mode(target, fresh_mode, umask), planned, data.zero_tail, umask);
}

// A member too large to hold whole is streamed into a pending file beside its
// target (unnamed, or under a temporary name), and given the target's name
// only once its CRC-32 has matched: as with any file, a member whose data is
// bad leaves nothing, and memory does not follow the member's size.
Result<void> write_large_file(ArchiveSource const& archive, DirectoryHandle directory, std::string const& name,
    ExtractionPlanEntry const& planned, WorkerState& worker, mode_t umask)
{
    PendingFile pending = QUASTOR_TRY(PendingFile::create(directory.fd));
    uint64_t zero_tail = 0;
    {
        std::atomic<unsigned> const* idle = worker.idle_workers;
        PieceWriter writer(pending.fd(), [idle] { return idle != nullptr && idle->load(std::memory_order_relaxed) != 0; });
        zero_tail = QUASTOR_TRY(stream_member(archive, planned, worker.large, [&](Bytes piece) { return writer.submit(piece); }));
        QUASTOR_TRY(writer.finish());
    }
    QUASTOR_TRY(finish_file(pending.fd(), mode_t{0600} & ~umask, planned, zero_tail, umask));
    if (QUASTOR_TRY(pending.name_as(name)))
        return {};
    // Something already has the name: it is overwritten in place, as a
    // smaller member's target would be, from the complete file, and cut to
    // size only once all of it is through. In a directory this call made,
    // open_file_target refuses whatever is there.
    mode_t const fresh_mode = creation_mode(planned);
    FileTarget const target = QUASTOR_TRY(open_file_target(directory.fd, directory.created, name, false, fresh_mode));
    std::span<uint8_t> const scratch = QUASTOR_TRY(worker.large.stored[0].reserve(member_piece));
    uint64_t const size = planned.entry.uncompressed_size;
    QUASTOR_TRY(copy_contents(pending.fd(), target.fd.get(), size, scratch));
    if (::ftruncate(target.fd.get(), static_cast<off_t>(size)) != 0)
        return fail(QuastorError::io(errno));
    return finish_file(target.fd.get(), created_mode(target, fresh_mode, umask), planned, 0, umask);
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
    mode_t const umask = worker.directories->umask();
    if (is_large_member(planned))
        return write_large_file(archive, directory, name, planned, worker, umask);
    DecodedData const data = QUASTOR_TRY(decode_checked(archive, planned, worker));
    if (planned.is_symlink)
        return create_symlink(directory, name, data);
    return write_file(directory, name, planned, data, umask);
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
    CallInterruption& interruption;
    std::vector<uint64_t> weight; // weight[i]: cost of the ranged entries among [0, i)
    std::vector<size_t> large;    // indexes of the streamed members, largest first
    unsigned workers = 1;
    std::atomic<size_t> next_large{0};
    std::atomic<size_t> next{0};
    std::atomic<unsigned> idle{0};
    // Set once by the first failure or the caller's interruption; read
    // without ordering, since a late reader only does a little more work.
    std::atomic<bool> stop{false};

    // Whether another entry may start.
    bool going_on()
    {
        if (interruption.interrupted())
            stop.store(true, std::memory_order_relaxed);
        return !stop.load(std::memory_order_relaxed);
    }
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
    worker.large.progress = execution.progress;
    worker.large.interruption = &execution.interruption;
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
        // A streamed member's pieces were counted as they went.
        if (execution.progress != nullptr)
            execution.progress->finished(
                is_large_member(execution.plan[i]) ? 0 : execution.plan[i].entry.uncompressed_size);
        return execution.going_on();
    };
    // A worker's first failure ends its work, whichever list it came from,
    // so the lowest failing index over all workers is still the lowest
    // attempted.
    while (execution.going_on()) {
        size_t const k = execution.next_large.fetch_add(1, std::memory_order_relaxed);
        if (k >= execution.large.size())
            break;
        if (!run(execution.large[k]))
            return;
    }
    size_t begin = 0;
    size_t end = 0;
    while (execution.going_on() && claim(execution, begin, end)) {
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

// Runs a plan: into dest_path, or, without one, only decoding and checking
// the data.
Result<void> execute_plan(std::vector<ExtractionPlanEntry> const& plan, ArchiveSource const& archive,
    std::string const* dest_path, Progress* progress, CallInterruption& interruption)
{
    if (plan.empty())
        return {};

    // Every entry lies below the root, so reaching it once here, before the
    // workers, gives each of them the error it would have met first.
    std::optional<ReachedDirectories> directories;
    if (dest_path != nullptr)
        directories.emplace(QUASTOR_TRY(reach_directories(*dest_path)));
    Execution execution{.plan = plan, .archive = archive, .directories = directories ? &*directories : nullptr,
        .progress = progress, .interruption = interruption, .weight = {}, .large = {}};
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
        std::function<void()> const look_up = [&] { (void)execution.going_on(); };
        if (execution.workers == 1)
            run_worker(execution, outcomes[0]);
        else
            pool->run(execution.workers, [&](unsigned worker) { run_worker(execution, outcomes[worker]); },
                interruption.pollable() ? &look_up : nullptr);
    }
    // Whatever the workers met, an interrupted call fails as interrupted:
    // the caller already holds its reason.
    if (interruption.seen())
        return fail(CallInterruption::error());

    // Each worker stopped at its own first failure and moved only forward, so
    // the lowest of these indexes is the lowest failing entry attempted.
    WorkerOutcome* first = nullptr;
    for (auto& outcome : outcomes)
        if (outcome.error.has_value() && (first == nullptr || outcome.index < first->index))
            first = &outcome;
    if (first != nullptr)
        return fail(std::move(*first->error).about(plan[first->index].entry.name));
    return {};
}

// Builds the plan, then runs it.
Result<void> run_plan(std::vector<ZipEntry> entries, ArchiveSource const& archive, std::string const* dest_path,
    Progress* progress, CallInterruption& interruption)
{
    std::vector<ExtractionPlanEntry> const plan
        = QUASTOR_TRY(build_extraction_plan(std::move(entries), archive, &interruption));
    return execute_plan(plan, archive, dest_path, progress, interruption);
}

} // namespace

Result<void> extract_plan(std::vector<ExtractionPlanEntry> const& plan, ArchiveSource const& archive,
    std::string const& dest_path, Progress* progress, Interruption* caller)
{
    CallInterruption interruption(caller);
    return execute_plan(plan, archive, &dest_path, progress, interruption);
}

Result<void> verify_plan(std::vector<ExtractionPlanEntry> const& plan, ArchiveSource const& archive, Progress* progress,
    Interruption* caller)
{
    CallInterruption interruption(caller);
    return execute_plan(plan, archive, nullptr, progress, interruption);
}

Result<void> extract(std::string const& archive_path, std::string const& dest_path, Progress* progress,
    Interruption* caller)
{
    CallInterruption interruption(caller);
    ZipArchive archive = QUASTOR_TRY(ZipArchive::open(archive_path, &interruption));
    return run_plan(std::move(archive.entries()), archive.source(), &dest_path, progress, interruption);
}

Result<void> extract_from_bytes(Bytes archive, std::string const& dest_path, Progress* progress, Interruption* caller)
{
    CallInterruption interruption(caller);
    std::vector<ZipEntry> entries = QUASTOR_TRY(ZipArchive::parse_entries(archive, &interruption));
    return run_plan(std::move(entries), archive, &dest_path, progress, interruption);
}

Result<void> verify(std::string const& archive_path, Progress* progress, Interruption* caller)
{
    CallInterruption interruption(caller);
    ZipArchive archive = QUASTOR_TRY(ZipArchive::open(archive_path, &interruption));
    return run_plan(std::move(archive.entries()), archive.source(), nullptr, progress, interruption);
}

Result<void> verify_bytes(Bytes archive, Progress* progress, Interruption* caller)
{
    CallInterruption interruption(caller);
    std::vector<ZipEntry> entries = QUASTOR_TRY(ZipArchive::parse_entries(archive, &interruption));
    return run_plan(std::move(entries), archive, nullptr, progress, interruption);
}

} // namespace quastor
