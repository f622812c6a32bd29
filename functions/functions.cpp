// libtimetree_functions: the functions of a program compiled with
// -finstrument-functions (g++, gcc, gfortran, clang), each a timer named by
// its demangled symbol and nested as called, per thread, with no change to
// the program's source. The compiler calls __cyg_profile_func_enter and
// __cyg_profile_func_exit around every function; these look the function
// up in a table of the thread's own (its name found once per function, not
// per call) and start or stop its timer.
//
// Tiny functions called very often would swamp a run: after a function has
// been entered TIMETREE_FUNCTIONS_THROTTLE times (100,000) with a mean
// under TIMETREE_FUNCTIONS_THROTTLE_NS (10 times a timer pair's cost), it is
// timed no more, its timers keep what they had, are marked throttled, and
// standard error says so once. TIMETREE_FUNCTIONS_INCLUDE and _EXCLUDE (glob
// lists, comma-separated, on the demangled name) and
// TIMETREE_FUNCTIONS_MAX_DEPTH choose what is timed.
#include <cxxabi.h>
#include <errno.h>
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <new>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "include/timetree.h"

#define TIMETREE_UNTIMED __attribute__((no_instrument_function))

namespace timetree_functions {
void Probe();
}

namespace {

// ----- What is timed: read once, at the first call.

struct Settings {
  std::vector<std::string> include, exclude;  // globs on the demangled name
  std::unique_ptr<std::atomic<bool>[]> included;  // each include glob has
                                                  // matched a function
  size_t max_depth = SIZE_MAX;                // nesting of timed calls
  uint64_t throttle_calls = 100000;           // 0: never throttle
  double throttle_ns = 0;                     // 0: 10 times a timer pair
};

// A comma-separated list, split only outside brackets, so that a pattern
// may name a template ("std::map<int, *>"). A comma protects itself only
// inside brackets that close later in the list: in "*operator<<*,helper*"
// the "<" of the operator closes nowhere, so the comma splits.
TIMETREE_UNTIMED bool Opens(char c) { return c == '<' || c == '(' || c == '['; }
TIMETREE_UNTIMED bool Closes(char c) { return c == '>' || c == ')' || c == ']'; }

TIMETREE_UNTIMED std::vector<std::string> Globs(const char* list) {
  std::vector<std::string> globs;
  if (list == nullptr) return globs;
  const std::string text = list;
  std::string glob;
  int depth = 0;
  for (size_t at = 0; at <= text.size(); ++at) {
    const char c = at < text.size() ? text[at] : '\0';
    bool split = c == '\0' || (c == ',' && depth == 0);
    if (c == ',' && depth > 0) {
      int open = depth;
      for (size_t ahead = at + 1; ahead < text.size() && open > 0; ++ahead) {
        if (Opens(text[ahead])) ++open;
        if (Closes(text[ahead])) --open;
      }
      if (open > 0) {
        split = true;
        depth = 0;
      }
    }
    if (split) {
      const size_t first = glob.find_first_not_of(' ');
      if (first != std::string::npos) globs.push_back(glob.substr(first, glob.find_last_not_of(' ') + 1 - first));
      glob.clear();
      continue;
    }
    if (Opens(c)) ++depth;
    if (Closes(c) && depth > 0) --depth;
    glob += c;
  }
  return globs;
}

// A pattern whose "[" never closes matches only names with that "[" in
// them (fnmatch takes it as it is): said once, at the first call.
TIMETREE_UNTIMED void SayUnclosed(const char* variable, const std::vector<std::string>& globs) {
  for (const std::string& glob : globs) {
    const size_t open = glob.find('[');
    if (open != std::string::npos && glob.find(']', open) == std::string::npos) {
      std::fprintf(stderr,
                   "timetree: %s has the pattern \"%s\", whose \"[\" never closes: it matches "
                   "only a name with that \"[\" in it (write \"\\[\" for one)\n",
                   variable, glob.c_str());
    }
  }
}

// A whole number of 0 to most: digits only, no sign, fraction or exponent.
// Anything else is said, naming its variable, and the default holds.
TIMETREE_UNTIMED bool WholeNumber(const char* variable, uint64_t most, uint64_t& value) {
  const char* text = std::getenv(variable);
  if (text == nullptr || *text == '\0') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text, &end, 10);
  if (*text < '0' || *text > '9' || *end != '\0' || errno == ERANGE || v > most) {
    std::fprintf(stderr,
                 "timetree: %s=%s is not a whole number from 0 to %llu: its default holds\n",
                 variable, text, static_cast<unsigned long long>(most));
    return false;
  }
  value = v;
  return true;
}

// A number of nanoseconds, 0 to 10^15 (about 11 days), fractions allowed.
TIMETREE_UNTIMED bool Nanoseconds(const char* variable, double& value) {
  const char* text = std::getenv(variable);
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  const double v = std::strtod(text, &end);
  if (*end != '\0' || !(v >= 0 && v <= 1e15)) {
    std::fprintf(stderr,
                 "timetree: %s=%s is not a number of nanoseconds from 0 to 1e15: its default "
                 "holds\n",
                 variable, text);
    return false;
  }
  value = v;
  return true;
}

