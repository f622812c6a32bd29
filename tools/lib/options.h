// The checks of the command's options that several subcommands share.
#ifndef TIMETREE_TOOLS_LIB_OPTIONS_H
#define TIMETREE_TOOLS_LIB_OPTIONS_H

#include <CLI/CLI.hpp>

namespace timetree_cli {

// A number of 0 or more; a whole number of 1 or more. Each refuses
// anything else in a short message.
extern const CLI::Validator kZeroOrMore;
extern const CLI::Validator kOneOrMore;

}  // namespace timetree_cli

#endif  // TIMETREE_TOOLS_LIB_OPTIONS_H
