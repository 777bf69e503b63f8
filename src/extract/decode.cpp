#include "extract/decode.hpp"
#include "archive/records.hpp"

#include <cerrno>
#include <cstring>
#include <sys/mman.h>

namespace quastor {

Result<Decompressor> make_decompressor()
{
    Decompressor decompressor(libdeflate_alloc_decompressor());
    if (!decompressor)
        return fail(QuastorError::io(ENOMEM));
    return decompressor;
}

DecodeBuffer::~DecodeBuffer()
{
    if (address_ != nullptr)
        ::munmap(address_, capacity_);
}

Result<std::span<uint8_t>> DecodeBuffer::reserve(size_t size)
{
    constexpr size_t huge_page = size_t{2} << 20;
    constexpr size_t keep_limit = size_t{64} << 20;
    if (size == 0)
        return std::span<uint8_t>();
    // A buffer much larger than the entry is let go beyond a bound, so that
    // one huge entry does not pin its memory for the rest of the run.
    if (capacity_ >= size && (capacity_ <= keep_limit || capacity_ / 2 <= size))
        return std::span<uint8_t>(static_cast<uint8_t*>(address_), size);
    if (address_ != nullptr)
        ::munmap(address_, capacity_);
    address_ = nullptr;
    capacity_ = 0;
    size_t capacity = size >= huge_page ? (size + huge_page - 1) & ~(huge_page - 1) : size;
    if (capacity < size)
        return fail(QuastorError::io(ENOMEM));
    void* address = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (address == MAP_FAILED)
        return fail(QuastorError::io(errno));
    // Only a hint: without transparent huge pages the mapping works as is.
    if (capacity >= huge_page)
        ::madvise(address, capacity, MADV_HUGEPAGE);
    address_ = address;
    capacity_ = capacity;
    return std::span<uint8_t>(static_cast<uint8_t*>(address_), size);
}

Result<Bytes> decode_entry_data(ZipEntry const& entry, Bytes archive, libdeflate_decompressor* decompressor,
    DecodeBuffer& buffer)
{
    // A directory has no data worth locating: its local header is checked
    // by the plan, not here.
    if (entry.is_dir)
        return Bytes();

    // The local header is checked before the method, so a broken header
    // wins over an unsupported method.
    Bytes stored = QUASTOR_TRY(entry.data(archive));

    if (entry.method == zip::method_stored) {
        if (stored.size() != entry.uncompressed_size)
            return fail(QuastorError::decompression("Stored data length mismatch"));
        std::span<uint8_t> out = QUASTOR_TRY(buffer.reserve(stored.size()));
        if (!stored.empty())
            std::memcpy(out.data(), stored.data(), stored.size());
        return Bytes(out);
    }

    if (entry.method == zip::method_deflate) {
        if (entry.uncompressed_size > SIZE_MAX)
            return fail(QuastorError::io(ENOMEM));
        // Fresh pages of a new mapping are zero and untouched: a declared
        // size far beyond the real stream costs address space, not memory.
        std::span<uint8_t> out = QUASTOR_TRY(buffer.reserve(static_cast<size_t>(entry.uncompressed_size)));
        size_t actual = 0;
        libdeflate_result result = libdeflate_deflate_decompress(
            decompressor, stored.data(), stored.size(), out.data(), out.size(), &actual);
        if (result == LIBDEFLATE_SUCCESS) {
            // A stream that ends early leaves the rest zero, as a fresh
            // buffer would; the caller's CRC check judges the result.
            if (actual < out.size())
                std::memset(out.data() + actual, 0, out.size() - actual);
            return Bytes(out);
        }
        if (result == LIBDEFLATE_INSUFFICIENT_SPACE)
            return fail(QuastorError::decompression("InsufficientSpace"));
        return fail(QuastorError::decompression("BadData"));
    }

    return fail(QuastorError::unsupported_compression(entry.method));
}

Result<void> check_crc32(ZipEntry const& entry, Bytes decoded)
{
    uint32_t const actual = libdeflate_crc32(0, decoded.data(), decoded.size());
    if (actual != entry.crc32)
        return fail(QuastorError::crc_mismatch(entry.crc32, actual));
    return {};
}

} // namespace quastor
