// The `quastor` command: argument parsing and dispatch to the subcommands.

#include "cli/archive_input.hpp"
#include "cli/commands.hpp"
#include "cli/messages.hpp"
#include "cli/self_description.hpp"
#include "cli/stop_signals.hpp"
#include "common/path.hpp"
#include "common/text.hpp"
#include "error.hpp"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <new>
#include <optional>
#include <string_view>
#include <unistd.h>
#include <vector>

#ifndef QUASTOR_VERSION
#define QUASTOR_VERSION "unknown"
#endif

namespace {

using namespace quastor::cli;
using quastor::Limits;

constexpr char quiet_help[] = "No progress line and no listing; errors are still printed";

// -q may come before the subcommand or after it; each subcommand lists it
// in its own help.
void quiet_flag(CLI::App& command, bool& quiet) { command.add_flag("-q,--quiet", quiet, quiet_help); }

// An archive operand: a path, or "-" for standard input.
void archive_operand(CLI::App& command, std::string& archive, char const* description)
{
    command.add_option("ARCHIVE", archive, description)->required();
}

// The entry operands and exclusions of the reading subcommands; the
// operands are MEMBER in the help, the word users know them by.
void entry_choice(CLI::App& command, EntryChoice& choice, char const* what)
{
    command.add_option("MEMBER", choice.patterns,
        std::string("Only these entries (exact names or glob patterns, * crossing /; a directory brings its contents) ")
            + what);
    command.add_option("-x,--exclude", choice.exclude, "Leave out the entries PATTERN names (repeatable)")
        ->type_name("PATTERN")
        ->allow_extra_args(false);
}

// --strict and --max-size, which check and extract share.
void limit_options(CLI::App& command, Limits& limits)
{
    command.add_flag("--strict", limits.strict,
        "Also refuse links that are absolute or lead out of the destination, set-user-ID or set-group-ID "
        "files, and encrypted entries");
    command.add_option_function<std::string>(
               "--max-size", [&limits](std::string const& text) { limits.max_size = parse_size(text); },
               "Refuse a total extracted size above BYTES (decimals and suffixes k, M, G... in powers of 1024: 1.5G)")
        ->type_name("BYTES")
        ->check(CLI::Validator(
            [](std::string& text) {
                return parse_size(text) ? std::string() : std::string("not a size: ") + text;
            },
            "", "size"));
}

// What --prefix takes: a relative directory path of plain names, as the
// start of entry names.
std::string prefix_problem(std::string const& text)
{
    std::string_view const path = std::string_view(text).substr(0, text.size() - (text.ends_with('/') ? 1 : 0));
    if (path.empty() || text.find('\\') != std::string::npos || text.find('\0') != std::string::npos)
        return "not a relative directory path: " + text;
    // A drive ("C:/x/", "c:x/") is refused as the path rules refuse it in names.
    char const first = static_cast<char>(path[0] | 0x20);
    if (path.size() >= 2 && first >= 'a' && first <= 'z' && path[1] == ':')
        return "not a relative directory path: " + text;
    for (std::string_view const segment : quastor::path_segments(path))
        if (segment.empty() || segment == "." || segment == "..")
            return "not a relative directory path of plain names: " + text;
    return {};
}

// The subcommands' names and aliases, as the parser holds them.
std::vector<std::string> command_names(CLI::App const& app)
{
    std::vector<std::string> names;
    for (CLI::App const* command : app.get_subcommands([](CLI::App const*) { return true; })) {
        names.push_back(command->get_name());
        for (std::string const& alias : command->get_aliases())
            names.push_back(alias);
    }
    return names;
}

// A first operand that is no subcommand: named, with the closest one, in
// place of the parser's generic complaint.
std::optional<int> unknown_command(int argc, char** argv, std::vector<std::string> const& commands)
{
    for (int i = 1; i < argc; ++i) {
        std::string_view const argument = argv[i];
        if (argument.starts_with('-'))
            continue;
        if (std::find(commands.begin(), commands.end(), argument) != commands.end())
            return std::nullopt;
        std::string text = "unknown command '" + std::string(argument) + "'";
        if (std::string const closest = closest_name(argument, commands); !closest.empty())
            text += "; did you mean '" + closest + "'?";
        print_error_line(text);
        std::fputs("Run 'quastor --help' for more information.\n", stderr);
        return exit_usage;
    }
    return std::nullopt;
}

// The main parser: the global options, and the failure message every
// subcommand's usage errors share.
void main_parser(CLI::App& app, bool& quiet)
{
    app.set_version_flag("--version", "quastor " QUASTOR_VERSION);
    app.require_subcommand(1);
    app.failure_message([](CLI::App const*, CLI::Error const& error) {
        // The parser quotes the arguments it complains about as they came.
        return "quastor: " + quastor::escaped_text(quastor::decode_utf8_lossy(error.what()))
            + "\nRun 'quastor --help' for more information.\n";
    });
    app.fallthrough();
    app.add_flag("-q,--quiet", quiet, quiet_help);
}

// Each subcommand: its options, declared on the parser when made (the
// parser keeps references to them, so it stays where it was made), and what
// runs once the arguments are parsed and it was the one named.
template <typename Options>
class Subcommand {
public:
    bool chosen() const { return static_cast<bool>(*command_); }

protected:
    Subcommand() = default;
    Subcommand(Subcommand const&) = delete;
    Subcommand& operator=(Subcommand const&) = delete;
    ~Subcommand() = default;

