// Streaming raw DEFLATE through ISA-L.

#include "extract/stream_inflater.hpp"

#include <algorithm>
#include <cerrno>
#include <isa-l/igzip_lib.h>
#include <new>

namespace quastor {

void StreamInflater::StateFree::operator()(inflate_state* state) const { delete state; }

Result<StreamInflater> StreamInflater::make()
{
    StreamInflater inflater;
    inflater.state_.reset(new (std::nothrow) inflate_state);
    if (!inflater.state_)
        return fail(QuastorError::io(ENOMEM));
    inflater.reset();
    return inflater;
}

StreamInflater::StreamInflater(StreamInflater&&) noexcept = default;
StreamInflater& StreamInflater::operator=(StreamInflater&&) noexcept = default;
StreamInflater::~StreamInflater() = default;

void StreamInflater::reset()
{
    isal_inflate_init(state_.get());
    state_->crc_flag = ISAL_DEFLATE; // raw DEFLATE, no wrapper, no checksum
}

Result<StreamInflater::Step> StreamInflater::inflate(Bytes input, std::span<uint8_t> output)
{
    // ISA-L counts in 32 bits; larger spans are simply taken in turns.
    constexpr size_t most = UINT32_MAX;
    inflate_state& state = *state_;
    state.next_in = const_cast<uint8_t*>(input.data());
    state.avail_in = static_cast<uint32_t>(std::min(input.size(), most));
    state.next_out = output.data();
    state.avail_out = static_cast<uint32_t>(std::min(output.size(), most));
    uint32_t const in_before = state.avail_in;
    uint32_t const out_before = state.avail_out;
    if (isal_inflate(&state) < 0)
        return fail(QuastorError::decompression("BadData"));
    return Step{in_before - state.avail_in, out_before - state.avail_out};
}

bool StreamInflater::finished() const { return state_->block_state == ISAL_BLOCK_FINISH; }

} // namespace quastor
