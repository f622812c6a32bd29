// The Fortran module's call-site records (timetree_site_start and _stop):
// each keeps a terminated copy of its trimmed name, made at its first start
// and kept for the life of the program (one per place in the code), and
// starts and stops its timer through the record inline, here, without a
// call into the core library once the record is filled. A start under
// another name than the record's first is timed by that name.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "include/timetree_c.h"

namespace {

// The copy: its length (a size_t), then its text, terminated.
size_t KeptLength(const char* text) {
  size_t length = 0;
  std::memcpy(&length, text - sizeof length, sizeof length);
  return length;
}

// The record's name, made from name (length bytes, a zero byte ending it
// early) at its first start; null when no copy could be made.
const char* NameOf(timetree_site& site, const char* name, size_t length) {
  const char* kept = __atomic_load_n(&site.name, __ATOMIC_ACQUIRE);
  if (kept != nullptr) return kept;
  length = strnlen(name, length);
  auto* block = static_cast<char*>(std::malloc(sizeof length + length + 1));
  if (block == nullptr) return nullptr;
  std::memcpy(block, &length, sizeof length);
  char* const mine = block + sizeof length;
  std::memcpy(mine, name, length);
  mine[length] = '\0';
  __atomic_store_n(&site.abi, TIMETREE_SITE_ABI, __ATOMIC_RELAXED);
  __atomic_store_n(&site.flags, TIMETREE_SITE_CONSTANT, __ATOMIC_RELAXED);
  const char* none = nullptr;
  // Two threads may start through a new record at once: one copy wins.
  if (!__atomic_compare_exchange_n(&site.name, &none, mine, false, __ATOMIC_ACQ_REL,
                                   __ATOMIC_ACQUIRE)) {
    std::free(block);
    return none;
  }
  return mine;
}

// Whether kept is name (length bytes, a zero byte ending it early).
bool Same(const char* kept, const char* name, size_t length) {
  const size_t n = KeptLength(kept);
  return (n == length || (n < length && name[n] == '\0')) && std::memcmp(kept, name, n) == 0;
}

// The record in a Fortran variable of 16 words, which Fortran aligns to 8
// bytes only: the 64 bytes from its first line boundary.
timetree_site* RecordIn(int64_t* words) {
  const auto at = (reinterpret_cast<uintptr_t>(words) + 63) & ~uintptr_t{63};
  return reinterpret_cast<timetree_site*>(at);
}

}  // namespace

extern "C" {

void timetree_fortran_site_start(int64_t* words, const char* name, size_t length) {
  timetree_site* site = RecordIn(words);
  const char* kept = NameOf(*site, name, length);
  if (kept == nullptr || !Same(kept, name, length)) {
    timetree_start_n(name, length);
    return;
  }
  timetree_site_start_as(site, kept);
}

void timetree_fortran_site_stop(int64_t* words, const char* name, size_t length) {
  timetree_site* site = RecordIn(words);
  const char* kept = __atomic_load_n(&site->name, __ATOMIC_ACQUIRE);
  if (kept == nullptr || !Same(kept, name, length)) {
    timetree_stop_n(name, length);
    return;
  }
  timetree_site_stop_as(site, kept);
}

}  // extern "C"
