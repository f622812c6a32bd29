// Timer names: the host's text cut to kNameLength characters, stored
// zero-padded, and compared and hashed a few words at a time; or, for a
// name compared on its whole text, its first kNameLength characters stored
// so and the rest compared in the timer's long name.
#ifndef TIMETREE_REGISTRY_NAMES_H
#define TIMETREE_REGISTRY_NAMES_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace timetree {

// Names compare on their first kNameLength characters.
constexpr int kNameLength = 25;
constexpr int kNameSize = kNameLength + 1;
// A stored name is kept in this many bytes, zero after its last character,
// so that any name can be compared at fixed offsets.
constexpr int kNameStorage = 32;
// The stored name's byte at kNameKind, past every compared byte, says how a
// timer whose name is longer than kNameLength is known: 0 for a name of at
// most kNameLength characters; kNamedByPrefix for one made by a start that
// compared the first kNameLength characters (the rule since the first release); kNamedWhole
// for one made by a start that compared the whole text (TIMETREE_NAMES=full,
// and the names the library's components make: functions, MPI calls).
constexpr int kNameKind = kNameStorage - 2;
constexpr char kNamedByPrefix = 1;
constexpr char kNamedWhole = 2;

// Copies at most kNameLength characters of source into the kNameSize bytes
// of destination and zero-fills the rest, so that two names are equal
// exactly when all kNameSize bytes are. A null source is the empty name.
inline void CopyTimerName(char* destination, const char* source) {
  if (source == nullptr) {
    std::memset(destination, 0, kNameSize);
    return;
  }
  std::strncpy(destination, source, kNameLength);
  destination[kNameLength] = '\0';
}

// Whether a start of the host's TimeStartTimer compares whole names
// (TIMETREE_NAMES=full): set once, when the library loads.
extern bool g_wholeNames;

// A host's name as it is looked up: its text and its length once cut to
// kNameLength characters. The length is found once, by the C library's
// optimised routine, which reads nothing past the terminator's word.
// A whole key (Whole) compares the whole text: its length is the text's.
struct NameKey {
  explicit NameKey(const char* name)
      : text(name != nullptr ? name : ""),
        length(name != nullptr ? strnlen(name, kNameLength) : 0) {}
  // A name of length bytes, not terminated (Fortran's): as far as its first
  // zero byte, if any, as the terminated name would be.
  NameKey(const char* name, size_t length)
      : text(name), length(strnlen(name, length < kNameLength ? length : kNameLength)) {}
  // The key of a name compared on its whole text; with a length, a name of
  // that many bytes, not terminated, as far as its first zero byte.
  static NameKey Whole(const char* name) {
    return NameKey(name != nullptr ? name : "", name != nullptr ? std::strlen(name) : 0, true);
  }
  static NameKey Whole(const char* name, size_t length) {
    return NameKey(name, strnlen(name, length), true);
  }
  // A terminated name whose length the caller knows (TimeStartWholeName):
  // not measured again on every start.
  static NameKey WholeOfLength(const char* name, size_t length) {
    return NameKey(name, length, true);
  }
  // The key as TimeStartTimer makes it: whole under TIMETREE_NAMES=full.
  static NameKey OfHost(const char* name) {
    return __builtin_expect(g_wholeNames, 0) ? Whole(name) : NameKey(name);
  }
  const char* text;
  size_t length;
  bool whole = false;

 private:
  NameKey(const char* name, size_t n, bool) : text(name), length(n), whole(true) {}
};

namespace names_detail {

inline uint64_t Load8(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
inline uint32_t Load4(const char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// The bytes [0, length) as up to four words, read at fixed offsets from
// both ends (overlapping when the name is short), never past length.
struct Words {
  uint64_t a, b, c, d;
};
__attribute__((always_inline)) inline Words Read(const char* s, size_t n) {
  if (n >= 16) return {Load8(s), Load8(s + 8), Load8(s + n - 16), Load8(s + n - 8)};
  if (n >= 8) return {Load8(s), Load8(s + n - 8), 0, 0};
  if (n >= 4) return {Load4(s), Load4(s + n - 4), 0, 0};
  if (n > 0) {
    return {static_cast<unsigned char>(s[0]), static_cast<unsigned char>(s[n / 2]),
            static_cast<unsigned char>(s[n - 1]), 0};
  }
  return {0, 0, 0, 0};
}

}  // namespace names_detail

// Whether the stored name's first key.length bytes are the key's and the
// stored name ends there: the same answer as copying key with CopyTimerName
// and comparing the two copies' kNameSize bytes, in a few word compares.
// The key's bytes are all non-zero, so the stored name must end where it
// does.
__attribute__((always_inline)) inline bool PrefixMatches(const char* stored,
                                                         const NameKey& key) {
  if (stored[key.length] != '\0') return false;
  const names_detail::Words x = names_detail::Read(stored, key.length);
  const names_detail::Words y = names_detail::Read(key.text, key.length);
  return ((x.a ^ y.a) | (x.b ^ y.b) | (x.c ^ y.c) | (x.d ^ y.d)) == 0;
}

// Whether the timer of stored name (longName: its whole name when longer
// than kNameLength, else null) is the key's. A key cut to kNameLength
// characters finds a timer of the same first characters, unless that timer
// is known by its whole name; a whole key finds only the timer of the same
// whole text. Only a whole key longer than kNameLength compares more than
// the first line of the timer.
bool LongKeyMatches(const char* stored, const char* longName, const NameKey& key);
__attribute__((always_inline)) inline bool KeyMatches(const char* stored, const char* longName,
                                                      const NameKey& key) {
  if (__builtin_expect(key.length < static_cast<size_t>(kNameLength), 1)) {
    return PrefixMatches(stored, key);
  }
  if (key.whole && key.length > static_cast<size_t>(kNameLength)) {
    return LongKeyMatches(stored, longName, key);
  }
  // kNameLength characters: a cut key finds any timer of them but one known
  // by its whole name; a whole key only the timer of exactly them.
  return PrefixMatches(stored, key) &&
         (key.whole ? stored[kNameKind] == 0 : stored[kNameKind] != kNamedWhole);
}

// A hash of the key's bytes, the same for a stored name of equal text: the
// words weighed independently, folded so that their high bits (where the
// last characters of a name sit, and names often differ only there) reach
// the low half. Tables take their slot from the top bits of
// KeyHash * kSlotFactor, which depend on every bit of the hash.
// A whole key longer than kNameLength is hashed on its whole text (its
// first and last 16 bytes and its length), so that names alike in their
// first characters (a class's methods) spread.
inline uint64_t KeyHash(const NameKey& key) {
  const names_detail::Words w = names_detail::Read(key.text, key.length);
  const uint64_t h = w.a * 0x9E3779B97F4A7C15ull + w.b * 0xC2B2AE3D27D4EB4Full +
                     w.c * 0x165667B19E3779F9ull + w.d * 0xD6E8FEB86659FD93ull + key.length;
  return h ^ (h >> 32);
}
constexpr uint64_t kSlotFactor = 0xFF51AFD7ED558CCDull;

}  // namespace timetree

#endif  // TIMETREE_REGISTRY_NAMES_H
