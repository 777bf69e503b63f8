#pragma once

// The four subcommands on plain values. Each prints its output and its
// errors itself and returns the process's exit status; no exception leaves
// them. Main thread only.

#include "compress/compress.hpp"
#include "extract/choice.hpp"
#include "extract/inspection.hpp"

#include <string>
#include <vector>

namespace quastor::cli {

constexpr int exit_success = 0;
constexpr int exit_failure = 1; // the archive was refused or the operation failed
constexpr int exit_usage = 2;

// Which entries a reading subcommand works on.
using quastor::EntryChoice;

struct CreateOptions {
    std::string archive;
    std::vector<std::string> sources;
    std::string directory; // relative sources are read from inside it, "" for none
    bool quiet = false;
    quastor::CreateOptions creation; // --prefix, --level, --exclude
};

struct ExtractOptions {
    std::string archive;
    std::string directory = ".";
    bool directory_given = false; // -d was on the command line
    bool quiet = false;
    Limits limits;
    bool no_clobber = false;      // entries whose target exists are skipped, what is there kept
    bool refuse_existing = false; // any file or link already at a target refuses the call
    bool empty = false;           // the destination must be missing or empty
    bool to_stdout = false;    // the files' data to standard output, nothing on disk
    EntryChoice choice;
};

struct CheckOptions {
    std::string archive;
    bool json = false;
    bool quiet = false;
    Limits limits;
    EntryChoice choice;
};

struct TestOptions {
    std::string archive;
    bool json = false;
    bool quiet = false;
    EntryChoice choice;
};

int run_create(CreateOptions const& options);
int run_extract(ExtractOptions const& options);
int run_check(CheckOptions const& options);
int run_test(TestOptions const& options);

} // namespace quastor::cli