// Never destroyed, like the tables below: the library's own exit-time
// writes may reach a host's instrumented operator delete, and so the hooks,
// after this library's statics would have gone.
TIMETREE_UNTIMED const Settings& Config() {
  static const Settings& settings = *[] {
    Settings* made = new Settings;
    Settings& s = *made;
    s.include = Globs(std::getenv("TIMETREE_FUNCTIONS_INCLUDE"));
    s.exclude = Globs(std::getenv("TIMETREE_FUNCTIONS_EXCLUDE"));
    SayUnclosed("TIMETREE_FUNCTIONS_INCLUDE", s.include);
    SayUnclosed("TIMETREE_FUNCTIONS_EXCLUDE", s.exclude);
    s.included.reset(new std::atomic<bool>[s.include.size() + 1]());
    uint64_t v = 0;
    if (WholeNumber("TIMETREE_FUNCTIONS_MAX_DEPTH", uint64_t{1} << 40, v)) {
      s.max_depth = static_cast<size_t>(v);
    }
    if (WholeNumber("TIMETREE_FUNCTIONS_THROTTLE", uint64_t{1} << 62, v)) s.throttle_calls = v;
    Nanoseconds("TIMETREE_FUNCTIONS_THROTTLE_NS", s.throttle_ns);
    return made;
  }();
  return settings;
}

TIMETREE_UNTIMED bool Chosen(const std::string& name) {
  const Settings& s = Config();
  bool included = s.include.empty();
  for (size_t i = 0; i < s.include.size(); ++i) {
    if (fnmatch(s.include[i].c_str(), name.c_str(), 0) == 0) {
      included = true;
      s.included[i].store(true, std::memory_order_relaxed);
    }
  }
  if (!included) return false;
  for (const std::string& glob : s.exclude) {
    if (fnmatch(glob.c_str(), name.c_str(), 0) == 0) return false;
  }
  return true;
}

// ----- Names: the demangled symbol, found once per function.

// An object's function symbols from its file's symbol table (.symtab),
// which a stripped-of-exports executable still has: by address as the
// object was linked.
struct SymbolTable {
  std::map<uint64_t, std::string> functions;
  bool executable = false;  // addresses are absolute (not position-independent)
};

// Reads path's .symtab; an empty table when the file cannot be read or is
// not a 64-bit ELF file. Every offset is checked against the file's size.
TIMETREE_UNTIMED SymbolTable ReadSymbols(const char* path) {
  SymbolTable table;
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return table;
  struct stat st {};
  if (fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(sizeof(Elf64_Ehdr))) {
    close(fd);
    return table;
  }
  const size_t size = static_cast<size_t>(st.st_size);
  void* map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  close(fd);
  if (map == MAP_FAILED) return table;
  const auto* base = static_cast<const unsigned char*>(map);
  const auto* header = reinterpret_cast<const Elf64_Ehdr*>(base);
  auto fits = [size](uint64_t offset, uint64_t bytes) {
    return offset <= size && bytes <= size - offset;
  };
  if (std::memcmp(header->e_ident, ELFMAG, SELFMAG) == 0 &&
      header->e_ident[EI_CLASS] == ELFCLASS64 && header->e_shentsize == sizeof(Elf64_Shdr) &&
      fits(header->e_shoff, uint64_t{header->e_shnum} * sizeof(Elf64_Shdr))) {
    table.executable = header->e_type == ET_EXEC;
    const auto* sections = reinterpret_cast<const Elf64_Shdr*>(base + header->e_shoff);
    for (unsigned i = 0; i < header->e_shnum; ++i) {
      const Elf64_Shdr& symtab = sections[i];
      if (symtab.sh_type != SHT_SYMTAB || symtab.sh_entsize != sizeof(Elf64_Sym) ||
          symtab.sh_link >= header->e_shnum || !fits(symtab.sh_offset, symtab.sh_size)) {
        continue;
      }
      const Elf64_Shdr& strings = sections[symtab.sh_link];
      if (!fits(strings.sh_offset, strings.sh_size) || strings.sh_size == 0) continue;
      const char* text = reinterpret_cast<const char*>(base + strings.sh_offset);
      const auto* symbols = reinterpret_cast<const Elf64_Sym*>(base + symtab.sh_offset);
      for (uint64_t s = 0; s < symtab.sh_size / sizeof(Elf64_Sym); ++s) {
        const Elf64_Sym& symbol = symbols[s];
        if (ELF64_ST_TYPE(symbol.st_info) != STT_FUNC || symbol.st_value == 0 ||
            symbol.st_name >= strings.sh_size) {
          continue;
        }
        const char* name = text + symbol.st_name;
        table.functions.emplace(symbol.st_value, std::string(name, strnlen(name, strings.sh_size - symbol.st_name)));
      }
    }
  }
  munmap(map, size);
  return table;
}

