// libFuzzer target of the command line's JSON readers: any bytes either
// read as a run or are refused with InputError; a run that reads is then
// combined, written in the combined format, read back and compared. The
// same bytes are read as a timeline too, summarised and made page data.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "tools/commands/commands.h"
#include "tools/lib/compare.h"
#include "tools/lib/run.h"
#include "tools/lib/timeline.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    std::vector<std::unique_ptr<timetree_cli::Run>> runs;
    runs.push_back(timetree_cli::ParseRun(text, "fuzz.json"));
    runs.push_back(timetree_cli::ParseRun(text, "fuzz.json"));
    timetree_cli::CompareRuns(*runs[0], *runs[1]);
    const auto combined = timetree_cli::Combine(runs);
    const std::string json = timetree_cli::CombinedJson(*combined);
    // What the tool writes, it reads.
    timetree_cli::ParseRun(json, "combined.json");
  } catch (const timetree_cli::InputError&) {
  }
  try {
    std::istringstream in(text);
    const timetree_cli::Timeline timeline = timetree_cli::ParseTimeline(in, "fuzz.json");
    timetree_cli::TraceSummary(timeline, false);
    timetree_cli::TimelinePageData(timeline);
  } catch (const timetree_cli::InputError&) {
  }
  return 0;
}
