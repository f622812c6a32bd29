// timetree merge: many runs into the combined format.
#include <fstream>

#include "commands.h"
#include "run.h"

namespace timetree_cli {

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) throw InputError(path + ": cannot be written");
}

int Merge(const MergeOptions& options) {
  std::vector<std::unique_ptr<Run>> runs;
  for (const auto& path : options.runs) runs.push_back(ReadRun(path));
  WriteFile(options.output, CombinedJson(*Combine(runs)));
  return 0;
}

}  // namespace timetree_cli
