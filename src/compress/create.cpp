// The creation driver: paths, collection, scratch directory, pool, writer.

#include "compress/compress.hpp"

#include "common/fd.hpp"
#include "common/member_patterns.hpp"
#include "common/pool.hpp"
#include "compress/prepared.hpp"
#include "compress/reopen.hpp"
#include "compress/source.hpp"
#include "compress/writer.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quastor {

namespace {

constexpr unsigned max_scratch_attempts = 1024;
constexpr unsigned max_create_threads = 8;

int remove_one(char const* path, struct stat const*, int, FTW*)
{
    // Removal is best effort: a leftover never changes the call's result.
    (void)::remove(path);
    return 0;
}

std::string decimal(unsigned __int128 value)
{
    char digits[40];
    size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + static_cast<unsigned>(value % 10));
        value /= 10;
    } while (value != 0);
    std::string text(n, '0');
    for (size_t i = 0; i < n; ++i)
        text[i] = digits[n - 1 - i];
    return text;
}

std::string temporary_directory()
{
    char const* value = std::getenv("TMPDIR");
    return value != nullptr ? std::string(value) : std::string("/tmp");
}

// "quastor-<pid>-<ns since the epoch>-<attempt>" under TMPDIR. A name that
// exists is retried with a fresh clock reading; any other failure is final,
// so a missing TMPDIR fails at once.
Result<ScratchDir> allocate_scratch_dir()
{
    std::string const pid = std::to_string(static_cast<uint32_t>(::getpid()));
    for (unsigned attempt = 0; attempt < max_scratch_attempts; ++attempt) {
        struct timespec now;
        if (::clock_gettime(CLOCK_REALTIME, &now) != 0)
            return fail(QuastorError::io(errno));
        if (now.tv_sec < 0)
            return fail(QuastorError::invalid_input("System clock error: second time provided was later than self"));
        unsigned __int128 const nanoseconds
            = static_cast<unsigned __int128>(now.tv_sec) * 1'000'000'000u + static_cast<unsigned>(now.tv_nsec);
        std::string path = join_path(temporary_directory(),
            "quastor-" + pid + "-" + decimal(nanoseconds) + "-" + std::to_string(attempt));
        if (::mkdir(QUASTOR_TRY(os_path(path)), 0777) == 0)
            return ScratchDir(std::move(path));
        if (errno != EEXIST)
            return fail(QuastorError::io(errno));
    }
    return fail(QuastorError::invalid_input("Failed to allocate a temporary scratch directory"));
}

// The archive as the walk must recognise it. A file already at the archive
// path is identified through links, since that is the file the writer will
// truncate.
ArchiveTarget archive_target(std::string archive_abs)
{
    std::optional<FileIdentity> existing;
    struct stat status;
    Result<char const*> path = os_path(archive_abs);
    if (path && ::stat(*path, &status) == 0)
        existing = identity_of(status);
    return ArchiveTarget(std::move(archive_abs), existing);
}

Result<std::vector<SourceEntry>> collect_sources(std::string const& source_abs, ArchiveTarget const& archive)
{
    struct stat status;
    char const* source = QUASTOR_TRY(os_path(source_abs));
    if (::lstat(source, &status) != 0)
        return fail(QuastorError::io(errno));
    // Writing the archive truncates the file at its path first: when that
    // is the source itself under another name (a link, "x/../data"), the
    // only copy would be gone before it is read.
    struct stat followed;
    if (archive.existing() && ::stat(source, &followed) == 0
        && *archive.existing() == identity_of(followed))
        return fail(QuastorError::invalid_input("Source path and archive path must be different"));

    std::vector<SourceEntry> entries;
    if (S_ISDIR(status.st_mode))
        QUASTOR_TRY(collect_directory_entries(source_abs, source_abs, archive, entries));
    else
        entries.push_back(QUASTOR_TRY(collect_single_source(source_abs, status.st_mode, identity_of(status))));
    return entries;
}

