#include "archive/records.hpp"
#include "common/buffer.hpp"
#include "common/fd.hpp"
#include "common/pool.hpp"
#include "compress/prepared.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <libdeflate.h>
#include <memory>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace quastor {

namespace {

constexpr int deflate_level = 6;

struct FreeCompressor {
    void operator()(libdeflate_compressor* compressor) const { libdeflate_free_compressor(compressor); }
};
using Compressor = std::unique_ptr<libdeflate_compressor, FreeCompressor>;

PreparedEntry empty_entry(SourceEntry const& entry)
{
    PreparedEntry prepared;
    prepared.data = EmptyData{};
    prepared.name = entry.name;
    prepared.external_attr = entry.external_attr;
    prepared.compress_type = zip::method_stored;
    prepared.flags = zip::flag_utf8_name;
    return prepared;
}

Result<PreparedEntry> prepare_symlink(SourceEntry const& entry)
{
    char const* path = QUASTOR_TRY(os_path(entry.path));
    std::string target(256, '\0');
    for (;;) {
        ssize_t length = ::readlink(path, target.data(), target.size());
        if (length < 0)
            return fail(QuastorError::io(errno));
        // A full buffer may mean a cut target: grow and read again.
        if (static_cast<size_t>(length) < target.size()) {
            target.resize(static_cast<size_t>(length));
            break;
        }
        target.resize(target.size() * 2);
    }
    if (target.size() > zip::max_entry_size)
        return fail(QuastorError::archive_too_large("Symlink target exceeds ZIP limits"));
    PreparedEntry prepared = empty_entry(entry);
    prepared.crc32 = libdeflate_crc32(0, target.data(), target.size());
    prepared.compress_size = static_cast<uint32_t>(target.size());
    prepared.file_size = static_cast<uint32_t>(target.size());
    prepared.data = InlineData{std::move(target)};
    return prepared;
}

// Deflates `input` at level 6 into one buffer of the compressor's bound.
// Returns the compressed length; the buffer is the caller's to spill.
Result<size_t> deflate(Bytes input, ByteBuffer& output)
{
    Compressor compressor(libdeflate_alloc_compressor(deflate_level));
    if (!compressor)
        return fail(QuastorError::compression("failed to allocate a DEFLATE compressor: out of memory"));
    size_t const bound = libdeflate_deflate_compress_bound(compressor.get(), input.size());
    output = QUASTOR_TRY(ByteBuffer::zeroed(bound));
    size_t const length
        = libdeflate_deflate_compress(compressor.get(), input.data(), input.size(), output.data(), output.size());
    if (length == 0)
        return fail(QuastorError::compression("the output buffer was too small for the input data"));
    return length;
}

Result<PreparedEntry> prepare_file(size_t index, SourceEntry const& entry, ScratchDir const& scratch)
{
    struct stat status;
    if (::stat(QUASTOR_TRY(os_path(entry.path)), &status) != 0)
        return fail(QuastorError::io(errno));
    if (status.st_size == 0) {
        PreparedEntry empty = empty_entry(entry);
        empty.source_identity = FileIdentity{status.st_dev, status.st_ino};
        return empty;
    }

    UniqueFd fd = QUASTOR_TRY(open_file(entry.path, O_RDONLY));
    if (::fstat(fd.get(), &status) != 0)
        return fail(QuastorError::io(errno));
    uint64_t const length = static_cast<uint64_t>(status.st_size);
    PreparedEntry prepared = empty_entry(entry);
    prepared.source_identity = FileIdentity{status.st_dev, status.st_ino};
    // A file emptied since the first look is read as it now is; there is
    // nothing to map.
    if (length == 0)
        return prepared;
    if (length > zip::max_entry_size)
        return fail(QuastorError::archive_too_large("File exceeds ZIP32 size limits"));
    Mapping const mapping = QUASTOR_TRY(Mapping::map(fd.get(), length));
    Bytes const bytes = mapping.bytes();

    prepared.crc32 = libdeflate_crc32(0, bytes.data(), bytes.size());
    prepared.file_size = static_cast<uint32_t>(length);
    prepared.compress_size = static_cast<uint32_t>(length);
    prepared.data = SourceFileData{entry.path};
    if (length < min_deflate_length)
        return prepared;

    ByteBuffer compressed;
    size_t const compressed_length = QUASTOR_TRY(deflate(bytes, compressed));
    // DEFLATE is kept only when it saves something; otherwise the writer
    // copies the source file again.
    if (compressed_length >= length)
        return prepared;
    std::string path = scratch.entry_path(index);
    UniqueFd out = QUASTOR_TRY(open_file(path, O_WRONLY | O_CREAT | O_TRUNC, 0666));
    QUASTOR_TRY(write_all(out.get(), Bytes(compressed.data(), compressed_length)));
    prepared.compress_size = static_cast<uint32_t>(compressed_length);
    prepared.compress_type = zip::method_deflate;
    prepared.data = ScratchFileData{std::move(path)};
    return prepared;
}

} // namespace

std::string ScratchDir::entry_path(size_t index) const
{
    char file_name[32];
    std::snprintf(file_name, sizeof file_name, "%08zu.deflate", index);
    return join_path(path_, file_name);
}

Result<PreparedEntry> prepare_entry(size_t index, SourceEntry const& entry, ScratchDir const& scratch)
{
    switch (entry.kind) {
    case SourceKind::Directory:
        return empty_entry(entry);
    case SourceKind::Symlink:
        return prepare_symlink(entry);
    case SourceKind::File:
        return prepare_file(index, entry, scratch);
    }
    return empty_entry(entry);
}

Result<std::vector<PreparedEntry>> prepare_entries(std::span<SourceEntry const> entries, ScratchDir const& scratch,
    WorkerPool& pool)
{
    size_t const count = entries.size();
    std::vector<PreparedEntry> prepared(count);
    // Workers take the next index from a shared counter and store each
    // result at its own index, so the list is in input order whatever the
    // interleaving.
    std::atomic<size_t> next{0};
    std::atomic<bool> stop{false};
    std::mutex error_lock;
    std::optional<QuastorError> first_error;

    auto work = [&](unsigned) {
        while (!stop.load(std::memory_order_acquire)) {
            size_t const index = next.fetch_add(1, std::memory_order_relaxed);
            if (index >= count)
                return;
            Result<PreparedEntry> result = prepare_entry(index, entries[index], scratch);
            if (!result) {
                // Never wait on another worker's error: the first one
                // recorded wins and later ones are dropped.
                if (error_lock.try_lock()) {
                    if (!first_error)
                        first_error.emplace(std::move(result).error());
                    error_lock.unlock();
                }
                stop.store(true, std::memory_order_release);
                return;
            }
            prepared[index] = std::move(*result);
        }
    };
    unsigned const workers = static_cast<unsigned>(std::min<size_t>(pool.size(), count));
    pool.run(workers, work);

    // run() has joined every worker's task, so the slot is read alone.
    if (first_error)
        return fail(std::move(*first_error));
    return prepared;
}

} // namespace quastor
