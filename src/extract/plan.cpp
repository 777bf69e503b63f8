// The extraction plan: every entry checked, and given its destination, before writing.

#include "extract/plan.hpp"
#include "archive/local_header.hpp"
#include "archive/records.hpp"
#include "archive/unicode_path.hpp"
#include "common/text.hpp"
#include "extract/decode.hpp"
#include "extract/methods.hpp"
#include "extract/path_rules.hpp"
#include "extract/path_table.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <numeric>
#include <optional>

namespace quastor {

using plan_detail::PathHashSecret;
using plan_detail::PathTable;

namespace {

enum class Kind : uint8_t { None, File, Directory };

char const* kind_word(Kind kind) { return kind == Kind::Directory ? "directory" : "file"; }

bool mode_is_symlink(ZipEntry const& entry)
{
    return (entry.unix_mode() & zip::mode_type_mask) == zip::mode_symlink;
}

// Readers that take an entry's kind from its attributes, or from the last
// byte of its name, make another thing of it than the file, directory or
// link made here: a directory where the name says file (a directory's mode
// from a Unix host, the MS-DOS directory bit from an MS-DOS one, a name
// ending in a backslash whose data would be dropped: Windows tools name
// empty directories "d\e\"), and zeros or a device node where a Unix mode
// names another type (a FIFO's data every reader writes as a file's).
bool kind_read_two_ways(ZipEntry const& entry)
{
    uint32_t const type = entry.unix_mode() & zip::mode_type_mask;
    uint8_t const host = static_cast<uint8_t>(entry.version_made_by >> 8);
    bool const unix_host = host == zip::host_unix;
    // A name ending in "/" is a directory to every reader, whatever its mode
    // (Maven writes directories with mode 0177777).
    if (entry.is_dir)
        return false;
    bool const written_as_itself = type == 0 || type == zip::mode_fifo || type == zip::mode_regular
        || type == zip::mode_directory || type == zip::mode_symlink;
    if (unix_host && !written_as_itself)
        return true;
    if (entry.header_name().ends_with('\\') && entry.uncompressed_size != 0)
        return true;
    if (unix_host)
        return type == zip::mode_directory;
    return zip::host_has_msdos_attributes(host) && (entry.external_attr & zip::msdos_directory_attr) != 0;
}

// A link target is decoded and verified while planning so that a bad one is
// refused before anything is written, and kept for whoever writes or shows
// the link. Links are few: they are read one by one, without reading ahead.
Result<std::string> decode_symlink_target(ZipEntry const& entry, uint64_t data_offset, EntryDecoder& decoder)
{
    // The kernel refuses a target of PATH_MAX bytes or more; refusing it
    // here, as its creation would, keeps a link from costing more memory
    // than any link can hold, whatever size it declares.
    if (entry.uncompressed_size >= PATH_MAX)
        return fail(QuastorError::io(ENAMETOOLONG));
    DecodedData const target = QUASTOR_TRY(decoder.decode(entry, data_offset));
    // Zeros are valid UTF-8 and cannot complete a sequence cut short before
    // them, so the written part decides.
    Bytes const written = target.written();
    std::string text(reinterpret_cast<char const*>(written.data()), written.size());
    if (!is_valid_utf8(text))
        return fail(QuastorError::invalid_zip("Invalid symlink target UTF-8"));
    // Zeros no stream wrote are kept as one NUL, not spelled out by the
    // gigabyte: no link can be made with it.
    if (target.zero_tail != 0)
        text.push_back('\0');
    return text;
}

// What the accepted entries occupy on disk, in one table: each path that an
// entry reserves (as a file or a directory) or needs as a parent directory,
// so that the tests for one entry look up its own path once. Keys are exact
// bytes: "A" and "a" are different paths.
class Occupancy {
public:
    Occupancy(size_t expected, PathHashSecret const& secret) : paths_(expected, secret) {}

