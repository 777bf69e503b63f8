#pragma once

// One worker's compressors and buffers, reused from entry to entry, and the fast level.

#include "common/buffer.hpp"
#include "common/bytes.hpp"
#include "compress/compress.hpp"
#include "error.hpp"

#include <cstdint>
#include <memory>
#include <optional>

struct libdeflate_compressor;
struct isal_zstream;

namespace quastor {

// The fast end of the DEFLATE levels (compress.hpp), 1, is ISA-L's engine
// rather than libdeflate's: about four times libdeflate's level 1 on text,
// and at once done with data that does not compress, for a somewhat lower
// ratio.
constexpr int fast_level = 1;

// What one worker reuses from entry to entry: its compressor at the call's
// level, allocated on first use, the buffer a file is read into and the
// buffer it is deflated into. Files are read, not mapped: a mapped file
// that another process truncates raises SIGBUS and would take the
// interpreter down, and every mmap and munmap takes the process's
// address-space lock and flushes the other workers' TLBs. Never shared.
class EntryWorkspace {
public:
    // `level` is libdeflate's; at 0 files are stored without compressing,
    // and at 1 ISA-L's engine deflates (see fast_level).
    explicit EntryWorkspace(int level = default_deflate_level) : level_(level) {}
    int level() const { return level_; }
    // Deflates `input` (not empty) at the workspace's level into its output
    // buffer: the compressed bytes, valid until the buffer's next use, or
    // nullopt when they would not be smaller than the input. Io ENOMEM when
    // a compressor cannot be allocated, as for any memory.
    Result<std::optional<Bytes>> deflate(Bytes input);
    ReusableBuffer& input() { return input_; }

private:
    Result<std::optional<Bytes>> deflate_fast(Bytes input);
    Result<libdeflate_compressor*> compressor();
    // ISA-L's stream and the working memory its level needs, for level 1.
    Result<isal_zstream*> fast_stream();

    struct FreeCompressor {
        void operator()(libdeflate_compressor* compressor) const;
    };
    struct FreeStream {
        void operator()(isal_zstream* stream) const;
    };
    int level_;
    std::unique_ptr<libdeflate_compressor, FreeCompressor> compressor_;
    std::unique_ptr<isal_zstream, FreeStream> fast_stream_;
    std::unique_ptr<uint8_t[]> fast_level_buffer_;
    ReusableBuffer input_;
    ReusableBuffer output_;
};

} // namespace quastor
