// timetree: show, compare, gate, merge and draw the runs that the library
// exports as JSON. main only wires the command line to the subcommands.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>

#include "commands/commands.h"
#include "runformat/text.h"
#include "lib/run.h"

namespace {

// Exit statuses as grep and diff use them.
constexpr int kTrouble = 2;

int Run(int argc, char** argv);

// The name of names nearest to word, a few edits away at most ("shwo":
// "show"); empty when none is.
std::string Nearest(const std::string& word, const std::vector<std::string>& names) {
  std::string nearest;
  size_t best = std::max<size_t>(2, word.size() / 3) + 1;
  for (const std::string& name : names) {
    const size_t d = timetree::EditDistance(word, name);
    if (d < best) {
      best = d;
      nearest = name;
    }
  }
  return nearest;
}

// The argument library's complaint as one line of the command's: a value
// that is not one of a list names the list and the one probably meant
// ("--sort: totl not in {total,self,count,name}" becomes "show --sort:
// 'totl' is not one of total, self, count, name; did you mean 'total'?");
// any other says where the options are listed.
std::string ParseProblem(const std::string& what, const std::string& subcommand) {
  const std::string help =
      subcommand.empty() || subcommand[0] == '-' ? "timetree --help" : "timetree " + subcommand + " --help";
  const std::string prefix = subcommand.empty() || subcommand[0] == '-' ? "" : subcommand + " ";
  const size_t colon = what.find(": ");
  const size_t in = what.find(" not in {");
  if (colon != std::string::npos && in != std::string::npos && in > colon && what.back() == '}') {
    const std::string option = what.substr(0, colon);
    const std::string value = what.substr(colon + 2, in - colon - 2);
    std::vector<std::string> names;
    std::string list;
    std::stringstream items(what.substr(in + 9, what.size() - in - 10));
    for (std::string item; std::getline(items, item, ',');) {
      names.push_back(item);
      list += (list.empty() ? "" : ", ") + item;
    }
    const std::string near = Nearest(value, names);
    return prefix + option + ": '" + value + "' is not one of " + list +
           (near.empty() ? "" : "; did you mean '" + near + "'?");
  }
  return prefix + what + " ('" + help + "' lists the options)";
}

// A misspelt subcommand or option, said with the one it probably meant, as
// git does; empty when the command line names only what exists. The
// argument library's own messages ("A subcommand is required") say what is
// missing, not what was meant.
std::string Misspelt(const CLI::App& app, int argc, char** argv) {
  if (argc < 2 || argv[1][0] == '-') return "";
  const std::string word = argv[1];
  std::vector<std::string> names;
  const CLI::App* command = nullptr;
  for (const CLI::App* sub : app.get_subcommands({})) {
    names.push_back(sub->get_name());
    if (sub->get_name() == word) command = sub;
  }
  if (command == nullptr) {
    const std::string near = Nearest(word, names);
    return "'" + word + "' is not a subcommand" +
           (near.empty() ? "; 'timetree --help' lists them" : "; did you mean '" + near + "'?");
  }
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") break;
    if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) continue;
    const std::string option = arg.substr(0, arg.find('='));
    std::vector<std::string> options{"--help"};
    bool known = option == "--help";
    for (const CLI::Option* o : command->get_options()) {
      for (const std::string& name : o->get_lnames()) {
        options.push_back("--" + name);
        known = known || option == "--" + name;
      }
    }
    if (known) continue;
    const std::string near = Nearest(option, options);
    return "'" + option + "' is not an option of " + word +
           (near.empty() ? "; 'timetree " + word + " --help' lists them"
                         : "; did you mean '" + near + "'?");
  }
  return "";
}

}  // namespace

// Standard output that cannot be written (a full disk) is trouble like any
// other: the command says so and exits 2 rather than leave a cut table
// behind an exit status of 0. A closed pipe ('timetree show run.json |
// head') ends it quietly, by SIGPIPE, as it ends other commands.
int main(int argc, char** argv) {
  int status = Run(argc, argv);
  errno = 0;
  std::cout.flush();
  const bool flushed = std::fflush(stdout) == 0;
  if (!std::cout || !flushed || std::ferror(stdout)) {
    // The error of the failed write, when it is known.
    const int error = errno;
    std::cerr << "timetree: cannot write standard output"
              << (error != 0 ? std::string(": ") + std::strerror(error) : std::string()) << "\n";
    status = kTrouble;
  }
  return status;
}

namespace {

int Run(int argc, char** argv) {
  using namespace timetree_cli;
  CLI::App app{"timetree: show, compare, gate, merge and draw timing runs.\n"
               "Reads the JSON that TimeWriteJson writes, and the combined format that\n"
               "'timetree merge' and TimeMpiWriteJson write.",
               "timetree"};
  app.require_subcommand(1);
  app.set_version_flag("--version", "timetree " TIMETREE_VERSION);
  app.footer(
      "Exit status: 0 all holds, 1 a limit exceeded (or, with diff --exit-code, a\n"
      "difference), 2 trouble (bad input, a file that cannot be read or written).\n"
      "Run 'timetree SUBCOMMAND --help' for a subcommand's options and an example.");
  // Each subcommand adds itself, its options and its example; the order is
  // that of --help.
  const Subcommand subcommands[] = {AddShow(app), AddDiff(app),  AddCheck(app),
                                    AddMerge(app), AddFlame(app), AddFolded(app),
                                    AddHtml(app), AddTrace(app), AddConvert(app),
                                    AddExclude(app)};

  const std::string misspelt = Misspelt(app, argc, argv);
  if (!misspelt.empty()) {
    std::cerr << "timetree: " << misspelt << "\n";
    return kTrouble;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    // --version ends the parse as a success; anything else is trouble, whatever
    // code the argument library gives it, said as the command's own.
    if (e.get_exit_code() == 0) return app.exit(e);
    std::cerr << "timetree: " << ParseProblem(e.what(), argc > 1 ? argv[1] : "") << "\n";
    return kTrouble;
  }

  try {
    for (const Subcommand& subcommand : subcommands) {
      if (subcommand.app->parsed()) return subcommand.run();
    }
  } catch (const InputError& e) {
    std::cerr << "timetree: " << e.what() << "\n";
    return kTrouble;
  } catch (const std::exception& e) {
    std::cerr << "timetree: " << e.what() << "\n";
    return kTrouble;
  }
  return kTrouble;
}

}  // namespace