    // The conflict tests for one entry whose normalised path is `path`,
    // in their fixed order. The prefix hashes and the lookups made here
    // serve record() after them.
    Result<void> check(std::string_view name, std::string_view path, bool is_dir)
    {
        std::span<uint64_t const> const prefixes = paths_.hash_prefixes(path);
        std::span<size_t const> const ends = paths_.prefix_ends();
        hashes_.assign(prefixes.begin(), prefixes.end());
        ends_.assign(ends.begin(), ends.end());
        found_.assign(ends_.size(), nullptr);
        if (paths_.empty())
            return {};
        Occupant* const self = found_.back() = paths_.find(path, hashes_.back());
        if (self != nullptr && self->reserved != Kind::None) {
            return fail(QuastorError::entry_conflict(quoted_name(name) + " maps to " + quoted_path(path)
                + ", which is already reserved as " + kind_word(self->reserved)));
        }
        // Every ancestor of a recorded path is a needed parent, which no
        // file can be: the nearest recorded ancestor ends the walk, so a
        // deep name costs its new parents only.
        for (size_t k = ends_.size() - 1; k-- > 0;) {
            std::string_view const ancestor = path.substr(0, ends_[k]);
            found_[k] = paths_.find(ancestor, hashes_[k]);
            if (found_[k] == nullptr)
                continue;
            if (found_[k]->reserved == Kind::File) {
                return fail(QuastorError::entry_conflict(quoted_name(name) + " would place data under "
                    + quoted_path(ancestor) + ", which is already a file or symlink"));
            }
            break;
        }
        // A directory may be listed after the entries inside it.
        if (!is_dir && self != nullptr && self->needed) {
            return fail(QuastorError::entry_conflict(quoted_name(name) + " maps to " + quoted_path(path)
                + ", which is already needed as a parent directory"));
        }
        return {};
    }

    // Records an accepted entry, whose path (the same bytes, which must
    // outlive this object) has just passed check().
    void record(std::string_view path, bool is_dir)
    {
        Kind const kind = is_dir ? Kind::Directory : Kind::File;
        if (found_.back() != nullptr)
            found_.back()->reserved = kind;
        else
            paths_.insert(path, hashes_.back(), Occupant{kind, false});
        // Every ancestor of a recorded path was marked needed with it, so
        // the first recorded one ends the walk (check() looked no further).
        for (size_t k = ends_.size() - 1; k-- > 0;) {
            if (found_[k] == nullptr) {
                paths_.insert(path.substr(0, ends_[k]), hashes_[k], Occupant{Kind::None, true});
                continue;
            }
            found_[k]->needed = true;
            break;
        }
    }

private:
    struct Occupant {
        Kind reserved = Kind::None; // the kind of the entry at this path, if any
        bool needed = false;        // a parent directory of an accepted entry
    };