// A symbol as people read it: C++ demangled; a Fortran module procedure
// (gfortran's __module_MOD_procedure) as module::procedure; else as it is.
TIMETREE_UNTIMED std::string Readable(const char* symbol) {
  int status = 0;
  char* demangled = abi::__cxa_demangle(symbol, nullptr, nullptr, &status);
  if (demangled != nullptr) {
    std::string name = status == 0 ? demangled : symbol;
    std::free(demangled);
    return name;
  }
  const char* module = std::strstr(symbol, "_MOD_");
  if (std::strncmp(symbol, "__", 2) == 0 && module != nullptr && module > symbol + 2) {
    return std::string(symbol + 2, module) + "::" + (module + 5);
  }
  return symbol;
}

// The objects' symbol tables, by file, read at the first function of each
// that the dynamic symbols do not name.
std::mutex g_tablesMutex;
std::map<std::string, SymbolTable>* g_tables = nullptr;

TIMETREE_UNTIMED std::string NameOf(void* function) {
  Dl_info info{};
  if (dladdr(function, &info) == 0) {
    char hex[32];
    std::snprintf(hex, sizeof hex, "0x%lx", reinterpret_cast<unsigned long>(function));
    return hex;
  }
  // The nearest dynamic symbol names the function only if it starts there.
  if (info.dli_sname != nullptr && info.dli_saddr == function) return Readable(info.dli_sname);
  const std::string object = info.dli_fname != nullptr ? info.dli_fname : "";
  const uint64_t offset = reinterpret_cast<uintptr_t>(function) -
                          reinterpret_cast<uintptr_t>(info.dli_fbase);
  const std::lock_guard<std::mutex> lock(g_tablesMutex);
  if (g_tables == nullptr) g_tables = new std::map<std::string, SymbolTable>;
  auto found = g_tables->find(object);
  if (found == g_tables->end()) {
    SymbolTable table = ReadSymbols(object.c_str());
    // The program itself may be named as it was started, relative to a
    // folder since left.
    if (table.functions.empty()) table = ReadSymbols("/proc/self/exe");
    found = g_tables->emplace(object, std::move(table)).first;
  }
  const SymbolTable& table = found->second;
  const auto symbol =
      table.functions.find(table.executable ? reinterpret_cast<uintptr_t>(function) : offset);
  if (symbol != table.functions.end()) return Readable(symbol->second.c_str());
  const size_t slash = object.rfind('/');
  char hex[32];
  std::snprintf(hex, sizeof hex, "+0x%lx", static_cast<unsigned long>(offset));
  return object.substr(slash == std::string::npos ? 0 : slash + 1) + hex;
}

// ----- One record per function, for every thread, never freed.

struct Record {
  std::string name;
  bool chosen = true;                  // by the include and exclude lists
  std::atomic<bool> throttled{false};  // timed no more, by any thread
  std::atomic<bool> said{false};
};

std::mutex g_recordsMutex;
std::unordered_map<void*, Record*>* g_records = nullptr;
std::vector<Record*>* g_retired = nullptr;  // the records of unloads before
// Which function each name was given to: two functions of one name (static
// functions of two files, or of two plugins) are two timers.
std::unordered_map<std::string, void*>* g_names = nullptr;

// Where function lies, as "object+0xoffset", to tell it from another
// function of the same name.
TIMETREE_UNTIMED std::string Where(void* function) {
  Dl_info info{};
  char hex[40];
  if (dladdr(function, &info) == 0 || info.dli_fname == nullptr) {
    std::snprintf(hex, sizeof hex, "0x%lx", reinterpret_cast<unsigned long>(function));
    return hex;
  }
  const std::string object = info.dli_fname;
  const size_t slash = object.rfind('/');
  std::snprintf(hex, sizeof hex, "+0x%lx",
                static_cast<unsigned long>(reinterpret_cast<uintptr_t>(function) -
                                           reinterpret_cast<uintptr_t>(info.dli_fbase)));
  return (slash == std::string::npos ? object : object.substr(slash + 1)) + hex;
}

// The function's record, made at its first call on any thread; its name is
// found outside the lock, so that a slow lookup holds up no other thread.
TIMETREE_UNTIMED Record* RecordOf(void* function) {
  {
    const std::lock_guard<std::mutex> lock(g_recordsMutex);
    if (g_records == nullptr) g_records = new std::unordered_map<void*, Record*>;
    const auto found = g_records->find(function);
    if (found != g_records->end()) return found->second;
  }
  auto record = std::make_unique<Record>();
  record->name = NameOf(function);
  record->chosen = Chosen(record->name);
  const std::lock_guard<std::mutex> lock(g_recordsMutex);
  Record*& kept = (*g_records)[function];
  if (kept != nullptr) return kept;
  if (g_names == nullptr) g_names = new std::unordered_map<std::string, void*>;
  void*& owner = (*g_names)[record->name];
  if (owner == nullptr) {
    owner = function;
  } else {
    // Another function has this name: this one is named by its place too
    // (looked up only then, and rarely: under the lock).
    record->name += " (" + Where(function) + ")";
    (*g_names)[record->name] = function;
  }
  kept = record.release();
  return kept;
}

