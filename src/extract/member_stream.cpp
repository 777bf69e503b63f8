// Members' data written to one stream, in order.

#include "extract/member_stream.hpp"

#include "common/fd.hpp"
#include "extract/decode.hpp"
#include "extract/large_member.hpp"

namespace quastor {

namespace {

Result<void> write_member(ExtractionPlanEntry const& planned, ArchiveSource const& archive, int fd,
    Decompressor& decompressor, LargeMemberState& large, ReusableBuffer& stored_buffer, ReusableBuffer& decoded_buffer)
{
    auto write = [fd](Bytes piece) { return write_all(fd, piece); };
    uint64_t zero_tail = 0;
    if (is_large_member(planned)) {
        zero_tail = QUASTOR_TRY(stream_member(archive, planned, large, write));
    } else {
        if (!decompressor)
            decompressor = QUASTOR_TRY(make_decompressor());
        ZipEntry const& entry = planned.entry;
        Bytes const stored
            = QUASTOR_TRY(archive.read(planned.data_offset, static_cast<size_t>(entry.compressed_size), stored_buffer));
        DecodedData const data = QUASTOR_TRY(decode_stored_data(entry, stored, decompressor.get(), decoded_buffer));
        QUASTOR_TRY(check_crc32(entry, data));
        QUASTOR_TRY(write(data.written()));
        zero_tail = data.zero_tail;
    }
    // Zeros no stream wrote still belong to the member's data.
    static constexpr uint8_t zeros[4096] = {};
    for (; zero_tail != 0; zero_tail -= std::min<uint64_t>(zero_tail, sizeof zeros))
        QUASTOR_TRY(write(Bytes(zeros, static_cast<size_t>(std::min<uint64_t>(zero_tail, sizeof zeros)))));
    return {};
}

} // namespace

Result<void> write_members(std::vector<ExtractionPlanEntry> const& plan, ArchiveSource const& archive, int fd,
    Progress* progress, Interruption* caller)
{
    CallInterruption interruption(caller);
    Decompressor decompressor;
    LargeMemberState large;
    large.progress = progress;
    large.interruption = &interruption;
    ReusableBuffer stored_buffer;
    ReusableBuffer decoded_buffer;
    for (ExtractionPlanEntry const& planned : plan) {
        if (planned.entry.is_dir || planned.is_symlink)
            continue;
        if (interruption.interrupted())
            return fail(CallInterruption::error());
        QUASTOR_TRY_ABOUT(write_member(planned, archive, fd, decompressor, large, stored_buffer, decoded_buffer),
            planned.entry.name);
        if (progress != nullptr)
            progress->finished(is_large_member(planned) ? 0 : planned.entry.uncompressed_size);
    }
    return {};
}

} // namespace quastor
