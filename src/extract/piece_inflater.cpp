// Streaming raw DEFLATE through ISA-L.

#include "extract/piece_inflater.hpp"

#include <algorithm>
#include <cerrno>
#include <isa-l/igzip_lib.h>
#include <new>

namespace quastor {

void PieceInflater::StateFree::operator()(inflate_state* state) const { delete state; }

Result<PieceInflater> PieceInflater::make()
{
    PieceInflater inflater;
    inflater.state_.reset(new (std::nothrow) inflate_state);
    if (!inflater.state_)
        return fail(QuastorError::io(ENOMEM));
    inflater.reset();
    return inflater;
}

PieceInflater::PieceInflater(PieceInflater&&) noexcept = default;
PieceInflater& PieceInflater::operator=(PieceInflater&&) noexcept = default;
PieceInflater::~PieceInflater() = default;

void PieceInflater::reset()
{
    isal_inflate_init(state_.get());
    state_->crc_flag = ISAL_DEFLATE; // raw DEFLATE, no wrapper, no checksum
}

void PieceInflater::start_within(uint8_t byte, unsigned bit, Bytes window)
{
    reset();
    if (!window.empty())
        (void)isal_inflate_set_dict(state_.get(), const_cast<uint8_t*>(window.data()), static_cast<uint32_t>(window.size()));
    // The bits of the block's first byte from `bit` on, as if read already.
    state_->read_in = uint64_t{byte} >> bit;
    state_->read_in_length = static_cast<int32_t>(8 - bit);
}

std::optional<uint64_t> PieceInflater::bits_held_at_boundary() const
{
    inflate_state const& state = *state_;
    // A header cut short by the end of the input is kept whole, its bytes
    // set aside, to be read again with what follows.
    if (state.block_state == ISAL_BLOCK_NEW_HDR)
        return uint64_t(state.read_in_length);
    if (state.block_state == ISAL_BLOCK_HDR)
        return uint64_t(state.read_in_length) + 8 * uint64_t(state.tmp_in_size);
    return std::nullopt;
}

Result<PieceInflater::Step> PieceInflater::inflate(Bytes input, std::span<uint8_t> output)
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

bool PieceInflater::finished() const { return state_->block_state == ISAL_BLOCK_FINISH; }

} // namespace quastor
