// The extraction plan: every entry checked, and given its destination, before writing.

#include "extract/plan.hpp"
#include "archive/records.hpp"
#include "common/text.hpp"
#include "extract/decode.hpp"
#include "extract/methods.hpp"
#include "extract/path_rules.hpp"
#include "extract/path_table.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <numeric>

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

// Each local record (header, name, extra field, data) must stand apart,
// before the central directory: a header inside another entry's record
// would turn one stored stream into several files, and one inside the
// central directory or a comment is invisible to readers that walk the
// local headers. Data may run on into the directory or to the end. The
// first such entry in directory order is named.
Result<void> check_local_records_apart(std::vector<ExtractionPlanEntry> const& plan)
{
    if (plan.empty())
        return {};
    uint64_t const directory_start = plan.front().entry.central_header_offset;
    std::vector<uint32_t> order(plan.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
        return plan[a].entry.local_header_offset < plan[b].entry.local_header_offset;
    });
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
        if (entry.unicode_path_differs)
            return fail(QuastorError::invalid_zip("Invalid Central Directory signature").about(entry.name));
        bool const is_symlink = mode_is_symlink(entry);
        std::string link_target;
        if (!entry.is_dir && is_symlink)
            link_target = QUASTOR_TRY_ABOUT(decode_symlink_target(entry, data_offset, links), entry.name);

        ExtractionPlanEntry& planned = plan.emplace_back();
        planned.path = std::move(path);
        planned.is_symlink = is_symlink;
        planned.data_offset = data_offset;
        planned.link_target = std::move(link_target);
        planned.entry = std::move(entry);
        occupancy.record(planned.path, planned.entry.is_dir);
    }
    QUASTOR_TRY(check_local_records_apart(plan));
    return plan;
}

} // namespace quastor
