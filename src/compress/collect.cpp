// Source collection: the tree walked by descriptor, in archive order.

#include "archive/records.hpp"
#include "common/fd.hpp"
#include "common/text.hpp"
#include "compress/paths.hpp"
#include "compress/reopen.hpp"
#include "compress/source.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace quastor {

namespace {


struct CloseDir {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

// One listed item: its raw name and its status, or the errno of the status
// query, which is reported only when the walk reaches the item.
struct ListedItem {
    std::string name;
    std::string path;
    struct stat status;
    int error = 0;
    bool is_archive = false;
};

// The items of a directory, "." and ".." left out, in byte order of their
// names, each with its status taken without following a final link. The
// listing is read whole and its stream closed before any item is walked, so
// a deep walk holds one descriptor per level and no listing buffers; status
// is queried relative to the open directory, sparing a path lookup per item.
Result<std::vector<ListedItem>> list_directory(int dir_fd, std::string const& dir, ArchiveTarget const& archive)
{
    // The stream takes a descriptor of its own: closing the stream closes
    // it, and the walk still needs `dir_fd` to reach the items.
    int const stream_fd = ::fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
    if (stream_fd < 0)
        return fail(QuastorError::io(errno));
    std::unique_ptr<DIR, CloseDir> stream(::fdopendir(stream_fd));
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
        items.push_back(ListedItem{.name = item->d_name, .path = {}, .status = {}});
    }
    stream.reset();
    // std::string compares as unsigned bytes, a prefix first: the archive order.
    std::sort(items.begin(), items.end(), [](ListedItem const& a, ListedItem const& b) { return a.name < b.name; });
    for (ListedItem& item : items) {
        item.path = join_path(dir, item.name);
        // The archive's own path is not even looked at.
        item.is_archive = archive.is_path(item.path, item.name);
        if (!item.is_archive && ::fstatat(dir_fd, item.name.c_str(), &item.status, AT_SYMLINK_NOFOLLOW) != 0)
            item.error = errno;
    }
    return items;
}

// `prefix` is the archive name of `dir` with its "/", empty for the root:
// an item's name is its parent's name and its own. A subdirectory is
// entered through its parent's descriptor and only if it is still the
// directory listed, so no link swapped in meanwhile can lead the walk out
// of the tree.
Result<void> walk(int dir_fd, std::string const& dir, std::string const& prefix, ArchiveTarget const& archive,
    std::vector<SourceEntry>& entries)
{
    std::vector<ListedItem> items = QUASTOR_TRY(list_directory(dir_fd, dir, archive));
    for (ListedItem& item : items) {
        if (item.is_archive)
            continue;
        if (item.error != 0)
            return fail(QuastorError::io(item.error));
        // The archive reached by another name (a hard link, a linked parent
        // directory) is left out just the same.
        FileIdentity const identity = identity_of(item.status);
        if (archive.existing() && *archive.existing() == identity)
            continue;

        std::string name = prefix + decode_utf8_lossy(item.name);
        if (name.empty())
            return fail(QuastorError::invalid_input("Archive entry name cannot be empty"));
        bool const is_directory = S_ISDIR(item.status.st_mode);
        if (is_directory && name.back() != '/')
            name.push_back('/');

        std::string descend = is_directory ? item.path : std::string();
        std::string descend_prefix = is_directory ? name : std::string();
        entries.push_back(
            QUASTOR_TRY(build_source_entry(std::move(item.path), item.status.st_mode, std::move(name), identity)));
        if (is_directory) {
            struct stat status;
            UniqueFd const child = QUASTOR_TRY(
                open_collected(dir_fd, item.name, descend, O_RDONLY | O_DIRECTORY, identity, S_IFDIR, status));
            QUASTOR_TRY(walk(child.get(), descend, descend_prefix, archive, entries));
        }
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
    std::vector<SourceEntry>& entries)
{
    std::optional<std::string> relative = strip_path_prefix(dir, root);
    if (!relative)
        return fail(QuastorError::invalid_input("Failed to strip source prefix"));
    std::string prefix = decode_utf8_lossy(*relative);
    if (!prefix.empty())
        prefix.push_back('/');
    UniqueFd const fd = QUASTOR_TRY(open_file(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
    return walk(fd.get(), dir, prefix, archive, entries);
}

Result<SourceEntry> collect_single_source(std::string const& source_abs, uint32_t mode, FileIdentity identity)
{
    std::optional<std::string_view> last = final_component(source_abs);
    if (!last)
        return fail(QuastorError::invalid_input("Could not derive an archive name from " + decode_utf8_lossy(source_abs)));
    return build_source_entry(source_abs, mode, decode_utf8_lossy(*last), identity);
}

} // namespace quastor
