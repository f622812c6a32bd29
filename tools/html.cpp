// timetree html: the report page (output/reportpage.h) of a run, of the
// comparison of two, or of a timeline.
#include <string>

#include "commands.h"
#include "compare.h"
#include "output/exports.h"
#include "output/reportpage.h"
#include "run.h"
#include "trace.h"

namespace timetree_cli {

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

}  // namespace timetree_cli
