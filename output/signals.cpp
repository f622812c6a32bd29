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
// SIGTERM's default). A fatal signal's writing and the exit's never
// overlap: whichever comes second finds the outputs written and leaves
// them. A signal ignored at load is left ignored. Crashes
// (SIGSEGV, SIGABRT) are not handled: the process state cannot be trusted.
#include "output/signals.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <semaphore.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "runformat/placeholders.h"

namespace timetree {

namespace {

struct Signals {
  void (*write)(int signal) = nullptr;
  long pid = 0;  // the process that installed them
  int pipe[2] = {-1, -1};
  pthread_t thread{};
  bool threadStarted = false;
  bool installed[NSIG] = {};
  struct sigaction before[NSIG];
};

// Made at first use (the outputs install the signals from their own
// static initialiser) and never destroyed: the thread may read it while the
// library's other static objects are being destroyed.
Signals& Installed() {
  static Signals* const signals = new Signals;
  return *signals;
}

void OnSignal(int signal, siginfo_t* info, void* context) {
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(signal);
  // Non-blocking: a full pipe already holds a request to write.
  ssize_t written = write(Installed().pipe[1], &byte, 1);
  static_cast<void>(written);
  if (signal == SIGUSR1) {
    // The program goes on: so does a handler the host had.
    const struct sigaction& before = Installed().before[signal];
    if ((before.sa_flags & SA_SIGINFO) != 0) {
      before.sa_sigaction(signal, info, context);
    } else if (before.sa_handler != SIG_DFL && before.sa_handler != SIG_IGN) {
      before.sa_handler(signal);
    }
  }
  errno = saved;
}

// The process is about to end: its other threads (a main thread polling in
// MPI, workers) would only compete with the writing for the CPU, which on a
// loaded node a launcher gives a job a second or so of before SIGKILL. They
// are given the lowest priority (allowed for a process's own threads); they
// still run, so a lock one of them holds is let go.
void YieldToWriting() {
  const pid_t self = static_cast<pid_t>(syscall(SYS_gettid));
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return;
  while (const dirent* task = readdir(tasks)) {
    const long tid = std::strtol(task->d_name, nullptr, 10);
    if (tid > 0 && tid != self) setpriority(PRIO_PROCESS, static_cast<id_t>(tid), 19);
  }
  closedir(tasks);
}

void* SignalThread(void* started) {
  sem_post(static_cast<sem_t*>(started));
  for (;;) {
    unsigned char byte = 0;
    const ssize_t n = read(Installed().pipe[0], &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || byte == 0) return nullptr;  // unload
    const int signal = byte;
    // Only when the signal then ends the program: a host's own handler may
    // go on for a while (a checkpoint), and a priority once lowered cannot
    // be raised again without privilege.
    const struct sigaction& before = Installed().before[signal];
    if (signal != SIGUSR1 && (before.sa_flags & SA_SIGINFO) == 0 && before.sa_handler == SIG_DFL) {
      YieldToWriting();
    }
    Installed().write(signal);
    if (signal == SIGUSR1) continue;
    // The signal as it would have been without the library.
    sigaction(signal, &Installed().before[signal], nullptr);
    Installed().installed[signal] = false;
    kill(getpid(), signal);
  }
}

// In a forked child the thread is gone: the signals go back to what they
// were, so that none is swallowed.
void ChildAfterFork() {
  for (int s = 1; s < NSIG; ++s) {
    if (Installed().installed[s]) sigaction(s, &Installed().before[s], nullptr);
    Installed().installed[s] = false;
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

}  // namespace

void InstallSignals(void (*write)(int signal)) {
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
  Installed().write = write;
  Installed().pid = static_cast<long>(getpid());
  if (pipe2(Installed().pipe, O_CLOEXEC) != 0) return;
  fcntl(Installed().pipe[1], F_SETFL, O_NONBLOCK);
  // The thread takes no signal of its own: they go to the host's threads.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  // The load waits until the thread runs: a host that forks at once then
  // never forks while the thread is still being set up (under a sanitizer
  // that takes its allocator's lock then, the child would wait on it for
  // ever).
  sem_t started;
  sem_init(&started, 0, 0);
  Installed().threadStarted =
      pthread_create(&Installed().thread, nullptr, &SignalThread, &started) == 0;
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (Installed().threadStarted) {
    while (sem_wait(&started) != 0 && errno == EINTR) {
    }
  }
  sem_destroy(&started);
  if (!Installed().threadStarted) return;
  pthread_atfork(nullptr, nullptr, &ChildAfterFork);
  for (int s : signals) {
    struct sigaction ours {};
    ours.sa_sigaction = &OnSignal;
    ours.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&ours.sa_mask);
    struct sigaction before {};
    if (sigaction(s, nullptr, &before) != 0 || before.sa_handler == SIG_IGN) continue;
    Installed().before[s] = before;
    if (sigaction(s, &ours, nullptr) == 0) Installed().installed[s] = true;
  }
}

void StopSignals() {
  for (int s = 1; s < NSIG; ++s) {
    if (Installed().installed[s]) sigaction(s, &Installed().before[s], nullptr);
    Installed().installed[s] = false;
  }
  if (Installed().threadStarted && static_cast<long>(getpid()) == Installed().pid) {
    const unsigned char quit = 0;
    ssize_t written = ::write(Installed().pipe[1], &quit, 1);
    static_cast<void>(written);
    pthread_join(Installed().thread, nullptr);
    Installed().threadStarted = false;
  }
}

}  // namespace timetree
