// timetree html: the report page (runformat/reportpage.h) of a run, of the
// comparison of two, or of a timeline.
#include <string>

#include <memory>

#include "commands/commands.h"
#include "lib/options.h"
#include "lib/compare.h"
#include "runformat/text.h"
#include "runformat/reportpage.h"
#include "lib/run.h"
#include "lib/timeline.h"

namespace timetree_cli {

namespace {

struct HtmlOptions {
  std::vector<std::string> runs;  // one, or base and new with diff
  bool diff = false;
  std::string output;
};

}  // namespace

int Html(const HtmlOptions& options) {
  std::string data;
  if (IsTimeline(options.runs.at(0))) {
    if (options.diff) {
      throw InputError(options.runs.at(0) + ": a timeline: --diff compares runs");
    }
    WriteFile(options.output, timetree::ReportPage(TimelinePageData(ReadTimeline(options.runs.at(0)))));
    return 0;
  }
  if (!options.diff) {
    const auto run = ReadRun(options.runs.at(0));
    data = timetree::RunPageData(*run);
  } else {
    const auto base = ReadRun(options.runs.at(0));
    const auto next = ReadRun(options.runs.at(1));
    timetree::PageHead(data, "diff", next->file, RunTotal(*next));
    data += ", \"base\": \"";
    timetree::AppendJsonString(data, base->file.c_str());
    data += "\", \"views\": [";
    timetree::PageColumns columns;
    for (const Compared& row : CompareRuns(*base, *next)) {
      Node stand_in;  // a path gone in the new run: its name, no figures
      stand_in.name = row.name;
      columns.Add(row.next_node != nullptr ? row.next_node : &stand_in, row.depth,
                  (row.in_base ? 4 : 0) | (row.in_next ? 8 : 0), row.base);
    }
    columns.Write(data, "change", false, true);
  }
  data += "]}";

  const std::string page = timetree::ReportPage(data);
  WriteFile(options.output, page);
  return 0;
}

Subcommand AddHtml(CLI::App& app) {
  auto options = std::make_shared<HtmlOptions>();
  HtmlOptions& html = *options;
  auto* html_cmd = app.add_subcommand(
      "html", "A self-contained, interactive report page: flame graph with zoom and search, "
              "a tree table to sort and expand, thread trees; with --diff the change of two "
              "runs; of a timeline (TimeWriteTrace), a lane per thread and rank to zoom and "
              "pan. It fetches nothing, so it opens offline.");
  html_cmd->add_option("RUN.json", html.runs,
                       "The run or timeline; with --diff, BASE.json NEW.json")
      ->required();
  html_cmd->add_flag("--diff", html.diff, "Show the change from the first run to the second");
  html_cmd->add_option("-o,--output", html.output, "The HTML file to write; - for standard output")
      ->required();
  html_cmd->footer("Examples: timetree html run.json -o report.html\n"
                   "          timetree html --diff base.json new.json -o change.html\n"
                   "          timetree html trace.json -o timeline.html");
  return {html_cmd, [options] {
    const HtmlOptions& html = *options;
    if (html.runs.size() != (html.diff ? 2u : 1u)) {
      std::cerr << "timetree html: give one RUN.json, or BASE.json NEW.json with --diff\n";
      return 2;
    }
    return Html(html);
  }};
}

}  // namespace timetree_cli