// ----- Each thread's table of the functions it called, and its calls.

enum class State : uint8_t { kOnTrial, kTimed, kUntimed };

// A trial is judged in batches: the median of their means decides, so that
// one preemption or page fault, which lengthens one batch, does not.
constexpr int kTrialBatches = 8;

// A function as one thread calls it; it stays where it is while the table
// of them grows.
struct Slot {
  void* function = nullptr;
  const char* name = nullptr;  // the record's, kept where the call reads it
  size_t length = 0;           // its length
  Record* record = nullptr;
  State state = State::kTimed;
  int batches = 0;     // finished batches of the trial
  uint64_t calls = 0;  // calls of the current batch
  uint64_t ns = 0;     // their time
  double means[kTrialBatches] = {};  // each finished batch's mean, in ns
  // Its timer's call-site record: the thread's own (slots are), so that its
  // starts and stops run inline once the library has filled it.
  timetree_site site{};
};

struct Entry {
  void* function;  // null: free
  Slot* slot;
};

struct Frame {
  const void* function;
  uintptr_t stack;   // where its enter ran: a frame below a later enter's
                     // was left by a longjmp
  Slot* slot;
  const char* name;  // null: this call is not timed
  uint64_t began;    // on trial: when its timer had started, in ns; else 0
};

struct Thread {
  std::unique_ptr<Entry[]> entries{new Entry[64]()};
  uint64_t mask = 63;
  size_t max_depth = Config().max_depth;  // copied, for the calls to read
  std::vector<std::unique_ptr<Slot>> slots;  // those entries holds
  // Slots made before an unload: no longer in entries (their addresses may
  // be another object's now), kept for the frames that still point at them.
  std::vector<std::unique_ptr<Slot>> retired;
  std::vector<Frame> frames;
  uintptr_t top = UINTPTR_MAX;  // the innermost frame's stack (none: the highest)
  // Functions not timed (left out, or throttled) that were entered lately,
  // each in the place its address picks: the accessors and inline helpers
  // of an inner loop are found again at once, without a lookup.
  static constexpr size_t kUntimedPlaces = 16;
  const void* untimed[kUntimedPlaces] = {};
  uint64_t unloads = 0;  // g_unloads when the table was last valid
  // What timing cost besides the pairs, read by other threads for the
  // metadata: every hook pair's own work, and the trials' clock reads.
  uint64_t hooks = 0;
  uint64_t reads = 0;
  Thread* next = nullptr;  // the live threads' list
  Thread* previous = nullptr;
};

__thread Thread* t_thread __attribute__((tls_model("initial-exec"))) = nullptr;
__thread bool t_gone __attribute__((tls_model("initial-exec"))) = false;
// Set while this thread is inside one of the two hooks: an instrumented
// function that they reach themselves (a host's own operator new, say) is
// not timed, lest the hooks enter themselves.
__thread bool t_inside __attribute__((tls_model("initial-exec"))) = false;

struct Inside {
  Inside() { t_inside = true; }
  ~Inside() { t_inside = false; }
};

// The live threads' tables, and what finished threads counted.
std::mutex g_threadsMutex;
Thread* g_threads = nullptr;
std::atomic<uint64_t> g_finishedHooks{0}, g_finishedReads{0};
// Whether any hook was called at all: a program linked with the library but
// not compiled with -finstrument-functions is told at exit.
std::atomic<bool> g_called{false};
// Objects unloaded so far (dlclose): another object may then be loaded at
// the same addresses, so every table of functions by address is made anew.
std::atomic<uint64_t> g_unloads{0};
// Calls that came while their thread was inside a hook (a signal handler's,
// or the program's own operator new that the library's work reached): not
// timed, and said at exit.
std::atomic<uint64_t> g_missed{0};

TIMETREE_UNTIMED void Forget(Thread* thread) {
  const std::lock_guard<std::mutex> lock(g_threadsMutex);
  (thread->previous != nullptr ? thread->previous->next : g_threads) = thread->next;
  if (thread->next != nullptr) thread->next->previous = thread->previous;
  g_finishedHooks += __atomic_load_n(&thread->hooks, __ATOMIC_RELAXED);
  g_finishedReads += __atomic_load_n(&thread->reads, __ATOMIC_RELAXED);
}

pthread_key_t g_exitKey;
const bool g_exitKeyMade = pthread_key_create(&g_exitKey, [](void* thread) {
  t_gone = true;
  t_thread = nullptr;
  Forget(static_cast<Thread*>(thread));
  delete static_cast<Thread*>(thread);
}) == 0;

