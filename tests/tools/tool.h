// What the command's tests share: running "timetree ARGS" as a user runs
// it, in the folder of the test data, and small runs written on the spot.
#ifndef TIMETREE_TESTS_TOOLS_TOOL_H
#define TIMETREE_TESTS_TOOLS_TOOL_H

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>

#include "sanitized.h"

namespace timetree_test_json {

// A run of top-level timers of the given totals; each is marked as a
// timer that counted names merged past their 25th character.
inline std::string Run(std::initializer_list<std::pair<const char*, double>> timers) {
  std::string text = "{\"schema\": 2, \"timers\": [";
  const char* comma = "";
  for (const auto& [name, total] : timers) {
    text += comma + std::string("{\"name\": \"") + name + "\", \"count\": 1, \"total_seconds\": " +
            std::to_string(total) + ", \"self_seconds\": " + std::to_string(total) +
            ", \"stopped_implicitly\": false, \"running\": false, \"names_merged\": true, "
            "\"children\": []}";
    comma = ", ";
  }
  return text + "]}";
}

}  // namespace timetree_test_json

namespace timetree_tools_test {

inline std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct Result {
  int status;
  std::string out, err;
};

inline std::string Temp(const std::string& stem) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir != nullptr ? dir : "/tmp") + "/timetree-tools-" +
         std::to_string(getpid()) + "-" + stem;
}

// Runs "timetree ARGS" in the data folder.
inline Result Tool(const std::string& args) {
  const std::string out = Temp("out"), err = Temp("err");
  const std::string command = "cd '" TIMETREE_TEST_DATA "' && '" TIMETREE_TOOL "' " + args +
                              " > '" + out + "' 2> '" + err + "'";
  const int status = std::system(command.c_str());
  Result result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, Read(out), Read(err)};
  std::remove(out.c_str());
  std::remove(err.c_str());
  return result;
}

// A run of one path depth levels deep, each level self_seconds of its own
// (its total: its own and every level's below), named "level" or, numbered,
// "level0", "level1", ...
inline void WriteDeepRun(const std::string& path, int depth, double self_seconds, bool numbered) {
  std::ofstream out(path);
  out << "{\"schema\": 2, \"timers\": [";
  for (int i = 0; i < depth; ++i) {
    out << "{\"name\": \"level" << (numbered ? std::to_string(i) : "")
        << "\", \"count\": 1, \"total_seconds\": " << (depth - i) * self_seconds
        << ", \"self_seconds\": " << self_seconds
        << ", \"stopped_implicitly\": false, \"running\": false, \"children\": [";
  }
  for (int i = 0; i < depth; ++i) out << "]}";
  out << "]}\n";
}

// A run whose names each format must escape: a quote and markup, and ";"
// with a byte that is not UTF-8.
inline void WriteHostileRun(const std::string& path) {
  std::ofstream(path) << "{\"schema\": 2, \"timers\": [{\"name\": \"q\\\"uote <b>\", \"count\": 2, "
                         "\"total_seconds\": 3, \"self_seconds\": 1, \"stopped_implicitly\": false, "
                         "\"running\": false, \"children\": [{\"name\": \"a;b \xff\", \"count\": 1, "
                         "\"total_seconds\": 2, \"self_seconds\": 2, \"stopped_implicitly\": false, "
                         "\"running\": false, \"children\": []}]}]}";
}

#ifdef TIMETREE_SANITIZED
// The sanitizers' runtimes are slow and keep memory of their own (shadow,
// quarantine): a smaller file, and no bound on memory.
constexpr int kDeep = 20000;
constexpr bool kBoundMemory = false;
#else
constexpr int kDeep = 100000;
constexpr bool kBoundMemory = true;
#endif

}  // namespace timetree_tools_test

#endif  // TIMETREE_TESTS_TOOLS_TOOL_H
