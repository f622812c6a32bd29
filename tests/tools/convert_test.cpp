// Timetree convert, checked against each format's reader.
#include <fstream>

#include "tools/tool.h"

namespace timetree_tools_test {
namespace {

// Each format of convert, checked against its documented schema, with names
// that each format must escape (in benchmark, ";" is the path's separator,
// written as %3B in a name), and a combined file.
TEST(Tools, ConvertWritesEachFormatWithItsNamesEscaped) {
  const std::string run = Temp("hostile-convert.json");
  WriteHostileRun(run);
  const std::string out = Temp("converted.json");
  for (const char* to : {"hatchet", "caliper-json-split", "speedscope"}) {
    for (const std::string& file : {run, std::string(TIMETREE_TEST_DATA "/merged.json")}) {
      ASSERT_EQ(Tool("convert '" + file + "' --to " + to + " -o '" + out + "'").status, 0) << to;
      const bool hostile = file == run;
      const std::string names = hostile ? " 'q\"uote <b>' 'a;b \\ufffd'" : " main solve";
      EXPECT_EQ(std::system(("python3 '" TIMETREE_TEST_DATA "/check_convert.py' " + std::string(to) +
                             " '" + out + "'" + names)
                                .c_str()),
                0)
          << to << " " << file;
    }
  }
  ASSERT_EQ(Tool("convert '" + run + "' --to benchmark -o '" + out + "'").status, 0);
  EXPECT_EQ(std::system(("python3 '" TIMETREE_TEST_DATA "/check_convert.py' benchmark '" + out +
                         "' 'q\"uote <b>' 'a%3Bb \\ufffd'")
                            .c_str()),
            0);
  // Names that the folded form writes alike keep series of their own, and
  // a budget line that would judge both is refused.
  std::ofstream(run) << timetree_test_json::Run({{"a b", 1}, {"a_b", 2}, {"x;y", 3}, {"x:y", 4}});
  EXPECT_EQ(Tool("convert '" + run + "' --to benchmark -o -").out,
            "[\n{\"name\": \"a b\", \"unit\": \"s\", \"value\": 1, \"extra\": \"count 1\"},\n"
            "{\"name\": \"a_b\", \"unit\": \"s\", \"value\": 2, \"extra\": \"count 1\"},\n"
            "{\"name\": \"x%3By\", \"unit\": \"s\", \"value\": 3, \"extra\": \"count 1\"},\n"
            "{\"name\": \"x:y\", \"unit\": \"s\", \"value\": 4, \"extra\": \"count 1\"}\n]\n");
  const std::string budget = Temp("alike.txt");
  std::ofstream(budget) << "a_b 5\n";
  const Result r = Tool("check '" + run + "' --budget '" + budget + "'");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "timetree: " + budget + ":1: \"a_b\" names 2 paths in " + run +
                       " (names that differ only in blanks, control characters or \";\" fold "
                       "alike): one limit cannot judge them\n");
  std::remove(budget.c_str());
  // Standard output with -o -; a run that cannot be read is trouble.
  EXPECT_EQ(Tool("convert merged.json --to benchmark -o -").out.rfind("[\n{\"name\": \"main\", \"unit\": \"s\", \"value\": 1.25, \"range\": \"\u00b1 0.25\", \"extra\": \"count 2\"},\n", 0), 0u);
  EXPECT_EQ(Tool("convert missing.json --to hatchet -o -").status, 2);
  std::remove(run.c_str());
  std::remove(out.c_str());
}

// Each format's units and figures as its documentation gives them, from a
// run whose self and total times differ (main: 1 s in all, 0.2 s its own;
// parse: 2 starts of 0.125 s): benchmark values in ns below a second,
// Caliper's exclusive and inclusive columns, speedscope's weights in ns.
TEST(Tools, ConvertKeepsEachFormatsUnits) {
  const struct {
    const char* to;
    const char* expected;
  } cases[] = {
      {"benchmark", "{\"name\": \"main;parse\", \"unit\": \"ns\", \"value\": 125000000, "},
      {"benchmark", "{\"name\": \"main\", \"unit\": \"s\", \"value\": 1, "},
      {"caliper-json-split", "[0, 0.20000000000000001, 1],\n[1, 0.25, 0.25],"},
      {"speedscope", "\"weights\": [200000000, 250000000, 500000000, 50000000]"},
  };
  for (const auto& c : cases) {
    const Result r = Tool(std::string("convert base.json --to ") + c.to + " -o -");
    EXPECT_NE(r.out.find(c.expected), std::string::npos) << c.to << ":\n" << r.out;
  }
}

// A run's metadata named like a format's own field is left out of it, so
// that no key is written twice.
TEST(Tools, ConvertWritesNoFieldOfTheFormatTwice) {
  const std::string run = Temp("field-names.json"), out = Temp("fields-converted.json");
  std::ofstream(run) << "{\"schema\": 2, \"timers\": [{\"name\": \"a\", \"count\": 1, "
                        "\"total_seconds\": 1, \"self_seconds\": 1, \"stopped_implicitly\": false, "
                        "\"running\": false, \"children\": []}], \"metadata\": {\"data\": \"x\", "
                        "\"columns\": \"x\", \"column_metadata\": \"x\", \"nodes\": \"x\", "
                        "\"program\": \"solver\"}}";
  ASSERT_EQ(Tool("convert '" + run + "' --to caliper-json-split -o '" + out + "'").status, 0);
  EXPECT_NE(Read(out).find("\n], \"program\": \"solver\"}\n"), std::string::npos) << Read(out);
  EXPECT_EQ(std::system(("python3 -c 'import json, sys\n"
                         "def once(pairs):\n"
                         "    keys = [k for k, _ in pairs]\n"
                         "    assert len(keys) == len(set(keys)), keys\n"
                         "    return dict(pairs)\n"
                         "json.load(open(sys.argv[1]), object_pairs_hook=once)' '" + out + "'")
                            .c_str()),
            0);
  for (const std::string& f : {run, out}) std::remove(f.c_str());
}

// The pprof format, read by the real pprof: self as flat, total as cum, as
// show gives them, and names as they were.
TEST(Tools, PprofReadsTheConvertedRunAsShowGivesIt) {
  if (std::system("command -v go >/dev/null 2>&1") != 0) GTEST_SKIP() << "no go (golang-go)";
  const std::string out = Temp("base.pb.gz");
  ASSERT_EQ(Tool("convert base.json --to pprof -o '" + out + "'").status, 0);
  const std::string top = Temp("top.txt");
  const std::string go = "HOME='" + Temp("gohome") + "' GOCACHE='" + Temp("gocache") +
                         "' go tool pprof -top '";
  ASSERT_EQ(std::system((go + out + "' > '" + top + "' 2>/dev/null").c_str()), 0);
  const std::string text = Read(top);
  EXPECT_NE(text.find("     500ms 50.00% 50.00%      500ms 50.00%  solve\n"
                      "     250ms 25.00% 75.00%      250ms 25.00%  parse\n"
                      "     200ms 20.00% 95.00%     1000ms   100%  main\n"
                      "      50ms  5.00%   100%       50ms  5.00%  setup\n"),
            std::string::npos)
      << text;
  // Each thread's own tree, not the merged one for each: 22 ms in all.
  ASSERT_EQ(Tool("convert threads.json --to pprof -o '" + out + "'").status, 0);
  ASSERT_EQ(std::system((go + out + "' > '" + top + "' 2>/dev/null").c_str()), 0);
  EXPECT_NE(Read(top).find("22ms, 100% of 22ms total\n      flat  flat%   sum%        cum   cum%\n"
                           "      16ms 72.73% 72.73%       16ms 72.73%  work\n"
                           "       6ms 27.27%   100%       22ms   100%  run\n"),
            std::string::npos)
      << Read(top);
  // Names that other formats must escape pass as they are (as UTF-8).
  const std::string run = Temp("hostile-pprof.json");
  WriteHostileRun(run);
  // (-top shortens what looks like a template's arguments; -raw shows the
  // whole name.)
  ASSERT_EQ(Tool("convert '" + run + "' --to pprof -o '" + out + "'").status, 0);
  const std::string raw = "HOME='" + Temp("gohome") + "' GOCACHE='" + Temp("gocache") +
                          "' go tool pprof -raw '";
  ASSERT_EQ(std::system((raw + out + "' > '" + top + "' 2>/dev/null").c_str()), 0);
  EXPECT_NE(Read(top).find(" a;b \xef\xbf\xbd :0"), std::string::npos) << Read(top);
  EXPECT_NE(Read(top).find("(q\"uote <b>)"), std::string::npos) << Read(top);
  // One mapping, named by the program, with its functions known: pprof asks
  // for no binary.
  EXPECT_NE(Read(top).find("Mappings\n1: 0x0/0x0/0x0 timetree  [FN]\n"), std::string::npos)
      << Read(top);
  // Each counter in its own sample type, as self; a path past 128 levels
  // summed in one sample whose total is its children's.
  std::ofstream(run) << "{\"schema\": 2, \"timers\": [{\"name\": \"main\", \"count\": 1, "
                        "\"total_seconds\": 2, \"self_seconds\": 1, \"stopped_implicitly\": false, "
                        "\"running\": false, \"cycles\": 5000, \"instructions\": 7000, "
                        "\"children\": [{\"name\": \"inner\", \"count\": 1, \"total_seconds\": 1, "
                        "\"self_seconds\": 1, \"stopped_implicitly\": false, \"running\": false, "
                        "\"cycles\": 1000, \"instructions\": 3000, \"children\": []}]}]}";
  ASSERT_EQ(Tool("convert '" + run + "' --to pprof -o '" + out + "'").status, 0);
  ASSERT_EQ(std::system((raw + out + "' > '" + top + "' 2>/dev/null").c_str()), 0);
  EXPECT_NE(Read(top).find("calls/count total/nanoseconds self/nanoseconds[dflt] cycles/count "
                           "instructions/count\n"
                           "          1 2000000000 1000000000       4000       4000: 1 \n"
                           "          1 1000000000 1000000000       1000       3000: 2 1 \n"),
            std::string::npos)
      << Read(top);
  WriteDeepRun(run, 130, 1e-6, true);
  ASSERT_EQ(Tool("convert '" + run + "' --to pprof -o '" + out + "'").status, 0);
  ASSERT_EQ(std::system((raw + out + "' > '" + top + "' 2>/dev/null").c_str()), 0);
  EXPECT_NE(Read(top).find("\n          1       3000       1000: 128 127 "), std::string::npos);
  EXPECT_NE(Read(top).find("\n          2       2000       2000: 129 128 "), std::string::npos)
      << Read(top);
  for (const std::string& f : {out, top, run}) std::remove(f.c_str());
  ASSERT_EQ(std::system(("rm -rf '" + Temp("gohome") + "' '" + Temp("gocache") + "'").c_str()), 0);
}

}  // namespace
}  // namespace timetree_tools_test

