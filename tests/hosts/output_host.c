/* A host that knows nothing of TIMETREE_OUTPUT: it loads the library (with
 * dlopen, so that a handler of its own can be installed first), times
 * "main" with "work" inside, and then, by its argument:
 *   exit     returns 3;
 *   term     raises SIGTERM inside "main", 30 ms after it started, and waits
 *            to be ended;
 *   usr1     raises SIGUSR1 twice inside "main", waiting each time for the
 *            snapshot (argv[2]) to appear, then prints "went on", returns 3;
 *   handler  installs its own SIGUSR1 handler before loading the library,
 *            raises SIGUSR1 and returns 3 once its handler ran;
 *   race     returns 3 at once, while a thread of its own raises SIGTERM
 *            after argv[2] microseconds: the signal lands somewhere near
 *            the exit's writing of the outputs;
 *   usr1term raises SIGUSR1 and SIGTERM at once, inside "main";
 *   open     calls timetree_open(NULL) first, as a host that sets the
 *            library going itself, then returns 3;
 *   xcpu     raises SIGXCPU (a scheduler's CPU limit) inside "main" and
 *            waits to be ended;
 *   ignored  ignores SIGTERM before loading the library, raises it inside
 *            "main", prints "went on" (or "handled", when the library
 *            took the signal over) and returns 3;
 *   fork     forks inside "main" a child that exits at once (returning 0),
 *            then returns 3 once the child has ended;
 *   forkterm forks inside "main" a child that raises SIGTERM (returning 5
 *            should it go on), then returns 3 once the child has ended by
 *            that signal, 4 otherwise.
 * argv[3] is the library to load. */
#define _POSIX_C_SOURCE 200809L
#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static volatile sig_atomic_t host_handler_ran = 0;

static void on_usr1(int signal) {
  (void)signal;
  host_handler_ran = 1;
}

static void* terminate_later(void* micros) {
  struct timespec pause = {0, 1000L * atol((const char*)micros)};
  nanosleep(&pause, NULL);
  raise(SIGTERM);
  return NULL;
}

/* Waits up to 5 s for path to exist; removes it for the next snapshot. */
static int wait_for(const char* path) {
  struct stat st;
  struct timespec pause = {0, 10 * 1000 * 1000};
  int i;
  for (i = 0; i < 500; ++i) {
    if (stat(path, &st) == 0 && st.st_size > 0) return remove(path) == 0;
    nanosleep(&pause, NULL);
  }
  return 0;
}

int main(int argc, char** argv) {
  const char* mode = argc > 1 ? argv[1] : "exit";
  const char* snapshot = argc > 2 ? argv[2] : "";
  void* library;
  void (*start)(const char*);
  void (*stop)(const char*);
  if (argc < 4) return 2;
  if (strcmp(mode, "handler") == 0) {
    struct sigaction host;
    memset(&host, 0, sizeof host);
    host.sa_handler = on_usr1;
    sigemptyset(&host.sa_mask);
    sigaction(SIGUSR1, &host, NULL);
  }
  if (strcmp(mode, "ignored") == 0) signal(SIGTERM, SIG_IGN);
  library = dlopen(argv[3], RTLD_NOW);
  if (library == NULL) return 2;
  *(void**)&start = dlsym(library, "timetree_start");
  *(void**)&stop = dlsym(library, "timetree_stop");
  if (start == NULL || stop == NULL) return 2;
  if (strcmp(mode, "open") == 0) {
    void (*open_outputs)(const char*);
    *(void**)&open_outputs = dlsym(library, "timetree_open");
    if (open_outputs == NULL) return 2;
    open_outputs(NULL);
  }
  start("main");
  start("work");
  stop("work");
  if (strcmp(mode, "term") == 0) {
    /* Shown as at least 20 ms, with room for the counter's calibration. */
    struct timespec thirty_ms = {0, 30 * 1000 * 1000};
    nanosleep(&thirty_ms, NULL);
    raise(SIGTERM);
    for (;;) pause();
  }
  if (strcmp(mode, "xcpu") == 0) {
    raise(SIGXCPU);
    for (;;) pause();
  }
  if (strcmp(mode, "ignored") == 0) {
    struct sigaction now;
    sigaction(SIGTERM, NULL, &now);
    raise(SIGTERM);
    puts(now.sa_handler == SIG_IGN ? "went on" : "handled");
  }
  if (strcmp(mode, "fork") == 0) {
    int status = 0;
    const pid_t child = fork();
    if (child == 0) exit(0);
    if (child < 0 || waitpid(child, &status, 0) != child) return 4;
  }
  if (strcmp(mode, "forkterm") == 0) {
    int status = 0;
    const pid_t child = fork();
    if (child == 0) {
      raise(SIGTERM);
      exit(5);
    }
    if (child < 0 || waitpid(child, &status, 0) != child) return 4;
    if (!WIFSIGNALED(status) || WTERMSIG(status) != SIGTERM) return 4;
  }
  if (strcmp(mode, "usr1term") == 0) {
    raise(SIGUSR1);
    raise(SIGTERM);
    for (;;) pause();
  }
  if (strcmp(mode, "race") == 0) {
    pthread_t thread;
    if (pthread_create(&thread, NULL, terminate_later, (void*)snapshot) != 0) return 2;
  }
  if (strcmp(mode, "usr1") == 0) {
    raise(SIGUSR1);
    if (!wait_for(snapshot)) return 4;
    raise(SIGUSR1);
    if (!wait_for(snapshot)) return 4;
    puts("went on");
  }
  if (strcmp(mode, "handler") == 0) {
    raise(SIGUSR1);
    if (!host_handler_ran || !wait_for(snapshot)) return 4;
    puts("host handler ran");
  }
  stop("main");
  return 3;
}
