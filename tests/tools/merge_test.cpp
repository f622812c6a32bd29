// Timetree merge.
#include <unistd.h>

#include <fstream>

#include "tools/tool.h"

namespace timetree_tools_test {
namespace {

TEST(Tools, MergeWritesTheCombinedFormatAndIsAssociative) {
  const std::string ab = Temp("ab.json"), abc = Temp("abc.json"), bc = Temp("bc.json"),
                    ab_c = Temp("ab_c.json"), a_bc = Temp("a_bc.json");
  ASSERT_EQ(Tool("merge base.json new.json -o " + ab).status, 0);
  EXPECT_EQ(Read(ab), Read(TIMETREE_TEST_DATA "/merged.json"));
  // Combining combined files is combining their sources at once.
  ASSERT_EQ(Tool("merge base.json new.json old.json -o " + abc).status, 0);
  ASSERT_EQ(Tool("merge " + ab + " old.json -o " + ab_c).status, 0);
  ASSERT_EQ(Tool("merge new.json old.json -o " + bc).status, 0);
  ASSERT_EQ(Tool("merge base.json " + bc + " -o " + a_bc).status, 0);
  EXPECT_EQ(Read(ab_c), Read(abc));
  EXPECT_EQ(Read(a_bc), Read(abc));
  for (const auto& f : {ab, abc, bc, ab_c, a_bc}) std::remove(f.c_str());
}

// Two timelines merged onto standard output (-o -, as every -o takes it):
// the later file's events moved by the difference of the clock origins,
// otherData's and the metadata's own members read only at their level (and
// not the file's own members after them; of otherData's numbers, the clock
// origin alone), a
// lane's dropped count kept, a missing tid 0, numbers of the metadata as
// text, and no file named "-".
TEST(Tools, TimelinesMergeOntoStandardOutput) {
  const std::string a = Temp("tl-a.json"), b = Temp("tl-b.json");
  std::ofstream(a)
      << "{\"traceEvents\": [{\"ph\": \"M\", \"name\": \"thread_name\", \"pid\": 1, "
         "\"tid\": 7, \"args\": {\"name\": \"main\", \"dropped\": 3}},\n"
         "{\"ph\": \"X\", \"name\": \"a\", \"pid\": 1, \"tid\": 7, \"ts\": 1, \"dur\": 2}],\n"
         "\"otherData\": {\"nested\": {\"clock_origin_unix_ns\": 5}, "
         "\"clock_origin_unix_ns\": 1000000},\n"
         "\"metadata\": {\"host\": \"h\", \"ranks\": 4, \"scale\": 1.50, \"inner\": {\"ranks\": "
         "9}}}";
  std::ofstream(b)
      << "{\"traceEvents\": [{\"ph\": \"X\", \"name\": \"b\", \"pid\": 2, \"ts\": 0, "
         "\"dur\": 1}], \"otherData\": {\"clock_origin_unix_ns\": 2000000, \"events\": 1}, "
         "\"metadata\": {\"host\": \"h\", \"ranks\": 4, \"scale\": 1.50}}";
  const Result r = Tool("merge '" + a + "' '" + b + "' -o -");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(
      r.out,
      "{\"displayTimeUnit\": \"ns\", \"traceEvents\": [\n"
      "{\"ph\": \"M\", \"name\": \"thread_name\", \"pid\": 1, \"tid\": 7, \"args\": {\"name\": "
      "\"main\", \"events\": 1, \"dropped\": 3}},\n"
      "{\"ph\": \"X\", \"name\": \"a\", \"pid\": 1, \"tid\": 7, \"ts\": 1.000, \"dur\": 2.000},\n"
      "{\"ph\": \"M\", \"name\": \"thread_name\", \"pid\": 2, \"tid\": 0, \"args\": {\"name\": "
      "\"\", \"events\": 1, \"dropped\": 0}},\n"
      "{\"ph\": \"X\", \"name\": \"b\", \"pid\": 2, \"tid\": 0, \"ts\": 1000.000, \"dur\": "
      "1.000}\n"
      "], \"otherData\": {\"merged_files\": 2, \"events\": 2, \"clock_origin_unix_ns\": "
      "1000000}, \"metadata\": {\"host\": \"h\", \"ranks\": \"4\", \"scale\": \"1.50\"}}\n");
  EXPECT_NE(access(TIMETREE_TEST_DATA "/-", F_OK), 0);
  for (const std::string& f : {a, b}) std::remove(f.c_str());
}

// merge never writes a file that its own reader refuses: sums past what a
// file may hold are trouble, naming the path, and nothing is written.
TEST(Tools, MergeThatWouldOverflowWritesNothing) {
  const std::string a = Temp("huge-a.json"), b = Temp("huge-b.json"), out = Temp("huge.json");
  for (const auto& [path, total] : {std::pair{a, "6e14"}, std::pair{b, "7e14"}}) {
    std::ofstream(path) << "{\"schema\": 2, \"timers\": [{\"name\": \"main\", \"count\": 1, "
                           "\"total_seconds\": 1, \"self_seconds\": 1, \"stopped_implicitly\": "
                           "false, \"running\": false, \"children\": [{\"name\": \"big\", "
                           "\"count\": 1, \"total_seconds\": "
                        << total << ", \"self_seconds\": 1, \"stopped_implicitly\": false, "
                        << "\"running\": false, \"children\": []}]}]}";
  }
  const Result r = Tool("merge " + a + " " + b + " -o " + out);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "timetree: merge: the sum of the total seconds of \"main;big\" is more than "
                   "1e15 seconds, more than a file may hold; nothing written\n");
  EXPECT_FALSE(std::ifstream(out).good());
  for (const auto& f : {a, b}) std::remove(f.c_str());
}

}  // namespace
}  // namespace timetree_tools_test

