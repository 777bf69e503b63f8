#pragma once

// The four subcommands on plain values. Each prints its output and its
// errors itself and returns the process's exit status; no exception leaves
// them. Main thread only.

#include "cli/inspection.hpp"

#include <string>

namespace quastor::cli {

constexpr int exit_success = 0;
constexpr int exit_failure = 1; // the archive was refused or the operation failed
constexpr int exit_usage = 2;

// The archive name that means standard input.
constexpr char standard_input_name[] = "-";

struct CreateOptions {
    std::string archive;
    std::string source;
    int level = 6;
    bool quiet = false;
};

struct ExtractOptions {
    std::string archive;
    std::string directory = ".";
    bool quiet = false;
};

struct CheckOptions {
    std::string archive;
    bool json = false;
    bool quiet = false;
    Limits limits;
};

struct TestOptions {
    std::string archive;
    bool quiet = false;
};

int run_create(CreateOptions const& options);
int run_extract(ExtractOptions const& options);
int run_check(CheckOptions const& options);
int run_test(TestOptions const& options);

} // namespace quastor::cli
