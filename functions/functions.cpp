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
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "include/timetree.h"

#define TIMETREE_UNTIMED __attribute__((no_instrument_function))

namespace {

// ----- What is timed: read once, at the first call.

struct Settings {
  std::vector<std::string> include, exclude;  // globs on the demangled name
  size_t max_depth = SIZE_MAX;                // nesting of instrumented calls
  uint64_t throttle_calls = 100000;           // 0: never throttle
  double throttle_ns = 0;                     // 0: 10 times a timer pair
};

// A comma-separated list, split only outside brackets, so that a pattern
// may name a template ("std::map<int, *>").
TIMETREE_UNTIMED std::vector<std::string> Globs(const char* list) {
  std::vector<std::string> globs;
  if (list == nullptr) return globs;
  std::string glob;
  int depth = 0;
  for (const char* c = list;; ++c) {
    if (*c == '\0' || (*c == ',' && depth == 0)) {
      const size_t first = glob.find_first_not_of(' ');
      if (first != std::string::npos) globs.push_back(glob.substr(first, glob.find_last_not_of(' ') + 1 - first));
      glob.clear();
      if (*c == '\0') break;
      continue;
    }
    if (*c == '<' || *c == '(' || *c == '[') ++depth;
    if ((*c == '>' || *c == ')' || *c == ']') && depth > 0) --depth;
    glob += *c;
  }
  return globs;
}

TIMETREE_UNTIMED bool Number(const char* text, double& value) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  const double v = std::strtod(text, &end);
  if (*end != '\0' || !(v >= 0)) {
    std::fprintf(stderr, "timetree: \"%s\" is not a number of 0 or more: its default holds\n", text);
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
    double v = 0;
    if (Number(std::getenv("TIMETREE_FUNCTIONS_MAX_DEPTH"), v)) s.max_depth = static_cast<size_t>(v);
    if (Number(std::getenv("TIMETREE_FUNCTIONS_THROTTLE"), v)) s.throttle_calls = static_cast<uint64_t>(v);
    if (Number(std::getenv("TIMETREE_FUNCTIONS_THROTTLE_NS"), v)) s.throttle_ns = v;
    return made;
  }();
  return settings;
}

TIMETREE_UNTIMED bool Chosen(const std::string& name) {
  const Settings& s = Config();
  auto any = [&name](const std::vector<std::string>& globs) {
    for (const std::string& glob : globs) {
      if (fnmatch(glob.c_str(), name.c_str(), 0) == 0) return true;
    }
    return false;
  };
  return (s.include.empty() || any(s.include)) && !any(s.exclude);
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
  const std::string where = Where(function);
  const std::lock_guard<std::mutex> lock(g_recordsMutex);
  Record*& kept = (*g_records)[function];
  if (kept != nullptr) return kept;
  if (g_names == nullptr) g_names = new std::unordered_map<std::string, void*>;
  void*& owner = (*g_names)[record->name];
  if (owner == nullptr) {
    owner = function;
  } else {
    // Another function has this name: this one is named by its place too.
    record->name += " (" + where + ")";
    (*g_names)[record->name] = function;
  }
  kept = record.release();
  return kept;
}

// ----- Each thread's table of the functions it called, and its calls.

enum class State : uint8_t { kOnTrial, kTimed, kUntimed };

// A function as one thread calls it; it stays where it is while the table
// of them grows.
struct Slot {
  void* function = nullptr;
  const char* name = nullptr;  // the record's, kept where the call reads it
  Record* record = nullptr;
  uint64_t calls = 0;  // while on trial
  uint64_t ns = 0;     // their time, while on trial
  State state = State::kTimed;
};

struct Entry {
  void* function;  // null: free
  Slot* slot;
};

struct Frame {
  Slot* slot;
  const char* name;  // null: this call is not timed
  uint64_t began;    // on trial: when its timer had started, in ns
};

