// Gathering several sources into one tree for a single create_zip call.

#include "cli/staged_sources.hpp"

#include "cli/archive_input.hpp"
#include "cli/stop_signals.hpp"
#include "common/fd.hpp"
#include "common/fs.hpp"
#include "common/member_patterns.hpp"
#include "common/path.hpp"
#include "common/text.hpp"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace quastor::cli {

namespace {

// One source directory being walked, and its place in the tree.
struct Frame {
    UniqueFd from;
    UniqueFd to;
    std::string path; // the source directory's path, for messages
    std::string name; // its entry name with "/", "" at a source's top
};

struct DirClose {
    void operator()(DIR* directory) const { ::closedir(directory); }
};

QuastorError given_twice(std::string const& name)
{
    return QuastorError::invalid_input("Two sources give the entry name " + quoted_name(name));
}

bool same_item(struct stat const& a, struct stat const& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

class Gatherer {
public:
    Gatherer(std::span<std::string const> exclude, struct stat const& tree, std::optional<struct stat> archive)
        : exclude_(exclude), tree_(tree), archive_(archive)
    {
    }

    bool excluded(std::string_view name) const
    {
        for (std::string const& pattern : exclude_)
            if (pattern_names(pattern, name))
                return true;
        return false;
    }

    // The item `name` of `from_dir`, whose status is `status`, into
    // `to_dir` as `to_name`; a directory is queued for walking.
    Result<void> place(int from_dir, char const* name, struct stat const& status, int to_dir, char const* to_name,
        std::string const& path, std::string const& entry_name, std::string const& staged_path,
        std::vector<Frame>& pending)
    {
        // The tree itself, when a source holds it, and the archive, which
        // must not be copied into itself.
        if (same_item(status, tree_) || (archive_ && same_item(status, *archive_)))
            return {};
        if (S_ISDIR(status.st_mode)) {
            if (::mkdirat(to_dir, to_name, 0700) != 0)
                return fail(errno == EEXIST ? given_twice(entry_name + "/") : QuastorError::io(errno).about(path));
            UniqueFd from(open_at(from_dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
            if (!from)
                return fail(QuastorError::io(errno).about(path));
            UniqueFd to(open_at(to_dir, to_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
            if (!to)
                return fail(QuastorError::io(errno).about(path));
            modes_.emplace_back(staged_path, status.st_mode & 07777);
            pending.push_back(Frame{std::move(from), std::move(to), path, entry_name + "/"});
            return {};
        }
        if (S_ISLNK(status.st_mode)) {
            char target[PATH_MAX];
            ssize_t const length = ::readlinkat(from_dir, name, target, sizeof target - 1);
            if (length < 0)
                return fail(QuastorError::io(errno).about(path));
            // A target that fills the buffer may go on past it.
            if (static_cast<size_t>(length) == sizeof target - 1)
                return fail(QuastorError::io(ENAMETOOLONG).about(path));
            target[length] = '\0';
            if (::symlinkat(target, to_dir, to_name) != 0)
                return fail(errno == EEXIST ? given_twice(entry_name) : QuastorError::io(errno).about(path));
            return {};
        }
        if (!S_ISREG(status.st_mode))
            return fail(QuastorError::invalid_input("Unsupported filesystem entry: " + decode_utf8_lossy(path)));
        if (::linkat(from_dir, name, to_dir, to_name, 0) == 0)
            return {};
        if (errno == EEXIST)
            return fail(given_twice(entry_name));
        // Another file system, or a file this user may not link to.
        if (errno != EXDEV && errno != EPERM && errno != EMLINK)
            return fail(QuastorError::io(errno).about(path));
        QUASTOR_TRY_ABOUT(copy(from_dir, name, status, to_dir, to_name), path);
        return {};
    }

    // A directory of the tree that stands for no source directory.
    void keep_mode(std::string path, mode_t mode) { modes_.emplace_back(std::move(path), mode); }

    // The directories' own modes, now that nothing more is made in them.
    Result<void> set_modes() const
    {
        for (auto it = modes_.rbegin(); it != modes_.rend(); ++it)
            if (::chmod(it->first.c_str(), it->second) != 0)
                return fail(QuastorError::io(errno));
        return {};
    }

private:
    Result<void> copy(int from_dir, char const* name, struct stat const& status, int to_dir, char const* to_name)
    {
        UniqueFd from(open_at(from_dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK));
        if (!from)
            return fail(QuastorError::io(errno));
        struct stat opened;
        if (::fstat(from.get(), &opened) != 0)
            return fail(QuastorError::io(errno));
        if (!same_item(opened, status) || !S_ISREG(opened.st_mode))
            return fail(QuastorError::io(ESTALE));
        UniqueFd to(open_at(to_dir, to_name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600));
        if (!to)
            return fail(QuastorError::io(errno));
        scratch_.resize(size_t{1} << 16);
        QUASTOR_TRY(copy_file_data(from.get(), to.get(), UINT64_MAX, scratch_));
        if (::fchmod(to.get(), status.st_mode & 07777) != 0)
            return fail(QuastorError::io(errno));
        return {};
    }

    std::span<std::string const> exclude_;
    struct stat tree_;
    std::optional<struct stat> archive_;
    std::vector<std::pair<std::string, mode_t>> modes_;
    std::vector<uint8_t> scratch_;
};

// Our own directories are made writable before anything in them goes,
// since they carry their sources' modes by then.
int open_up(char const* path, struct stat const*, int type, struct FTW*)
{
    if (type == FTW_D || type == FTW_DNR)
        (void)::chmod(path, 0700);
    return 0;
}

int remove_item(char const* path, struct stat const*, int, struct FTW*)
{
    (void)::remove(path);
    return 0;
}

} // namespace

Result<StagedSources> StagedSources::gather(std::span<std::string const> sources, std::string const& prefix,
    std::string const& archive, std::span<std::string const> exclude)
{
    std::string const archive_abs = QUASTOR_TRY(absolute_path(archive));
    for (std::string const& source : sources)
        if (same_path(QUASTOR_TRY(absolute_path(source)), archive_abs))
            return fail(QuastorError::invalid_input("Source path and archive path must be different"));

    // Beside the archive, where hard links to the sources most likely work.
    StagedSources staged;
    std::string beside = std::string(parent_of(archive_abs));
    struct stat status;
    if (::stat(QUASTOR_TRY(os_path(beside)), &status) != 0 || !S_ISDIR(status.st_mode))
        beside = QUASTOR_TRY(absolute_path(temporary_directory()));
    std::string root = join_path(beside, ".quastor-sources-XXXXXX");
    if (::mkdtemp(root.data()) == nullptr)
        return fail(QuastorError::io(errno));
    staged.root_ = root;
    staged.base_ = root;
    staged.sources_.assign(sources.begin(), sources.end());

    struct stat tree;
    if (::stat(root.c_str(), &tree) != 0)
        return fail(QuastorError::io(errno));
    std::optional<struct stat> existing;
    if (::stat(QUASTOR_TRY(os_path(archive_abs)), &status) == 0)
        existing = status;
    Gatherer gatherer(exclude, tree, existing);

    UniqueFd base(open_at(AT_FDCWD, root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
    if (!base)
        return fail(QuastorError::io(errno));
    // The prefix's directories have the mode a new directory gets; the
    // last, standing for a single directory source, has that one's, as
    // archiving the source's parent would give it.
    std::vector<std::string_view> const parts = path_components(prefix);
    for (size_t i = 0; i < parts.size(); ++i) {
        std::string const name(parts[i]);
        if (::mkdirat(base.get(), name.c_str(), 0700) != 0)
            return fail(QuastorError::io(errno));
        base = UniqueFd(open_at(base.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
        if (!base)
            return fail(QuastorError::io(errno));
        append_path(staged.base_, name);
        mode_t mode = 0777 & ~current_umask();
        if (i + 1 == parts.size() && sources.size() == 1 && ::stat(QUASTOR_TRY(os_path(sources[0])), &status) == 0
            && S_ISDIR(status.st_mode))
            mode = status.st_mode & 07777;
        gatherer.keep_mode(staged.base_, mode);
    }

    std::vector<Frame> pending;
    for (std::string const& source : sources) {
        // Unnamed, as creation from one source leaves it: the command
        // looks for the source at fault.
        if (::lstat(QUASTOR_TRY(os_path(source)), &status) != 0)
            return fail(QuastorError::io(errno));
        if (S_ISDIR(status.st_mode)) {
            // A directory gives what it holds, named from itself.
            UniqueFd from(open_at(AT_FDCWD, source.c_str(), O_RDONLY | O_DIRECTORY));
            if (!from)
                return fail(QuastorError::io(errno).about(source));
            UniqueFd to(::fcntl(base.get(), F_DUPFD_CLOEXEC, 0));
            if (!to)
                return fail(QuastorError::io(errno));
            pending.push_back(Frame{std::move(from), std::move(to), source, ""});
        } else {
            std::optional<std::string_view> const name = final_component(source);
            if (!name)
                return fail(QuastorError::invalid_input("Could not derive an archive name from "
                    + decode_utf8_lossy(source)));
            std::string const entry_name(*name);
            if (!gatherer.excluded(entry_name))
                QUASTOR_TRY(gatherer.place(AT_FDCWD, source.c_str(), status, base.get(), entry_name.c_str(), source,
                    entry_name, join_path(staged.base_, entry_name), pending));
        }
        while (!pending.empty()) {
            if (stop_signals()->requested())
                return fail(QuastorError::io(EINTR));
            Frame frame = std::move(pending.back());
            pending.pop_back();
            // The listing owns a descriptor of its own; the frame's stays
            // for the items' lookups.
            int const listed = ::fcntl(frame.from.get(), F_DUPFD_CLOEXEC, 0);
            if (listed < 0)
                return fail(QuastorError::io(errno));
            std::unique_ptr<DIR, DirClose> listing(::fdopendir(listed));
            if (!listing) {
                int const error = errno;
                ::close(listed);
                return fail(QuastorError::io(error).about(frame.path));
            }
            errno = 0;
            while (dirent const* item = ::readdir(listing.get())) {
                std::string const name = item->d_name;
                if (name == "." || name == "..")
                    continue;
                std::string const entry_name = frame.name + name;
                std::string const path = join_path(frame.path, name);
                if (gatherer.excluded(entry_name))
                    continue;
                if (::fstatat(frame.from.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
                    return fail(QuastorError::io(errno).about(path));
                QUASTOR_TRY(gatherer.place(frame.from.get(), name.c_str(), status, frame.to.get(), name.c_str(), path,
                    entry_name, join_path(staged.base_, entry_name), pending));
                errno = 0;
            }
            if (errno != 0)
                return fail(QuastorError::io(errno).about(frame.path));
        }
    }
    QUASTOR_TRY(gatherer.set_modes());
    return staged;
}

StagedSources::StagedSources(StagedSources&& other) noexcept
    : root_(std::exchange(other.root_, std::string())), base_(std::move(other.base_)),
      sources_(std::move(other.sources_))
{
}

StagedSources::~StagedSources()
{
    if (root_.empty())
        return;
    (void)::nftw(root_.c_str(), open_up, 16, FTW_PHYS);
    (void)::nftw(root_.c_str(), remove_item, 16, FTW_PHYS | FTW_DEPTH);
}

std::string StagedSources::source_of(std::string const& subject) const
{
    std::optional<std::string> const inside = strip_path_prefix(subject, base_);
    if (!inside || inside->empty())
        return subject;
    for (std::string const& source : sources_) {
        struct stat status;
        if (::lstat(source.c_str(), &status) != 0)
            continue;
        if (S_ISDIR(status.st_mode)) {
            std::string const candidate = join_path(source, *inside);
            if (::lstat(candidate.c_str(), &status) == 0)
                return candidate;
            continue;
        }
        std::optional<std::string_view> const name = final_component(source);
        if (name && (*inside == *name || inside->starts_with(std::string(*name) + "/")))
            return source + inside->substr(name->size());
    }
    return subject;
}

} // namespace quastor::cli
