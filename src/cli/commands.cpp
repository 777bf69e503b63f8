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
#include "extract/entry_stream.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
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
// short by a full disk or a closed reader must not end in success.
Result<void> print(std::string const& text)
{
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0)
        return fail(QuastorError::io(errno != 0 ? errno : EIO));
    return {};
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

// The prologue of the subcommands that extract or test: opens and plans
// the archive, then runs `command` on it. Any error, of planning or of the
// command, is reported under the extraction prefix, once the command has
// returned (its progress line is gone by then).
template <typename Command>
int with_plan(std::string const& archive, Command&& command)
{
    return guarded(archive, extraction_failed_prefix, [&] {
        Result<int> const status = [&]() -> Result<int> {
            OpenedArchive opened = QUASTOR_TRY(open_and_plan(archive));
            return command(opened);
        }();
        return status ? *status : report_failure(archive, extraction_failed_prefix, status.error());
    });
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

// A failed creation: about a source or the archive's directory where one
// of them shows a problem, otherwise as the core says it.
int report_creation_failure(CreateOptions const& options, QuastorError const& error)
{
    std::optional<PathProblem> problem = named_path_problem(error, [&]() -> std::optional<PathProblem> {
        for (std::string const& source : options.sources)
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

void count_totals(Progress& progress, std::vector<ExtractionPlanEntry> const& plan)
{
    uint64_t bytes = 0;
    for (ExtractionPlanEntry const& planned : plan)
        if (!planned.entry.is_dir)
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
            quastor::CreateOptions creation = options.creation;
            creation.refuse_merged_names = true;
            creation.progress = &progress;
            creation.caller = stop_signals();
            created = create_zip(options.sources, options.archive, creation);
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
        if (!choose(archive, options.choice, plan, nullptr, !options.directory_given))
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
            if (!options.json)
                return exit_failure;
            nlohmann::ordered_json report = {{"error", text}, {"archive", archive}};
            if (!subject.empty())
                report["entry"] = subject;
            (void)print(report.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n");
            return exit_failure;
        };
        auto failed = [&](QuastorError const& error) {
            report_failure(archive, preflight_failed_prefix, error);
            return failed_with(preflight_failed_prefix + error.display(), error.subject());
        };
        Result<OpenedArchive> opened = open_and_plan(archive);
        if (!opened)
            return failed(opened.error());
        std::vector<ExtractionPlanEntry>& plan = opened->plan;
        // Judged on the whole archive, as extraction would be; the choice
        // narrows only what is shown.
        std::vector<Finding> const found = findings(plan, options.limits);
        std::vector<FindingRecord> const records
            = options.json ? finding_records(found, plan) : std::vector<FindingRecord>();
        std::string unmatched;
        if (!choose(archive, options.choice, plan, &unmatched))
            return failed_with(unmatched, "");

        Result<void> printed;
        if (options.json)
            printed = print(json_text(plan, records));
        else if (!options.quiet)
            printed = print(listing_text(plan));
        if (!printed)
            return failed(printed.error());
        for (Finding const& finding : found)
            print_error_line(shown_archive(archive) + ": " + finding.text);
        return found.empty() ? exit_success : exit_failure;
    });
}

int run_test(TestOptions const& options)
{
    std::string const& archive = options.archive;
    return with_plan(archive, [&](OpenedArchive& opened) -> Result<int> {
        if (!choose(archive, options.choice, opened.plan))
            return exit_failure;
        Progress progress;
        count_totals(progress, opened.plan);
        {
            ProgressLine line(progress, ProgressLine::wanted(options.quiet));
            QUASTOR_TRY(verify_plan(opened.plan, opened.input->bytes(), &progress, stop_signals()));
        }
        if (options.quiet)
            return exit_success;
        // The bytes as the work counted them, which must come to the total.
        size_t const count = opened.plan.size();
        uint64_t const bytes = progress.bytes.load(std::memory_order_relaxed);
        QUASTOR_TRY(print("No errors in " + shown_archive(archive) + ": " + std::to_string(count)
            + (count == 1 ? " entry, " : " entries, ") + std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes")
            + " tested\n"));
        return exit_success;
    });
}

} // namespace quastor::cli
