// Streaming the data of entries too large to hold whole, by their method's row.

#include "extract/large_entry.hpp"

namespace quastor {

Result<uint64_t> decode_in_pieces(
    ArchiveBytes const& archive, ExtractionPlanEntry const& planned, LargeEntryState& state, PieceSink const& sink)
{
    CompressionMethod const* method = find_method(planned.entry.method);
    if (method == nullptr)
        return fail(QuastorError::unsupported_compression(planned.entry.method));
    return method->decode_streamed(archive, planned.entry, planned.data_offset, state, sink);
}

} // namespace quastor
