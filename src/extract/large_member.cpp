// Streaming the data of members too large to hold whole, by their method's row.

#include "extract/large_member.hpp"

namespace quastor {

Result<uint64_t> stream_member(
    ArchiveBytes const& archive, ExtractionPlanEntry const& planned, LargeMemberState& state, PieceSink const& sink)
{
    CompressionMethod const* method = find_method(planned.entry.method);
    if (method == nullptr)
        return fail(QuastorError::unsupported_compression(planned.entry.method));
    return method->decode_streamed(archive, planned.entry, planned.data_offset, state, sink);
}

} // namespace quastor
