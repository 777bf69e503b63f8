#pragma once

// Local file headers found where no entry points: readers that walk the
// local headers from the start of an archive extract such a record although
// the central directory does not list it. (ZipEntry's own local header is
// read by the ZipEntry functions defined beside this one.)

#include "archive/archive_bytes.hpp"
#include "error.hpp"

#include <cstdint>

namespace quastor {

// Whether a local header that a reader could parse starts in [begin, end):
// its signature, with its fixed part, name and extra field inside the
// archive. Io when the file has shrunk meanwhile.
Result<bool> find_local_header(ArchiveCursor& cursor, uint64_t begin, uint64_t end);

} // namespace quastor
