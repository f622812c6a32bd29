// Output named by the environment, for hosts that cannot or need not change
// their code.
//
// TIMETREE_OUTPUT is read once, at load: a comma-separated list of report,
// json:PATH, folded:PATH, svg:PATH, html:PATH (the report page),
// trace:PATH (the timeline, recorded for it); and mpi-summary, mpi-json:PATH,
// mpi-trace:PATH, written by the MPI component from inside MPI_Finalize.
// When it names anything, timing is on from the first start, and the
// outputs are written when the library is unloaded at the process's exit.
// An item that cannot be read, that writes a file another item writes, or
// that asks for a timeline TIMETREE_TRACE turns off, is named on standard
// error at load and left out; an output that cannot be written is named at
// exit with the cause. Paths may hold %p (process id), %h (host name), %r
// (MPI rank as the launcher gives it, 0 without one), %t (the load time,
// UTC) and %% (a percent sign); any other placeholder is said and kept as
// written. Every file is written whole (runformat/files.h).
//
// The MPI items are collective, written from inside MPI_Finalize by the
// MPI component. When the process ends without getting there (a job killed
// by its scheduler, an exit without MPI_Finalize), each rank writes its own
// part of mpi-json and mpi-trace beside the path asked for (PATH with
// ".rank-R" before its extension) and says how to combine the parts.
//
// The outputs are written at exit, and on a batch scheduler's signals
// (output/signals.h) at once.
//
#include "output/envoutput.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "channels/channels.h"
#include "include/timetree.h"
#include "output/exports.h"
#include "output/hints.h"
#include "output/signals.h"
#include "output/timeline_export.h"
#include "registry/dtimemgr.h"
#include "registry/timeline.h"
#include "runformat/files.h"
#include "runformat/placeholders.h"
#include "runformat/text.h"
#include "stopwatch/atomics.h"

