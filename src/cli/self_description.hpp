#pragma once

// The command's own description of its subcommands and options, taken from
// the parser that also prints --help, for the man page and the shell
// completions, which are generated from it and so cannot drift from it.

#include <CLI/CLI.hpp>
#include <string>

namespace quastor::cli {

// The one argument that asks for the description instead of a subcommand.
constexpr char describe_flag[] = "--describe-options";

// As JSON: the command's description and options, and per subcommand its
// name, aliases, description, options (short and long names, value name,
// default, help text) and operands (name, help text, required, repeatable).
// Hidden options are left out, as --help leaves them out.
std::string describe(CLI::App const& app);

} // namespace quastor::cli