    CLI::App* command_ = nullptr;
    Options options_;
};

class CreateCommand final : public Subcommand<CreateOptions> {
public:
    explicit CreateCommand(CLI::App& app, bool& quiet)
    {
        command_ = app.add_subcommand("create",
            "Build ARCHIVE from files, links or directory trees; an ARCHIVE already there is replaced, not added to");
        command_->add_option("--level", options_.creation.level,
                    "DEFLATE level, " + std::to_string(quastor::min_deflate_level) + " (store) to "
                        + std::to_string(quastor::max_deflate_level) + "; 1 is fastest")
            ->type_name("N")
            ->check(CLI::Range(quastor::min_deflate_level, quastor::max_deflate_level).description(""))
            ->capture_default_str();
        command_->add_option("-x,--exclude", options_.creation.exclude,
                    "Leave out the items PATTERN names, with what they hold, matched as the entry names each SOURCE "
                    "gives before --prefix (repeatable)")
            ->type_name("PATTERN")
            ->allow_extra_args(false);
        command_->add_option("--prefix", options_.creation.prefix, "Put every entry under the directory DIR/")
            ->type_name("DIR/")
            ->check(CLI::Validator([](std::string& text) { return prefix_problem(text); }, "", "prefix"));
        command_->add_option("-C", options_.directory,
                    "Read relative SOURCEs from inside DIR, as tar -C does (ARCHIVE stays where it was named): -C "
                    "DIR ARCHIVE . archives what DIR holds, as the module's create_zip does")
            ->type_name("DIR");
        quiet_flag(*command_, quiet);
        command_->add_option("ARCHIVE", options_.archive, "Archive to write")->required();
        command_->add_option("SOURCE", options_.sources,
                    "Files, links or directories to archive, each under its own name, a directory with what it holds "
                    "(one given as . or .. gives only what it holds); two that give one entry name refuse the call "
                    "before anything is written")
            ->required();
    }
    int run(bool quiet)
    {
        if (options_.archive == standard_input_name) {
            std::fputs("quastor: create writes a file; \"-\" names no archive to write\n", stderr);
            return exit_usage;
        }
        options_.quiet = quiet;
        // Killed, creation would leave its scratch directory and a partial
        // archive: SIGINT and SIGTERM stop the work and its clean-up runs.
        StopSignals stop;
        return stop.finish(run_create(options_));
    }

};

class ExtractCommand final : public Subcommand<ExtractOptions> {
public:
    explicit ExtractCommand(CLI::App& app, bool& quiet)
    {
        command_ = app.add_subcommand("extract", "Check every entry, then unpack ARCHIVE");
        archive_operand(*command_, options_.archive, "Archive to unpack; - reads it from standard input");
        entry_choice(*command_, options_.choice, "are extracted");
        directory_ = command_->add_option("-d,--directory", options_.directory, "Destination directory")
                         ->type_name("DIR")
                         ->capture_default_str();
        command_->add_flag("-n,--no-clobber", options_.no_clobber,
            "Keep what is already at an entry's target and skip that entry; extract the rest");
        command_->add_flag("--refuse-existing,--no-overwrite", options_.refuse_existing,
            "Refuse, before writing anything, when a file or link to extract is already there");
        command_->add_flag("--empty", options_.empty, "Refuse unless the destination is missing or empty");
        command_->add_flag("-p,--stdout", options_.to_stdout,
            "Write the files' data to standard output, in archive order; nothing on disk");
        limit_options(*command_, options_.limits);
        quiet_flag(*command_, quiet);
    }
    int run(bool quiet)
    {
        options_.quiet = quiet;
        options_.directory_given = directory_->count() != 0;
        if (options_.to_stdout && (options_.no_clobber || options_.refuse_existing || options_.empty)) {
            std::fputs("quastor: extract --stdout writes no files; --no-clobber, --refuse-existing and --empty do not "
                       "apply\n",
                stderr);
            return exit_usage;
        }
        if (options_.no_clobber && options_.refuse_existing) {
            std::fputs("quastor: extract --no-clobber keeps existing files, --refuse-existing refuses them: choose "
                       "one\n",
                stderr);
            return exit_usage;
        }
        // Killed, extraction would leave partial files: SIGINT and SIGTERM
        // stop the work and its clean-up runs. Entries written to standard
        // output leave no file to finish, and a reader that stops reading
        // would block the writes for ever: there they end it at once.
        StopSignals stop(options_.to_stdout ? StopSignals::Ending::at_once : StopSignals::Ending::after_cleanup);
        return stop.finish(run_extract(options_));
    }

private:
    CLI::Option* directory_ = nullptr;
};

class CheckCommand final : public Subcommand<CheckOptions> {
public:
    explicit CheckCommand(CLI::App& app, bool& quiet)
    {
        command_ = app.add_subcommand("check", "Run every test extraction runs, writing nothing, and list the entries")
                       ->alias("list")
                       ->alias("l");
        archive_operand(*command_, options_.archive, "Archive to check; - reads it from standard input");
        entry_choice(*command_, options_.choice, "are listed");
        command_->add_flag("--json", options_.json,
            "Print the report as a JSON array instead of the listing; an object with the entries and the findings "
            "when --strict or --max-size refuses the archive");
        limit_options(*command_, options_.limits);
        quiet_flag(*command_, quiet);
    }

