/* Call sites: a timer started and stopped through a static record of the
 * place in the code that names it, so that a start whose record is valid
 * finds its timer without a call into the library or a look at its name.
 * TIMETREE_SCOPE (timetree.h) makes one per scope; a C host makes its own:
 *
 *   static timetree_site site = TIMETREE_SITE_INIT("solve");
 *   timetree_site_start(&site);
 *   ...
 *   timetree_site_stop(&site);
 *
 * The name must be text that never changes (a string literal): the record
 * keeps its timer, not its text. A start and a stop through a record do
 * exactly what timetree_start(name) and timetree_stop(name) do, and may be
 * mixed with them (a stop by name of a timer started through a record, and
 * the other way round).
 *
 * The library fills a record on a start it handles itself: with the thread
 * that started (the first thread to fill it owns it; other threads always
 * take the library's call), the timer, the list it was found in and the
 * library's epoch, which every clear, thread exit, fork and change of the
 * tick source raises. Until the epoch moves on, the owner's starts and
 * stops run inline, below, where the timer is the list's and nothing else
 * applies (the processor's time-stamp counter is the clock, no counters, no
 * series, no timeline for the stop). Any other case is the library's call.
 *
 * ABI: what the inline path reads and writes of the library's timers is
 * part of the library's interface, versioned by TIMETREE_SITE_ABI, which a
 * record carries from the header it was compiled with. A library fills
 * only records of its own version: a host compiled against another keeps
 * working through the library's calls, without the inline path. */
#ifndef TIMETREE_SITE_H
#define TIMETREE_SITE_H

#include <stdint.h>

#include "timetree_export.h"

#define TIMETREE_SITE_ABI 1

/* A record's flags. CONSTANT: its name is constant text, so that the record
 * may be filled (without it every start is the library's, by name). WHOLE:
 * the name is compared on its whole text, as TimeStartWholeName does (a
 * name the program made: a function's, a kernel's). */
#define TIMETREE_SITE_CONSTANT 1u
#define TIMETREE_SITE_WHOLE 2u

/* The record: one per call site, in static storage, zero but for its
 * first three fields (TIMETREE_SITE_INIT). */
typedef struct timetree_site {
  uint32_t abi;   /* TIMETREE_SITE_ABI of the compiling header */
  uint32_t flags; /* TIMETREE_SITE_CONSTANT, TIMETREE_SITE_WHOLE */
  const char* name;
  /* Filled by the library; read only by the owner. */
  void* owner;                /* the owner's thread pointer; 0: none yet */
  const uint64_t* epoch_word; /* the library's epoch */
  uint64_t epoch;             /* its value when filled */
  char* tree;                 /* the owner's timers */
  char* node;                 /* the timer of name */
  char* list;                 /* the list it was found in */
} __attribute__((aligned(64))) timetree_site;

#ifdef __cplusplus
#define TIMETREE_SITE_NULL nullptr
#else
#define TIMETREE_SITE_NULL 0
#endif
/* A record of name with flags; TIMETREE_SITE_INIT for constant text. */
#define TIMETREE_SITE_INIT_FLAGS(name, flags)                                      \
  {                                                                                \
    TIMETREE_SITE_ABI, (flags), (name), TIMETREE_SITE_NULL, TIMETREE_SITE_NULL, 0, \
        TIMETREE_SITE_NULL, TIMETREE_SITE_NULL, TIMETREE_SITE_NULL                 \
  }
#define TIMETREE_SITE_INIT(name) TIMETREE_SITE_INIT_FLAGS(name, TIMETREE_SITE_CONSTANT)

/* The inline path is the timer's own cost: a host compiled with
 * -finstrument-functions does not see it as functions of its own. */
#define TIMETREE_SITE_UNTIMED __attribute__((no_instrument_function))

#ifdef __cplusplus
extern "C" {
#endif

/* The library's start and stop of a record's timer, by name (name: the
 * record's own, or a name to time under when the record's is not constant):
 * what timetree_start and timetree_stop do, and the start fills the record
 * when it can. */
TIMETREE_API void timetree_site_enter(timetree_site* site, const char* name);
TIMETREE_API void timetree_site_leave(timetree_site* site, const char* name);

#ifdef __cplusplus
}
#endif

#if defined(__x86_64__) && defined(__linux__) && !defined(TIMETREE_SITE_NO_INLINE)
#define TIMETREE_SITE_INLINE 1

/* Where the inline path finds what it uses, in bytes (version 1). A tree:
 * its current timer and current list, its timeline, the base an adopted
 * path gives, its list of top-level timers. A timer: its watch's start
 * reading, total and running flag, its count, shortest and longest
 * intervals, parent, whether it started with none of its thread's timers
 * running, its children's list. A list: the timer found in it last. */
