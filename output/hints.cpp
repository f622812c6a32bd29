#include "output/hints.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "channels/channels.h"
#include "registry/dtimemgr.h"
#include "runformat/text.h"
#include "sibling/switches.h"
#include "stopwatch/atomics.h"

extern char** environ;

namespace timetree {

namespace {

// The variables the library and its components read.
constexpr const char* kKnown[] = {"TIMING_ON",
                                  "TIMING_FILE",
                                  "TIMING_CONSOLE",
                                  "TIMING_BUILD_MARKER",
                                  "TIMETREE_OUTPUT",
                                  "TIMETREE_SIGNALS",
                                  "TIMETREE_TRACE",
                                  "TIMETREE_QUIET",
                                  "TIMETREE_CLOCK",
                                  "TIMETREE_NAMES",
                                  "TIMETREE_COUNTERS",
                                  "TIMETREE_SERIES",
                                  "TIMETREE_SERIES_POINTS",
                                  "TIMETREE_MPI_CALLS",
                                  "TIMETREE_FUNCTIONS_INCLUDE",
                                  "TIMETREE_FUNCTIONS_EXCLUDE",
                                  "TIMETREE_FUNCTIONS_MAX_DEPTH",
                                  "TIMETREE_FUNCTIONS_THROTTLE",
                                  "TIMETREE_FUNCTIONS_THROTTLE_NS"};
constexpr char kMetaPrefix[] = "TIMETREE_META_";

bool Quiet() {
  int quiet = 0;
  return ReadSwitch("TIMETREE_QUIET", &quiet) != 0;
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

void ResetHintsForTesting() {
  ResetNotesForTesting();
  StoreRelaxed(g_timeManager.timingReadPid, 0L);
}

std::vector<std::string> NearMisses(const char* const* env) {
  std::vector<std::string> lines;
  for (const char* const* entry = env; entry != nullptr && *entry != nullptr; ++entry) {
    const char* equals = std::strchr(*entry, '=');
    const std::string name(*entry, equals != nullptr ? equals - *entry : std::strlen(*entry));
    if (name.rfind(kMetaPrefix, 0) == 0) continue;
    bool known = false;
    for (const char* k : kKnown) known = known || name == k;
    if (known) continue;
    const std::string upper = Upper(name);
    const char* nearest = nullptr;
    size_t best = 3;  // at most two edits away
    for (const char* k : kKnown) {
      const size_t d = EditDistance(upper, k);
      if (d < best) {
        best = d;
        nearest = k;
      }
    }
    const bool ours = upper.rfind("TIMING_", 0) == 0 || upper.rfind("TIMETREE_", 0) == 0;
    if (nearest != nullptr) {
      lines.push_back("timetree: the environment has " + name +
                      ", which timetree does not read; did you mean " + nearest + "?");
    } else if (ours && upper.rfind(kMetaPrefix, 0) == 0) {
      lines.push_back("timetree: the environment has " + name +
                      ", which timetree does not read; did you mean " + kMetaPrefix +
                      name.substr(sizeof kMetaPrefix - 1) + "?");
    } else if (ours) {
      std::string all;
      for (const char* k : kKnown) all += std::string(all.empty() ? "" : ", ") + k;
      lines.push_back("timetree: the environment has " + name +
                      ", which timetree does not read (it reads " + all + " and " + kMetaPrefix +
                      "<KEY>)");
    }
  }
  return lines;
}

void WriteOffHint() {
  TimeManager& tm = g_timeManager;
  // Only the process that timed says it (not a forked child that exits),
  // and only when timing is still off for the same reason.
  if (LoadRelaxed(tm.offHintPid) != static_cast<long>(getpid())) return;
  if (LoadRelaxed(g_registry.enabled) != 0) return;
  int quiet = 0;
  if (ReadSwitch("TIMETREE_QUIET", &quiet) != 0) return;
  int on = 0;
  if (SwitchUnset("TIMING_ON")) {
    std::fputs(
        "timetree: timing was off because TIMING_ON is not set; to time and see the reports, "
        "set TIMING_ON=1 and TIMING_CONSOLE=1 (standard output) and/or TIMING_FILE=1 (the "
        "program's file); TIMETREE_QUIET=1 silences this line\n",
        stderr);
  } else if (ReadSwitch("TIMING_ON", &on) != 0 && LoadRelaxed(tm.timingReadPid) == 0) {
    // Set, but never read: it is read at a clear only.
    std::fputs(
        "timetree: timing was off: TIMING_ON is set, but the program never called "
        "TimeOpenOStream or TimeClear, which read it; call one of them before timing, or set "
        "TIMETREE_OUTPUT=report to time without them; TIMETREE_QUIET=1 silences this line\n",
        stderr);
  }
}

// Each is said only by the process in which it happened (not by a forked
// child that exits).
void WriteExitHints() {
  const long self = static_cast<long>(getpid());
  if (Quiet()) return;
  if (DroppedPid() == self) {
    std::fputs(
        "timetree: reports or messages went nowhere: no output channel was open when they were "
        "written; set TIMING_CONSOLE=1 (standard output) and/or TIMING_FILE=1 (the program's "
        "file), which TimeOpenOStream reads, or TIMETREE_OUTPUT=report for both reports on "
        "standard error at exit; TIMETREE_QUIET=1 silences this line\n",
        stderr);
  } else if (LoadRelaxed(g_timeManager.timingReadPid) == self &&
             LoadRelaxed(g_registry.lastOrder) != 0 && !AnythingWritten()) {
    std::fputs(
        "timetree: timers ran, but nothing was written: no output channel was open and no "
        "report, export or TIMETREE_OUTPUT item was asked for; set TIMING_CONSOLE=1 and/or "
        "TIMING_FILE=1 (read by TimeOpenOStream) and call TimePrint, or set "
        "TIMETREE_OUTPUT=report (or json:PATH, ...) to write at exit; TIMETREE_QUIET=1 "
        "silences this line\n",
        stderr);
  }
}

namespace {

// Said at load, before the host's own code runs.
struct SayNearMisses {
  SayNearMisses() {
    if (Quiet()) return;
    for (const std::string& line : NearMisses(environ)) std::fprintf(stderr, "%s\n", line.c_str());
  }
} g_sayNearMisses;

}  // namespace

}  // namespace timetree