struct Thread {
  std::unique_ptr<Entry[]> entries{new Entry[64]()};
  uint64_t mask = 63;
  size_t max_depth = Config().max_depth;  // copied, for the calls to read
  std::vector<std::unique_ptr<Slot>> slots;
  std::vector<Frame> frames;
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

pthread_key_t g_exitKey;
const bool g_exitKeyMade = pthread_key_create(&g_exitKey, [](void* thread) {
  t_gone = true;
  t_thread = nullptr;
  delete static_cast<Thread*>(thread);
}) == 0;

TIMETREE_UNTIMED Thread* CallingThread() {
  if (__builtin_expect(t_thread != nullptr, 1)) return t_thread;
  if (t_gone || !g_exitKeyMade) return nullptr;
  t_thread = new Thread;
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
  slot->record = record;
  slot->state = !record->chosen                ? State::kUntimed
                : Config().throttle_calls != 0 ? State::kOnTrial
                                               : State::kTimed;
  uint64_t at = SlotOf(function, thread.mask);
  while (thread.entries[at].function != nullptr) at = (at + 1) & thread.mask;
  thread.entries[at] = Entry{function, slot};
  return slot;
}

TIMETREE_UNTIMED inline Slot* Find(Thread& thread, void* function) {
  for (uint64_t at = SlotOf(function, thread.mask);; at = (at + 1) & thread.mask) {
    const Entry& entry = thread.entries[at];
    if (__builtin_expect(entry.function == function, 1)) return entry.slot;
    if (entry.function == nullptr) return Insert(thread, function, RecordOf(function));
  }
}

TIMETREE_UNTIMED inline uint64_t Nanoseconds() {
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

// A function on trial has had another call of ns: after enough, it is timed
// from now on, or, when they were too short, throttled.
TIMETREE_UNTIMED void Judge(Slot& slot, uint64_t ns) {
  slot.ns += ns;
  if (++slot.calls < Config().throttle_calls) return;
  const double mean = static_cast<double>(slot.ns) / static_cast<double>(slot.calls);
  if (mean >= Threshold()) {
    slot.state = State::kTimed;
    return;
  }
  slot.state = State::kUntimed;
  Record& record = *slot.record;
  record.throttled.store(true, std::memory_order_relaxed);
  TimeMarkThrottled(record.name.c_str());
  if (!record.said.exchange(true)) {
    std::fprintf(stderr,
                 "timetree: %s is timed no more: %llu calls of %.0f ns on average, under %.0f ns "
                 "(TIMETREE_FUNCTIONS_THROTTLE=0 times every call)\n",
                 record.name.c_str(), static_cast<unsigned long long>(slot.calls), mean,
                 Threshold());
  }
}

}  // namespace

extern "C" {

TIMETREE_API TIMETREE_UNTIMED void __cyg_profile_func_enter(void* function, void* /*site*/) {
  if (t_inside) return;
  const Inside inside;
  Thread* thread = CallingThread();
  if (thread == nullptr) return;
  Slot* slot = Find(*thread, function);
  Frame frame{slot, nullptr, 0};
  if (slot->state != State::kUntimed && thread->frames.size() < thread->max_depth) {
    if (__builtin_expect(slot->record->throttled.load(std::memory_order_relaxed), 0)) {
      // Another thread throttled it: this one's timers say so too.
      slot->state = State::kUntimed;
      TimeMarkThrottled(slot->name);
    } else {
      frame.name = slot->name;
      TimeStartWholeName(frame.name);
      if (__builtin_expect(slot->state == State::kOnTrial, 0)) frame.began = Nanoseconds();
    }
  }
  thread->frames.push_back(frame);
}

TIMETREE_UNTIMED TIMETREE_API void __cyg_profile_func_exit(void* function, void* /*site*/) {
  if (t_inside) return;
  const Inside inside;
  Thread* thread = CallingThread();
  if (thread == nullptr) return;
  // Frames that a longjmp skipped are closed on the way to this one's; an
  // exit with no frame of its own (entered before the thread's table, say)
  // is let be.
  bool ours = !thread->frames.empty() && thread->frames.back().slot->function == function;
  for (auto at = thread->frames.rbegin(); at != thread->frames.rend() && !ours; ++at) {
    ours = at->slot->function == function;
  }
  while (ours) {
    const Frame frame = thread->frames.back();
    thread->frames.pop_back();
    ours = frame.slot->function != function;
    if (frame.name == nullptr) continue;
    if (__builtin_expect(frame.slot->state == State::kOnTrial, 0)) {
      const uint64_t ns = Nanoseconds() - frame.began;
      TimeStopWholeName(frame.name);
      Judge(*frame.slot, ns);
    } else {
      TimeStopWholeName(frame.name);
    }
  }
}

}  // extern "C"