namespace timetree_tools_test {
namespace {

// The parts of a killed job whose ranks did not all write: merge and show
// name the ranks that are missing.
TEST(Tools, MergeNamesTheRanksAKilledJobLacks) {
  std::vector<std::string> parts;
  for (int rank : {0, 2}) {
    parts.push_back(Temp("part-" + std::to_string(rank) + ".json"));
    std::ofstream(parts.back())
        << "{\"schema\": 2, \"timers\": [{\"name\": \"main\", \"count\": 1, \"total_seconds\": 1, "
           "\"self_seconds\": 1, \"stopped_implicitly\": false, \"running\": true, "
           "\"children\": []}], \"metadata\": {\"ranks\": \"4\", \"rank\": \""
        << rank << "\"}}";
  }
  const std::string merged = Temp("parts.json");
  const Result r = Tool("merge '" + parts[0] + "' '" + parts[1] + "' -o '" + merged + "'");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err,
            "timetree: merge: the 2 sources are ranks of a job of 4 ranks, ranks 1 and 3 are "
            "missing (their files were not written, or not given): the means are over the ranks "
            "there are\n");
  const std::string shown = Tool("show '" + merged + "' --no-metadata").out;
  EXPECT_NE(shown.find(", 2 sources of a job of 4 ranks, ranks 1 and 3 are missing\n"),
            std::string::npos)
      << shown;
  // One part of four.
  EXPECT_EQ(Tool("merge '" + parts[0] + "' -o '" + merged + "'").err,
            "timetree: merge: the 1 source is a rank of a job of 4 ranks, ranks 1, 2 and 3 are "
            "missing (their files were not written, or not given): the means are over the ranks "
            "there are\n");
  for (const std::string& part : parts) std::remove(part.c_str());
  std::remove(merged.c_str());
}

}  // namespace
}  // namespace timetree_tools_test

namespace timetree_tools_test {
namespace {

// The parts of a job given in any order are its ranks: the source of the
// least and the greatest total is the rank.
TEST(Tools, MergedPartsAreNumberedByRank) {
  std::vector<std::string> parts;
  for (int rank : {2, 0, 1}) {
    parts.push_back(Temp("rankpart-" + std::to_string(rank) + ".json"));
    std::ofstream(parts.back())
        << "{\"schema\": 2, \"timers\": [{\"name\": \"main\", \"count\": 1, \"total_seconds\": "
        << rank + 1 << ", \"self_seconds\": 1, \"stopped_implicitly\": false, \"running\": "
           "false, \"children\": []}], \"metadata\": {\"ranks\": \"3\", \"rank\": \""
        << rank << "\"}}";
  }
  const std::string merged = Temp("rankparts.json");
  ASSERT_EQ(Tool("merge '" + parts[0] + "' '" + parts[1] + "' '" + parts[2] + "' -o '" + merged +
                 "'").status,
            0);
  const std::string text = Read(merged);
  EXPECT_NE(text.find("\"min\": 1, \"max\": 3, \"min_source\": 0, \"max_source\": 2"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\"source_metadata\": [{\"rank\": \"0\""), std::string::npos) << text;
  for (const std::string& part : parts) std::remove(part.c_str());
  std::remove(merged.c_str());
}

}  // namespace
}  // namespace timetree_tools_test
