#include "extract/extract.hpp"

#include "archive/archive.hpp"
#include "common/pool.hpp"
#include "common/text.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

namespace quastor {

namespace {

// Directories one worker has found or made during one call, so that the
// many files of a directory cost no mkdir or stat after the first. Private
// to its worker: nothing here is shared between threads.
class DirectoryCache {
public:
    bool contains(std::string_view path) const { return known_.find(path) != known_.end(); }
    void insert(std::string_view path) { known_.emplace(path); }

private:
    struct Hash {
        using is_transparent = void;
        size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
    };
    std::unordered_set<std::string, Hash, std::equal_to<>> known_;
};

// The directory holding `path`: empty for a bare name, "/" for a name in the
// root, and without the separators that end it ("a//b" gives "a").
std::string_view parent_of(std::string_view path)
{
    size_t slash = path.find_last_of('/');
    if (slash == std::string_view::npos)
        return {};
    size_t end = slash;
    while (end > 0 && path[end - 1] == '/')
        --end;
    return end == 0 ? path.substr(0, 1) : path.substr(0, end);
}

bool is_directory(char const* path)
{
    struct stat status;
    return ::stat(path, &status) == 0 && S_ISDIR(status.st_mode);
}

// mkdir -p. The deepest directory is tried first, since usually only the
// last component is missing; ENOENT sends the attempt one level up. Finding
// a directory (or a symlink to one) in place counts as success, also when
// another worker made it a moment ago; anything else keeps mkdir's error.
Result<void> create_directories(std::string_view path, DirectoryCache& cache)
{
    if (path.empty() || cache.contains(path))
        return {};
    std::string owned(path);
    char const* c_path = QUASTOR_TRY(os_path(owned));
    if (::mkdir(c_path, 0777) == 0) {
        cache.insert(path);
        return {};
    }
    int error = errno;
    if (error == ENOENT) {
        std::string_view parent = parent_of(path);
        if (!parent.empty() && parent != path) {
            QUASTOR_TRY(create_directories(parent, cache));
            if (::mkdir(c_path, 0777) == 0) {
                cache.insert(path);
                return {};
            }
            error = errno;
        }
    }
    if (!is_directory(c_path))
        return fail(QuastorError::io(error));
    cache.insert(path);
    return {};
}

Result<void> write_file(std::string const& target, ExtractionPlanEntry const& planned, Bytes data)
{
    UniqueFd file = QUASTOR_TRY(open_file(target, O_WRONLY | O_CREAT | O_TRUNC, 0666));
    QUASTOR_TRY(write_all(file.get(), data));
    if (planned.external_attr >= 0x10000) {
        char const* c_path = QUASTOR_TRY(os_path(target));
        if (::chmod(c_path, static_cast<mode_t>((planned.external_attr >> 16) & 07777)) != 0)
            return fail(QuastorError::io(errno));
    }
    // Closing happens as `file` goes; its error changes nothing written.
    return {};
}

Result<void> create_symlink(std::string const& target, Bytes data)
{
    std::string_view text(reinterpret_cast<char const*>(data.data()), data.size());
    if (!is_valid_utf8(text))
        return fail(QuastorError::invalid_zip("Invalid symlink target UTF-8"));
    std::string link_target(text);
    char const* c_link_target = QUASTOR_TRY(os_path(link_target));
    char const* c_path = QUASTOR_TRY(os_path(target));
    // Never replaces: whatever already sits at the path makes this fail.
    if (::symlink(c_link_target, c_path) != 0)
        return fail(QuastorError::io(errno));
    return {};
}

Result<void> extract_one(std::string const& dest_root, Bytes archive, libdeflate_decompressor* decompressor,
    ExtractionPlanEntry const& planned, DirectoryCache& cache, ReusableBuffer& buffer)
{
    std::string target = join_path(dest_root, planned.relative_path);
    if (planned.is_dir)
        return create_directories(target, cache);
    // Parents first, so that they exist even when the data turns out bad.
    QUASTOR_TRY(create_directories(parent_of(target), cache));
    Bytes data = QUASTOR_TRY(decode_entry_data(planned.entry, archive, decompressor, buffer));
    QUASTOR_TRY(check_crc32(planned.entry, data));
    if (planned.is_symlink)
        return create_symlink(target, data);
    return write_file(target, planned, data);
}

// Cost of an entry when handing out work: its uncompressed size plus a fixed
// amount standing for the file-system calls every entry makes, so that a run
// of tiny files weighs about as much as one file of comparable total size.
constexpr uint64_t per_entry_cost = 16 * 1024;

// One call's shared state. Workers claim consecutive index ranges from
// `next`, each claim a share of the remaining weight that shrinks as the
// work runs out (large, distant ranges first, so that workers rarely meet in
// one directory; single entries at the end, so that nobody idles while
// another finishes a long range). A worker only ever moves forward, so its
// entries run in plan order with its one decompressor.
struct Execution {
    std::vector<ExtractionPlanEntry> const& plan;
    Bytes archive;
    std::string const& dest_root;
    std::vector<uint64_t> weight; // weight[i]: cost of entries [0, i)
    unsigned workers = 1;
    std::atomic<size_t> next{0};
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
    Decompressor decompressor;
    DirectoryCache cache;
    ReusableBuffer buffer;
    auto failed = [&](size_t index, QuastorError error) {
        outcome.index = index;
        outcome.error = std::move(error);
        execution.stop.store(true, std::memory_order_relaxed);
    };
    size_t begin = 0;
    size_t end = 0;
    while (!execution.stop.load(std::memory_order_relaxed) && claim(execution, begin, end)) {
        for (size_t i = begin; i < end; ++i) {
            if (!decompressor) {
                auto made = make_decompressor();
                if (!made.has_value())
                    return failed(i, std::move(made).error());
                decompressor = std::move(*made);
            }
            auto done = extract_one(execution.dest_root, execution.archive, decompressor.get(), execution.plan[i], cache, buffer);
            if (!done.has_value())
                return failed(i, std::move(done).error());
            if (execution.stop.load(std::memory_order_relaxed))
                return;
        }
    }
}

} // namespace

Result<void> extract_entry(std::string const& dest_root, Bytes archive, libdeflate_decompressor* decompressor,
    ExtractionPlanEntry const& entry)
{
    DirectoryCache cache;
    ReusableBuffer buffer;
    return extract_one(dest_root, archive, decompressor, entry, cache, buffer);
}

Result<void> extract_entries(std::vector<ZipEntry> entries, Bytes archive, std::string const& dest_path)
{
    std::vector<ExtractionPlanEntry> plan = QUASTOR_TRY(build_extraction_plan(std::move(entries), archive));
    if (plan.empty())
        return {};

    Execution execution{.plan = plan, .archive = archive, .dest_root = dest_path, .weight = {}};
    execution.weight.resize(plan.size() + 1);
    for (size_t i = 0; i < plan.size(); ++i)
        execution.weight[i + 1] = execution.weight[i] + plan[i].file_size + per_entry_cost;

    std::vector<WorkerOutcome> outcomes;
    if (plan.size() < 2) {
        outcomes.resize(1);
        run_worker(execution, outcomes[0]);
    } else {
        WorkerPool* pool = QUASTOR_TRY(shared_extraction_pool());
        execution.workers = static_cast<unsigned>(std::min<size_t>(pool->size(), plan.size()));
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

Result<void> extract(std::string const& archive_path, std::string const& dest_path)
{
    ZipArchive archive = QUASTOR_TRY(ZipArchive::open(archive_path));
    return extract_entries(std::move(archive.entries()), archive.bytes(), dest_path);
}

Result<void> extract_from_bytes(Bytes archive, std::string const& dest_path)
{
    std::vector<ZipEntry> entries = QUASTOR_TRY(ZipArchive::parse_entries(archive));
    return extract_entries(std::move(entries), archive, dest_path);
}

} // namespace quastor
