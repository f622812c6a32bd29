// timetree folded: folded stacks, as the library's TimeWriteFolded writes
// them, for other flame-graph tools.
#include <cmath>
#include <vector>

#include <memory>

#include "commands/commands.h"
#include "lib/options.h"
#include "runformat/text.h"
#include "lib/run.h"

namespace timetree_cli {


int Folded(const std::string& path, std::ostream& out) {
  const auto run = ReadRun(path);
  std::string text, stack;
  std::vector<size_t> lengths;  // where each frame of the stack ends
  Preorder(run->root, [&](const Node& node, int depth) {
    // Only the frames above this node stay.
    lengths.resize(static_cast<size_t>(depth));
    stack.resize(lengths.empty() ? 0 : lengths.back());
    if (depth > 0) stack += ';';
    timetree::AppendFoldedName(stack, node.name.c_str());
    lengths.push_back(stack.size());
    text += stack;
    timetree::AppendFormat(text, " %lld\n", static_cast<long long>(std::llround(node.MeanSelf() * 1e6)));
    if (text.size() >= (64u << 10)) {
      out << text;
      text.clear();
    }
    return true;
  });
  out << text;
  return 0;
}

Subcommand AddFolded(CLI::App& app) {
  auto options = std::make_shared<std::string>();
  std::string& folded_run = *options;
  auto* folded_cmd = app.add_subcommand(
      "folded", "Folded stacks on standard output ('outer;inner;leaf SELF_MICROSECONDS'), for "
                "other flame-graph tools.");
  folded_cmd->add_option("RUN.json", folded_run, "The run")->required();
  folded_cmd->footer("Example: timetree folded run.json | flamegraph.pl > run.svg");
  return {folded_cmd, [options] {
    const std::string& folded_run = *options;
    return Folded(folded_run, std::cout);
  }};
}

}  // namespace timetree_cli