// A fork while another thread holds one of the tables' locks, or is
// changing a table, would leave the child waiting for ever at its first new
// function, or reading a table half changed. The child starts with the
// locks new and the shared tables empty (the old ones are left as they
// were: a record that the forking thread's own table points at stays
// valid), and knows only its one thread. Nothing is locked around the fork
// itself: the core library's own handler takes its locks then, and a lock
// of this library's taken before it would order the two against an export
// that measures the hooks' cost.
TIMETREE_UNTIMED void ChildAfterFork() {
  new (&g_tablesMutex) std::mutex;
  new (&g_recordsMutex) std::mutex;
  new (&g_threadsMutex) std::mutex;
  g_tables = nullptr;
  g_records = nullptr;
  g_names = nullptr;
  g_threads = t_thread;
  if (t_thread != nullptr) t_thread->next = t_thread->previous = nullptr;
}
const bool g_forkHandled = pthread_atfork(nullptr, nullptr, &ChildAfterFork) == 0;

TIMETREE_UNTIMED Thread* CallingThread() {
  if (__builtin_expect(t_thread != nullptr, 1)) return t_thread;
  if (t_gone || !g_exitKeyMade) return nullptr;
  t_thread = new Thread;
  {
    const std::lock_guard<std::mutex> lock(g_threadsMutex);
    t_thread->next = g_threads;
    if (g_threads != nullptr) g_threads->previous = t_thread;
    g_threads = t_thread;
  }
  pthread_setspecific(g_exitKey, t_thread);
  return t_thread;
}

TIMETREE_UNTIMED inline uint64_t SlotOf(const void* function, uint64_t mask) {
  return ((reinterpret_cast<uintptr_t>(function) >> 4) * 0x9E3779B97F4A7C15ull >> 32) & mask;
}

TIMETREE_UNTIMED Slot* Insert(Thread& thread, void* function, Record* record) {
  if (2 * (thread.slots.size() + 1) > thread.mask + 1) {
    // Grown to twice the size, at most half full.
    const uint64_t mask = 2 * thread.mask + 1;
    std::unique_ptr<Entry[]> entries(new Entry[mask + 1]());
    for (const auto& slot : thread.slots) {
      uint64_t at = SlotOf(slot->function, mask);
      while (entries[at].function != nullptr) at = (at + 1) & mask;
      entries[at] = Entry{slot->function, slot.get()};
    }
    thread.entries = std::move(entries);
    thread.mask = mask;
  }
  thread.slots.push_back(std::make_unique<Slot>());
  Slot* slot = thread.slots.back().get();
  slot->function = function;
  slot->name = record->name.c_str();
  slot->length = record->name.size();
  slot->site = TIMETREE_SITE_INIT_FLAGS(slot->name, TIMETREE_SITE_CONSTANT | TIMETREE_SITE_WHOLE);
  slot->record = record;
  slot->state = !record->chosen                ? State::kUntimed
                : Config().throttle_calls != 0 ? State::kOnTrial
                                               : State::kTimed;
  uint64_t at = SlotOf(function, thread.mask);
  while (thread.entries[at].function != nullptr) at = (at + 1) & thread.mask;
  thread.entries[at] = Entry{function, slot};
  return slot;
}

// The thread's slot of function, or null when it has none yet.
TIMETREE_UNTIMED inline Slot* Find(const Thread& thread, const void* function) {
  for (uint64_t at = SlotOf(function, thread.mask);; at = (at + 1) & thread.mask) {
    const Entry& entry = thread.entries[at];
    if (__builtin_expect(entry.function == function, 1)) return entry.slot;
    if (entry.function == nullptr) return nullptr;
  }
}

TIMETREE_UNTIMED inline uint64_t Now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

// The mean under which a function is throttled, in ns.
TIMETREE_UNTIMED double Threshold() {
  static const double ns =
      Config().throttle_ns > 0 ? Config().throttle_ns : 10 * TimePairSeconds() * 1e9;
  return ns;
}

// A function on trial has had another call of ns: after enough batches, it
// is timed from now on, or, when the median batch was too short, throttled.
TIMETREE_UNTIMED void Judge(Slot& slot, uint64_t ns) {
  const uint64_t trial = Config().throttle_calls;
  const int batches = trial < kTrialBatches ? static_cast<int>(trial) : kTrialBatches;
  const uint64_t per_batch = trial / static_cast<uint64_t>(batches);
  slot.ns += ns;
  if (++slot.calls < per_batch) return;
  slot.means[slot.batches++] = static_cast<double>(slot.ns) / static_cast<double>(slot.calls);
  slot.calls = slot.ns = 0;
  if (slot.batches < batches) return;
  double means[kTrialBatches];
  std::copy(slot.means, slot.means + batches, means);
  std::sort(means, means + batches);
  const double median = batches % 2 == 1 ? means[batches / 2]
                                         : (means[batches / 2 - 1] + means[batches / 2]) / 2;
  if (median >= Threshold()) {
    slot.state = State::kTimed;
    return;
  }
  slot.state = State::kUntimed;
  Record& record = *slot.record;
  record.throttled.store(true, std::memory_order_relaxed);
  TimeMarkThrottled(record.name.c_str());
  if (!record.said.exchange(true)) {
    std::fprintf(stderr,
                 "timetree: %s is timed no more: %llu calls of %.0f ns each (the median of %d "
                 "batches), under %.0f ns (TIMETREE_FUNCTIONS_THROTTLE=0 times every call)\n",
                 record.name.c_str(), static_cast<unsigned long long>(per_batch * batches),
                 median, batches, Threshold());
  }
}

