// Timetree flame, folded and html.
#include <sstream>

#include "tools/tool.h"

namespace timetree_tools_test {
namespace {

TEST(Tools, FoldedAndDifferentialFlameGraph) {
  EXPECT_EQ(Tool("folded new.json").out,
            "main 325000\nmain;parse 125000\nmain;solve 1000000\nmain;write_out 50000\n");
  const std::string svg = Temp("diff.svg"), report = Temp("colours.txt");
  ASSERT_EQ(Tool("flame --diff base.json new.json -o " + svg).status, 0);
  // A real XML parser reads it; the slower box is red, the faster blue,
  // the new one red.
  const std::string command =
      "python3 -c 'import sys, xml.etree.ElementTree as E\n"
      "n = \"{http://www.w3.org/2000/svg}\"\n"
      "for g in E.parse(sys.argv[1]).getroot().iter(n + \"g\"):\n"
      "  print(g.find(n + \"title\").text.split(chr(10))[0], g.find(n + \"rect\").get(\"fill\"))' '" +
      svg + "' > '" + report + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(Read(report),
            "main rgb(255,125,125)\n"
            "parse rgb(125,125,255)\n"
            "solve rgb(255,40,40)\n"
            "write out rgb(255,40,40)\n");
  std::remove(svg.c_str());
  std::remove(report.c_str());
}

// Each box exact: siblings side by side in the width of their totals, a
// name's warm colour its own, a label cut to fit its box.
TEST(Tools, FlameGraphBoxesAreLaidOutExactly) {
  const std::string run = Temp("boxes.json");
  std::ofstream(run)
      << "{\"schema\": 2, \"timers\": [{\"name\": \"main\", \"count\": 1, "
         "\"total_seconds\": 1, \"self_seconds\": 0.4, \"stopped_implicitly\": false, "
         "\"running\": false, \"children\": [{\"name\": \"solve\", \"count\": 1, "
         "\"total_seconds\": 0.5, \"self_seconds\": 0.5, \"stopped_implicitly\": false, "
         "\"running\": false, \"children\": []}, {\"name\": "
         "\"a_rather_long_timer_name\", \"count\": 1, \"total_seconds\": 0.1, "
         "\"self_seconds\": 0.1, \"stopped_implicitly\": false, \"running\": false, "
         "\"children\": []}]}]}";
  std::string boxes;
  std::istringstream svg(Tool("flame '" + run + "' -o -").out);
  for (std::string line; std::getline(svg, line);) {
    const size_t at = line.find("<rect x=");
    if (at != std::string::npos && line.find("</g>") != std::string::npos) {
      boxes += line.substr(at) + "\n";
    }
  }
  std::remove(run.c_str());
  EXPECT_EQ(
      boxes,
      "<rect x=\"10.00\" y=\"68.0\" width=\"1180.00\" height=\"17.0\" rx=\"2\" "
      "fill=\"rgb(247,144,48)\"/><text x=\"13.00\" y=\"81.0\">main</text></g>\n"
      "<rect x=\"10.00\" y=\"50.0\" width=\"590.00\" height=\"17.0\" rx=\"2\" "
      "fill=\"rgb(243,170,53)\"/><text x=\"13.00\" y=\"63.0\">solve</text></g>\n"
      "<rect x=\"600.00\" y=\"50.0\" width=\"118.00\" height=\"17.0\" rx=\"2\" "
      "fill=\"rgb(233,154,51)\"/><text x=\"603.00\" y=\"63.0\">a_rather_long_..</text></g>\n");
}

// The page holds names as data: none can end its script element or open
// markup, however it spells the closing tag.
TEST(Tools, PageKeepsHostileNamesAsData) {
  const std::string run = Temp("hostile.json"), page = Temp("hostile.html"),
                    plain = Temp("plain.html");
  std::ofstream(run) << "{\"schema\": 2, \"timers\": [{\"name\": \"</script ><img src=x>\", "
                        "\"count\": 1, \"total_seconds\": 1, \"self_seconds\": 1, "
                        "\"stopped_implicitly\": false, \"running\": false, \"children\": "
                        "[{\"name\": \"</SCRIPT/x><!--\", \"count\": 1, \"total_seconds\": 0, "
                        "\"self_seconds\": 0, \"stopped_implicitly\": false, \"running\": false, "
                        "\"children\": []}]}]}";
  ASSERT_EQ(Tool("html " + run + " -o " + page).status, 0);
  ASSERT_EQ(Tool("html base.json -o " + plain).status, 0);
  auto count = [](const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; ++at) ++n;
    return n;
  };
  const std::string hostile = Read(page);
  EXPECT_EQ(count(hostile, "</"), count(Read(plain), "</"));
  EXPECT_EQ(count(hostile, "<img"), 0u);
  EXPECT_EQ(count(hostile, "<!--"), count(Read(plain), "<!--"));
  for (const auto& f : {run, page, plain}) std::remove(f.c_str());
}

}  // namespace
}  // namespace timetree_tools_test