#define TIMETREE_SITE_TREE_CURRENT 0
#define TIMETREE_SITE_TREE_LIST 8
#define TIMETREE_SITE_TREE_TIMELINE 24
#define TIMETREE_SITE_TREE_BASE 32
#define TIMETREE_SITE_TREE_ROOT 40
#define TIMETREE_SITE_NODE_START 40
#define TIMETREE_SITE_NODE_ELAPSED 48
#define TIMETREE_SITE_NODE_RUNNING 56
#define TIMETREE_SITE_NODE_COUNT 64
#define TIMETREE_SITE_NODE_SHORTEST 72
#define TIMETREE_SITE_NODE_LONGEST 80
#define TIMETREE_SITE_NODE_PARENT 88
#define TIMETREE_SITE_NODE_TOP 100
#define TIMETREE_SITE_NODE_CHILDREN 104
#define TIMETREE_SITE_LIST_HINT 0

#ifdef __cplusplus
#define TIMETREE_SITE_VALUE(type, value) static_cast<type>(value)
#else
#define TIMETREE_SITE_VALUE(type, value) ((type)(value))
#endif
#define TIMETREE_SITE_AT(type, base, offset) \
  TIMETREE_SITE_VALUE(type*, TIMETREE_SITE_VALUE(void*, (base) + (offset)))
/* A field of the record, as the library writes it (atomically, so that a
 * thread that is not the owner may read the owner field meanwhile). */
#define TIMETREE_SITE_FIELD(site, field) __atomic_load_n(&(site)->field, __ATOMIC_RELAXED)
#define TIMETREE_SITE_LOAD(type, base, offset) \
  __atomic_load_n(TIMETREE_SITE_AT(type, base, offset), __ATOMIC_RELAXED)
#define TIMETREE_SITE_STORE(type, base, offset, value) \
  __atomic_store_n(TIMETREE_SITE_AT(type, base, offset), (value), __ATOMIC_RELAXED)

/* The calling thread's thread pointer, which names it among live threads. */
TIMETREE_SITE_UNTIMED static inline void* timetree_site_self(void) {
  void* self;
  __asm__("mov %%fs:0, %0" : "=r"(self));
  return self;
}

TIMETREE_SITE_UNTIMED static inline uint64_t timetree_site_ticks(void) {
  uint32_t low, high;
  __asm__ __volatile__("rdtsc" : "=a"(low), "=d"(high));
  return (TIMETREE_SITE_VALUE(uint64_t, high) << 32) | low;
}

/* The record as its owner may use it now for name: its timer's tree, or
 * null. */
TIMETREE_SITE_UNTIMED static inline char* timetree_site_valid(const timetree_site* site,
                                                              const char* name) {
  if (TIMETREE_SITE_FIELD(site, owner) != timetree_site_self() ||
      TIMETREE_SITE_FIELD(site, name) != name) {
    return TIMETREE_SITE_NULL;
  }
  if (__atomic_load_n(TIMETREE_SITE_FIELD(site, epoch_word), __ATOMIC_ACQUIRE) !=
      TIMETREE_SITE_FIELD(site, epoch)) {
    return TIMETREE_SITE_NULL;
  }
  return TIMETREE_SITE_FIELD(site, tree);
}

/* Start and stop through site under name, which must be the name the
 * record was filled with for the inline path to be taken (a C++ scope whose
 * name is a constant array that is not always the same one). */
TIMETREE_SITE_UNTIMED static inline void timetree_site_start_as(timetree_site* site,
                                                                const char* name) {
  char* tree = timetree_site_valid(site, name);
  if (__builtin_expect(tree != TIMETREE_SITE_NULL, 1)) {
    char* node = TIMETREE_SITE_FIELD(site, node);
    char* list = TIMETREE_SITE_FIELD(site, list);
    if (__builtin_expect(TIMETREE_SITE_LOAD(char*, tree, TIMETREE_SITE_TREE_LIST) == list, 1)) {
      char* current = TIMETREE_SITE_LOAD(char*, tree, TIMETREE_SITE_TREE_CURRENT);
      TIMETREE_SITE_STORE(char*, list, TIMETREE_SITE_LIST_HINT, node);
      TIMETREE_SITE_STORE(char, node, TIMETREE_SITE_NODE_TOP,
                          TIMETREE_SITE_VALUE(char, current == TIMETREE_SITE_NULL));
      TIMETREE_SITE_STORE(char*, tree, TIMETREE_SITE_TREE_CURRENT, node);
      TIMETREE_SITE_STORE(char*, tree, TIMETREE_SITE_TREE_LIST, node + TIMETREE_SITE_NODE_CHILDREN);
      TIMETREE_SITE_STORE(int32_t, node, TIMETREE_SITE_NODE_RUNNING, 1);
      TIMETREE_SITE_STORE(int64_t, node, TIMETREE_SITE_NODE_COUNT,
                          TIMETREE_SITE_LOAD(int64_t, node, TIMETREE_SITE_NODE_COUNT) + 1);
      /* Read last, so that the bookkeeping is not part of the interval. */
      TIMETREE_SITE_STORE(int64_t, node, TIMETREE_SITE_NODE_START,
                          TIMETREE_SITE_VALUE(int64_t, timetree_site_ticks()));
      return;
    }
  }
  timetree_site_enter(site, name);
}