// After an unload, the thread's functions are looked up again: the slots
// stay (open frames hold them), the table of addresses is emptied.
TIMETREE_UNTIMED void ForgetAddresses(Thread& thread, uint64_t unloads) {
  std::fill(thread.entries.get(), thread.entries.get() + thread.mask + 1, Entry{nullptr, nullptr});
  std::fill(std::begin(thread.untimed), std::end(thread.untimed), nullptr);
  // Out of the table for good: a growth of it puts back only what slots
  // holds, never a function of an object since unloaded. A slot that an
  // open frame points at is kept until a later unload finds it unused.
  std::vector<const Slot*> open;
  for (const Frame& frame : thread.frames) open.push_back(frame.slot);
  std::sort(open.begin(), open.end());
  std::vector<std::unique_ptr<Slot>> kept;
  for (auto* list : {&thread.retired, &thread.slots}) {
    for (auto& slot : *list) {
      if (std::binary_search(open.begin(), open.end(), slot.get())) kept.push_back(std::move(slot));
    }
  }
  thread.retired = std::move(kept);
  thread.slots.clear();
  thread.unloads = unloads;
}

// The innermost frame, taken off; the next one's stack kept where the
// enter hook compares its own.
TIMETREE_UNTIMED inline Frame Pop(Thread& thread) {
  const Frame frame = thread.frames.back();
  thread.frames.pop_back();
  thread.top = thread.frames.empty() ? UINTPTR_MAX : thread.frames.back().stack;
  return frame;
}

// Frames whose enter ran below where this one runs were left by a longjmp
// (their functions never returned): closed before the new one opens,
// innermost first. A frame at the same place may be a function inlined into
// its caller, whose hooks run in the caller's frame: it stays (the caller's
// exit closes it). Only when this enter is near the frames' stack, lest a
// signal handler on a stack of its own close them.
TIMETREE_UNTIMED void CloseLeftFrames(Thread& thread, uintptr_t stack) {
  std::vector<Frame>& frames = thread.frames;
  constexpr uintptr_t kNear = 1 << 20;
  if (frames.empty() || frames.back().stack >= stack || stack - frames.back().stack > kNear ||
      stack > frames.front().stack + kNear) {
    return;
  }
  while (!frames.empty() && frames.back().stack < stack) {
    const Frame frame = Pop(thread);
    if (frame.name != nullptr) TimeStopWholeName(frame.name, frame.slot->length);
  }
}

// ----- What the hooks cost besides the pairs, for the metadata.

// A count over every thread: what the finished ones counted, and the live
// ones' own.
TIMETREE_UNTIMED uint64_t Counted(uint64_t Thread::*count, const std::atomic<uint64_t>& finished) {
  const std::lock_guard<std::mutex> lock(g_threadsMutex);
  uint64_t n = finished.load(std::memory_order_relaxed);
  for (Thread* t = g_threads; t != nullptr; t = t->next) n += __atomic_load_n(&(t->*count), __ATOMIC_RELAXED);
  return n;
}

// The median of 15 batches of fn, in seconds each.
template <class Fn>
TIMETREE_UNTIMED double Measured(Fn fn) {
  constexpr int kBatches = 15, kEach = 2000;
  double each[kBatches];
  for (double& seconds : each) {
    const uint64_t began = Now();
    for (int i = 0; i < kEach; ++i) fn();
    seconds = static_cast<double>(Now() - began) * 1e-9 / kEach;
  }
  std::sort(each, each + kBatches);
  return each[kBatches / 2];
}

// An instrumented call's own cost besides the timer pair: the call and the
// compiler's two hook calls around it, the thread's table, the state and the
// counts. Measured once, the first time the metadata asks, on an
// instrumented function of the library's own that is not timed (called
// through a pointer, lest it be inlined), on the asking thread's own table;
// its calls are not counted. A tight loop of hook calls alone measures about
// half what an instrumented program pays for each.
TIMETREE_UNTIMED double HookPairSeconds() {
  static const double seconds = [] {
    Thread* thread = t_inside ? nullptr : CallingThread();
    if (thread == nullptr) return 0.0;
    static Record untimed;
    untimed.chosen = false;
    void (*const volatile probe)() = &timetree_functions::Probe;
    void* function = reinterpret_cast<void*>(probe);
    if (Find(*thread, function) == nullptr) Insert(*thread, function, &untimed);
    const uint64_t hooks = thread->hooks;
    const double pair = Measured([&] { probe(); });
    __atomic_store_n(&thread->hooks, hooks, __ATOMIC_RELAXED);
    std::fill(std::begin(thread->untimed), std::end(thread->untimed), nullptr);
    return pair;
  }();
  return seconds;
}

