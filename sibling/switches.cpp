#include "sibling/switches.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace timetree {

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' ||
         c == '\v';
}

bool Equals(const char* text, size_t length, const char* word) {
  return std::strlen(word) == length && strncasecmp(text, word, length) == 0;
}

}  // namespace

int ParseSwitchValue(const char* text) {
  if (text == nullptr) return 0;
  while (IsBlank(*text)) ++text;
  size_t length = std::strlen(text);
  while (length > 0 && IsBlank(text[length - 1])) --length;
  if (length == 0) return 0;

  size_t digits = (text[0] == '-' || text[0] == '+') ? 1 : 0;
  bool integer = digits < length;
  for (size_t i = digits; i < length && integer; ++i) {
    integer = text[i] >= '0' && text[i] <= '9';
  }
  if (integer) {
    const long long value = std::strtoll(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
  }
  if (Equals(text, length, "off") || Equals(text, length, "false") ||
      Equals(text, length, "no")) {
    return 0;
  }
  return 1;  // on, true, yes and any other text
}

int CheckDebugRegEntry(const char* name, int /*unused*/) {
  return ParseSwitchValue(std::getenv(name));
}

int ReadSwitch(const char* name, int* out) {
  *out = CheckDebugRegEntry(name, 0);
  return *out;
}

bool SwitchUnset(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr || value[0] == '\0';
}

}  // namespace timetree
