// Extraction's scheduling: the plan built, the destination reached, the
// entries weighed and handed to the shared pool (or run inline), and the
// error chosen.

#include "extract/extract.hpp"

#include "archive/archive.hpp"
#include "common/pool.hpp"
#include "common/processors.hpp"
#include "extract/chunked_inflate.hpp"
#include "extract/extract_entry.hpp"

#include <algorithm>
#include <atomic>
#include <functional>
#include <optional>

namespace quastor {

namespace {

// Cost of an entry when handing out work: its uncompressed size plus a fixed
// amount standing for the file-system calls every entry makes, so that a run
// of tiny files weighs about as much as one file of comparable total size.
constexpr uint64_t per_entry_cost = 16 * 1024;
constexpr uint64_t inline_weight = 10 * per_entry_cost;

// One call's shared state. Workers first take the entries too large to hold
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
    ArchiveBytes const& archive;
    ReachedDirectories* directories; // none when only verifying
    Progress* progress;
    CallInterruption& interruption;
    std::vector<uint64_t> weight; // weight[i]: cost of the ranged entries among [0, i)
    std::vector<size_t> large;    // indexes of the streamed entries, largest first
    // Verifying every entry: each entry's own failure is kept in its slot
    // (written by the one worker that ran it) and the work goes on. Empty
    // otherwise: the first failure stops the work.
    std::vector<std::optional<QuastorError>> faults;
    unsigned workers = 1;
    std::atomic<size_t> next_large{0};
    std::atomic<size_t> next{0};
    std::atomic<unsigned> idle{0};
    // Workers out of entries help decode the chunks of the largest ones.
    ChunkBoard board{};
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
    ExtractionWorker worker(execution.archive);
    worker.idle_workers = &execution.idle;
    worker.large.progress = execution.progress;
    worker.large.interruption = &execution.interruption;
    if (execution.workers > 1)
        worker.large.board = &execution.board;
    if (execution.directories != nullptr)
        worker.directories.emplace(*execution.directories, held_directories_per_worker(execution.workers));
    auto failed = [&](size_t index, QuastorError error) {
        outcome.index = index;
        outcome.error = std::move(error);
        execution.stop.store(true, std::memory_order_relaxed);
    };
    auto run = [&](size_t i) {
        ExtractionPlanEntry const& planned = execution.plan[i];
        // Helpers wait for the entries they may help with, until these end
        // one way or another (an exception included).
        struct Ended {
            ChunkBoard* board;
            ~Ended()
            {
                if (board != nullptr)
                    board->ended();
            }
        } const ended{is_large_entry(planned) && worth_chunking(planned.entry) ? &execution.board : nullptr};
        auto done = extract_entry(execution.archive, planned, worker);
        if (!done.has_value() && execution.faults.empty()) {
            failed(i, std::move(done).error());
            return false;
        }
        if (!done.has_value())
            execution.faults[i] = std::move(done).error();
        // A streamed entry's pieces were counted as they went; verifying
        // decodes no link, whose target planning has checked.
        bool const counted = !is_large_entry(planned) && (execution.directories != nullptr || !planned.is_symlink);
        if (execution.progress != nullptr)
            execution.progress->finished(counted ? planned.entry.uncompressed_size : 0);
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
            if (is_large_entry(execution.plan[i]))
                continue;
            if (auto prepared = worker.decoder.prepare(); !prepared.has_value())
                return failed(i, std::move(prepared).error());
            if (!run(i))
                return;
        }
    }
    execution.board.help([&] { return execution.going_on(); });
}

