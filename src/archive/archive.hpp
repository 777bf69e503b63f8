#pragma once

// Reading an archive's central directory, from a file or from memory.
// Everything here runs on the calling thread; errors are InvalidZip with the
// format's fixed texts, ArchiveTooLarge for a ZIP64 archive, and Io for the
// file system and for data that ends early ("failed to fill whole buffer").

#include "archive/entry.hpp"
#include "archive/archive_bytes.hpp"
#include "common/interruption.hpp"
#include "error.hpp"

#include <string>
#include <vector>

namespace quastor {

// An opened archive file: its entries and the open file they are read from.
class ZipArchive {
public:
    static Result<ZipArchive> open(std::string const& path, CallInterruption* interruption = nullptr);
    // Parses the end record and the central directory of a whole archive.
    // The result keeps no reference to the archive's bytes. A central
    // directory can take seconds: `interruption` is looked at per entry.
    static Result<std::vector<ZipEntry>> parse_entries(
        ArchiveBytes const& archive, CallInterruption* interruption = nullptr);

    std::vector<ZipEntry> const& entries() const { return entries_; }
    std::vector<ZipEntry>& entries() { return entries_; }
    ArchiveBytes const& bytes() const { return bytes_; }

private:
    explicit ZipArchive(ArchiveBytes bytes) : bytes_(std::move(bytes)) {}

    std::vector<ZipEntry> entries_;
    ArchiveBytes bytes_;
};

} // namespace quastor