Result<std::vector<PreparedEntry>> prepare_on_pool(std::vector<SourceEntry> const& entries, ScratchDir const& scratch,
    int level, Progress* progress, ArchiveStream* stream, CallInterruption& interruption)
{
    if (entries.empty())
        return std::vector<PreparedEntry>();
    size_t const threads = std::min<size_t>({available_processors(), entries.size(), max_create_threads});
    Result<std::unique_ptr<WorkerPool>> pool = WorkerPool::start(static_cast<unsigned>(threads));
    if (!pool)
        return fail(QuastorError::compression(pool.error().payload_text()));
    // The pool is joined when it goes out of scope, before anything is written.
    return prepare_entries(entries, scratch, **pool, level, progress, stream, &interruption);
}

} // namespace

ScratchDir::~ScratchDir()
{
    if (path_.empty() || path_.find('\0') != std::string::npos)
        return;
    (void)::nftw(path_.c_str(), remove_one, 16, FTW_DEPTH | FTW_PHYS);
}

Result<void> create_zip(std::string const& source_path, std::string const& archive_path, int level, Progress* progress,
    std::span<std::string const> exclude, Interruption* caller)
{
    CallInterruption interruption(caller);
    if (level < min_deflate_level || level > max_deflate_level)
        return fail(QuastorError::invalid_input(
            "Compression level must be between 0 and 12, got " + std::to_string(level)));
    std::string source_abs = QUASTOR_TRY(absolute_path(source_path));
    std::string archive_abs = QUASTOR_TRY(absolute_path(archive_path));
    if (same_path(source_abs, archive_abs))
        return fail(QuastorError::invalid_input("Source path and archive path must be different"));
    ArchiveTarget const archive = archive_target(std::move(archive_abs));
    std::vector<SourceEntry> sources = QUASTOR_TRY(collect_sources(source_abs, archive));
    if (!exclude.empty()) {
        std::vector<std::string_view> names;
        names.reserve(sources.size());
        for (SourceEntry const& entry : sources)
            names.push_back(std::string_view(entry.name).substr(0, entry.name.size() - entry.name.ends_with('/')));
        std::vector<bool> const kept = select_members(names, {}, exclude).chosen;
        std::vector<SourceEntry> remaining;
        for (size_t i = 0; i < sources.size(); ++i)
            if (kept[i])
                remaining.push_back(std::move(sources[i]));
        sources = std::move(remaining);
    }
    if (progress != nullptr)
        progress->total_entries.store(sources.size(), std::memory_order_relaxed);
    if (interruption.interrupted())
        return fail(CallInterruption::error());

    // Declared after the sources and before the prepared list, so on every
    // return the prepared list goes first, then the scratch directory.
    ScratchDir const scratch = QUASTOR_TRY(allocate_scratch_dir());
    // The writer gets the path as the caller gave it.
    UniqueFd const unnamed = open_unnamed_archive(archive_path);
    if (!unnamed) {
        std::vector<PreparedEntry> const prepared
            = QUASTOR_TRY(prepare_on_pool(sources, scratch, level, progress, nullptr, interruption));
        if (interruption.interrupted())
            return fail(CallInterruption::error());
        return write_archive(prepared, archive_path);
    }
    // The archive is written while the entries are prepared, into a file
    // that gets its name only at the end: a failed preparation leaves
    // nothing behind, as when it ran before the archive was opened.
    ArchiveStream stream(unnamed.get());
    // A failure in writing leaves the partial archive, as it would have
    // been left had the archive been written by name.
    auto abandon = [&](QuastorError error) -> Result<void> {
        if (stream.failed() && stream.flush())
            leave_partial_archive(unnamed.get(), archive_path);
        return fail(std::move(error));
    };
    Result<std::vector<PreparedEntry>> prepared
        = prepare_on_pool(sources, scratch, level, progress, &stream, interruption);
    if (!prepared)
        return abandon(std::move(prepared).error());
    // The last moment at which nothing is named yet.
    if (interruption.interrupted())
        return abandon(CallInterruption::error());
    if (Result<void> finished = stream.finish(*prepared); !finished)
        return abandon(std::move(finished).error());
    return publish_archive(unnamed.get(), archive_path, *prepared);
}

} // namespace quastor
