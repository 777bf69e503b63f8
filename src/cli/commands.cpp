// The command's four subcommands on plain values.

#include "cli/commands.hpp"

#include "archive/archive.hpp"
#include "cli/listing.hpp"
#include "cli/progress_line.hpp"
#include "cli/stop_signals.hpp"
#include "common/fd.hpp"
#include "compress/compress.hpp"
#include "extract/extract.hpp"

#include <cerrno>
#include <cstdio>
#include <exception>
#include <new>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace quastor::cli {

namespace {

void print_error(char const* prefix, std::string const& text)
{
    std::fprintf(stderr, "quastor: %s%s\n", prefix, text.c_str());
}

int failed(char const* prefix, QuastorError const& error)
{
    print_error(prefix, error.display());
    return exit_failure;
}

// Runs a command so that no exception ends the process unreported: running
// out of memory is an ordinary I/O error under the command's prefix, as
// the module reports it.
template <typename Command>
int guarded(char const* prefix, Command&& command)
{
    try {
        return command();
    } catch (std::bad_alloc const&) {
        return failed(prefix, QuastorError::io(ENOMEM));
    } catch (std::exception const& exception) {
        print_error("internal error: ", exception.what());
    } catch (...) {
        print_error("internal error: ", "unknown failure");
    }
    return exit_failure;
}

bool is_standard_input(std::string const& archive) { return archive == standard_input_name; }

// Standard input to its end. An archive is parsed from its end, so nothing
// can start before all of it is here.
Result<std::vector<uint8_t>> read_standard_input()
{
    std::vector<uint8_t> bytes;
    struct stat status;
    if (::fstat(STDIN_FILENO, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0)
        bytes.reserve(static_cast<size_t>(status.st_size) + 1);
    size_t filled = 0;
    for (;;) {
        if (bytes.size() - filled < (size_t{1} << 16))
            bytes.resize(std::max(bytes.capacity(), filled + (size_t{1} << 20)));
        std::span<uint8_t> const room(bytes.data() + filled, bytes.size() - filled);
        Bytes const got = QUASTOR_TRY(read_full(STDIN_FILENO, room));
        filled += got.size();
        if (got.size() < room.size())
            break;
    }
    bytes.resize(filled);
    return bytes;
}

// Writes all of `text` to standard output and flushes it: a listing cut
// short by a full disk or a closed reader must not end in success.
Result<void> print(std::string const& text)
{
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0)
        return fail(QuastorError::io(errno != 0 ? errno : EIO));
    return {};
}

std::string shown_name(std::string const& archive)
{
    return is_standard_input(archive) ? std::string("standard input") : archive;
}

} // namespace

int run_create(CreateOptions const& options)
{
    return guarded(creation_failed_prefix, [&] {
        Progress progress;
        Result<void> created;
        {
            ProgressLine line(progress, ProgressLine::wanted(options.quiet));
            created = create_zip(options.source, options.archive, options.level, &progress, stop_signals());
        }
        return created ? exit_success : failed(creation_failed_prefix, created.error());
    });
}

int run_extract(ExtractOptions const& options)
{
    return guarded(extraction_failed_prefix, [&] {
        Result<void> extracted;
        if (is_standard_input(options.archive)) {
            Result<std::vector<uint8_t>> bytes = read_standard_input();
            if (!bytes)
                return failed(extraction_failed_prefix, bytes.error());
            Progress progress;
            ProgressLine line(progress, ProgressLine::wanted(options.quiet));
            extracted = extract_from_bytes(*bytes, options.directory, &progress, stop_signals());
        } else {
            Progress progress;
            ProgressLine line(progress, ProgressLine::wanted(options.quiet));
            extracted = extract(options.archive, options.directory, &progress, stop_signals());
        }
        return extracted ? exit_success : failed(extraction_failed_prefix, extracted.error());
    });
}

int run_check(CheckOptions const& options)
{
    return guarded(preflight_failed_prefix, [&] {
        // A file or standard input: either way, a source and its entries.
        std::vector<uint8_t> input;
        std::optional<ZipArchive> opened;
        std::optional<ArchiveSource> in_memory;
        std::vector<ZipEntry> entries;
        if (is_standard_input(options.archive)) {
            Result<std::vector<uint8_t>> read = read_standard_input();
            if (!read)
                return failed(preflight_failed_prefix, read.error());
            input = std::move(*read);
            in_memory.emplace(Bytes(input));
            Result<std::vector<ZipEntry>> parsed = ZipArchive::parse_entries(*in_memory);
            if (!parsed)
                return failed(preflight_failed_prefix, parsed.error());
            entries = std::move(*parsed);
        } else {
            Result<ZipArchive> archive = ZipArchive::open(options.archive);
            if (!archive)
                return failed(preflight_failed_prefix, archive.error());
            opened.emplace(std::move(*archive));
            entries = std::move(opened->entries());
        }

        Result<Inspection> inspection = inspect(in_memory ? *in_memory : opened->source(), std::move(entries));
        if (!inspection)
            return failed(preflight_failed_prefix, inspection.error());
        Result<void> printed;
        if (options.json)
            printed = print(json_text(inspection->report));
        else if (!options.quiet)
            printed = print(listing_text(*inspection));
        if (!printed)
            return failed(preflight_failed_prefix, printed.error());

        std::vector<std::string> const lines = findings(*inspection, options.limits);
        for (std::string const& line : lines)
            print_error("", line);
        return lines.empty() ? exit_success : exit_failure;
    });
}

int run_test(TestOptions const& options)
{
    return guarded(extraction_failed_prefix, [&] {
        Progress progress;
        Result<void> verified;
        {
            ProgressLine line(progress, ProgressLine::wanted(options.quiet));
            if (is_standard_input(options.archive)) {
                Result<std::vector<uint8_t>> bytes = read_standard_input();
                if (!bytes)
                    return failed(extraction_failed_prefix, bytes.error());
                verified = verify_bytes(*bytes, &progress, stop_signals());
            } else {
                verified = verify(options.archive, &progress, stop_signals());
            }
        }
        if (!verified)
            return failed(extraction_failed_prefix, verified.error());
        if (options.quiet)
            return exit_success;
        Result<void> printed = print("No errors in " + shown_name(options.archive) + ": "
            + std::to_string(progress.entries.load(std::memory_order_relaxed)) + " entries tested\n");
        return printed ? exit_success : failed(extraction_failed_prefix, printed.error());
    });
}

} // namespace quastor::cli
