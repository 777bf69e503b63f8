// Entries' data written to one stream, in order.

#include "extract/entry_stream.hpp"

#include "common/fd.hpp"
#include "extract/decode.hpp"
#include "extract/large_entry.hpp"

namespace quastor {

namespace {

Result<void> write_entry(ExtractionPlanEntry const& planned, ArchiveBytes const& archive, int fd,
    EntryDecoder& decoder, LargeEntryState& large)
{
    auto write = [fd](Bytes piece) { return write_all(fd, piece); };
    uint64_t zero_tail = 0;
    if (is_large_entry(planned)) {
        zero_tail = QUASTOR_TRY(stream_entry(archive, planned, large, write));
    } else {
        DecodedData const data = QUASTOR_TRY(decoder.decode(planned.entry, planned.data_offset));
        QUASTOR_TRY(write(data.written()));
        zero_tail = data.zero_tail;
    }
    // Zeros no stream wrote still belong to the entry's data.
    static constexpr uint8_t zeros[4096] = {};
    for (; zero_tail != 0; zero_tail -= std::min<uint64_t>(zero_tail, sizeof zeros))
        QUASTOR_TRY(write(Bytes(zeros, static_cast<size_t>(std::min<uint64_t>(zero_tail, sizeof zeros)))));
    return {};
}

} // namespace

Result<void> write_entries(std::vector<ExtractionPlanEntry> const& plan, ArchiveBytes const& archive, int fd,
    Progress* progress, CallerHook* caller)
{
    CallInterruption interruption(caller);
    // Entries go out in plan order, usually the order of their data, so
    // one read serves a run of small ones.
    EntryDecoder decoder(archive, true);
    LargeEntryState large;
    large.progress = progress;
    large.interruption = &interruption;
    for (ExtractionPlanEntry const& planned : plan) {
        if (planned.entry.is_dir || planned.is_symlink)
            continue;
        if (interruption.interrupted())
            return fail(CallInterruption::error());
        QUASTOR_TRY_ABOUT(write_entry(planned, archive, fd, decoder, large), planned.entry.name);
        if (progress != nullptr)
            progress->finished(is_large_entry(planned) ? 0 : planned.entry.uncompressed_size);
    }
    return {};
}

} // namespace quastor