namespace timetree_tools_test {
namespace {

// A tree 100,000 levels deep converts in time and memory in proportion to
// its timers: the formats that write each path whole sum the levels below
// 128 into "(deeper levels)", and say so.
TEST(Tools, ConvertOfADeepTreeStaysLinear) {
  const std::string run = Temp("deep.json");
  WriteDeepRun(run, 100000, 1e-6, false);
  const std::string converted = Temp("deep.out");
  for (const char* format : {"speedscope", "benchmark"}) {
    ASSERT_EQ(Tool(std::string("convert '") + run + "' --to " + format + " -o '" + converted + "'")
                  .status,
              0)
        << format;
    const std::string text = Read(converted);
    EXPECT_LT(text.size(), 200000u) << format;
    EXPECT_NE(text.find("(deeper levels)"), std::string::npos) << format;
  }
  // A series per level down to the 128th, and one for the levels below it.
  const std::string bench = Read(converted);
  size_t series = 0, separated = 0;
  for (size_t at = 0; (at = bench.find("{\"name\": ", at)) != std::string::npos; ++at) ++series;
  for (size_t at = 0; (at = bench.find(",\n{\"name\": ", at)) != std::string::npos; ++at) {
    ++separated;
  }
  EXPECT_EQ(series, 129u);
  EXPECT_EQ(separated, 128u);
  std::remove(run.c_str());
  std::remove(converted.c_str());
}

}  // namespace
}  // namespace timetree_tools_test