    PathTable<Occupant> paths_;
    // Of the path last checked: ends_[k] is the length of its leading part
    // with k + 1 segments, then that part's hash, and what the table held
    // there (elements never move, whatever is added).
    std::vector<size_t> ends_;
    std::vector<uint64_t> hashes_;
    std::vector<Occupant*> found_;
};

// The entries in the order of their local headers in the archive.
std::vector<uint32_t> local_order(std::vector<ExtractionPlanEntry> const& plan)
{
    std::vector<uint32_t> order(plan.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
        return plan[a].entry.local_header_offset < plan[b].entry.local_header_offset;
    });
    return order;
}

// Each local record (header, name, extra field, data) must stand apart,
// before the central directory: a header inside another entry's record
// would turn one stored stream into several files, and one inside the
// central directory or a comment is invisible to readers that walk the
// local headers. Data may run on into the directory or to the end. The
// first such entry in directory order is named.
Result<void> check_local_records_apart(std::vector<ExtractionPlanEntry> const& plan, std::vector<uint32_t> const& order)
{
    uint64_t const directory_start = plan.front().entry.central_header_offset;
    size_t first = plan.size();
    uint64_t reach = 0; // where the records before this one end, at the furthest
    for (size_t k = 0; k < order.size(); ++k) {
        ExtractionPlanEntry const& planned = plan[order[k]];
        uint64_t const start = planned.entry.local_header_offset;
        bool const inside = k > 0 && start < reach;
        if (inside || start >= directory_start)
            first = std::min<size_t>(first, order[k]);
        // Two records that start together each start inside the other.
        if (inside && plan[order[k - 1]].entry.local_header_offset == start)
            first = std::min<size_t>(first, order[k - 1]);
        reach = std::max(reach, planned.data_offset + planned.entry.compressed_size);
    }
    if (first == plan.size())
        return {};
    return fail(QuastorError::invalid_zip("Invalid Local File Header signature").about(plan[first].entry.name));
}

// Readers that walk the local headers from the start extract every record
// they meet, listed or not: no local header may stand before the first
// record, between two, or between the last and the directory. Bytes without
// one (a self-extracting stub, padding, a data descriptor) may. The entry
// whose record comes before it (or first) is named.
Result<void> check_no_unlisted_records(
    std::vector<ExtractionPlanEntry> const& plan, std::vector<uint32_t> const& order, ArchiveCursor& cursor)
{
    uint64_t const directory_start = plan.front().entry.central_header_offset;
    uint64_t reach = 0;
    uint32_t before = order.front();
    for (uint32_t k : order) {
        // Records at or after the directory's start are refused apart.
        uint64_t const start = std::min(plan[k].entry.local_header_offset, directory_start);
        if (start > reach && QUASTOR_TRY(find_local_header(cursor, reach, start)))
            return fail(QuastorError::invalid_zip("Invalid Local File Header signature").about(plan[before].entry.name));
        reach = std::max(reach, plan[k].data_offset + plan[k].entry.compressed_size);
        before = k;
    }
    if (reach < directory_start && QUASTOR_TRY(find_local_header(cursor, reach, directory_start)))
        return fail(QuastorError::invalid_zip("Invalid Local File Header signature").about(plan[before].entry.name));
    return {};
}

// The refusal of a name that a Unicode Path field gives, in the text of
// the header that holds the field.
QuastorError field_refusal(bool local, std::string_view entry_name)
{
    if (local)
        return QuastorError::invalid_zip("Invalid Local File Header signature").about(entry_name);
    return QuastorError::invalid_zip("Invalid Central Directory signature").about(entry_name);
}

// A path that a Unicode Path field gives an entry.
struct FieldPath {
    uint32_t entry;
    std::string path;
    bool local; // the field stands in the local header
};

// Readers that know the Unicode Path field write the name it gives, central
// or local: each must name the header's path (names_another_path) and pass
// the path rules. Their normalised paths are added to `field_paths`, once.
Result<void> check_unicode_paths(ZipEntry const& entry, uint32_t index, ArchiveCursor& headers,
    std::vector<FieldPath>& field_paths)
{
    std::vector<std::string> const local = QUASTOR_TRY_ABOUT(entry.local_unicode_paths(headers), entry.name);
    for (bool const is_local : {false, true}) {
        for (std::string const& field : is_local ? local : entry.unicode_paths) {
            if (names_another_path(entry.header_name(), field))
                return fail(field_refusal(is_local, entry.name));
            // The field is UTF-8 by definition: readers that drop what they
            // cannot decode may be left with another name.
            if (!is_valid_utf8(field))
                return fail(field_refusal(is_local, entry.name));
            Result<std::string> path = normalise_entry_name(decode_utf8_lossy(field));
            if (!path)
                return fail(field_refusal(is_local, entry.name));
            // This entry's paths are the last ones added.
            auto seen = field_paths.rbegin();
            while (seen != field_paths.rend() && seen->entry == index && seen->path != *path)
                ++seen;
            if (seen == field_paths.rend() || seen->entry != index)
                field_paths.push_back(FieldPath{index, std::move(*path), is_local});
        }
    }
    return {};
}

// The conflict tests over the names as the fields give them (an entry
// without a field keeps its own), so that readers taking them write no
// two entries to one path either.
Result<void> check_field_paths_apart(std::vector<ExtractionPlanEntry> const& plan,
    std::vector<FieldPath> const& field_paths, PathHashSecret const& secret)
{
    bool const renamed = std::any_of(field_paths.begin(), field_paths.end(),
        [&](FieldPath const& field) { return field.path != plan[field.entry].path; });
    if (!renamed)
        return {};
    Occupancy occupancy(plan.size() + field_paths.size(), secret);
    auto field = field_paths.begin();
    for (uint32_t i = 0; i < plan.size(); ++i) {
        ZipEntry const& entry = plan[i].entry;
        auto const own = field;
        while (field != field_paths.end() && field->entry == i)
            ++field;
        auto take = [&](std::string_view path, bool local) -> Result<void> {
            if (!occupancy.check(entry.name, path, entry.is_dir))
                return fail(field_refusal(local, entry.name));
            occupancy.record(path, entry.is_dir);
            return {};
        };
        if (own == field)
            QUASTOR_TRY(take(plan[i].path, false));
        for (auto named = own; named != field; ++named)
            QUASTOR_TRY(take(named->path, named->local));
    }
    return {};
}

} // namespace

