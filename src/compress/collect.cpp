// Source collection: the tree walked by descriptor, in archive order.

#include "compress/collect.hpp"

#include "archive/records.hpp"
#include "common/entry_patterns.hpp"
#include "common/fd.hpp"
#include "common/file_identity.hpp"
#include "common/path.hpp"
#include "common/text.hpp"
#include "compress/reopen.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quastor {

namespace {

// Directories whose descriptors the walk keeps open below the one it is
// in. A directory further up is reached again, when the walk climbs back to
// it, through ".." of its child and only if it is still the directory
// listed; so the walk holds a bounded number of descriptors whatever the
// depth, and reopens nothing in a tree shallower than this.
constexpr size_t held_levels = 32;

// Directories whose descriptors the collected items may keep for their
// preparation, at most: a quarter of the descriptors the process may open,
// and never more than this.
constexpr size_t max_shared_directories = 4096;

size_t shared_directory_budget()
{
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return max_shared_directories;
    return std::min<size_t>(max_shared_directories, static_cast<size_t>(limit.rlim_cur) / 4);
}

// One listed item: its raw name, its name as the archive shows it, and its
// status, or the errno of the status query, which is reported only when the
// walk reaches the item. `left_out`: the archive itself, or an item an
// exclude pattern names, neither looked at any further.
struct ListedItem {
    std::string name;
    std::string label;
    struct stat status;
    int error = 0;
    bool left_out = false;
};



// The path of the item `name` of the directory at `dir`.
std::string item_path(std::string const& dir, std::string const& name) { return join_path(dir, name); }

// A name's raw bytes as text that tells them apart: valid UTF-8 as it is,
// every byte of an invalid sequence as \xNN.
std::string raw_bytes_shown(std::string_view name)
{
    std::string shown;
    while (!name.empty()) {
        size_t valid = 1;
        while (valid <= name.size() && valid <= 4 && !is_valid_utf8(name.substr(0, valid)))
            ++valid;
        if (valid <= name.size() && valid <= 4) {
            shown.append(name.substr(0, valid));
            name.remove_prefix(valid);
            continue;
        }
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(name.front()));
        shown.append(escaped);
        name.remove_prefix(1);
    }
    return shown;
}

// Two raw names that differ only in bytes that are not UTF-8 can become one
// name in the archive, which its own extraction would refuse as a conflict:
// a file and a directory count alike, since they would land on one path.
// Checked per directory, before anything of it is walked: names of
// different directories differ in their prefix already. The text names
// both items and the entry name they share.
Result<void> refuse_merged_names(std::vector<ListedItem> const& items, std::string const& dir, std::string const& prefix)
{
    std::vector<size_t> order;
    for (size_t i = 0; i < items.size(); ++i) {
        if (!items[i].left_out && items[i].label != items[i].name)
            order.push_back(i);
    }
    if (order.empty())
        return {};
    order.clear();
    for (size_t i = 0; i < items.size(); ++i) {
        if (!items[i].left_out)
            order.push_back(i);
    }
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return items[a].label != items[b].label ? items[a].label < items[b].label : a < b;
    });
    for (size_t i = 1; i < order.size(); ++i) {
        ListedItem const& first = items[order[i - 1]];
        ListedItem const& second = items[order[i]];
        if (second.label == first.label)
            return fail(QuastorError::invalid_input(raw_bytes_shown(item_path(dir, first.name)) + " and "
                + raw_bytes_shown(item_path(dir, second.name)) + " both become " + quoted_name(prefix + first.label)
                + " in the archive"));
    }
    return {};
}