// Runs a plan: into dest_path, or, without one, only decoding and checking
// the data. `faults`, given only when verifying, takes each failing entry's
// error and keeps the work going past it.
Result<void> execute_plan(std::vector<ExtractionPlanEntry> const& plan, ArchiveBytes const& archive,
    std::string const* dest_path, Progress* progress, CallInterruption& interruption,
    std::vector<EntryFault>* faults = nullptr)
{
    if (plan.empty())
        return {};

    // Every entry lies below the root, so reaching it once here, before the
    // workers, gives each of them the error it would have met first.
    std::optional<ReachedDirectories> directories;
    if (dest_path != nullptr)
        directories.emplace(QUASTOR_TRY(reach_directories(*dest_path)));
    Execution execution{.plan = plan, .archive = archive, .directories = directories ? &*directories : nullptr,
        .progress = progress, .interruption = interruption, .weight = {}, .large = {}, .faults = {}};
    if (faults != nullptr)
        execution.faults.resize(plan.size());
    execution.weight.resize(plan.size() + 1);
    uint64_t total = 0;
    for (size_t i = 0; i < plan.size(); ++i) {
        uint64_t const cost = plan[i].entry.uncompressed_size + per_entry_cost;
        total += cost;
        bool const large = is_large_entry(plan[i]);
        if (large)
            execution.large.push_back(i);
        execution.weight[i + 1] = execution.weight[i] + (large ? 0 : cost);
    }
    size_t const chunked = static_cast<size_t>(std::count_if(execution.large.begin(), execution.large.end(),
        [&](size_t i) { return worth_chunking(plan[i].entry); }));
    execution.board.expect(chunked);
    std::stable_sort(execution.large.begin(), execution.large.end(),
        [&](size_t a, size_t b) { return plan[a].entry.uncompressed_size > plan[b].entry.uncompressed_size; });

    std::vector<WorkerOutcome> outcomes;
    // Waking the pool costs more than a handful of small entries take, so
    // a small archive (a typical small wheel) stays on the calling thread.
    // Processors no worker of this call will use count as idle from the
    // start: a lone large entry may write on one of them. An entry decoded
    // in chunks takes the pool whatever else there is: its helpers are there.
    if ((plan.size() < 2 || total < inline_weight) && (chunked == 0 || available_processors() < 2)) {
        outcomes.resize(1);
        execution.idle.store(available_processors() > 1 ? 1 : 0, std::memory_order_relaxed);
        run_worker(execution, outcomes[0]);
    } else {
        WorkerPool* pool = QUASTOR_TRY(shared_extraction_pool());
        execution.workers = chunked != 0 ? pool->size() : static_cast<unsigned>(std::min<size_t>(pool->size(), plan.size()));
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
    for (size_t i = 0; i < execution.faults.size(); ++i)
        if (execution.faults[i])
            faults->push_back(EntryFault{i, std::move(*execution.faults[i]).about(plan[i].entry.name)});
    return {};
}

// Builds the plan, then runs it.
Result<void> run_plan(std::vector<ZipEntry> entries, ArchiveBytes const& archive, std::string const* dest_path,
    Progress* progress, CallInterruption& interruption)
{
    std::vector<ExtractionPlanEntry> const plan
        = QUASTOR_TRY(build_extraction_plan(std::move(entries), archive, &interruption));
    return execute_plan(plan, archive, dest_path, progress, interruption);
}

} // namespace

Result<void> extract_plan(std::vector<ExtractionPlanEntry> const& plan, ArchiveBytes const& archive,
    std::string const& dest_path, Progress* progress, CallerHook* caller)
{
    CallInterruption interruption(caller);
    return execute_plan(plan, archive, &dest_path, progress, interruption);
}

Result<void> verify_plan(std::vector<ExtractionPlanEntry> const& plan, ArchiveBytes const& archive, Progress* progress,
    CallerHook* caller)
{
    CallInterruption interruption(caller);
    return execute_plan(plan, archive, nullptr, progress, interruption);
}

Result<std::vector<EntryFault>> verify_plan_each(std::vector<ExtractionPlanEntry> const& plan,
    ArchiveBytes const& archive, Progress* progress, CallerHook* caller)
{
    CallInterruption interruption(caller);
    std::vector<EntryFault> faults;
    QUASTOR_TRY(execute_plan(plan, archive, nullptr, progress, interruption, &faults));
    return faults;
}

Result<void> extract(std::string const& archive_path, std::string const& dest_path, Progress* progress,
    CallerHook* caller)
{
    CallInterruption interruption(caller);
    ZipArchive archive = QUASTOR_TRY(ZipArchive::open(archive_path, &interruption));
    return run_plan(std::move(archive.entries()), archive.bytes(), &dest_path, progress, interruption);
}

Result<void> extract_from_bytes(Bytes archive, std::string const& dest_path, Progress* progress, CallerHook* caller)
{
    CallInterruption interruption(caller);
    std::vector<ZipEntry> entries = QUASTOR_TRY(ZipArchive::parse_entries(archive, &interruption));
    return run_plan(std::move(entries), archive, &dest_path, progress, interruption);
}

Result<void> verify(std::string const& archive_path, Progress* progress, CallerHook* caller)
{
    CallInterruption interruption(caller);
    ZipArchive archive = QUASTOR_TRY(ZipArchive::open(archive_path, &interruption));
    return run_plan(std::move(archive.entries()), archive.bytes(), nullptr, progress, interruption);
}

Result<void> verify_bytes(Bytes archive, Progress* progress, CallerHook* caller)
{
    CallInterruption interruption(caller);
    std::vector<ZipEntry> entries = QUASTOR_TRY(ZipArchive::parse_entries(archive, &interruption));
    return run_plan(std::move(entries), archive, nullptr, progress, interruption);
}

} // namespace quastor
