#include "common/fd.hpp"
#include "common/text.hpp"
#include "compress/paths.hpp"
#include "compress/source.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <sys/stat.h>

namespace quastor {

namespace {

constexpr uint32_t type_mask = S_IFMT;
constexpr uint32_t msdos_directory = 0x10;

struct CloseDir {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

// The raw names of a directory's items, "." and ".." left out. The listing
// is read whole, and the directory closed, before any item is looked at, so
// a deep walk holds one open directory at a time.
Result<std::vector<std::string>> list_directory(std::string const& dir)
{
    std::unique_ptr<DIR, CloseDir> stream(::opendir(QUASTOR_TRY(os_path(dir))));
    if (!stream)
        return fail(QuastorError::io(errno));
    std::vector<std::string> names;
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
        names.emplace_back(item->d_name);
    }
    // std::string compares as unsigned bytes, a prefix first: the archive order.
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

Result<SourceEntry> build_source_entry(std::string path, uint32_t mode, std::string name)
{
    SourceEntry entry;
    switch (mode & type_mask) {
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
        entry.external_attr = (mode << 16) | msdos_directory;
        break;
    default:
        return fail(QuastorError::invalid_input("Unsupported filesystem entry: " + decode_utf8_lossy(path)));
    }
    entry.path = std::move(path);
    entry.name = std::move(name);
    return entry;
}

Result<void> collect_directory_entries(std::string const& root, std::string const& dir, ArchiveTarget const& archive,
    std::vector<SourceEntry>& entries)
{
    std::vector<std::string> const names = QUASTOR_TRY(list_directory(dir));
    for (std::string const& item : names) {
        std::string path = join_path(dir, item);
        if (same_path(path, archive.path))
            continue;
        struct stat status;
        if (::lstat(QUASTOR_TRY(os_path(path)), &status) != 0)
            return fail(QuastorError::io(errno));
        // The archive reached by another name (a hard link, a linked parent
        // directory) is left out just the same.
        if (archive.existing && *archive.existing == FileIdentity{status.st_dev, status.st_ino})
            continue;

        std::optional<std::string> relative = strip_path_prefix(path, root);
        if (!relative)
            return fail(QuastorError::invalid_input("Failed to strip source prefix"));
        std::string name = decode_utf8_lossy(*relative);
        if (name.empty())
            return fail(QuastorError::invalid_input("Archive entry name cannot be empty"));
        bool const is_directory = S_ISDIR(status.st_mode);
        if (is_directory && name.back() != '/')
            name.push_back('/');

        std::string descend = is_directory ? path : std::string();
        entries.push_back(QUASTOR_TRY(build_source_entry(std::move(path), status.st_mode, std::move(name))));
        if (is_directory)
            QUASTOR_TRY(collect_directory_entries(root, descend, archive, entries));
    }
    return {};
}

Result<SourceEntry> collect_single_source(std::string const& source_abs, uint32_t mode)
{
    std::optional<std::string_view> last = final_component(source_abs);
    if (!last)
        return fail(QuastorError::invalid_input("Could not derive an archive name from " + decode_utf8_lossy(source_abs)));
    return build_source_entry(source_abs, mode, decode_utf8_lossy(*last));
}

} // namespace quastor
