#pragma once

// The archive a subcommand reads: a file by its path, or standard input.

#include "archive/entry.hpp"
#include "archive/archive_bytes.hpp"
#include "archive/spooled_input.hpp"
#include "error.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quastor::cli {

// The archive name that means standard input.
constexpr char standard_input_name[] = "-";

// An opened archive: its bytes and its central directory. Not movable: the
// bytes may view memory held here.
class ArchiveInput {
public:
    ArchiveInput(ArchiveInput const&) = delete;
    ArchiveInput& operator=(ArchiveInput const&) = delete;

    // Opens `name`: "-" reads standard input to its end (an archive is
    // parsed from its end, so nothing can start sooner), anything else is a
    // file. A directory is refused as the Io error EISDIR.
    static Result<std::unique_ptr<ArchiveInput>> open(std::string const& name);

    ArchiveBytes const& bytes() const { return *bytes_; }
    // The central directory's entries, moved out by the first caller.
    std::vector<ZipEntry>& entries() { return entries_; }

private:
    ArchiveInput() = default;

    std::unique_ptr<SpooledInput> stream_;
    std::unique_ptr<ArchiveBytes> file_;
    ArchiveBytes const* bytes_ = nullptr;
    std::vector<ZipEntry> entries_;
};

} // namespace quastor::cli
