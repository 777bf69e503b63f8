// Finding the path an operating-system failure is about, for the message.

#include "cli/path_problems.hpp"

#include "common/path.hpp"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace quastor::cli {

namespace {

std::string parent_path(std::string const& path)
{
    std::string_view const parent = parent_of(path);
    return parent.empty() ? std::string(".") : std::string(parent);
}

// Whether `path` is the last one up: its parent is itself.
bool is_top(std::string const& path) { return path == "/" || path == "." || parent_path(path) == path; }

std::string access_problem(int error) { return error == EROFS ? "is on a read-only file system" : "permission denied"; }

// The nearest of `path` and its parents that stands, and what is wrong with
// it for `wanted` (access(2)'s bits): no directory, or no such access.
std::optional<PathProblem> nearest_problem(std::string path, int wanted)
{
    for (;;) {
        struct stat status;
        if (path.find('\0') != std::string::npos)
            return std::nullopt;
        if (::stat(path.c_str(), &status) == 0) {
            if (!S_ISDIR(status.st_mode))
                return PathProblem{path, "is not a directory"};
            if (::access(path.c_str(), wanted) != 0)
                return PathProblem{path, access_problem(errno)};
            return std::nullopt;
        }
        // Missing, or hidden behind a parent: the parent says which. What
        // stands may then only be entered, so that a parent that can be
        // passed through is no problem.
        if ((errno != ENOENT && errno != ENOTDIR && errno != EACCES) || is_top(path))
            return std::nullopt;
        if (errno == ENOENT)
            wanted = W_OK | X_OK;
        else
            wanted = X_OK;
        path = parent_path(path);
    }
}

} // namespace

std::optional<PathProblem> destination_problem(std::string const& directory)
{
    return nearest_problem(directory, W_OK | X_OK);
}

std::optional<PathProblem> reading_problem(std::string const& path)
{
    struct stat status;
    if (path.find('\0') != std::string::npos)
        return std::nullopt;
    if (::lstat(path.c_str(), &status) != 0) {
        if (errno == ENOENT)
            return PathProblem{path, "does not exist"};
        if (errno == ENOTDIR || errno == EACCES)
            return nearest_problem(parent_path(path), X_OK);
        return std::nullopt;
    }
    // Only a directory or file is read: creation archives a link as itself.
    int const reading = S_ISDIR(status.st_mode) ? R_OK | X_OK : S_ISREG(status.st_mode) ? R_OK : 0;
    if (reading != 0 && ::access(path.c_str(), reading) != 0)
        return PathProblem{path, access_problem(errno)};
    return std::nullopt;
}

std::optional<PathProblem> creation_problem(std::string const& source, std::string const& archive)
{
    struct stat status;
    if (source.find('\0') != std::string::npos || archive.find('\0') != std::string::npos)
        return std::nullopt;
    if (std::optional<PathProblem> problem = reading_problem(source))
        return problem;
    // A source that cannot be looked at for another reason: no telling.
    if (::lstat(source.c_str(), &status) != 0)
        return std::nullopt;
    if (::stat(archive.c_str(), &status) == 0 && S_ISDIR(status.st_mode))
        return PathProblem{archive, "is a directory"};
    return nearest_problem(parent_path(archive), W_OK | X_OK);
}

} // namespace quastor::cli