    // Checking writes nothing: a signal ends it at once.
    int run(bool quiet)
    {
        options_.quiet = quiet;
        return run_check(options_);
    }
};

class TestCommand final : public Subcommand<TestOptions> {
public:
    explicit TestCommand(CLI::App& app, bool& quiet)
    {
        command_ = app.add_subcommand("test",
            "Decode every entry on all cores and verify its CRC-32, writing nothing; name each that fails, then how "
            "many did");
        archive_operand(*command_, options_.archive, "Archive to test; - reads it from standard input");
        entry_choice(*command_, options_.choice, "are tested");
        command_->add_flag("--json", options_.json,
            "Print the entries that failed as a JSON array of objects (error, archive, entry), empty when none did");
        quiet_flag(*command_, quiet);
    }
    int run(bool quiet)
    {
        options_.quiet = quiet;
        StopSignals stop;
        return stop.finish(run_test(options_));
    }

};

int run(int argc, char** argv)
{
    CLI::App app("Create, extract, check and test ZIP archives.", "quastor");
    bool quiet = false;
    main_parser(app, quiet);
    CreateCommand create(app, quiet);
    ExtractCommand extract(app, quiet);
    CheckCommand check(app, quiet);
    TestCommand test(app, quiet);

    if (argc == 2 && std::string_view(argv[1]) == describe_flag) {
        std::fputs(describe(app).c_str(), stdout);
        return std::fflush(stdout) == 0 ? exit_success : exit_failure;
    }
    if (std::optional<int> status = unknown_command(argc, argv, command_names(app)))
        return *status;
    try {
        app.parse(argc, argv);
    } catch (CLI::ParseError const& error) {
        // Help and version are "errors" that exit 0; every other one is a
        // usage error.
        return app.exit(error) == 0 ? exit_success : exit_usage;
    }
    if (create.chosen())
        return create.run(quiet);
    if (extract.chosen())
        return extract.run(quiet);
    if (check.chosen())
        return check.run(quiet);
    return test.run(quiet);
}

// A standard stream the command was started without keeps its number
// taken, by /dev/null opened the other way: a file the command opens must
// not become standard output (the listing written into an archive being
// read, entries into a file being written), and output to the stream still
// fails as it would on a closed descriptor.
void keep_standard_streams_apart()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        int const opened = ::open("/dev/null", (fd == STDIN_FILENO ? O_WRONLY : O_RDONLY) | O_CLOEXEC);
        if (opened >= 0 && opened != fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    keep_standard_streams_apart();
    // The subcommands turn running out of memory into their own error;
    // this catches it while the arguments are parsed.
    try {
        return run(argc, argv);
    } catch (std::bad_alloc const&) {
        std::fprintf(stderr, "quastor: %s\n", quastor::QuastorError::io(ENOMEM).display().c_str());
        return exit_failure;
    }
}