TIMETREE_SITE_UNTIMED static inline void timetree_site_stop_as(timetree_site* site,
                                                               const char* name) {
  char* tree = timetree_site_valid(site, name);
  if (__builtin_expect(tree != TIMETREE_SITE_NULL, 1)) {
    char* node = TIMETREE_SITE_FIELD(site, node);
    if (__builtin_expect(
            TIMETREE_SITE_LOAD(char*, tree, TIMETREE_SITE_TREE_CURRENT) == node &&
                TIMETREE_SITE_LOAD(void*, tree, TIMETREE_SITE_TREE_TIMELINE) == TIMETREE_SITE_NULL,
            1)) {
      const int64_t now = TIMETREE_SITE_VALUE(int64_t, timetree_site_ticks());
      const int64_t interval = now - TIMETREE_SITE_LOAD(int64_t, node, TIMETREE_SITE_NODE_START);
      char* outer;
      double* elapsed;
      double total;
      TIMETREE_SITE_STORE(int32_t, node, TIMETREE_SITE_NODE_RUNNING, 0);
      elapsed = TIMETREE_SITE_AT(double, node, TIMETREE_SITE_NODE_ELAPSED);
      __atomic_load(elapsed, &total, __ATOMIC_RELAXED);
      total += TIMETREE_SITE_VALUE(double, interval);
      __atomic_store(elapsed, &total, __ATOMIC_RELAXED);
      if (__builtin_expect(
              interval < TIMETREE_SITE_LOAD(int64_t, node, TIMETREE_SITE_NODE_SHORTEST), 0)) {
        TIMETREE_SITE_STORE(int64_t, node, TIMETREE_SITE_NODE_SHORTEST, interval);
      }
      if (__builtin_expect(interval > TIMETREE_SITE_LOAD(int64_t, node, TIMETREE_SITE_NODE_LONGEST),
                           0)) {
        TIMETREE_SITE_STORE(int64_t, node, TIMETREE_SITE_NODE_LONGEST, interval);
      }
      outer = TIMETREE_SITE_LOAD(char, node, TIMETREE_SITE_NODE_TOP)
                  ? TIMETREE_SITE_NULL
                  : TIMETREE_SITE_LOAD(char*, node, TIMETREE_SITE_NODE_PARENT);
      TIMETREE_SITE_STORE(char*, tree, TIMETREE_SITE_TREE_CURRENT, outer);
      if (outer == TIMETREE_SITE_NULL)
        outer = TIMETREE_SITE_LOAD(char*, tree, TIMETREE_SITE_TREE_BASE);
      TIMETREE_SITE_STORE(char*, tree, TIMETREE_SITE_TREE_LIST,
                          outer != TIMETREE_SITE_NULL ? outer + TIMETREE_SITE_NODE_CHILDREN
                                                      : tree + TIMETREE_SITE_TREE_ROOT);
      return;
    }
  }
  timetree_site_leave(site, name);
}

#else /* no inline path: every start and stop is the library's */

TIMETREE_SITE_UNTIMED static inline void timetree_site_start_as(timetree_site* site,
                                                                const char* name) {
  timetree_site_enter(site, name);
}
TIMETREE_SITE_UNTIMED static inline void timetree_site_stop_as(timetree_site* site,
                                                               const char* name) {
  timetree_site_leave(site, name);
}

#endif

TIMETREE_SITE_UNTIMED static inline void timetree_site_start(timetree_site* site) {
  timetree_site_start_as(site, site->name);
}
TIMETREE_SITE_UNTIMED static inline void timetree_site_stop(timetree_site* site) {
  timetree_site_stop_as(site, site->name);
}

#endif /* TIMETREE_SITE_H */
