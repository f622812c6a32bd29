// The subcommands of the timetree command, one file each: each adds itself,
// its options and its help to the command line, and returns how to run it.
// A run returns the exit status: 0 all holds, 1 a difference or a limit
// exceeded, 2 trouble (bad input, a file that cannot be read or written);
// bad input throws InputError (lib/io.h), which main reports.
#ifndef TIMETREE_TOOLS_COMMANDS_COMMANDS_H
#define TIMETREE_TOOLS_COMMANDS_COMMANDS_H

#include <CLI/CLI.hpp>

#include <functional>
#include <string>

namespace timetree_cli {

struct Subcommand {
  CLI::App* app;             // parsed() when it was asked for
  std::function<int()> run;  // runs it with the options parsed
};

Subcommand AddShow(CLI::App& app);     // commands/show.cpp
Subcommand AddDiff(CLI::App& app);     // commands/diff.cpp
Subcommand AddCheck(CLI::App& app);    // commands/check.cpp
Subcommand AddMerge(CLI::App& app);    // commands/merge.cpp
Subcommand AddFlame(CLI::App& app);    // commands/flame.cpp
Subcommand AddFolded(CLI::App& app);   // commands/folded.cpp
Subcommand AddHtml(CLI::App& app);     // commands/html.cpp
Subcommand AddTrace(CLI::App& app);    // commands/trace.cpp
Subcommand AddConvert(CLI::App& app);  // commands/convert.cpp
Subcommand AddExclude(CLI::App& app);  // commands/exclude.cpp

// The part of a demangled name that gcc's
// -finstrument-functions-exclude-function-list matches (commands/exclude.cpp).
std::string GccExcludeName(const std::string& demangled);

struct Timeline;
// What 'timetree trace' prints of a timeline (commands/trace.cpp): a line
// for the whole, a table row per thread, and a line for each thread's
// dropped, misnested or running events.
std::string TraceSummary(const Timeline& timeline, bool plain);

}  // namespace timetree_cli

#endif  // TIMETREE_TOOLS_COMMANDS_COMMANDS_H