TIMETREE_UNTIMED void MeasureHooks(uint64_t* count, double* each) {
  *count = Counted(&Thread::hooks, g_finishedHooks);
  *each = HookPairSeconds();
}

TIMETREE_UNTIMED void MeasureReads(uint64_t* count, double* each) {
  *count = Counted(&Thread::reads, g_finishedReads);
  static const double read = Measured([] {
    const uint64_t now = Now();
    asm volatile("" : : "r"(now));
  });
  *each = read;
}

TIMETREE_UNTIMED void RegisterCosts() {
  TimeAddCostKind("hook_calls", &MeasureHooks);
  TimeAddCostKind("trial_reads", &MeasureReads);
}

// At exit: what the library could not have shown without a word.
struct AtExit {
  ~AtExit() {
    const char* quiet = std::getenv("TIMETREE_QUIET");
    if (quiet != nullptr && *quiet != '\0' && std::strcmp(quiet, "0") != 0) return;
    if (!g_called.load(std::memory_order_relaxed)) {
      std::fprintf(stderr,
                   "timetree: libtimetree_functions is linked, but no function called it: "
                   "compile the program with -finstrument-functions (g++, gcc, gfortran) or "
                   "-finstrument-functions-after-inlining (clang); TIMETREE_QUIET=1 silences "
                   "this line\n");
      return;
    }
    const uint64_t missed = g_missed.load(std::memory_order_relaxed);
    if (missed > 0) {
      std::fprintf(stderr,
                   "timetree: %llu calls of instrumented functions came while the library was "
                   "busy on their thread (in a signal handler, or in the program's own "
                   "allocator that the library called) and were not timed\n",
                   static_cast<unsigned long long>(missed));
    }
    const Settings& s = Config();
    for (size_t i = 0; i < s.include.size(); ++i) {
      if (!s.included[i].load(std::memory_order_relaxed)) {
        std::fprintf(stderr,
                     "timetree: TIMETREE_FUNCTIONS_INCLUDE pattern \"%s\" matched no function "
                     "that ran (the names are demangled: \"ns::f(int)\")\n",
                     s.include[i].c_str());
      }
    }
  }
} g_atExit;

// Each hook has a path for a function not timed, short enough to need no
// registers saved, and the rest in a function of its own.
TIMETREE_UNTIMED inline const void*& UntimedPlace(Thread& thread, const void* function) {
  return thread.untimed[(reinterpret_cast<uintptr_t>(function) >> 4) % Thread::kUntimedPlaces];
}
TIMETREE_UNTIMED inline bool Untimed(Thread& thread, const void* function) {
  return UntimedPlace(thread, function) == function;
}

// A function's first call on its thread: its slot made (its record too,
// on the program's first call of it).
TIMETREE_UNTIMED __attribute__((noinline)) Slot* FirstCall(Thread& thread, void* function) {
  const Inside inside;
  if (!g_called.exchange(true, std::memory_order_relaxed)) RegisterCosts();
  return Insert(thread, function, RecordOf(function));
}

// Where the calling thread's stack is as a hook starts: read once by each
// enter, the same place for the frames it is compared against.
TIMETREE_UNTIMED __attribute__((always_inline)) inline uintptr_t StackHere() {
#if defined(__x86_64__)
  uintptr_t stack;
  asm volatile("mov %%rsp, %0" : "=r"(stack));
  return stack;
#else
  return reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
#endif
}

