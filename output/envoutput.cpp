// Output named by the environment, for hosts that cannot or need not change
// their code.
//
// TIMETREE_OUTPUT is read once, at load: a comma-separated list of report,
// json:PATH, folded:PATH, svg:PATH, html:PATH (the report page),
// trace:PATH (the timeline, recorded for it); and mpi-summary, mpi-json:PATH,
// mpi-trace:PATH, written by the MPI component from inside MPI_Finalize.
// When it names anything, timing is on from the first start, and the
// outputs are written when the library is unloaded at the process's exit.
// An item that cannot be read is named on standard error at load and left
// out; an output that cannot be written is named at exit. Paths may hold %p
// (process id), %h (host name), %r (MPI rank as the launcher gives it, 0
// without one), %t (the load time, UTC) and %% (a percent sign); they are
// filled in when written.
//
// Signals. Batch schedulers send SIGTERM (or SIGXCPU, SIGINT, SIGUSR1)
// before they kill a job. For those named by TIMETREE_SIGNALS (default
// TERM,INT,XCPU,USR1; "none" for none), the library's handler does only
// what is safe in a handler: it writes the signal's number into a pipe (and,
// for SIGUSR1, calls a handler the host had installed). A thread of the
// library reads the pipe and writes the outputs, every running timer marked
// running. SIGUSR1 then lets the program go on; for the others the thread
// puts back the disposition the signal had before the library's (the
// host's handler, or the default) and sends the signal again, so the
// program ends as it would have without the library (status 143 for
// SIGTERM's default). A signal ignored at load is left ignored. Crashes
// (SIGSEGV, SIGABRT) are not handled: the process state cannot be trusted.
#include "output/envoutput.h"

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

#include "include/timetree.h"
#include "output/exports.h"
#include "output/placeholders.h"
#include "registry/dtimemgr.h"
#include "registry/trace.h"
#include "stopwatch/atomics.h"

namespace timetree {

namespace {

enum class Kind { kReport, kJson, kFolded, kSvg, kHtml, kTrace, kMpi };

struct Item {
  Kind kind;
  std::string text;  // as given, for messages
  std::string path;  // with its placeholders
};

struct State {
  std::vector<Item> items;
  long pid = 0;             // the process that loaded the library
  char started[32] = {};    // load time, UTC, for %t
  std::mutex writing;       // one writer at a time: exit or a signal
  int pipe[2] = {-1, -1};
  pthread_t thread{};
  bool threadStarted = false;
  bool installed[NSIG] = {};
  struct sigaction before[NSIG];
};

// Allocated once and never freed: the outputs are written while the
// library's other static objects are being destroyed.
State* g_state = nullptr;

// Counts timers, to tell "nothing to write" from "could not be written".
void CountOne(const TimeTimerInfo64&, void* count) { ++*static_cast<long*>(count); }

// Both reports, to the open channels, or to standard error when none is
// open.
void WriteReports() {
  TimeManager& tm = g_timeManager;
  bool borrowed = false;
  {
    const ChannelLock lock;
    if (tm.console == nullptr && tm.file == nullptr) {
      tm.console = stderr;
      borrowed = true;
    }
  }
  TimePrint();
  TimePrintIndented(nullptr);
  if (borrowed) {
    const ChannelLock lock;
    if (tm.console == stderr) tm.console = nullptr;
  }
}

void Parse(const char* list) {
  for (const std::string& item : SplitList(list)) {
    const size_t colon = item.find(':');
    const std::string kind = item.substr(0, colon);
    const std::string path = colon == std::string::npos ? "" : item.substr(colon + 1);
    Item parsed{Kind::kReport, item, path};
    bool ok = true;
    if (kind == "report" || kind == "mpi-summary") {
      parsed.kind = kind == "report" ? Kind::kReport : Kind::kMpi;
      ok = colon == std::string::npos;
    } else if (kind == "json" || kind == "folded" || kind == "svg" || kind == "html" ||
               kind == "trace" || kind == "mpi-json" || kind == "mpi-trace") {
      parsed.kind = kind == "json"     ? Kind::kJson
                    : kind == "folded" ? Kind::kFolded
                    : kind == "svg"    ? Kind::kSvg
                    : kind == "html"   ? Kind::kHtml
                    : kind == "trace"  ? Kind::kTrace
                                       : Kind::kMpi;
      ok = !path.empty();
    } else {
      ok = false;
    }
    if (ok) {
      g_state->items.push_back(parsed);
    } else {
      std::fprintf(stderr,
                   "timetree: TIMETREE_OUTPUT: \"%s\" is left out: not one of report, "
                   "json:PATH, folded:PATH, svg:PATH, html:PATH, trace:PATH, mpi-summary, "
                   "mpi-json:PATH, mpi-trace:PATH\n",
                   item.c_str());
    }
  }
}

// ----- signals

void OnSignal(int signal, siginfo_t* info, void* context) {
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(signal);
  // Non-blocking: a full pipe already holds a request to write.
  ssize_t written = write(g_state->pipe[1], &byte, 1);
  static_cast<void>(written);
  if (signal == SIGUSR1) {
    // The program goes on: so does a handler the host had.
    const struct sigaction& before = g_state->before[signal];
    if ((before.sa_flags & SA_SIGINFO) != 0) {
      before.sa_sigaction(signal, info, context);
    } else if (before.sa_handler != SIG_DFL && before.sa_handler != SIG_IGN) {
      before.sa_handler(signal);
    }
  }
  errno = saved;
}

void* SignalThread(void*) {
  for (;;) {
    unsigned char byte = 0;
    const ssize_t n = read(g_state->pipe[0], &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || byte == 0) return nullptr;  // unload
    const int signal = byte;
    WriteEnvironmentOutputs();
    if (signal == SIGUSR1) continue;
    // The signal as it would have been without the library.
    sigaction(signal, &g_state->before[signal], nullptr);
    g_state->installed[signal] = false;
    kill(getpid(), signal);
  }
}

// In a forked child the thread is gone: the signals go back to what they
// were, so that none is swallowed.
void ChildAfterFork() {
  if (g_state == nullptr) return;
  for (int s = 1; s < NSIG; ++s) {
    if (g_state->installed[s]) sigaction(s, &g_state->before[s], nullptr);
    g_state->installed[s] = false;
  }
}

int SignalNumber(const std::string& name) {
  std::string n = name.compare(0, 3, "SIG") == 0 ? name.substr(3) : name;
  if (n == "TERM") return SIGTERM;
  if (n == "INT") return SIGINT;
  if (n == "XCPU") return SIGXCPU;
  if (n == "USR1") return SIGUSR1;
  if (n == "USR2") return SIGUSR2;
  if (n == "HUP") return SIGHUP;
  if (n == "QUIT") return SIGQUIT;
  if (n == "ALRM") return SIGALRM;
  return 0;
}

void InstallSignals() {
  const char* list = std::getenv("TIMETREE_SIGNALS");
  std::string names = list != nullptr ? list : "TERM,INT,XCPU,USR1";
  if (names == "none") return;
  std::vector<int> signals;
  for (const std::string& name : SplitList(names)) {
    const int s = SignalNumber(name);
    if (s == 0) {
      std::fprintf(stderr,
                   "timetree: TIMETREE_SIGNALS: \"%s\" is left out: not one of TERM, INT, XCPU, "
                   "USR1, USR2, HUP, QUIT, ALRM\n",
                   name.c_str());
    } else {
      signals.push_back(s);
    }
  }
  if (signals.empty()) return;
  if (pipe2(g_state->pipe, O_CLOEXEC) != 0) return;
  fcntl(g_state->pipe[1], F_SETFL, O_NONBLOCK);
  // The thread takes no signal of its own: they go to the host's threads.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  g_state->threadStarted = pthread_create(&g_state->thread, nullptr, &SignalThread, nullptr) == 0;
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (!g_state->threadStarted) return;
  pthread_atfork(nullptr, nullptr, &ChildAfterFork);
  for (int s : signals) {
    struct sigaction ours {};
    ours.sa_sigaction = &OnSignal;
    ours.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&ours.sa_mask);
    struct sigaction before {};
    if (sigaction(s, nullptr, &before) != 0 || before.sa_handler == SIG_IGN) continue;
    g_state->before[s] = before;
    if (sigaction(s, &ours, nullptr) == 0) g_state->installed[s] = true;
  }
}

void StartEnvironmentOutput() {
  const char* list = std::getenv("TIMETREE_OUTPUT");
  if (list == nullptr || list[0] == '\0') return;
  g_state = new State;
  g_state->pid = static_cast<long>(getpid());
  const time_t now = std::time(nullptr);
  struct tm utc {};
  gmtime_r(&now, &utc);
  std::strftime(g_state->started, sizeof g_state->started, "%Y%m%dT%H%M%SZ", &utc);
  Parse(list);
  if (g_state->items.empty()) return;
  // Timing on from the first start; the host's own calls then behave as
  // they always do.
  StoreRelaxed(g_timeManager.enabled, 1);
  // A timeline asked for is recorded, at the default size unless
  // TIMETREE_TRACE gives one.
  ReadTraceEnvironment();
  for (const Item& item : g_state->items) {
    const bool trace = item.kind == Kind::kTrace || item.text.compare(0, 10, "mpi-trace:") == 0;
    if (trace && g_traceLimit == 0) g_traceLimit = kDefaultTraceEvents;
  }
  InstallSignals();
}

// Reads the environment when the library is loaded.
const bool g_started = (StartEnvironmentOutput(), true);

}  // namespace

