// Opening the archive a subcommand reads, standard input included.

#include "cli/archive_input.hpp"

#include "archive/archive.hpp"
#include "common/fd.hpp"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quastor::cli {

std::string temporary_directory()
{
    char const* value = std::getenv("TMPDIR");
    return value != nullptr && *value != '\0' ? std::string(value) : std::string("/tmp");
}

namespace {

// A file only this process can reach, gone once closed: an unnamed one
// where the file system makes them, otherwise a fresh name removed at once.
Result<UniqueFd> unnamed_file()
{
    std::string const directory = temporary_directory();
    UniqueFd file(open_at(AT_FDCWD, QUASTOR_TRY(os_path(directory)), O_TMPFILE | O_RDWR | O_EXCL, 0600));
    if (file)
        return file;
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
        return fail(QuastorError::io(errno));
    std::string name = join_path(directory, "quastor-stdin-XXXXXX");
    QUASTOR_TRY(os_path(name));
    UniqueFd named(::mkostemp(name.data(), O_CLOEXEC));
    if (!named)
        return fail(QuastorError::io(errno));
    if (::unlink(name.c_str()) != 0)
        return fail(QuastorError::io(errno));
    return named;
}

// Reads standard input into `memory` up to the budget; the bytes read and
// whether the stream ended there.
Result<bool> read_into_memory(std::vector<uint8_t>& memory)
{
    size_t filled = 0;
    for (;;) {
        if (memory.size() - filled < (size_t{1} << 16))
            memory.resize(std::min(standard_input_budget, std::max(memory.size() * 2, filled + (size_t{1} << 20))));
        std::span<uint8_t> const room(memory.data() + filled, memory.size() - filled);
        Bytes const got = QUASTOR_TRY(read_full(STDIN_FILENO, room));
        filled += got.size();
        if (got.size() < room.size()) {
            memory.resize(filled);
            return true;
        }
        if (filled == standard_input_budget)
            return false;
    }
}

// What is held, then the rest of the stream, into an unnamed file.
Result<UniqueFd> spill(std::vector<uint8_t>& memory)
{
    UniqueFd file = QUASTOR_TRY(unnamed_file());
    for (;;) {
        QUASTOR_TRY(write_all(file.get(), memory));
        Bytes const got = QUASTOR_TRY(read_full(STDIN_FILENO, memory));
        if (got.empty())
            break;
        if (got.size() < memory.size()) {
            QUASTOR_TRY(write_all(file.get(), got));
            break;
        }
    }
    memory = {};
    return file;
}

} // namespace

Result<std::unique_ptr<ArchiveInput>> ArchiveInput::open(std::string const& name)
{
    std::unique_ptr<ArchiveInput> input(new ArchiveInput());
    if (name == standard_input_name) {
        if (QUASTOR_TRY(read_into_memory(input->memory_))) {
            input->bytes_ = std::make_unique<ArchiveBytes>(Bytes(input->memory_));
        } else {
            UniqueFd file = QUASTOR_TRY(spill(input->memory_));
            input->bytes_ = std::make_unique<ArchiveBytes>(QUASTOR_TRY(ArchiveBytes::adopt(std::move(file))));
        }
    } else {
        Result<ArchiveBytes> opened = ArchiveBytes::open(name);
        if (!opened) {
            // Opening says only that it is no regular file.
            struct stat status;
            if (opened.error().os_error() == ENODEV && ::stat(name.c_str(), &status) == 0 && S_ISDIR(status.st_mode))
                return fail(QuastorError::io(EISDIR));
            return fail(std::move(opened).error());
        }
        input->bytes_ = std::make_unique<ArchiveBytes>(std::move(*opened));
    }
    input->entries_ = QUASTOR_TRY(ZipArchive::parse_entries(*input->bytes_));
    return input;
}

} // namespace quastor::cli
