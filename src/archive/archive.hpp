#pragma once

#include "archive/entry.hpp"
#include "common/fd.hpp"
#include "error.hpp"

#include <string>
#include <vector>

namespace quastor {

// An opened archive file: its entries and a read-only mapping of the whole
// file. Entry data is handed out as sub-ranges of the mapping, never copied.
// The descriptor is closed before open() returns.
class ZipArchive {
public:
    static Result<ZipArchive> open(std::string const& path);
    // Parses the end record and the central directory of a whole archive held
    // by the caller. Keeps no reference to the bytes.
    static Result<std::vector<ZipEntry>> parse_entries(Bytes archive);

    std::vector<ZipEntry> const& entries() const { return entries_; }
    std::vector<ZipEntry>& entries() { return entries_; }
    Bytes bytes() const { return mapping_.bytes(); }

private:
    std::vector<ZipEntry> entries_;
    Mapping mapping_;
};

} // namespace quastor
