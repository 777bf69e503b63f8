// The creation driver: paths, collection, scratch directory, pool, writer.

#include "compress/compress.hpp"

#include "common/fd.hpp"
#include "common/file_identity.hpp"
#include "common/held_directory.hpp"
#include "common/leftovers.hpp"
#include "common/path.hpp"
#include "common/pool.hpp"
#include "common/processors.hpp"
#include "common/temporary_file.hpp"
#include "common/text.hpp"
#include "compress/archive_file.hpp"
#include "compress/collect.hpp"
#include "compress/prepare.hpp"
#include "compress/reopen.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace quastor {

namespace {

constexpr unsigned max_create_threads = 8;

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

// The name a directory given as `source_path` has of its own: its last
// component, unless that is "." or "..", or the path is the root or empty
// (the working directory), which name no directory by a name of its own.
std::optional<std::string_view> own_directory_name(std::string_view source_path)
{
    while (source_path.ends_with('/'))
        source_path.remove_suffix(1);
    std::string_view const last = source_path.substr(source_path.rfind('/') + 1);
    if (last.empty() || last == "." || last == "..")
        return std::nullopt;
    return last;
}

// Appends the entries of one source to `entries`; returns its status,
// taken without following a final link. A directory with `own_name` gives
// an entry for itself so named and what it holds under it, otherwise what
// it holds.
Result<struct stat> collect_source(std::string const& source_abs, std::optional<std::string_view> own_name,
    ArchiveTarget const& archive, NameMerging merging, std::span<std::string const> exclude,
    std::vector<SourceEntry>& entries)
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

    if (S_ISDIR(status.st_mode) && own_name) {
        std::string const name = decode_utf8_lossy(*own_name);
        if (names_excluded(exclude, name))
            return status;
        entries.push_back(QUASTOR_TRY(build_source_entry(source_abs, status.st_mode, name + "/", identity_of(status))));
        // Named from its parent, what it holds comes under its own name.
        std::string const parent(parent_of(source_abs));
        QUASTOR_TRY(collect_directory_entries(parent, source_abs, archive, entries, merging, exclude));
    } else if (S_ISDIR(status.st_mode)) {
        QUASTOR_TRY(collect_directory_entries(source_abs, source_abs, archive, entries, merging, exclude));
    } else {
        SourceEntry entry = QUASTOR_TRY(collect_single_source(source_abs, status.st_mode, identity_of(status)));
        if (!names_excluded(exclude, entry.name))
            entries.push_back(std::move(entry));
    }
    return status;
}

// One entry name from two sources would be two entries that extraction
// refuses as a conflict, a file and a directory alike. Within one source
// names are unique, or merged as `merging` allows.
Result<void> refuse_names_given_twice(std::vector<SourceEntry> const& entries, std::span<size_t const> starts)
{
    std::unordered_map<std::string_view, size_t> given;
    given.reserve(entries.size());
    size_t source = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        while (source + 1 < starts.size() && starts[source + 1] <= i)
            ++source;
        std::string_view const name = entries[i].name;
        auto const [at, fresh] = given.try_emplace(name.substr(0, name.size() - name.ends_with('/')), source);
        if (!fresh && at->second != source)
            return fail(QuastorError::invalid_input("Two sources give the entry name " + quoted_name(name)));
    }
    return {};
}

// Every entry under `prefix`, after the prefix's own directories: these
// have the mode a new directory gets, the last, when it stands for a single
// directory source, that one's, as archiving the source's parent gives it.
Result<void> put_under(std::string const& prefix, std::optional<mode_t> single_directory,
    std::vector<SourceEntry>& entries)
{
    std::vector<std::string_view> const parts = path_components(prefix);
    if (parts.empty())
        return {};
    std::vector<SourceEntry> placed;
    placed.reserve(parts.size() + entries.size());
    mode_t const fresh = 0777 & ~current_umask();
    std::string name;
    for (size_t i = 0; i < parts.size(); ++i) {
        name += decode_utf8_lossy(parts[i]);
        name.push_back('/');
        mode_t const mode = i + 1 == parts.size() && single_directory ? *single_directory : fresh;
        placed.push_back(QUASTOR_TRY(build_source_entry(std::string(), S_IFDIR | mode, name, FileIdentity{})));
    }
    for (SourceEntry& entry : entries) {
        entry.name.insert(0, name);
        placed.push_back(std::move(entry));
    }
    entries = std::move(placed);
    return {};
}

