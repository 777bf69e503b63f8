#pragma once

// Several sources, or one under a prefix, gathered into one tree so that a
// single create_zip call archives them: what each source gives (its own
// entry names, as create_zip names them alone) is linked into a private
// directory, under the prefix when there is one.

#include "error.hpp"

#include <span>
#include <string>
#include <vector>

namespace quastor::cli {

// The gathered tree, removed with everything in it when destroyed. Files
// are hard links to the sources' own (so the archive holds what was
// collected, checked by identity as for any source), copies where the file
// system refuses a link; links are made again with their targets;
// directories are made and given their sources' modes. Main thread.
class StagedSources {
public:
    // Gathers `sources` under `prefix` ("" or "a/b/") in a directory
    // beside `archive` (under TMPDIR when that directory does not exist),
    // leaving out what an `exclude` pattern names (matched against the names
    // relative to each source, as create_zip matches them). Two sources that
    // give one entry name are InvalidInput, before anything is written. A
    // failure about one item carries its source path as the subject.
    static Result<StagedSources> gather(std::span<std::string const> sources, std::string const& prefix,
        std::string const& archive, std::span<std::string const> exclude);

    StagedSources(StagedSources&& other) noexcept;
    StagedSources& operator=(StagedSources&&) = delete;
    StagedSources(StagedSources const&) = delete;
    ~StagedSources();

    // The tree to hand to create_zip.
    std::string const& root() const { return root_; }

    // The source path an error's subject inside the tree stands for; other
    // subjects as they are.
    std::string source_of(std::string const& subject) const;

private:
    StagedSources() = default;

    std::string root_;                 // empty once moved from
    std::string base_;                 // root_ and the prefix
    std::vector<std::string> sources_; // as given
};

} // namespace quastor::cli
