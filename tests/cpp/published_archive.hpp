#pragma once

// The archive of prepared entries as creation writes it, through its one
// route: pending, then named. Shared by the writer's and preparation's tests.

#include "common/interruption.hpp"
#include "compress/archive_file.hpp"
#include "compress/writer.hpp"

#include <span>
#include <string>

namespace quastor::testing {

inline Result<void> published(std::span<PreparedEntry const> entries, std::string const& path)
{
    ArchiveFile file = QUASTOR_TRY(ArchiveFile::open(path));
    // Streamed as preparation streams them, where the archive is pending
    // from the start.
    if (ArchiveWriter* stream = file.stream())
        for (PreparedEntry const& entry : entries)
            QUASTOR_TRY(stream->append(entry));
    CallInterruption uninterrupted(nullptr);
    return file.complete(entries, uninterrupted);
}

} // namespace quastor::testing
