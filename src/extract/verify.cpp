#include "extract/extract.hpp"

#include "archive/archive.hpp"
#include "common/buffer.hpp"
#include "common/pool.hpp"

#include <algorithm>
#include <atomic>
#include <optional>

namespace quastor {

namespace {

// One call's shared state. Workers claim one entry at a time from `next`:
// an entry's decoding outweighs the claim by far, and a worker that only
// moves forward keeps "its first failure" meaning its lowest failing index.
struct Verification {
    std::vector<ExtractionPlanEntry> const& plan;
    Bytes archive;
    Progress* progress = nullptr;
    std::atomic<size_t> next{0};
    // Set by the first failure; read without ordering, since a late reader
    // only decodes a little more.
    std::atomic<bool> stop{false};
};

// The first error one worker met, with its entry's index. Written only by
// its worker; read by the caller once the pool's run has returned.
struct WorkerOutcome {
    size_t index = 0;
    std::optional<QuastorError> error;
};

Result<void> verify_one(ExtractionPlanEntry const& planned, Bytes archive, Decompressor& decompressor,
    ReusableBuffer& buffer)
{
    // Directories hold no data, and the plan has already decoded and
    // checked every link target; only regular files are left.
    if (planned.is_dir || planned.is_symlink)
        return {};
    if (!decompressor)
        decompressor = QUASTOR_TRY(make_decompressor());
    Bytes data = QUASTOR_TRY(decode_entry_data(planned.entry, archive, decompressor.get(), buffer));
    return check_crc32(planned.entry, data);
}

void run_worker(Verification& verification, WorkerOutcome& outcome)
{
    Decompressor decompressor;
    ReusableBuffer buffer;
    size_t const count = verification.plan.size();
    while (!verification.stop.load(std::memory_order_relaxed)) {
        size_t const index = verification.next.fetch_add(1, std::memory_order_relaxed);
        if (index >= count)
            return;
        ExtractionPlanEntry const& planned = verification.plan[index];
        auto checked = verify_one(planned, verification.archive, decompressor, buffer);
        if (!checked.has_value()) {
            outcome.index = index;
            outcome.error = std::move(checked).error();
            verification.stop.store(true, std::memory_order_relaxed);
            return;
        }
        if (verification.progress != nullptr)
            verification.progress->finished(planned.file_size);
    }
}

Result<void> verify_entries(std::vector<ZipEntry> entries, Bytes archive, Progress* progress)
{
    std::vector<ExtractionPlanEntry> plan = QUASTOR_TRY(build_extraction_plan(std::move(entries), archive));
    Verification verification{.plan = plan, .archive = archive, .progress = progress};

    std::vector<WorkerOutcome> outcomes(1);
    if (plan.size() < 2) {
        run_worker(verification, outcomes[0]);
    } else {
        WorkerPool* pool = QUASTOR_TRY(shared_extraction_pool());
        unsigned const workers = static_cast<unsigned>(std::min<size_t>(pool->size(), plan.size()));
        outcomes.resize(workers);
        pool->run(workers, [&](unsigned worker) { run_worker(verification, outcomes[worker]); });
    }

    WorkerOutcome* first = nullptr;
    for (auto& outcome : outcomes)
        if (outcome.error.has_value() && (first == nullptr || outcome.index < first->index))
            first = &outcome;
    if (first != nullptr)
        return fail(std::move(*first->error));
    return {};
}

} // namespace

Result<void> verify(std::string const& archive_path, Progress* progress)
{
    ZipArchive archive = QUASTOR_TRY(ZipArchive::open(archive_path));
    return verify_entries(std::move(archive.entries()), archive.bytes(), progress);
}

Result<void> verify_bytes(Bytes archive, Progress* progress)
{
    std::vector<ZipEntry> entries = QUASTOR_TRY(ZipArchive::parse_entries(archive));
    return verify_entries(std::move(entries), archive, progress);
}

} // namespace quastor
