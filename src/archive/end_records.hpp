#pragma once

// The records at an archive's end: the end record, found by its signature,
// and the ZIP64 records before it; and the tests that readers finding the
// central directory another way (by the size field, by ZIP64 records, by a
// record whose comment fits) find the one read here.

#include "archive/archive_bytes.hpp"
#include "error.hpp"

#include <cstdint>
#include <optional>

namespace quastor {

// The end record as read: its place and the fields the reader takes or
// compares. Disk numbers are not read.
struct EndRecord {
    uint64_t offset = 0; // where the record starts
    uint64_t directory_offset = 0;
    uint64_t directory_size = 0; // compared with the directory only
    uint16_t count = 0;
    uint16_t count_on_disk = 0; // compared with a ZIP64 end record only
    // The record's comment runs past the end of the archive and another
    // end record signature stands before it in the search window: readers
    // that skip a record whose comment does not fit take that one.
    bool comment_hides_another = false;
};

// The end record nearest the end of the archive: InvalidZip "File too short
// to be a ZIP file" or "EOCD signature not found". Nothing else about the
// candidate is tested, so a signature inside a trailing comment wins.
Result<EndRecord> find_end_record(ArchiveBytes const& archive);

// A ZIP64 end record's values.
struct Zip64End {
    uint64_t offset; // where the ZIP64 end record starts
    uint64_t entries_on_disk;
    uint64_t total_entries;
    uint64_t directory_size;
    uint64_t directory_offset;
};

// The ZIP64 end record that some readers take whatever the locator's
// offset says: a locator signature right before the end record and a ZIP64
// end record signature right before the locator. A locator signature alone
// is no locator: it may be the last bytes of an entry's name.
Result<std::optional<Zip64End>> find_zip64_end(ArchiveCursor& cursor, uint64_t end);

// After the directory has been read, up to `directory_end` (the end of the
// last counted header, or the directory offset for none), and every test of
// its headers has passed: InvalidZip "Invalid Central Directory signature"
// where another reader would take another directory (by the size field, a
// ZIP64 end record, an earlier end record, or headers past the count), and
// "Invalid Local File Header signature" where a directory listing nothing
// follows a local header that readers walking from the start extract.
// ArchiveTooLarge where a ZIP64 end record counts more than 65535 entries.
Result<void> check_one_directory(ArchiveCursor& cursor, EndRecord const& end, std::optional<Zip64End> const& zip64,
    uint64_t directory_end);

} // namespace quastor
