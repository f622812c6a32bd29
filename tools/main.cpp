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

#include "commands.h"
#include "output/exports.h"
#include "run.h"

namespace {

// Exit statuses as grep and diff use them.
constexpr int kTrouble = 2;

// A number of 0 or more, refused in a short message otherwise.
std::string ZeroOrMore(std::string& text) {
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0' || errno != 0 || !std::isfinite(value)) {
    return "\"" + text + "\" is not a number";
  }
  if (value < 0) return "must be 0 or more, not " + text;
  return "";
}

// A whole number of 1 or more.
std::string OneOrMore(std::string& text) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str() || *end != '\0' || errno != 0 || value < 1 || value > (1 << 30)) {
    return "must be a whole number from 1, not " + text;
  }
  return "";
}

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
  const CLI::Validator zero_or_more(ZeroOrMore, "NUMBER>=0", "0 or more");
  const CLI::Validator one_or_more(OneOrMore, "N>=1", "1 or more");
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

  ShowOptions show;
  auto* show_cmd = app.add_subcommand("show", "The run as an indented table: count, total, "
                                              "self, mean per start and share of the run "
                                              "per timer.");
  show_cmd->add_option("RUN.json", show.run, "The run (or combined file)")->required();
  show_cmd->add_option("--min-share", show.min_share,
                       "Hide timers below PCT percent of the whole run (with what is under them)")
      ->check(zero_or_more);
  show_cmd->add_flag("--threads", show.threads, "Also show each thread's own tree");
  show_cmd->add_flag("--all", show.all,
                     "With --threads, also the rows of a path a thread adopted (count 0), "
                     "which are otherwise left out, their names carried by the rows under them");
  show_cmd->add_flag("--no-metadata", show.no_metadata,
                     "Leave out the run's metadata (program, host, times, ...) under the "
                     "first line");
  show_cmd->add_option("--sort", show.sort,
                       "Order siblings by 'total', 'self', 'count' (largest first) or 'name'; "
                       "the order of first starts without it")
      ->check(CLI::IsMember({"total", "self", "count", "name"}));
  show_cmd->add_option("--depth", show.depth, "Show N levels of the tree")->check(one_or_more);
  show_cmd->add_flag("--seconds", show.seconds,
                     "Times in plain seconds rather than a unit (ns, \u00b5s, ms, s) per value");
  show_cmd->footer("Example: timetree show run.json --min-share 1 --sort total --depth 3");

  DiffOptions diff;
  auto* diff_cmd = app.add_subcommand(
      "diff", "Two runs path by path, as an indented tree: base and new total, change and "
              "percent, 'new' and 'gone' for paths in one run only. Combined files compare "
              "means.");
  auto* diff_base = diff_cmd->add_option("BASE.json", diff.base, "The run to compare against");
  auto* diff_next = diff_cmd->add_option("NEW.json", diff.next, "The run to compare");
  auto* base_runs = diff_cmd->add_option("--base", diff.base_runs,
                                         "Several base runs (instead of BASE.json): medians, and "
                                         "with three or more a side the p-value of a "
                                         "Mann-Whitney test");
  auto* next_runs = diff_cmd->add_option("--new", diff.next_runs, "Several new runs (with --base)");
  base_runs->needs(next_runs);
  next_runs->needs(base_runs);
  base_runs->excludes(diff_base);
  next_runs->excludes(diff_next);
  diff_cmd->add_option("--sort", diff.sort,
                       "'path' (the tree, indented; the default) or 'change' (largest change "
                       "first, each row with its whole path)")
      ->check(CLI::IsMember({"change", "path"}));
  diff_cmd->add_option("--threshold", diff.threshold,
                       "Hide paths that changed by less than PCT percent")
      ->check(zero_or_more);
  diff_cmd->add_option("--min-seconds", diff.min_seconds,
                       "Hide paths below S seconds in both runs")
      ->check(zero_or_more);
  diff_cmd->add_flag("--paths", diff.paths, "Name each row by its whole path ('outer;inner')");
  diff_cmd->add_flag("--seconds", diff.seconds,
                     "Times in plain seconds rather than a unit (ns, \u00b5s, ms, s) per value");
  diff_cmd->add_flag("--exit-code", diff.exit_code,
                     "Exit 1 when any path shown differs (as 'git diff --exit-code')");
  diff_cmd->footer("Exits 0 (1 with --exit-code when a path shown differs), 2 on trouble.\n"
                   "Example: timetree diff yesterday.json today.json --threshold 5");

  CheckOptions check;
  auto* check_cmd = app.add_subcommand(
      "check", "The CI gate: exit 1, after one line per offending path, when a path is over "
               "its budget or slower than allowed against a base run; exit 0 when all holds.");
  check_cmd->add_option("NEW.json", check.runs,
                        "The run to check; or three or more runs of it, judged against three "
                        "or more base runs by their medians and a Mann-Whitney test")
      ->required();
  check_cmd->add_option("--budget", check.budget,
                        "File of lines 'outer;inner;leaf SECONDS' (paths as the folded export "
                        "writes them; '#' starts a comment line)");
  auto* against = check_cmd->add_option("--against", check.against,
                                        "A base run to compare with (or three or more)");
  check_cmd->add_option("--alpha", check.alpha,
                        "With three or more runs a side: a path fails only when the test's "
                        "p-value is below ALPHA (default 0.05)")
      ->check(CLI::Range(0.0, 1.0));
  auto* regression =
      check_cmd->add_option("--max-regression", check.max_regression,
                            "With --against: the largest allowed slow-down, in percent (10 for "
                            "10%)")
          ->check(zero_or_more);
  check_cmd->add_option("--min-seconds", check.min_seconds,
                        "With --against: ignore paths below S seconds in both runs")
      ->check(zero_or_more);
  check_cmd->add_flag("--seconds", check.seconds,
                      "Times in plain seconds rather than a unit (ns, \u00b5s, ms, s) per value");
  against->needs(regression);
  regression->needs(against);
  check_cmd->footer(
      "A budget path that is not in the run, an empty budget, a base run with no path in\n"
      "common with the run, or a check that judged no limit at all is trouble (exit 2).\n"
      "Paths new in the run or gone from the base are listed after the verdict.\n"
      "Example: timetree check today.json --budget budget.txt --against base.json "
      "--max-regression 10 --min-seconds 0.001");

  MergeOptions merge;
  auto* merge_cmd = app.add_subcommand(
      "merge", "Runs (single or combined, in any mix) into one combined file: per path the "
               "sources that have it, and the sum, mean, min and max with the source of each. "
               "Timelines into one timeline, each file's processes lined up by the clock it "
               "gives.");
  merge_cmd->add_option("RUN.json", merge.runs, "The runs (or timelines), in source order")
      ->required();
  merge_cmd->add_option("-o,--output", merge.output, "The file to write")->required();
  merge_cmd->footer("Example: timetree merge rank0.json rank1.json rank2.json -o all.json\n"
                    "         timetree merge trace.rank-*.json -o trace.json");

  FlameOptions flame;
  auto* flame_cmd = app.add_subcommand(
      "flame", "A self-contained SVG flame graph of a run, or with --diff the differential one "
               "of two: widths from the new run, red slower, blue faster.");
  flame_cmd->add_option("RUN.json", flame.runs, "The run; with --diff, BASE.json NEW.json")
      ->required();
  flame_cmd->add_flag("--diff", flame.diff, "Draw the change from the first run to the second");
  flame_cmd->add_option("--threshold", flame.threshold,
                        "With --diff: draw changes below PCT percent grey (default 1)")
      ->check(zero_or_more);
  flame_cmd->add_option("-o,--output", flame.output, "The SVG file to write")->required();
  flame_cmd->footer("Examples: timetree flame run.json -o run.svg\n"
                    "          timetree flame --diff base.json new.json -o change.svg");

  std::string folded_run;
  auto* folded_cmd = app.add_subcommand(
      "folded", "Folded stacks on standard output ('outer;inner;leaf SELF_MICROSECONDS'), for "
                "other flame-graph tools.");
  folded_cmd->add_option("RUN.json", folded_run, "The run")->required();
  folded_cmd->footer("Example: timetree folded run.json | flamegraph.pl > run.svg");

  HtmlOptions html;
  auto* html_cmd = app.add_subcommand(
      "html", "A self-contained, interactive report page: flame graph with zoom and search, "
              "a tree table to sort and expand, thread trees; with --diff the change of two "
              "runs; of a timeline (TimeWriteTrace), a lane per thread and rank to zoom and "
              "pan. It fetches nothing, so it opens offline.");
  html_cmd->add_option("RUN.json", html.runs,
                       "The run or timeline; with --diff, BASE.json NEW.json")
      ->required();
  html_cmd->add_flag("--diff", html.diff, "Show the change from the first run to the second");
  html_cmd->add_option("-o,--output", html.output, "The HTML file to write")->required();
  html_cmd->footer("Examples: timetree html run.json -o report.html\n"
                   "          timetree html --diff base.json new.json -o change.html\n"
                   "          timetree html trace.json -o timeline.html");

  TraceOptions trace;
  auto* trace_cmd = app.add_subcommand(
      "trace", "A timeline (TimeWriteTrace, TimeMpiWriteTrace, or any trace-event file's "
               "complete events) per thread: its events, the span from its first start to its "
               "last end, the time inside its outermost events, and its busiest path (the most "
               "self time), with the intervals a full buffer dropped.");
  trace_cmd->add_option("TRACE.json", trace.trace, "The timeline")->required();
  trace_cmd->add_flag("--seconds", trace.seconds,
                      "Times in plain seconds rather than a unit (ns, \u00b5s, ms, s) per value");
  trace_cmd->footer("Example: timetree trace trace.json");

  ConvertOptions convert;
  auto* convert_cmd = app.add_subcommand(
      "convert", "A run (or combined file) in the format of another tool: pprof (a gzipped "
                 "profile.proto: go tool pprof -top), hatchet (Hatchet's literal form), "
                 "caliper-json-split (as Hatchet and Thicket read Caliper's output), benchmark "
                 "(for CI benchmark dashboards), speedscope.");
  convert_cmd->add_option("RUN.json", convert.run, "The run")->required();
  convert_cmd->add_option("--to", convert.to, "The format")
      ->required()
      ->check(CLI::IsMember({"pprof", "hatchet", "caliper-json-split", "benchmark", "speedscope"}));
  convert_cmd->add_option("-o,--output", convert.output, "The file to write; - for standard output")
      ->required();
  convert_cmd->footer("Examples: timetree convert run.json --to speedscope -o run.speedscope.json\n"
                      "          timetree convert run.json --to benchmark -o -");

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
    // code the argument library gives it.
    return app.exit(e) == 0 ? 0 : kTrouble;
  }

  try {
    if (show_cmd->parsed()) return Show(show, std::cout, std::cerr);
    if (diff_cmd->parsed()) {
      if (diff.base_runs.empty() && (diff.base.empty() || diff.next.empty())) {
        std::cerr << "timetree diff: give BASE.json NEW.json, or --base FILE... --new FILE...\n";
        return kTrouble;
      }
      return Diff(diff, std::cout);
    }
    if (check_cmd->parsed()) {
      if (check.budget.empty() && check.against.empty()) {
        std::cerr << "timetree check: give --budget FILE and/or --against BASE.json "
                     "--max-regression PCT\n";
        return kTrouble;
      }
      return Check(check, std::cout);
    }
    if (merge_cmd->parsed()) return Merge(merge);
    if (flame_cmd->parsed()) {
      if (flame.runs.size() != (flame.diff ? 2u : 1u)) {
        std::cerr << "timetree flame: give one RUN.json, or BASE.json NEW.json with --diff\n";
        return kTrouble;
      }
      return Flame(flame);
    }
    if (folded_cmd->parsed()) return Folded(folded_run, std::cout);
    if (convert_cmd->parsed()) return Convert(convert, std::cout);
    if (trace_cmd->parsed()) return Trace(trace, std::cout);
    if (html_cmd->parsed()) {
      if (html.runs.size() != (html.diff ? 2u : 1u)) {
        std::cerr << "timetree html: give one RUN.json, or BASE.json NEW.json with --diff\n";
        return kTrouble;
      }
      return Html(html);
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
