// Timer names from Fortran: text and length, without the terminating zero
// byte that the C interface needs. A name written into a buffer just before
// the library reads it makes that read wait for the write, which cost more
// than the rest of a start; so each thread keeps the names it used last,
// terminated, and a start or stop of such a name only compares and passes
// the kept copy.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "include/timetree_c.h"

namespace {

constexpr size_t kKept = 64;   // longest name kept, with its terminator
constexpr size_t kSlots = 8;   // names kept per thread

struct Kept {
  size_t length;
  char text[kKept];
};

thread_local Kept t_kept[kSlots];

// Whether the length bytes at a and b are the same, eight at a time: no
// call for the common short name.
inline bool Same(const char* a, const char* b, size_t length) {
  size_t i = 0;
  for (; i + 8 <= length; i += 8) {
    uint64_t x, y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    if (x != y) return false;
  }
  for (; i < length; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

// The kept, terminated copy of name (length characters, length < kKept).
const char* Terminated(const char* name, size_t length) {
  // Names that differ in length or first character seldom share a slot.
  const size_t slot = (length * 7 + static_cast<unsigned char>(length > 0 ? name[0] : 0)) % kSlots;
  Kept& kept = t_kept[slot];
  if (kept.length != length || !Same(kept.text, name, length)) {
    std::memcpy(kept.text, name, length);
    kept.text[length] = '\0';
    kept.length = length;
  }
  return kept.text;
}

}  // namespace

// Called by module timetree for names shorter than kKept characters.
extern "C" void timetree_fortran_start(const char* name, size_t length) {
  timetree_start(Terminated(name, length));
}

extern "C" void timetree_fortran_stop(const char* name, size_t length) {
  timetree_stop(Terminated(name, length));
}
