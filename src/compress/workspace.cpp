// One worker's compressors: libdeflate at the call's level, ISA-L's engine
// at the fast end, each allocated on first use and kept for the next file.

#include "compress/workspace.hpp"

#include <cerrno>
#include <isa-l/igzip_lib.h>
#include <libdeflate.h>
#include <new>

namespace quastor {

namespace {

// ISA-L's level used for the fast end: its best ratio short of level 3,
// and on text no slower than its level 1.
constexpr uint32_t fast_isal_level = 2;

} // namespace

// ISA-L gets room for one byte less than the input: output that would not
// be smaller is never kept, so running out of room ends the work early.
Result<std::optional<Bytes>> EntryWorkspace::deflate_fast(Bytes input)
{
    isal_zstream* stream = QUASTOR_TRY(fast_stream());
    std::span<uint8_t> output = QUASTOR_TRY(output_.reserve(input.size() - 1));
    stream->next_in = const_cast<uint8_t*>(input.data());
    stream->avail_in = static_cast<uint32_t>(input.size());
    stream->next_out = output.data();
    stream->avail_out = static_cast<uint32_t>(output.size());
    stream->end_of_stream = 1;
    stream->flush = NO_FLUSH;
    int const status = isal_deflate_stateless(stream);
    if (status == STATELESS_OVERFLOW)
        return std::optional<Bytes>();
    if (status != COMP_OK)
        return fail(QuastorError::compression("ISA-L could not deflate the data"));
    return std::optional<Bytes>(Bytes(output.data(), stream->total_out));
}

// libdeflate gets room for its bound, so that it always finishes: level 6
// output is libdeflate's, whatever its length.
Result<std::optional<Bytes>> EntryWorkspace::deflate(Bytes input)
{
    if (level_ == fast_level)
        return deflate_fast(input);
    libdeflate_compressor* compressor = QUASTOR_TRY(this->compressor());
    std::span<uint8_t> output = QUASTOR_TRY(output_.reserve(libdeflate_deflate_compress_bound(compressor, input.size())));
    size_t const length = libdeflate_deflate_compress(compressor, input.data(), input.size(), output.data(), output.size());
    if (length == 0)
        return fail(QuastorError::compression("the output buffer was too small for the input data"));
    if (length >= input.size())
        return std::optional<Bytes>();
    return std::optional<Bytes>(Bytes(output.data(), length));
}

void EntryWorkspace::FreeCompressor::operator()(libdeflate_compressor* compressor) const
{
    libdeflate_free_compressor(compressor);
}

void EntryWorkspace::FreeStream::operator()(isal_zstream* stream) const { delete stream; }

Result<isal_zstream*> EntryWorkspace::fast_stream()
{
    if (!fast_stream_) {
        fast_level_buffer_.reset(new (std::nothrow) uint8_t[ISAL_DEF_LVL2_DEFAULT]);
        fast_stream_.reset(new (std::nothrow) isal_zstream);
        if (!fast_level_buffer_ || !fast_stream_) {
            fast_stream_.reset();
            return fail(QuastorError::io(ENOMEM));
        }
    }
    // Every file is a stream of its own.
    isal_deflate_stateless_init(fast_stream_.get());
    fast_stream_->level = fast_isal_level;
    fast_stream_->level_buf = fast_level_buffer_.get();
    fast_stream_->level_buf_size = ISAL_DEF_LVL2_DEFAULT;
    return fast_stream_.get();
}

Result<libdeflate_compressor*> EntryWorkspace::compressor()
{
    if (!compressor_) {
        compressor_.reset(libdeflate_alloc_compressor(level_));
        if (!compressor_)
            return fail(QuastorError::io(ENOMEM));
    }
    return compressor_.get();
}

} // namespace quastor
