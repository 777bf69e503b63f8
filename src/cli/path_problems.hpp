#pragma once

// Which path on the command line an operating-system failure is about, when
// the core's error names none: looked for after the fact, for the message.

#include <optional>
#include <string>

namespace quastor::cli {

// A path the user gave, or one of its parents, and what is wrong with it in
// plain words ("is not a directory", "permission denied").
struct PathProblem {
    std::string path;
    std::string what;
};

// What keeps `directory` from being used or made as a destination: the path
// itself when it stands and is no directory or cannot be written, otherwise
// its nearest parent that stands and is no directory or cannot be written.
// Nothing when no such problem is found (the failure came from elsewhere).
std::optional<PathProblem> destination_problem(std::string const& directory);

// What keeps `path` from being read: missing, behind a parent that is no
// directory or cannot be passed, or, a file or directory, not readable.
std::optional<PathProblem> reading_problem(std::string const& path);

// What keeps creation from reading `source` or writing `archive`: a source
// that cannot be read, then the archive's directory as a destination, then
// an archive path that is a directory.
std::optional<PathProblem> creation_problem(std::string const& source, std::string const& archive);

} // namespace quastor::cli