// The items of a directory, "." and ".." left out, in byte order of their
// names, each with its status taken without following a final link. The
// listing is read whole and its stream closed before any item is walked, so
// a deep walk keeps listings, not streams; status is queried relative to
// the open directory, sparing a path lookup per item. `prefix` is the
// directory's entry name with its "/", against which `exclude` is matched.
Result<std::vector<ListedItem>> list_directory(int dir_fd, std::string const& dir, ArchiveTarget const& archive,
    std::string const& prefix, std::span<std::string const> exclude)
{
    // The stream takes a descriptor of its own: closing the stream closes
    // it, and the walk still needs `dir_fd` to reach the items.
    int const stream_fd = ::fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
    if (stream_fd < 0)
        return fail(QuastorError::io(errno));
    UniqueDir stream(::fdopendir(stream_fd));
    if (!stream) {
        int const error = errno;
        ::close(stream_fd);
        return fail(QuastorError::io(error));
    }
    std::vector<ListedItem> items;
    for (;;) {
        errno = 0;
        dirent const* item = ::readdir(stream.get());
        if (item == nullptr) {
            if (errno != 0)
                return fail(QuastorError::io(errno));
            break;
        }
        if (std::strcmp(item->d_name, ".") == 0 || std::strcmp(item->d_name, "..") == 0)
            continue;
        items.push_back(ListedItem{.name = item->d_name, .label = {}, .status = {}});
    }
    stream.reset();
    // std::string compares as unsigned bytes, a prefix first: the archive order.
    std::sort(items.begin(), items.end(), [](ListedItem const& a, ListedItem const& b) { return a.name < b.name; });
    for (ListedItem& item : items) {
        item.label = decode_utf8_lossy(item.name);
        // Neither the archive's own path nor an excluded item is even
        // looked at: an excluded directory is not walked.
        item.left_out = (archive.may_be(item.name) && archive.is_path(item_path(dir, item.name), item.name))
            || (!exclude.empty() && names_excluded(exclude, prefix + item.label));
        if (!item.left_out && ::fstatat(dir_fd, item.name.c_str(), &item.status, AT_SYMLINK_NOFOLLOW) != 0)
            item.error = errno;
    }
    return items;
}

// One directory on the walk's current path: its listing, the next item to
// walk, its descriptor while held, and what reaches it again.
struct Level {
    std::vector<ListedItem> items;
    size_t next = 0;
    UniqueFd fd;
    // A descriptor of its own for the items collected here, once one is.
    std::shared_ptr<UniqueFd const> shared;
    FileIdentity identity;
    size_t path_length = 0;
    size_t prefix_length = 0;
};

// The directory `parent`, at `path`, again, from its child `child`, held
// open: ".." of the child, or by its path where the child may be listed
// but not searched; either only if it is the directory listed.
Result<void> reopen_parent(int child, Level& parent, std::string const& path)
{
    struct stat status;
    Result<UniqueFd> again
        = open_collected(child, "..", path, O_RDONLY | O_DIRECTORY, parent.identity, S_IFDIR, status);
    if (!again && again.error().os_error() == EACCES)
        again = open_collected(AT_FDCWD, path, path, O_RDONLY | O_DIRECTORY, parent.identity, S_IFDIR, status);
    if (!again)
        return fail(std::move(again).error());
    parent.fd = std::move(*again);
    return {};
}

// Depth-first, pre-order, each directory's items in byte order, without
// recursion: the current path and the current name prefix are one string
// each, grown on the way down and cut back on the way up. `prefix` is the
// archive name of `dir` with its "/", empty for the root: an item's name is
// its parent's name and its own. A subdirectory is entered through its
// parent's descriptor and only if it is still the directory listed, so no
// link swapped in meanwhile can lead the walk out of the tree.
Result<void> walk(UniqueFd root, std::string path, std::string prefix, ArchiveTarget const& archive,
    NameMerging merging, std::span<std::string const> exclude, std::vector<SourceEntry>& entries)
{
    std::vector<Level> levels;
    size_t shared_left = shared_directory_budget();
    {
        Level top;
        top.items = QUASTOR_TRY(list_directory(root.get(), path, archive, prefix, exclude));
        if (merging == NameMerging::refuse)
            QUASTOR_TRY(refuse_merged_names(top.items, path, prefix));
        top.identity = QUASTOR_TRY(identity_of(root.get()));
        top.fd = std::move(root);
        top.path_length = path.size();
        top.prefix_length = prefix.size();
        levels.push_back(std::move(top));
    }
    while (!levels.empty()) {
        Level& level = levels.back();
        if (level.next == level.items.size()) {
            UniqueFd const child = std::move(level.fd);
            levels.pop_back();
            if (levels.empty())
                break;
            Level& parent = levels.back();
            path.resize(parent.path_length);
            prefix.resize(parent.prefix_length);
            if (!parent.fd)
                QUASTOR_TRY(reopen_parent(child.get(), parent, path));
            continue;
        }
        ListedItem& item = level.items[level.next++];
        if (item.left_out)
            continue;
        if (item.error != 0)
            return fail(QuastorError::io(item.error));
        // The archive reached by another name (a hard link, a linked parent
        // directory) is left out just the same.
        FileIdentity const identity = identity_of(item.status);
        if (archive.existing() && *archive.existing() == identity)
            continue;

        std::string name = prefix + item.label;
        if (name.empty())
            return fail(QuastorError::invalid_input("Archive entry name cannot be empty"));
        bool const is_directory = S_ISDIR(item.status.st_mode);
        if (is_directory && name.back() != '/')
            name.push_back('/');
        std::string at = item_path(path, item.name);
        if (!is_directory) {
            SourceEntry entry = QUASTOR_TRY(build_source_entry(std::move(at), item.status.st_mode, std::move(name), identity));
            if (!level.shared && shared_left > 0 && level.fd) {
                int const copy = ::fcntl(level.fd.get(), F_DUPFD_CLOEXEC, 0);
                if (copy >= 0) {
                    level.shared = std::make_shared<UniqueFd const>(copy);
                    --shared_left;
                }
            }
            entry.directory = level.shared;
            entry.listed_size = static_cast<uint64_t>(item.status.st_size);
            entries.push_back(std::move(entry));
            continue;
        }
        entries.push_back(QUASTOR_TRY(build_source_entry(at, item.status.st_mode, name, identity)));
        struct stat status;
        Level below;
        below.fd = QUASTOR_TRY(open_collected(level.fd.get(), item.name, at, O_RDONLY | O_DIRECTORY, identity, S_IFDIR, status));
        below.items = QUASTOR_TRY(list_directory(below.fd.get(), at, archive, name, exclude));
        if (merging == NameMerging::refuse)
            QUASTOR_TRY(refuse_merged_names(below.items, at, name));
        below.identity = identity;
        path = std::move(at);
        prefix = std::move(name);
        below.path_length = path.size();
        below.prefix_length = prefix.size();
        levels.push_back(std::move(below));
        if (levels.size() > held_levels + 1)
            levels[levels.size() - held_levels - 2].fd.reset();
    }
    return {};
}

} // namespace

