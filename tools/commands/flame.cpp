// timetree flame: the flame graph of a run, or the differential one of two,
// drawn by the renderer that the library's TimeWriteFlameGraph uses.
#include <algorithm>
#include <cmath>

#include <memory>

#include "commands/commands.h"
#include "lib/options.h"
#include "lib/compare.h"
#include "runformat/text.h"
#include "runformat/flamegraph.h"

namespace timetree_cli {

namespace {

struct FlameOptions {
  std::vector<std::string> runs;  // one, or base and new with diff
  bool diff = false;
  double threshold = 1;  // percent of change drawn grey
  std::string output;
};

}  // namespace

namespace {

constexpr uint32_t kGrey = 0xC8C8C8;

// Slower in shades of red, faster in shades of blue, the deeper the larger
// the change (full at 100%); grey within the threshold.
uint32_t ChangeColour(const Compared& row, double threshold) {
  const double percent = row.in_base ? row.Percent() : std::numeric_limits<double>::infinity();
  if (std::fabs(percent) < threshold || (row.Change() == 0 && row.in_base)) return kGrey;
  const double strength = std::min(1.0, std::fabs(percent) / 100.0);
  const auto fade = static_cast<uint32_t>(std::lround(210 - 170 * strength));
  return percent > 0 ? (0xFFu << 16) | (fade << 8) | fade : (fade << 16) | (fade << 8) | 0xFFu;
}

std::string Details(const Node& node, bool combined) {
  std::string text;
  if (combined) {
    timetree::AppendFormat(text,
                           "%ld sources, mean %.6f s (min %.6f s at source %ld, max %.6f s at "
                           "source %ld), self %.6f s, count %.0f",
                           node.sources, node.Mean(), node.total.min, node.total.min_source,
                           node.total.max, node.total.max_source, node.MeanSelf(), node.count.sum);
  } else {
    timetree::AppendFormat(text, "count %.0f, total %.6f s, self %.6f s%s", node.count.sum,
                           node.total.sum, node.self.sum, node.running ? ", running" : "");
  }
  return text;
}

int MaxDepth(const Node& root) {
  int deepest = 0;
  Preorder(root, [&](const Node&, int depth) {
    deepest = std::max(deepest, depth);
    return true;
  });
  return deepest;
}

}  // namespace

int Flame(const FlameOptions& options) {
  std::string svg;
  if (!options.diff) {
    const auto run = ReadRun(options.runs.at(0));
    std::string title;
    bool threaded = false;
    const double wall = ProcessWallTime(*run, &threaded);
    if (threaded && wall > 0) {
      // Threads at work at once: the boxes side by side are thread time.
      timetree::AppendFormat(title,
                             "timetree flame graph: %.6f s of thread time%s in a run of %.6f s; "
                             "width is total time, hover for details",
                             RunTotal(*run), run->combined ? " (means)" : "", wall);
    } else {
      timetree::AppendFormat(title,
                             "timetree flame graph: %.6f s in all%s; width is total time, hover "
                             "for details",
                             RunTotal(*run), run->combined ? " (means)" : "");
    }
    timetree::FlameGraph graph(svg, RunTotal(*run), MaxDepth(run->root), title);
    Preorder(run->root, [&](const Node& node, int depth) {
      graph.Box(depth, node.name.c_str(), node.Mean(), Details(node, run->combined),
                timetree::FlameGraph::WarmColour(node.name.c_str()));
      return true;
    });
    graph.Finish();
  } else {
    const auto base = ReadRun(options.runs.at(0));
    const auto next = ReadRun(options.runs.at(1));
    const std::vector<Compared> rows = CompareRuns(*base, *next);
    std::string title;
    timetree::AppendFormat(title,
                           "timetree differential flame graph: %.6f s, was %.6f s; red slower, "
                           "blue faster, grey within %g%%",
                           RunTotal(*next), RunTotal(*base), options.threshold);
    timetree::FlameGraph graph(svg, RunTotal(*next), MaxDepth(next->root), title);
    // The union in tree order: the new run's paths come parent before
    // children, which is all the layout needs.
    for (const Compared& row : rows) {
      if (!row.in_next) continue;
      std::string details;
      if (row.in_base) {
        timetree::AppendFormat(details, "base %.6f s, new %.6f s, change %+.6f s (%s)",
                               row.base, row.next, row.Change(), PercentText(row).c_str());
      } else {
        timetree::AppendFormat(details, "new %.6f s, not in the base run", row.next);
      }
      graph.Box(row.depth, row.name.c_str(), row.next, details,
                ChangeColour(row, options.threshold));
    }
    graph.Finish();
  }
  WriteFile(options.output, svg);
  return 0;
}

Subcommand AddFlame(CLI::App& app) {
  auto options = std::make_shared<FlameOptions>();
  FlameOptions& flame = *options;
  auto* flame_cmd = app.add_subcommand(
      "flame", "A self-contained SVG flame graph of a run, or with --diff the differential one "
               "of two: widths from the new run, red slower, blue faster.");
  flame_cmd->add_option("RUN.json", flame.runs, "The run; with --diff, BASE.json NEW.json")
      ->required();
  flame_cmd->add_flag("--diff", flame.diff, "Draw the change from the first run to the second");
  flame_cmd->add_option("--threshold", flame.threshold,
                        "With --diff: draw changes below PCT percent grey (default 1)")
      ->check(kZeroOrMore);
  flame_cmd->add_option("-o,--output", flame.output, "The SVG file to write; - for standard output")
      ->required();
  flame_cmd->footer("Examples: timetree flame run.json -o run.svg\n"
                    "          timetree flame --diff base.json new.json -o change.svg");
  return {flame_cmd, [options] {
    const FlameOptions& flame = *options;
    if (flame.runs.size() != (flame.diff ? 2u : 1u)) {
      std::cerr << "timetree flame: give one RUN.json, or BASE.json NEW.json with --diff\n";
      return 2;
    }
    return Flame(flame);
  }};
}

}  // namespace timetree_cli
