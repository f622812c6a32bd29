// The SVG flame graph renderer, shared by the library's TimeWriteFlameGraph
// and the command-line tool: boxes are given parent before children, each
// with its depth, width in seconds, tooltip and colour; the renderer lays
// them out (a child starts where its parent does, siblings follow one
// another) and writes a self-contained SVG.
#ifndef TIMETREE_RUNFORMAT_FLAMEGRAPH_H
#define TIMETREE_RUNFORMAT_FLAMEGRAPH_H

#include <cstdint>
#include <string>
#include <vector>

namespace timetree {

class FlameGraph {
 public:
  // Starts the SVG in out for boxes totalling total seconds at the top
  // level and nesting max_depth levels below it, headed by title.
  FlameGraph(std::string& out, double total, int max_depth, const std::string& title);

  // Appends the box of one node, in preorder; details follows the name in
  // its tooltip (as plain text; it is escaped here).
  void Box(int depth, const char* name, double seconds, const std::string& details,
           uint32_t rgb);

  // Closes the SVG.
  void Finish();

  // Warm colours, the same for a name from one run to the next.
  static uint32_t WarmColour(const char* name);

 private:
  std::string& out_;
  double height_;
  double scale_;
  std::vector<double> next_x_;  // where the next box of each depth begins
};

}  // namespace timetree

#endif  // TIMETREE_RUNFORMAT_FLAMEGRAPH_H
