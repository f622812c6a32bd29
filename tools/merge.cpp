// timetree merge: many runs into the combined format.
#include <cerrno>
#include <cmath>

#include "output/files.h"

#include "commands.h"
#include "run.h"

namespace timetree_cli {

void WriteFile(const std::string& path, const std::string& text) {
  if (!timetree::WriteWholeFile(path.c_str(), text)) {
    throw InputError(path + ": " + timetree::FileProblem(errno, true));
  }
}

namespace {

// A combined run that its own reader would refuse is never written: a sum
// past the range of a double, or a count past 2^53, which a double no
// longer holds exactly.
void ExpectReadable(const Run& run) {
  Preorder(run.root, [&](const Node& node, int) {
    const char* what = nullptr;
    if (!std::isfinite(node.total.sum)) what = "total seconds";
    if (!std::isfinite(node.self.sum)) what = "self seconds";
    if (node.count.sum > 9007199254740992.0) what = "count";
    if (what != nullptr) {
      throw InputError("merge: the sum of the " + std::string(what) + " of \"" +
                       FoldedPath(node) + "\" is too large to be held exactly; nothing written");
    }
    return true;
  });
}

}  // namespace

int Merge(const MergeOptions& options) {
  std::vector<std::unique_ptr<Run>> runs;
  for (const auto& path : options.runs) runs.push_back(ReadRun(path));
  const auto combined = Combine(runs);
  ExpectReadable(*combined);
  WriteFile(options.output, CombinedJson(*combined));
  return 0;
}

}  // namespace timetree_cli