// The entries of every source, in the order given, under `prefix`.
// `source_paths` as given, `sources_abs` made absolute.
Result<std::vector<SourceEntry>> collect_sources(std::span<std::string const> source_paths,
    std::span<std::string const> sources_abs, std::string const& prefix, ArchiveTarget const& archive,
    NameMerging merging, DirectoryNaming naming, std::span<std::string const> exclude, CallInterruption& interruption)
{
    std::vector<SourceEntry> entries;
    std::vector<size_t> starts;
    struct stat status{};
    std::optional<std::string_view> own_name;
    for (size_t i = 0; i < sources_abs.size(); ++i) {
        // Between sources; the caller asks again once all are collected.
        if (i > 0 && interruption.interrupted())
            return fail(CallInterruption::error());
        starts.push_back(entries.size());
        own_name = naming == DirectoryNaming::own_name ? own_directory_name(source_paths[i]) : std::nullopt;
        status = QUASTOR_TRY(collect_source(sources_abs[i], own_name, archive, merging, exclude, entries));
    }
    if (sources_abs.size() > 1)
        QUASTOR_TRY(refuse_names_given_twice(entries, starts));
    std::optional<mode_t> single_directory;
    if (sources_abs.size() == 1 && S_ISDIR(status.st_mode) && !own_name)
        single_directory = status.st_mode & 07777;
    QUASTOR_TRY(put_under(prefix, single_directory, entries));
    return entries;
}

Result<std::vector<PreparedEntry>> prepare_on_pool(std::vector<SourceEntry> const& entries, ScratchDir const& scratch,
    int level, Progress* progress, ArchiveWriter* stream, CallInterruption& interruption)
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

Result<void> create_zip(std::span<std::string const> source_paths, std::string const& archive_path,
    CreateOptions const& options)
{
    CallInterruption interruption(options.caller);
    if (options.level < min_deflate_level || options.level > max_deflate_level)
        return fail(QuastorError::invalid_input("Compression level must be between " + std::to_string(min_deflate_level)
            + " and " + std::to_string(max_deflate_level) + ", got " + std::to_string(options.level)));
    std::vector<std::string> sources_abs;
    sources_abs.reserve(source_paths.size());
    for (std::string const& source_path : source_paths)
        sources_abs.push_back(QUASTOR_TRY(absolute_path(source_path)));
    std::string archive_abs = QUASTOR_TRY(absolute_path(archive_path));
    for (std::string const& source_abs : sources_abs)
        if (same_path(source_abs, archive_abs))
            return fail(QuastorError::invalid_input("Source path and archive path must be different"));
    ArchiveTarget const archive = archive_target(std::move(archive_abs));
    std::vector<SourceEntry> sources = QUASTOR_TRY(collect_sources(source_paths, sources_abs, options.prefix, archive,
        options.refuse_merged_names ? NameMerging::refuse : NameMerging::keep_both, options.naming, options.exclude,
        interruption));
    if (options.progress != nullptr)
        options.progress->total_entries.store(sources.size(), std::memory_order_relaxed);
    if (interruption.interrupted())
        return fail(CallInterruption::error());

    // Declared after the sources and before the prepared list, so on every
    // return the prepared list goes first, then the scratch directory.
    ScratchDir const scratch = QUASTOR_TRY(ScratchDir::allocate(temporary_directory()));
    // The archive file gets the path as the caller gave it.
    ArchiveFile archive_file = QUASTOR_TRY(ArchiveFile::open(archive_path));
    std::vector<PreparedEntry> const prepared = QUASTOR_TRY(
        prepare_on_pool(sources, scratch, options.level, options.progress, archive_file.stream(), interruption));
    return archive_file.complete(prepared, interruption);
}

} // namespace quastor
