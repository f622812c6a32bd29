// The report page: a self-contained, interactive HTML page (the template
// runformat/report.html, embedded at build time) that gets a run's data as
// JSON in a script element the browser never runs. Written by the library
// (TIMETREE_OUTPUT's html:PATH) and by 'timetree html'.
#ifndef TIMETREE_RUNFORMAT_REPORTPAGE_H
#define TIMETREE_RUNFORMAT_REPORTPAGE_H

#include <string>

#include "runformat/combined.h"

namespace timetree {

// The columns of one tree, in preorder, as the page reads them.
struct PageColumns {
  std::string name, depth, count, total, self, flags, sources, min, max, minsrc, maxsrc, stddev,
      base, threads, tmin, tmax, cpu, faults, peak;
  std::string series;  // "row": [every, steps, [seconds], [max_seconds]], ...
  int row = 0;
  bool first = true;
  bool spread = false;  // a path was started by more than one thread
  unsigned counters = 0;  // TIMETREE_COUNTERS' counters any row has

  // A row: node (null: a stand-in without figures) at depth d; extra_flags
  // and base_total for a comparison's rows.
  void Add(const combined::Node* node, int d, int extra_flags, double base_total);
  void Write(std::string& out, const std::string& label, bool combined, bool diff) const;
};

// The columns of every node under root.
PageColumns TreeColumns(const combined::Node& root);

// Starts the page's data: its mode ("run", "combined" or "diff"), file and
// run total.
void PageHead(std::string& out, const char* mode, const std::string& file, double total);

// The whole data of a run's page (single or combined, with its threads).
std::string RunPageData(const combined::Run& run);

// The page with data (ended by the caller's "]}") in place; no name can end
// the script element.
std::string ReportPage(const std::string& data);

}  // namespace timetree

#endif  // TIMETREE_RUNFORMAT_REPORTPAGE_H
