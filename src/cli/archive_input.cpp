// Opening the archive a subcommand reads, standard input included.

#include "cli/archive_input.hpp"

#include "archive/archive.hpp"
#include "cli/stop_signals.hpp"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace quastor::cli {

Result<std::unique_ptr<ArchiveInput>> ArchiveInput::open(std::string const& name)
{
    std::unique_ptr<ArchiveInput> input(new ArchiveInput());
    if (name == standard_input_name) {
        // A stop signal ends the wait on a stalled stream.
        input->stream_ = QUASTOR_TRY(SpooledInput::read_to_end(STDIN_FILENO, stop_signals()));
        input->bytes_ = &input->stream_->bytes();
    } else {
        Result<ArchiveBytes> opened = ArchiveBytes::open(name);
        if (!opened) {
            // Opening says only that it is no regular file.
            struct stat status;
            if (opened.error().os_error() == ENODEV && ::stat(name.c_str(), &status) == 0 && S_ISDIR(status.st_mode))
                return fail(QuastorError::io(EISDIR));
            return fail(std::move(opened).error());
        }
        input->file_ = std::make_unique<ArchiveBytes>(std::move(*opened));
        input->bytes_ = input->file_.get();
    }
    input->entries_ = QUASTOR_TRY(ZipArchive::parse_entries(*input->bytes_));
    return input;
}

} // namespace quastor::cli