Result<std::vector<ExtractionPlanEntry>> build_extraction_plan(std::vector<ZipEntry> entries,
    ArchiveBytes const& archive, CallInterruption* interruption)
{
    PathHashSecret const* secret = QUASTOR_TRY(plan_detail::path_hash_secret());
    // Reserved once and never grown: the tables hold views into the
    // relative paths of the entries already planned.
    std::vector<ExtractionPlanEntry> plan;
    plan.reserve(entries.size());
    Occupancy occupancy(entries.size(), *secret);
    // Local headers usually follow one another closely: small blocks serve
    // a run of them with one read, without reading the data of large entries.
    ArchiveCursor headers(archive, size_t{16} << 10);
    EntryDecoder links(archive, false);

    // What only some readers would read otherwise is refused once every
    // other test has passed.
    std::vector<FieldPath> field_paths;
    std::optional<size_t> local_fields_differ;
    std::optional<size_t> kind_differs;

    for (ZipEntry& entry : entries) {
        if (interruption != nullptr && interruption->interrupted())
            return fail(CallInterruption::error());
        // Path and conflict texts name their entry; for the others the
        // entry's name goes beside the text.
        if (!entry.is_dir && find_method(entry.method) == nullptr)
            return fail(QuastorError::unsupported_compression(entry.method).about(entry.name));
        std::string path = QUASTOR_TRY(normalise_entry_name(entry.name));
        QUASTOR_TRY(occupancy.check(entry.name, path, entry.is_dir));
        // Directories too: a broken local header refuses the archive even
        // where there is no data to read.
        uint64_t const data_offset = QUASTOR_TRY_ABOUT(entry.locate_data(headers, archive.size()), entry.name);
        // One entry, one name: streaming readers take the local header's,
        // readers that know the Unicode Path field take the field's.
        QUASTOR_TRY_ABOUT(entry.check_local_name(headers), entry.name);
        QUASTOR_TRY(check_unicode_paths(entry, static_cast<uint32_t>(plan.size()), headers, field_paths));
        bool const is_symlink = mode_is_symlink(entry);
        std::string link_target;
        if (!entry.is_dir && is_symlink)
            link_target = QUASTOR_TRY_ABOUT(decode_symlink_target(entry, data_offset, links), entry.name);
        if (!local_fields_differ && !QUASTOR_TRY_ABOUT(entry.local_fields_agree(headers), entry.name))
            local_fields_differ = plan.size();
        if (!kind_differs && kind_read_two_ways(entry))
            kind_differs = plan.size();

        ExtractionPlanEntry& planned = plan.emplace_back();
        planned.path = std::move(path);
        planned.is_symlink = is_symlink;
        planned.data_offset = data_offset;
        planned.link_target = std::move(link_target);
        planned.entry = std::move(entry);
        occupancy.record(planned.path, planned.entry.is_dir);
    }
    if (plan.empty())
        return plan;
    std::vector<uint32_t> const order = local_order(plan);
    QUASTOR_TRY(check_local_records_apart(plan, order));
    // Readers that go by the local header read another method or length.
    if (local_fields_differ) {
        return fail(QuastorError::invalid_zip("Invalid Local File Header signature")
                .about(plan[*local_fields_differ].entry.name));
    }
    QUASTOR_TRY(check_no_unlisted_records(plan, order, headers));
    QUASTOR_TRY(check_field_paths_apart(plan, field_paths, *secret));
    if (kind_differs) {
        return fail(QuastorError::invalid_zip("Invalid Central Directory signature")
                .about(plan[*kind_differs].entry.name));
    }
    return plan;
}

} // namespace quastor
