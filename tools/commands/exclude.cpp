// timetree exclude: the compiler option that leaves the functions a run
// throttled (or those named) out of a rebuild with -finstrument-functions,
// so that the rebuild pays nothing for them and keeps every other timer.
#include <fnmatch.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "commands/commands.h"
#include "lib/run.h"

namespace timetree_cli {

namespace {

struct ExcludeOptions {
  std::string run;
  std::vector<std::string> names;  // globs on the demangled name
  std::string compiler = "gcc";
};

// Where the parameter list of a demangled name begins: the "(" that the
// last ")" at the top level closes; npos when there is none.
size_t ParametersAt(const std::string& name) {
  const size_t close = name.rfind(')');
  if (close == std::string::npos) return std::string::npos;
  int depth = 0;
  for (size_t at = close + 1; at-- > 0;) {
    if (name[at] == ')') ++depth;
    if (name[at] == '(' && --depth == 0) return at;
  }
  return std::string::npos;
}

}  // namespace

// What gcc's -finstrument-functions-exclude-function-list matches for a
// demangled name: a part of its qualified name without the parameters or
// the return type ("solver::Dot" for "solver::Dot(double const*, int)").
// gcc takes the list apart at commas, so a name with one gives its part
// after the last comma ("double>::at" for "std::map<int, double>::at"),
// and the shell at blanks, so the part after the last blank.
// Empty when none can be had (an object and offset).
std::string GccExcludeName(const std::string& demangled) {
  // Two functions of one name are told apart by their place, which is not
  // part of the name: "helper() (libplugin.so+0x1139)".
  std::string whole = demangled;
  const size_t place = whole.rfind(" (");
  if (place != std::string::npos && whole.back() == ')' &&
      whole.find("+0x", place) != std::string::npos) {
    whole.erase(place);
  }
  const size_t parameters = ParametersAt(whole);
  if (parameters == std::string::npos || parameters == 0) return "";
  std::string name = whole.substr(0, parameters);
  // gcc names the anonymous namespace so.
  for (size_t at; (at = name.find("(anonymous namespace)")) != std::string::npos;) {
    name.replace(at, 21, "{anonymous}");
  }
  // A return type (template functions have one) ends at the last blank
  // outside brackets.
  int depth = 0;
  size_t after_blank = 0;
  for (size_t at = 0; at < name.size(); ++at) {
    if (name[at] == '<' || name[at] == '(') ++depth;
    if ((name[at] == '>' || name[at] == ')') && depth > 0) --depth;
    if (name[at] == ' ' && depth == 0) after_blank = at + 1;
  }
  name = name.substr(after_blank);
  const size_t comma = name.rfind(',');
  if (comma != std::string::npos) name = name.substr(comma + 1);
  // One word, for $(timetree exclude ...) in a shell: the part after a
  // blank ("long>::at" for "Map<unsigned long>::at").
  const size_t blank = name.find_last_of(' ');
  if (blank != std::string::npos) name = name.substr(blank + 1);
  return name;
}

int Exclude(const ExcludeOptions& options, std::ostream& out, std::ostream& err) {
  const auto run = ReadRun(options.run);
  std::set<std::string> chosen;  // demangled names, sorted
  Preorder(run->root, [&](const Node& node, int) {
    bool named = node.throttled;
    for (const std::string& glob : options.names) {
      named = named || fnmatch(glob.c_str(), node.name.c_str(), 0) == 0;
    }
    if (named) chosen.insert(node.name);
    return true;
  });
  if (chosen.empty()) {
    err << "timetree: " << run->file << ": no timer is throttled"
        << (options.names.empty() ? "" : " or named by --name")
        << ", so there is nothing to leave out\n";
    return 1;
  }
  if (options.compiler == "clang") {
    // clang has no list of functions to leave out.
    err << "timetree: clang cannot leave functions out by name; build with "
           "-finstrument-functions-after-inlining, which times no function that is inlined "
           "(accessors like these usually are), or mark them "
           "__attribute__((no_instrument_function)):\n";
    for (const std::string& name : chosen) err << "  " << name << "\n";
    return 0;
  }
  std::set<std::string> parts;
  for (const std::string& name : chosen) {
    const std::string part = GccExcludeName(name);
    if (part.empty()) {
      err << "timetree: " << name << " has no name that gcc can match: left in\n";
      continue;
    }
    parts.insert(part);
  }
  if (parts.empty()) return 1;
  // One word, as $(timetree exclude RUN.json) gives it to the compiler.
  std::string list;
  for (const std::string& part : parts) list += (list.empty() ? "" : ",") + part;
  out << "-finstrument-functions-exclude-function-list=" << list << "\n";
  return 0;
}

Subcommand AddExclude(CLI::App& app) {
  auto options = std::make_shared<ExcludeOptions>();
  ExcludeOptions& exclude = *options;
  auto* exclude_cmd = app.add_subcommand(
      "exclude", "The compiler option that leaves the functions a run throttled (and those "
                 "--name gives) out of a rebuild with -finstrument-functions.");
  exclude_cmd->add_option("RUN.json", exclude.run, "The run")->required();
  exclude_cmd->add_option("--name", exclude.names,
                          "Also leave out the functions whose name matches GLOB (repeatable)");
  exclude_cmd->add_option("--compiler", exclude.compiler, "gcc (the default) or clang")
      ->check(CLI::IsMember({"gcc", "clang"}));
  exclude_cmd->footer("Example: g++ -finstrument-functions $(timetree exclude run.json) ...");
  return {exclude_cmd, [options] { return Exclude(*options, std::cout, std::cerr); }};
}

}  // namespace timetree_cli
