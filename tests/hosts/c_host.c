/* A C99 host that makes every call of <timetree_c.h> and checks what they
 * return and write. Run with TIMING_ON and TIMING_FILE set; argv[1] is a
 * scratch folder. Exits 1 naming the first check that failed. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <timetree_c.h>

static int failures = 0;

#define CHECK(condition)                                                      \
  do {                                                                        \
    if (!(condition)) {                                                       \
      fprintf(stderr, "c_host.c:%d: check failed: %s\n", __LINE__, #condition); \
      failures++;                                                             \
    }                                                                         \
  } while (0)

static char path_buffer[4096];
static const char* in_folder(const char* folder, const char* name) {
  snprintf(path_buffer, sizeof path_buffer, "%s/%s", folder, name);
  return path_buffer;
}

/* The whole file, or NULL. */
static char* read_all(const char* path) {
  FILE* f = fopen(path, "rb");
  char* text;
  long size;
  if (f == NULL) return NULL;
  fseek(f, 0, SEEK_END);
  size = ftell(f);
  fseek(f, 0, SEEK_SET);
  text = malloc((size_t)size + 1);
  if (text != NULL) {
    text[fread(text, 1, (size_t)size, f)] = '\0';
  }
  fclose(f);
  return text;
}

/* By name, or through a call site's record: the same timer either way. */
static void timed_leaf(int through_site) {
  static timetree_site site = TIMETREE_SITE_INIT("timed_leaf");
  if (through_site) {
    timetree_site_start(&site);
    timetree_site_stop(&site);
    return;
  }
  TIMETREE_FUNCTION_START();
  TIMETREE_FUNCTION_STOP();
}

struct seen {
  int timers;
  int leaf_depth;
  long long leaf_count;
  int outer_running;
};

static void visit(const struct timetree_timer_info* timer, void* context) {
  struct seen* seen = context;
  seen->timers++;
  if (strcmp(timer->name, "timed_leaf") == 0) {
    seen->leaf_depth = timer->depth;
    seen->leaf_count = (long long)timer->count;
  }
  if (strcmp(timer->name, "outer") == 0) seen->outer_running = timer->running;
}

int main(int argc, char** argv) {
  const char* folder = argc > 1 ? argv[1] : ".";
  char report_path[4096];
  char* report;
  struct seen seen = {0, -1, 0, -1};
  timetree_stopwatch* watch;
  double interval;
  int i;

  snprintf(report_path, sizeof report_path, "%s/report.txt", folder);
  timetree_open(report_path);
  timetree_build_info();
  timetree_comment("c host\n");
  timetree_set_metadata("case", "c host");

  timetree_start("outer");
  for (i = 0; i < 3; i++) timed_leaf(i > 0);
  /* Nothing is written while the tree is empty of finished timers, but the
   * visitor sees the running one. */
  CHECK(timetree_for_each(visit, &seen) == 1);
  CHECK(seen.timers == 2 && seen.leaf_depth == 1 && seen.leaf_count == 3);
  CHECK(seen.outer_running == 1);
  CHECK(timetree_for_each(NULL, NULL) == 0);
  timetree_stop("outer");

  timetree_print();
  timetree_print_indented("  ");
  CHECK(timetree_write_json(in_folder(folder, "c.json")) == 1);
  CHECK(timetree_write_folded(in_folder(folder, "c.folded")) == 1);
  CHECK(timetree_write_flamegraph(in_folder(folder, "c.svg")) == 1);
  CHECK(timetree_write_json(NULL) == 0);
  /* The timeline: written when TIMETREE_TRACE records one, refused without. */
  CHECK(timetree_write_trace(in_folder(folder, "c.trace.json")) ==
        (getenv("TIMETREE_TRACE") != NULL ? 1 : 0));
  timetree_close();

  report = read_all(report_path);
  CHECK(report != NULL);
  if (report != NULL) {
    CHECK(strstr(report, "c host\n") != NULL);
    /* The flat row, then the indented one. */
    CHECK(strstr(report, "\ntimed_leaf                     |      3 |") != NULL);
    CHECK(strstr(report, "\n  timed_leaf                   |      3 |") != NULL);
    free(report);
  }
  report = read_all(in_folder(folder, "c.json"));
  CHECK(report != NULL && strstr(report, ", \"case\": \"c host\"}}\n") != NULL);
  free(report);
  if (getenv("TIMETREE_TRACE") != NULL) {
    report = read_all(in_folder(folder, "c.trace.json"));
    CHECK(report != NULL && strstr(report, "{\"ph\": \"X\", \"name\": \"timed_leaf\"") != NULL);
    free(report);
  }
  report = read_all(in_folder(folder, "c.folded"));
  CHECK(report != NULL && strncmp(report, "outer ", 6) == 0 &&
        strstr(report, "\nouter;timed_leaf ") != NULL);
  free(report);

  timetree_clear();
  seen.timers = 0;
  CHECK(timetree_for_each(visit, &seen) == 0 && seen.timers == 0);

  /* The stopwatch handle. */
  watch = timetree_stopwatch_new();
  CHECK(watch != NULL);
  CHECK(timetree_stopwatch_stop(watch) == 0.0); /* never started */
  CHECK(timetree_stopwatch_count(watch) == 0 && timetree_stopwatch_seconds(watch) == 0.0);
  timetree_stopwatch_start(watch);
  interval = timetree_stopwatch_stop(watch);
  CHECK(interval >= 0.0 && interval < 1.0);
  CHECK(timetree_stopwatch_stop(watch) == 0.0); /* stopped already */
  CHECK(timetree_stopwatch_count(watch) == 1);
  CHECK(timetree_stopwatch_seconds(watch) == interval);
  CHECK(timetree_stopwatch_reset(watch) == interval);
  CHECK(timetree_stopwatch_count(watch) == 0 && timetree_stopwatch_seconds(watch) == 0.0);
  timetree_stopwatch_free(watch);
  timetree_stopwatch_free(NULL);
  CHECK(timetree_stopwatch_count(NULL) == 0 && timetree_stopwatch_reset(NULL) == 0.0);

  return failures == 0 ? 0 : 1;
}