TIMETREE_UNTIMED __attribute__((noinline)) void Enter(void* function, uintptr_t stack) {
  if (__builtin_expect(t_inside, 0)) {
    g_missed.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  Thread* thread = t_thread;
  if (__builtin_expect(thread == nullptr, 0)) {
    const Inside inside;
    thread = CallingThread();
    if (thread == nullptr) return;
  }
  const uint64_t unloads = g_unloads.load(std::memory_order_relaxed);
  if (__builtin_expect(thread->unloads != unloads, 0)) {
    const Inside inside;  // it allocates
    ForgetAddresses(*thread, unloads);
  }
  // (A function found among the recent ones not timed returned in the hook.)
  __atomic_store_n(&thread->hooks, thread->hooks + 1, __ATOMIC_RELAXED);
  Slot* slot = Find(*thread, function);
  if (__builtin_expect(slot == nullptr, 0)) slot = FirstCall(*thread, function);
  // Frames a longjmp left below this enter are closed first, whether this
  // function is timed or not, lest they run on through it. (Below the
  // innermost frame's stack, thread->top, there is none to close.)
  if (stack > thread->top) {
    const Inside inside;
    CloseLeftFrames(*thread, stack);
  }
  if (slot->state == State::kUntimed) {
    // A function not timed (left out, or throttled) leaves no frame: its
    // exit finds the same and returns at once.
    UntimedPlace(*thread, function) = function;
    return;
  }
  if (__builtin_expect(slot->record->throttled.load(std::memory_order_relaxed), 0)) {
    // Another thread throttled it: this one's timers say so too.
    const Inside inside;
    slot->state = State::kUntimed;
    TimeMarkThrottled(slot->name);
    return;
  }
  const Inside inside;
  Frame frame{function, stack, slot, nullptr, 0};
  if (thread->frames.size() < thread->max_depth) {
    frame.name = slot->name;
    timetree_site_start(&slot->site);
    if (__builtin_expect(slot->state == State::kOnTrial, 0)) {
      frame.began = Now();
      __atomic_store_n(&thread->reads, thread->reads + 2, __ATOMIC_RELAXED);
    }
  }
  thread->frames.push_back(frame);
  thread->top = stack;
}

TIMETREE_UNTIMED __attribute__((always_inline)) inline void Close(const Frame& frame) {
  if (frame.name == nullptr) return;
  if (__builtin_expect(frame.began != 0, 0) && frame.slot->state == State::kOnTrial) {
    const uint64_t ns = Now() - frame.began;
    timetree_site_stop(&frame.slot->site);
    Judge(*frame.slot, ns);
  } else {
    timetree_site_stop(&frame.slot->site);
  }
}

TIMETREE_UNTIMED __attribute__((noinline)) void Exit(void* function) {
  if (t_inside) return;
  Thread* thread = t_thread;
  if (__builtin_expect(thread == nullptr, 0)) return;
  std::vector<Frame>& frames = thread->frames;
  const Inside inside;
  if (__builtin_expect(!frames.empty() && frames.back().function == function, 1)) {
    // Its own frame on top: the frame knows its slot, no lookup. (One made
    // before the function was throttled is closed so too.)
    Close(Pop(*thread));
    return;
  }
  // (A function with no slot may still have a frame: one entered before an
  // unload made the thread's table anew.)
  const Slot* slot = Find(*thread, function);
  if (slot != nullptr && slot->state == State::kUntimed) return;
  // Frames that a longjmp skipped are closed on the way to this one's; an
  // exit with no frame of its own (entered before the thread's table, or
  // before an unload made it anew, with none open) is let be.
  bool ours = false;
  for (auto at = frames.rbegin(); at != frames.rend() && !ours; ++at) ours = at->function == function;
  while (ours) {
    const Frame frame = Pop(*thread);
    ours = frame.function != function;
    Close(frame);
  }
}

}  // namespace

extern "C" {

TIMETREE_API TIMETREE_UNTIMED void __cyg_profile_func_enter(void* function, void* /*site*/) {
  const uintptr_t stack = StackHere();
  Thread* thread = t_thread;
  // Not timed, and no frame left by a longjmp below this enter (which the
  // slow path closes; one at the same place may be an inlined function's,
  // and stays).
  if (__builtin_expect(thread != nullptr && Untimed(*thread, function) && !t_inside &&
                           thread->unloads == g_unloads.load(std::memory_order_relaxed) &&
                           stack <= thread->top,
                       1)) {
    __atomic_store_n(&thread->hooks, thread->hooks + 1, __ATOMIC_RELAXED);
    return;
  }
  Enter(function, stack);
}

TIMETREE_UNTIMED TIMETREE_API void __cyg_profile_func_exit(void* function, void* /*site*/) {
  Thread* thread = t_thread;
  // Not timed, and no frame of its own on top.
  if (__builtin_expect(thread != nullptr && Untimed(*thread, function) && !t_inside &&
                           (thread->frames.empty() || thread->frames.back().function != function),
                       1)) {
    return;
  }
  Exit(function);
}

// An object unloaded: its functions' addresses may be another's next.
// Every table by address is made anew: the shared records and names now,
// each thread's at its next call.
TIMETREE_API TIMETREE_UNTIMED int dlclose(void* handle) {
  using Close = int (*)(void*);
  static const Close real = reinterpret_cast<Close>(dlsym(RTLD_NEXT, "dlclose"));
  if (real == nullptr) return -1;
  const int result = real(handle);
  {
    const std::lock_guard<std::mutex> tables(g_tablesMutex);
    const std::lock_guard<std::mutex> records(g_recordsMutex);
    // The records themselves stay, kept in g_retired: other threads' slots
    // still point at them until those threads look their functions up again.
    if (g_records != nullptr) {
      if (g_retired == nullptr) g_retired = new std::vector<Record*>;
      for (const auto& entry : *g_records) g_retired->push_back(entry.second);
      g_records->clear();
    }
    if (g_names != nullptr) g_names->clear();
    if (g_tables != nullptr) g_tables->clear();
  }
  g_unloads.fetch_add(1, std::memory_order_relaxed);
  return result;
}

}  // extern "C"
