// libFuzzer target of the command line's JSON reader: any bytes either
// read as a run or are refused with InputError; a run that reads is then
// combined, written in the combined format, read back and compared.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/compare.h"
#include "tools/run.h"

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
  return 0;
}