namespace timetree {

namespace {

enum class Kind { kReport, kJson, kFolded, kSvg, kHtml, kTrace, kMpiSummary, kMpiJson, kMpiTrace };

struct Item {
  Kind kind;
  std::string text;  // as given, for messages
  std::string path;  // its placeholders filled in: they do not change while
                     // the process that loaded the library runs
};

struct State {
  std::vector<Item> items;
  long pid = 0;             // the process that loaded the library
  char started[32] = {};    // load time, UTC, for %t
  std::mutex writing;       // one writer at a time: exit or a signal
  bool finalWritten = false;  // written for the process's end: by a fatal
                              // signal or at exit, whichever came first
};

// Allocated once and never freed: the outputs are written while the
// library's other static objects are being destroyed.
State* g_state = nullptr;

// Counts timers, to tell "nothing to write" from "could not be written".
void CountOne(const TimeTimerInfo64&, void* count) { ++*static_cast<long*>(count); }

// Both reports, to the open channels, or to standard error when none is
// open.
void WriteReports() {
  Channels& channels = g_channels;
  bool borrowed = false;
  {
    const ChannelLock lock;
    if (channels.console == nullptr && channels.file == nullptr) {
      channels.console = stderr;
      borrowed = true;
    }
  }
  TimePrint();
  TimePrintIndented(nullptr);
  if (borrowed) {
    const ChannelLock lock;
    if (channels.console == stderr) channels.console = nullptr;
  }
}

bool IsTimeline(Kind kind) { return kind == Kind::kTrace || kind == Kind::kMpiTrace; }

void Parse(const char* list) {
  struct Known {
    const char* name;
    Kind kind;
    bool path;
  };
  static const Known known[] = {
      {"report", Kind::kReport, false},     {"json", Kind::kJson, true},
      {"folded", Kind::kFolded, true},      {"svg", Kind::kSvg, true},
      {"html", Kind::kHtml, true},          {"trace", Kind::kTrace, true},
      {"mpi-summary", Kind::kMpiSummary, false}, {"mpi-json", Kind::kMpiJson, true},
      {"mpi-trace", Kind::kMpiTrace, true}};
  for (const std::string& item : SplitList(list)) {
    const size_t colon = item.find(':');
    const std::string kind = item.substr(0, colon);
    const std::string path = colon == std::string::npos ? "" : item.substr(colon + 1);
    const Known* found = nullptr;
    for (const Known& k : known) {
      if (kind == k.name && (k.path ? !path.empty() : colon == std::string::npos)) found = &k;
    }
    if (found == nullptr) {
      std::fprintf(stderr,
                   "timetree: TIMETREE_OUTPUT: \"%s\" is left out: not one of report, "
                   "json:PATH, folded:PATH, svg:PATH, html:PATH, trace:PATH, mpi-summary, "
                   "mpi-json:PATH, mpi-trace:PATH\n",
                   item.c_str());
      continue;
    }
    const std::string unknown = UnknownPlaceholder(path);
    if (!unknown.empty()) {
      std::fprintf(stderr,
                   "timetree: TIMETREE_OUTPUT: \"%s\": %s is not a placeholder (%%p, %%h, %%r, "
                   "%%t, %%%%): it is kept as written\n",
                   item.c_str(), unknown.c_str());
    }
    Item parsed{found->kind, item, found->path ? FillInPath(path, g_state->started) : ""};
    // Two items that write one file: the second would overwrite the first.
    const Item* same = nullptr;
    for (const Item& earlier : g_state->items) {
      if (!parsed.path.empty() && earlier.path == parsed.path) same = &earlier;
    }
    if (same != nullptr) {
      std::fprintf(stderr,
                   "timetree: TIMETREE_OUTPUT: \"%s\" is left out: \"%s\" writes %s already\n",
                   item.c_str(), same->text.c_str(), parsed.path.c_str());
      continue;
    }
    g_state->items.push_back(parsed);
  }
}

// ----- the MPI items, when MPI_Finalize cannot write them

// What became of MPI in this process, asked of MPI itself where it is
// loaded (MPI_Finalized may be called at any time, from any thread).
enum class Mpi { kAbsent, kRunning, kFinalised, kFinalisedPastWrapper };

Mpi MpiState() {
  using Query = int (*)(int*);
  const auto finalized = reinterpret_cast<Query>(dlsym(RTLD_DEFAULT, "MPI_Finalized"));
  if (finalized == nullptr) return Mpi::kAbsent;
  int done = 0;
  finalized(&done);
  if (done == 0) return Mpi::kRunning;
  // MPI's own MPI_Finalize is its PMPI_Finalize under another name: when
  // the program's call resolves to it, libtimetree_mpi's did not run.
  void* called = dlsym(RTLD_DEFAULT, "MPI_Finalize");
  return called != nullptr && called == dlsym(RTLD_DEFAULT, "PMPI_Finalize")
             ? Mpi::kFinalisedPastWrapper
             : Mpi::kFinalised;
}

// path with ".rank-R" before its extension (after the name when it has
// none); R is padded to the width of the largest rank, so that the parts
// list in rank order. glob, when given, gets the same with "*" for R.
std::string PartPath(const std::string& path, const char* rank, std::string* glob) {
  std::string number = rank;
  if (const char* size = LauncherSize()) {
    const long ranks = std::strtol(size, nullptr, 10);
    const size_t width = ranks > 1 ? std::to_string(ranks - 1).size() : 1;
    if (number.size() < width) number.insert(0, width - number.size(), '0');
  }
  const size_t slash = path.rfind('/');
  const size_t base = slash == std::string::npos ? 0 : slash + 1;
  size_t dot = path.rfind('.');
  if (dot == std::string::npos || dot <= base) dot = path.size();
  if (glob != nullptr) *glob = path.substr(0, dot) + ".rank-*" + path.substr(dot);
  return path.substr(0, dot) + ".rank-" + number + path.substr(dot);
}

// At the process's end, the MPI items that MPI_Finalize did not write: each
// rank writes its own part of mpi-json and mpi-trace beside the path asked
// for, and says so, with how to combine the parts.
void WriteMpiParts(const Item& item, long timers, int signal) {
  const Mpi mpi = MpiState();
  if (mpi == Mpi::kFinalised) return;  // written from inside MPI_Finalize
  const char* rank = LauncherRank();
  const bool first_rank = std::strcmp(rank, "0") == 0;
  if (mpi == Mpi::kFinalisedPastWrapper) {
    if (first_rank) {
      std::fprintf(stderr,
                   "timetree: TIMETREE_OUTPUT: \"%s\" was not written: the program's "
                   "MPI_Finalize did not reach libtimetree_mpi (link it before the MPI library, "
                   "as timetree::mpi and timetree-mpi.pc do)\n",
                   item.text.c_str());
    }
    return;
  }
  std::string why;
  if (mpi == Mpi::kAbsent) {
    why = "the program does not use MPI";
  } else if (signal != 0) {
    AppendFormat(why, "the job was ended by SIG%s before MPI_Finalize", sigabbrev_np(signal));
  } else {
    why = "the program ended without MPI_Finalize";
  }
  if (item.kind == Kind::kMpiSummary) {
    if (first_rank) {
      std::fprintf(stderr, "timetree: TIMETREE_OUTPUT: mpi-summary was not written: %s\n",
                   why.c_str());
    }
    return;
  }
  std::string glob;
  const std::string part = PartPath(item.path, rank, &glob);
  if (item.kind == Kind::kMpiJson && timers == 0) {
    std::fprintf(stderr, "timetree: TIMETREE_OUTPUT: no timers to write to %s\n", part.c_str());
    return;
  }
  // The part carries the rank as the combined file's sources do.
  TimeSetMetadata("rank", rank);
  if (const char* size = LauncherSize()) TimeSetMetadata("ranks", size);
  bool written = false;
  if (item.kind == Kind::kMpiJson) {
    written = TimeWriteJson(part.c_str());
  } else {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    std::string name;
    AppendFormat(name, "rank %s (%s)", rank, host);
    written = WriteTimelineFile(part.c_str(), std::strtol(rank, nullptr, 10), name.c_str());
  }
  if (!written) {
    std::fprintf(stderr, "timetree: TIMETREE_OUTPUT: %s %s\n", part.c_str(),
                 FileProblem(errno, true).c_str());
    return;
  }
  std::fprintf(stderr,
               "timetree: TIMETREE_OUTPUT: \"%s\": %s, so rank %s wrote its own part, %s; "
               "'timetree merge %s -o %s' combines the parts of every rank\n",
               item.text.c_str(), why.c_str(), rank, part.c_str(), glob.c_str(),
               item.path.c_str());
}

// Writes every output now. moment: a snapshot (SIGUSR1, the program goes
// on), a fatal signal's, or the exit's; of the last two only the first to
// come writes, and the other finds it done.
enum class Moment { kSnapshot, kSignal, kExit };

void WriteOutputs(Moment moment, int signal) {
  if (g_state == nullptr || g_state->items.empty()) return;
  if (static_cast<long>(getpid()) != g_state->pid) return;
  const std::lock_guard<std::mutex> lock(g_state->writing);
  if (g_state->finalWritten) return;
  long timers = 0;
  TimeForEachTimer64(&CountOne, &timers);
  for (const Item& item : g_state->items) {
    if (item.kind == Kind::kReport) {
      WriteReports();
      continue;
    }
    if (item.kind == Kind::kMpiSummary || item.kind == Kind::kMpiJson ||
        item.kind == Kind::kMpiTrace) {
      if (moment != Moment::kSnapshot) WriteMpiParts(item, timers, signal);
      continue;
    }
    const char* path = item.path.c_str();
    if (timers == 0) {
      std::fprintf(stderr, "timetree: TIMETREE_OUTPUT: no timers to write to %s\n", path);
      continue;
    }
    errno = 0;
    const bool written = item.kind == Kind::kJson     ? TimeWriteJson(path)
                         : item.kind == Kind::kFolded ? TimeWriteFolded(path)
                         : item.kind == Kind::kSvg    ? TimeWriteFlameGraph(path)
                         : item.kind == Kind::kTrace  ? TimeWriteTrace(path)
                                                      : WriteReportPage(path);
    if (!written) {
      std::fprintf(stderr, "timetree: TIMETREE_OUTPUT: %s %s\n", path,
                   FileProblem(errno, true).c_str());
    }
  }
  if (moment != Moment::kSnapshot) g_state->finalWritten = true;
}

// The signal thread's writer: a snapshot for SIGUSR1, after which the
// program goes on, and the end's writing for the others.
void WriteOnSignal(int signal) {
  WriteOutputs(signal == SIGUSR1 ? Moment::kSnapshot : Moment::kSignal, signal);
}

void StartEnvironmentOutput() {
  const char* list = std::getenv("TIMETREE_OUTPUT");
  if (list == nullptr || list[0] == '\0') {
    ReadTimelineEnvironment(false);
    return;
  }
  g_state = new State;
  g_state->pid = static_cast<long>(getpid());
  const time_t now = std::time(nullptr);
  struct tm utc {};
  gmtime_r(&now, &utc);
  std::strftime(g_state->started, sizeof g_state->started, "%Y%m%dT%H%M%SZ", &utc);
  Parse(list);
  // A timeline asked for is recorded, at the default size unless
  // TIMETREE_TRACE gives one; one that TIMETREE_TRACE turns off is said.
  bool timeline = false;
  for (const Item& item : g_state->items) timeline = timeline || IsTimeline(item.kind);
  ReadTimelineEnvironment(timeline);
  if (timeline && g_timelineLimit == 0) {
    std::vector<Item> kept;
    for (Item& item : g_state->items) {
      if (!IsTimeline(item.kind)) {
        kept.push_back(std::move(item));
        continue;
      }
      std::fprintf(stderr,
                   "timetree: TIMETREE_OUTPUT: \"%s\" is left out: TIMETREE_TRACE=%s turns the "
                   "timeline off\n",
                   item.text.c_str(), std::getenv("TIMETREE_TRACE"));
    }
    g_state->items = std::move(kept);
  }
  if (g_state->items.empty()) return;
  NoteWritten();
  // Timing on from the first start, and kept on by the host's own
  // TimeOpenOStream or TimeClear unless TIMING_ON is set to an off value;
  // the host's calls then behave as they always do.
  StoreRelaxed(g_registry.enabled, 1);
  g_timeManager.outputAsked = 1;
  InstallSignals(&WriteOnSignal);
}

// Reads the environment when the library is loaded.
const bool g_started = (StartEnvironmentOutput(), true);

}  // namespace

void WriteEnvironmentOutputs() { WriteOutputs(Moment::kExit, 0); }

void StopEnvironmentOutput() {
  if (g_state != nullptr) StopSignals();
}

}  // namespace timetree
