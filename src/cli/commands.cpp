// The command's four subcommands on plain values.

#include "cli/commands.hpp"

#include "cli/archive_input.hpp"
#include "cli/listing.hpp"
#include "cli/messages.hpp"
#include "cli/path_problems.hpp"
#include "cli/progress_line.hpp"
#include "cli/stop_signals.hpp"
#include "common/path.hpp"
#include "compress/compress.hpp"
#include "extract/destination_checks.hpp"
#include "extract/extract.hpp"
#include "extract/entry_output.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <nlohmann/json.hpp>
#include <unistd.h>

namespace quastor::cli {

namespace {

// Runs a command so that no exception ends the process unreported: running
// out of memory is an ordinary I/O error under the command's prefix, as
// the module reports it.
template <typename Command>
int guarded(std::string const& archive, char const* prefix, Command&& command)
{
    try {
        return command();
    } catch (std::bad_alloc const&) {
        return report_failure(archive, prefix, QuastorError::io(ENOMEM));
    } catch (std::exception const& exception) {
        print_error_line(std::string("internal error: ") + exception.what());
    } catch (...) {
        print_error_line("internal error: unknown failure");
    }
    return exit_failure;
}


// Writes all of `text` to standard output and flushes it: a listing cut
// short by a full disk or a closed reader must not end in success. Its
// failure is said as one of standard output, which the archive has no part
// in; false then.
bool print(std::string const& text)
{
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0)
        return true;
    print_error_line(std::string("standard output: ") + std::strerror(errno != 0 ? errno : EIO));
    return false;
}

// `value` printed as one line; the failure exit status when the line could
// not be written, otherwise `status`.
int print_json(nlohmann::ordered_json const& value, int status)
{
    return print(value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n") ? status : exit_failure;
}

// The archive opened and planned whole: every test extraction makes before
// writing has passed for every entry, whatever is chosen later.
struct OpenedArchive {
    std::unique_ptr<ArchiveInput> input;
    std::vector<ExtractionPlanEntry> plan;
};

Result<OpenedArchive> open_and_plan(std::string const& archive)
{
    OpenedArchive opened;
    opened.input = QUASTOR_TRY(ArchiveInput::open(archive));
    opened.plan = QUASTOR_TRY(build_extraction_plan(std::move(opened.input->entries()), opened.input->bytes()));
    return opened;
}

// The strict findings and the size limit, over the whole archive, one line
// each; whether there were any.
bool report_findings(std::string const& archive, std::vector<ExtractionPlanEntry> const& plan, Limits const& limits)
{
    std::vector<Finding> const found = findings(plan, limits);
    for (Finding const& finding : found)
        print_error_line(shown_archive(archive) + ": " + finding.text);
    return !found.empty();
}

// Whether the last member operand, which named nothing, looks like a
// destination given without -d (as other tools take one): a plain name that
// no entry's path even starts with.
bool looks_like_destination(EntryChoice const& choice, std::string const& unmatched,
    std::vector<ExtractionPlanEntry> const& plan)
{
    if (unmatched != choice.patterns.back() || unmatched.find_first_of("*?[") != std::string::npos)
        return false;
    return std::none_of(plan.begin(), plan.end(),
        [&](ExtractionPlanEntry const& planned) { return planned.path.starts_with(unmatched); });
}

// Narrows `plan` to the chosen entries. A pattern that names nothing is
// reported and fails the call, leaving `plan` whole; its text, for a
// report, in `first_unmatched`. `may_be_destination`: the subcommand takes
// -d, and it was not given.
bool choose(std::string const& archive, EntryChoice const& choice, std::vector<ExtractionPlanEntry>& plan,
    std::string* first_unmatched = nullptr, bool may_be_destination = false)
{
    std::vector<std::string> const unmatched = narrow_plan(plan, choice);
    for (std::string const& pattern : unmatched) {
        std::string line = shown_archive(archive) + ": " + shown(pattern) + ": matches no entry";
        if (may_be_destination && looks_like_destination(choice, pattern, plan))
            line += "; did you mean '-d " + shown(pattern) + "'?";
        print_error_line(line);
    }
    if (unmatched.empty())
        return true;
    if (first_unmatched != nullptr)
        *first_unmatched = shown(unmatched.front()) + ": matches no entry";
    return false;
}

// For a failure of the operating system that the core could not tie to an
// entry or a source item: the path the user gave that it is about, found by
// `look`, where one shows a problem.
template <typename Look>
std::optional<PathProblem> named_path_problem(QuastorError const& error, Look&& look)
{
    if (!error.subject().empty() || stop_signals()->stop_requested())
        return std::nullopt;
    switch (error.os_error()) {
    case EEXIST:
    case ENOTDIR:
    case EISDIR:
    case ENOENT:
    case EACCES:
    case EPERM:
    case EROFS:
        return look();
    default:
        return std::nullopt;
    }
}

// A failure to open or plan `archive`: about its path where that shows a
// problem (missing, unreachable, unreadable), otherwise as the core says it.
int report_archive_failure(std::string const& archive, char const* prefix, QuastorError const& error)
{
    if (archive != standard_input_name)
        if (std::optional<PathProblem> const problem
            = named_path_problem(error, [&] { return reading_problem(archive); }))
            return report_path_problem(*problem, prefix, error);
    return report_failure(archive, prefix, error);
}

// The prologue of the subcommands that extract: opens and plans the
// archive, then runs `command` on it. Any error, of planning or of the
// command, is reported under the extraction prefix, once the command has
// returned (its progress line is gone by then).
template <typename Command>
int with_plan(std::string const& archive, Command&& command)
{
    return guarded(archive, extraction_failed_prefix, [&] {
        Result<OpenedArchive> opened = open_and_plan(archive);
        if (!opened)
            return report_archive_failure(archive, extraction_failed_prefix, opened.error());
        Result<int> const status = command(*opened);
        return status ? *status : report_failure(archive, extraction_failed_prefix, status.error());
    });
}

// The sources as creation reads them: with -C, each relative one from
// inside that directory, as if the command ran there (an empty one is the
// directory itself, which names it by no name of its own, as "." does).
std::vector<std::string> source_paths(CreateOptions const& options)
{
    if (options.directory.empty())
        return options.sources;
    std::vector<std::string> paths;
    paths.reserve(options.sources.size());
    for (std::string const& source : options.sources)
        paths.push_back(source.starts_with('/') ? source : join_path(options.directory, source.empty() ? "." : source));
    return paths;
}

// A failed creation: about -C's directory, a source or the archive's
// directory where one of them shows a problem, otherwise as the core says
// it.
int report_creation_failure(CreateOptions const& options, QuastorError const& error)
{
    std::optional<PathProblem> problem = named_path_problem(error, [&]() -> std::optional<PathProblem> {
        if (!options.directory.empty())
            if (std::optional<PathProblem> found = reading_problem(options.directory))
                return found;
        for (std::string const& source : source_paths(options))
            if (std::optional<PathProblem> found = creation_problem(source, options.archive))
                return found;
        return std::nullopt;
    });
    if (problem)
        return report_path_problem(*problem, creation_failed_prefix, error);
    return report_failure(options.archive, creation_failed_prefix, error);
}

// --refuse-existing met something at an entry's target: the path, and the
// option that refused it.
int report_existing(std::string const& directory, std::vector<ExtractionPlanEntry> const& plan,
    std::string const& entry_name)
{
    auto const planned = std::find_if(plan.begin(), plan.end(),
        [&](ExtractionPlanEntry const& candidate) { return candidate.entry.name == entry_name; });
    std::string const path = planned == plan.end() ? entry_name : planned->path;
    print_error_line(shown(directory == "." ? path : join_path(directory, path))
        + ": already exists; --refuse-existing extracts nothing when a target exists");
    return exit_failure;
}

// The totals the progress line runs to: the entries, and the bytes the work
// goes through, which for verifying are the files' (planning has checked
// the links).
void count_totals(Progress& progress, std::vector<ExtractionPlanEntry> const& plan, bool verifying = false)
{
    uint64_t bytes = 0;
    for (ExtractionPlanEntry const& planned : plan)
        if (!planned.entry.is_dir && !(verifying && planned.is_symlink))
            bytes += planned.entry.uncompressed_size;
    progress.total_bytes.store(bytes, std::memory_order_relaxed);
    progress.total_entries.store(plan.size(), std::memory_order_relaxed);
}

} // namespace

int run_create(CreateOptions const& options)
{
    return guarded(options.archive, creation_failed_prefix, [&] {
        Progress progress;
        Result<void> created;
        {
            ProgressLine line(progress, ProgressLine::wanted(options.quiet));
            // Two entries of one name would make an archive that extraction
            // refuses: the command refuses to write it.
            // A directory under its own name, as other archivers give it.
            quastor::CreateOptions creation = options.creation;
            creation.refuse_merged_names = true;
            creation.naming = DirectoryNaming::own_name;
            creation.progress = &progress;
            creation.caller = stop_signals();
            created = create_zip(source_paths(options), options.archive, creation);
        }
        return created ? exit_success : report_creation_failure(options, created.error());
    });
}

int run_extract(ExtractOptions const& options)
{
    std::string const& archive = options.archive;
    return with_plan(archive, [&](OpenedArchive& opened) -> Result<int> {
        std::vector<ExtractionPlanEntry> plan = std::move(opened.plan);
        if (report_findings(archive, plan, options.limits))
            return exit_failure;
        if (!choose(archive, options.choice, plan, nullptr, !options.directory_given && !options.to_stdout))
            return exit_failure;

        Progress progress;
        if (options.to_stdout) {
            count_totals(progress, plan);
            ProgressLine line(progress, ProgressLine::wanted(options.quiet));
            QUASTOR_TRY(write_entries(plan, opened.input->bytes(), STDOUT_FILENO, &progress, stop_signals()));
            return exit_success;
        }
        size_t skipped = 0;
        Result<void> written = [&]() -> Result<void> {
            if (options.empty)
                QUASTOR_TRY_ABOUT(require_empty_destination(options.directory), options.directory);
            if (options.refuse_existing)
                QUASTOR_TRY(refuse_existing(plan, options.directory));
            if (options.no_clobber)
                skipped = QUASTOR_TRY(skip_existing(plan, options.directory));
            count_totals(progress, plan);
            ProgressLine line(progress, ProgressLine::wanted(options.quiet));
            return extract_plan(plan, opened.input->bytes(), options.directory, &progress, stop_signals());
        }();
        if (!written) {
            QuastorError const& error = written.error();
            if (options.refuse_existing && error.os_error() == EEXIST && !error.subject().empty())
                return report_existing(options.directory, plan, error.subject());
            if (std::optional<PathProblem> const problem
                = named_path_problem(error, [&] { return destination_problem(options.directory); }))
                return report_path_problem(*problem, extraction_failed_prefix, error);
            return fail(written.error());
        }
        if (skipped != 0 && !options.quiet)
            print_error_line(shown_archive(archive) + ": " + std::to_string(skipped)
                + (skipped == 1 ? " entry" : " entries") + " skipped: "
                + (skipped == 1 ? "its target already exists" : "their targets already exist"));
        return exit_success;
    });
}

int run_check(CheckOptions const& options)
{
    std::string const& archive = options.archive;
    return guarded(archive, preflight_failed_prefix, [&] {
        // With --json, standard output always holds one JSON value, so a
        // reader such as jq never meets empty input.
        auto failed_with = [&](std::string const& text, std::string const& subject) {
            return options.json ? print_json(failure_object(archive, text, subject), exit_failure) : exit_failure;
        };
        Result<OpenedArchive> opened = open_and_plan(archive);
        if (!opened) {
            report_archive_failure(archive, preflight_failed_prefix, opened.error());
            return failed_with(preflight_failed_prefix + opened.error().display(), opened.error().subject());
        }
        std::vector<ExtractionPlanEntry>& plan = opened->plan;
        // Judged on the whole archive, as extraction would be; the choice
        // narrows only what is shown.
        std::vector<Finding> const found = findings(plan, options.limits);
        std::vector<FindingRecord> const records
            = options.json ? finding_records(found, plan) : std::vector<FindingRecord>();
        std::string unmatched;
        if (!choose(archive, options.choice, plan, &unmatched))
            return failed_with(unmatched, "");

        if (options.json ? !print(json_text(plan, records)) : !options.quiet && !print(listing_text(plan)))
            return exit_failure;
        for (Finding const& finding : found)
            print_error_line(shown_archive(archive) + ": " + finding.text);
        return found.empty() ? exit_success : exit_failure;
    });
}

int run_test(TestOptions const& options)
{
    std::string const& archive = options.archive;
    return guarded(archive, extraction_failed_prefix, [&] {
        // As for check: with --json, standard output holds one JSON value.
        auto failed = [&](QuastorError const& error) {
            report_archive_failure(archive, extraction_failed_prefix, error);
            if (!options.json)
                return exit_failure;
            nlohmann::ordered_json const failure = failure_object(archive, extraction_failed_prefix + error.display(), error.subject());
            return print_json(failure, exit_failure);
        };
        Result<OpenedArchive> opened = open_and_plan(archive);
        if (!opened)
            return failed(opened.error());
        std::vector<ExtractionPlanEntry> const& plan = opened->plan;
        std::string unmatched;
        if (!choose(archive, options.choice, opened->plan, &unmatched))
            return options.json ? print_json(failure_object(archive, unmatched, ""), exit_failure) : exit_failure;

        Progress progress;
        count_totals(progress, plan, true);
        Result<std::vector<EntryFault>> faults;
        {
            ProgressLine line(progress, ProgressLine::wanted(options.quiet));
            // Every entry, as a test lists what is wrong with all of them.
            faults = verify_plan_each(plan, opened->input->bytes(), &progress, stop_signals());
        }
        if (!faults)
            return failed(faults.error());
        size_t const count = plan.size();
        nlohmann::ordered_json listed = nlohmann::ordered_json::array();
        for (EntryFault const& fault : *faults) {
            report_failure(archive, extraction_failed_prefix, fault.error);
            listed.push_back(
                failure_object(archive, extraction_failed_prefix + fault.error.display(), fault.error.subject()));
        }
        if (!faults->empty())
            print_error_line(shown_archive(archive) + ": " + std::to_string(faults->size()) + " of "
                + std::to_string(count) + (count == 1 ? " entry" : " entries") + " failed");
        int const status = faults->empty() ? exit_success : exit_failure;
        if (options.json)
            return print_json(listed, status);
        if (options.quiet || status != exit_success)
            return status;
        // The bytes as the work counted them, which must come to the total.
        uint64_t const bytes = progress.bytes.load(std::memory_order_relaxed);
        bool const printed = print("No errors in " + shown_archive(archive) + ": " + std::to_string(count)
            + (count == 1 ? " entry, " : " entries, ") + std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes")
            + " tested\n");
        return printed ? exit_success : exit_failure;
    });
}

} // namespace quastor::cli