void WriteEnvironmentOutputs() {
  if (g_state == nullptr || g_state->items.empty()) return;
  if (static_cast<long>(getpid()) != g_state->pid) return;
  const std::lock_guard<std::mutex> lock(g_state->writing);
  long timers = 0;
  TimeForEachTimer64(&CountOne, &timers);
  for (const Item& item : g_state->items) {
    if (item.kind == Kind::kMpi) continue;
    if (item.kind == Kind::kReport) {
      WriteReports();
      continue;
    }
    const std::string path = FillInPath(item.path, g_state->started);
    if (timers == 0) {
      std::fprintf(stderr, "timetree: TIMETREE_OUTPUT: no timers to write to %s\n", path.c_str());
      continue;
    }
    const bool written = item.kind == Kind::kJson     ? TimeWriteJson(path.c_str())
                         : item.kind == Kind::kFolded ? TimeWriteFolded(path.c_str())
                         : item.kind == Kind::kSvg    ? TimeWriteFlameGraph(path.c_str())
                         : item.kind == Kind::kTrace  ? TimeWriteTrace(path.c_str())
                                                      : WriteReportPage(path.c_str());
    if (!written) {
      std::fprintf(stderr, "timetree: TIMETREE_OUTPUT: %s could not be written\n", path.c_str());
    }
  }
}

void StopEnvironmentOutput() {
  if (g_state == nullptr) return;
  for (int s = 1; s < NSIG; ++s) {
    if (g_state->installed[s]) sigaction(s, &g_state->before[s], nullptr);
    g_state->installed[s] = false;
  }
  if (g_state->threadStarted && static_cast<long>(getpid()) == g_state->pid) {
    const unsigned char quit = 0;
    ssize_t written = write(g_state->pipe[1], &quit, 1);
    static_cast<void>(written);
    pthread_join(g_state->thread, nullptr);
    g_state->threadStarted = false;
  }
}

}  // namespace timetree
