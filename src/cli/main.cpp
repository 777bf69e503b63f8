// The `quastor` command: argument parsing and dispatch to the subcommands.

#include "cli/commands.hpp"
#include "cli/stop_signals.hpp"
#include "error.hpp"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <new>

#ifndef QUASTOR_VERSION
#define QUASTOR_VERSION "unknown"
#endif

namespace {

using namespace quastor::cli;

// An archive operand: a path, or "-" for standard input where allowed.
CLI::Option* archive_operand(CLI::App& command, std::string& archive, char const* description)
{
    return command.add_option("ARCHIVE", archive, description)->required();
}

int run(int argc, char** argv)
{
    CLI::App app("Create, extract, check and test ZIP archives.", "quastor");
    app.set_version_flag("--version", "quastor " QUASTOR_VERSION);
    app.require_subcommand(1);
    app.failure_message([](CLI::App const*, CLI::Error const& error) {
        return std::string("quastor: ") + error.what() + "\nRun 'quastor --help' for more information.\n";
    });
    // -q may come before or after the subcommand.
    app.fallthrough();
    bool quiet = false;
    app.add_flag("-q,--quiet", quiet, "No progress line and no listing; errors are still printed");

    CreateOptions create;
    CLI::App* create_command = app.add_subcommand("create", "Build ARCHIVE from a file, link or directory tree");
    create_command->add_option("--level", create.level, "DEFLATE level, 0 (store) to 12; 1 is fastest")
        ->check(CLI::Range(0, 12))
        ->capture_default_str();
    create_command->add_option("ARCHIVE", create.archive, "Archive to write")->required();
    create_command->add_option("SOURCE", create.source, "File, link or directory to archive")->required();

    ExtractOptions extract;
    CLI::App* extract_command = app.add_subcommand("extract", "Check every entry, then unpack ARCHIVE");
    archive_operand(*extract_command, extract.archive, "Archive to unpack; - reads it from standard input");
    extract_command->add_option("-d,--directory", extract.directory, "Destination directory")
        ->capture_default_str();

    CheckOptions check;
    uint64_t max_size = 0;
    CLI::App* check_command
        = app.add_subcommand("check", "Run every test extraction runs, writing nothing, and list the entries");
    archive_operand(*check_command, check.archive, "Archive to check; - reads it from standard input");
    check_command->add_flag("--json", check.json, "Print the report as a JSON array instead of the listing");
    check_command->add_flag("--strict", check.limits.strict,
        "Also refuse links that are absolute or lead out of the destination, and set-user-ID or set-group-ID files");
    CLI::Option* max_size_option = check_command->add_option("--max-size", max_size,
        "Refuse a total extracted size above BYTES (suffixes k, M, G... in powers of 1024)")
        ->check(CLI::Validator(
            [](std::string& text) { return text.starts_with('-') ? std::string("must not be negative") : std::string(); },
            "", "not negative"))
        ->transform(CLI::AsSizeValue(false));

    TestOptions test;
    CLI::App* test_command
        = app.add_subcommand("test", "Decode every entry on all cores and verify its CRC-32, writing nothing");
    archive_operand(*test_command, test.archive, "Archive to test; - reads it from standard input");

    try {
        app.parse(argc, argv);
    } catch (CLI::ParseError const& error) {
        // Help and version are "errors" that exit 0; every other one is a
        // usage error.
        return app.exit(error) == 0 ? exit_success : exit_usage;
    }

    // Creation and extraction leave things behind when killed (a scratch
    // directory, partial files): there SIGINT and SIGTERM stop the work and
    // its clean-up runs first. Checking writes nothing, and dies at once.
    if (*create_command) {
        if (create.archive == standard_input_name) {
            std::fputs("quastor: create writes a file; \"-\" names no archive to write\n", stderr);
            return exit_usage;
        }
        create.quiet = quiet;
        StopSignals stop;
        return stop.finish(run_create(create));
    }
    if (*extract_command) {
        extract.quiet = quiet;
        StopSignals stop;
        return stop.finish(run_extract(extract));
    }
    if (*check_command) {
        check.quiet = quiet;
        if (*max_size_option)
            check.limits.max_size = max_size;
        return run_check(check);
    }
    test.quiet = quiet;
    StopSignals stop;
    return stop.finish(run_test(test));
}

} // namespace

int main(int argc, char** argv)
{
    // The subcommands turn running out of memory into their own error;
    // this catches it while the arguments are parsed.
    try {
        return run(argc, argv);
    } catch (std::bad_alloc const&) {
        std::fprintf(stderr, "quastor: %s\n", quastor::QuastorError::io(ENOMEM).display().c_str());
        return exit_failure;
    }
}