ArchiveTarget::ArchiveTarget(std::string path, std::optional<FileIdentity> existing)
    : path_(std::move(path))
    , last_component_(final_component(path_).value_or(""))
    , existing_(existing)
{
}

bool ArchiveTarget::is_path(std::string_view path, std::string_view name) const
{
    // Equal paths end in the same component; most items differ right there.
    return name == last_component_ && same_path(path, path_);
}

Result<SourceEntry> build_source_entry(std::string path, uint32_t mode, std::string name, FileIdentity identity)
{
    SourceEntry entry;
    switch (mode & zip::mode_type_mask) {
    case S_IFLNK:
        entry.kind = SourceKind::Symlink;
        entry.external_attr = mode << 16;
        break;
    case S_IFREG:
        entry.kind = SourceKind::File;
        entry.external_attr = mode << 16;
        break;
    case S_IFDIR:
        entry.kind = SourceKind::Directory;
        entry.external_attr = (mode << 16) | zip::msdos_directory_attr;
        break;
    default:
        return fail(QuastorError::invalid_input("Unsupported filesystem entry: " + decode_utf8_lossy(path)));
    }
    entry.path = std::move(path);
    entry.name = std::move(name);
    entry.identity = identity;
    return entry;
}

Result<void> collect_directory_entries(std::string const& root, std::string const& dir, ArchiveTarget const& archive,
    std::vector<SourceEntry>& entries, NameMerging merging, std::span<std::string const> exclude)
{
    std::optional<std::string> relative = strip_path_prefix(dir, root);
    if (!relative)
        return fail(QuastorError::invalid_input("Failed to strip source prefix"));
    std::string prefix = decode_utf8_lossy(*relative);
    if (!prefix.empty())
        prefix.push_back('/');
    UniqueFd fd = QUASTOR_TRY(open_file(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
    return walk(std::move(fd), dir, std::move(prefix), archive, merging, exclude, entries);
}

bool names_excluded(std::span<std::string const> exclude, std::string_view name)
{
    return std::any_of(exclude.begin(), exclude.end(),
        [&](std::string const& pattern) { return pattern_names(pattern, name); });
}

Result<SourceEntry> collect_single_source(std::string const& source_abs, uint32_t mode, FileIdentity identity)
{
    std::optional<std::string_view> last = final_component(source_abs);
    if (!last)
        return fail(QuastorError::invalid_input("Could not derive an archive name from " + decode_utf8_lossy(source_abs)));
    return build_source_entry(source_abs, mode, decode_utf8_lossy(*last), identity);
}

} // namespace quastor
