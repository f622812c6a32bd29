// Timetree exclude: the option that leaves throttled functions out of a
// rebuild, as gcc matches names.
#include "commands/commands.h"
#include "tools/tool.h"

namespace timetree_tools_test {
namespace {

TEST(Tools, ExcludeNamesWhatGccMatches) {
  // The qualified name without parameters or return type; after a comma
  // (gcc splits its list there), the part after it; none for what has no
  // name gcc could match. Each was checked against g++ 12.
  const std::pair<const char*, const char*> cases[] = {
      {"solver::Dot(double const*, int)", "solver::Dot"},
      {"Grid::at(int) const", "Grid::at"},
      {"double solver::f<double>(double)", "solver::f<double>"},
      {"std::map<int, double>::at(int const&)", "double>::at"},
      {"Map<unsigned long>::at(int)", "long>::at"},
      {"helper() (libplugin.so+0x1139)", "helper"},
      {"(anonymous namespace)::step(int)", "{anonymous}::step"},
      {"Functor::operator()(int) const", "Functor::operator()"},
      {"app+0x1a2b", ""},
  };
  for (const auto& [name, part] : cases) {
    EXPECT_EQ(timetree_cli::GccExcludeName(name), part) << name;
  }
}

TEST(Tools, ExcludePrintsTheOptionForThrottledAndNamedFunctions) {
  const std::string run = Temp("throttled.json");
  std::ofstream(run) << "{\"schema\": 2, \"timers\": [{\"name\": \"main\", \"count\": 1, "
                        "\"total_seconds\": 1, \"self_seconds\": 1, \"stopped_implicitly\": false, "
                        "\"running\": false, \"children\": [{\"name\": \"Grid::at(int) const\", "
                        "\"count\": 100000, \"total_seconds\": 0.001, \"self_seconds\": 0.001, "
                        "\"stopped_implicitly\": false, \"running\": false, \"throttled\": true, "
                        "\"children\": []}, {\"name\": \"solve(int)\", \"count\": 1, "
                        "\"total_seconds\": 0.5, \"self_seconds\": 0.5, \"stopped_implicitly\": "
                        "false, \"running\": false, \"children\": []}]}]}";
  EXPECT_EQ(Tool("exclude '" + run + "'").out,
            "-finstrument-functions-exclude-function-list=Grid::at\n");
  EXPECT_EQ(Tool("exclude '" + run + "' --name 'solve*'").out,
            "-finstrument-functions-exclude-function-list=Grid::at,solve\n");
  const Result clang = Tool("exclude '" + run + "' --compiler clang");
  EXPECT_EQ(clang.status, 0);
  EXPECT_NE(clang.err.find("-finstrument-functions-after-inlining"), std::string::npos);
  const Result none = Tool("exclude base.json");
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.err, "timetree: base.json: no timer is throttled, so there is nothing to leave out\n");
  std::remove(run.c_str());
}

}  // namespace
}  // namespace timetree_tools_test
