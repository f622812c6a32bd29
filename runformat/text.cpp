// Text of the run format (see text.h).
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>
#include <algorithm>

#include "runformat/text.h"

namespace timetree {

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

}  // namespace

void AppendFormat(std::string& out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  char buffer[256];
  const int length = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (length > 0 && static_cast<size_t>(length) < sizeof buffer) {
    out.append(buffer, static_cast<size_t>(length));
  } else if (length > 0) {
    const size_t at = out.size();
    out.resize(at + static_cast<size_t>(length) + 1);
    std::vsnprintf(&out[at], static_cast<size_t>(length) + 1, format, again);
    out.resize(at + static_cast<size_t>(length));
  }
  va_end(again);
}

size_t Utf8SequenceLength(const unsigned char* s) {
  const unsigned char c = s[0];
  if (c < 0x80) return 1;
  auto cont = [](unsigned char b) { return (b & 0xC0) == 0x80; };
  if (c >= 0xC2 && c <= 0xDF) return cont(s[1]) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    if (!cont(s[1]) || !cont(s[2])) return 0;
    if (c == 0xE0 && s[1] < 0xA0) return 0;  // overlong
    if (c == 0xED && s[1] > 0x9F) return 0;  // surrogate
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (!cont(s[1]) || !cont(s[2]) || !cont(s[3])) return 0;
    if (c == 0xF0 && s[1] < 0x90) return 0;  // overlong
    if (c == 0xF4 && s[1] > 0x8F) return 0;  // past U+10FFFF
    return 4;
  }
  return 0;
}

namespace {

// Appends the bytes [text, end), passing well-formed UTF-8 through:
// special(out, byte) may append its own form of an ASCII byte and return
// true; a byte that starts no well-formed sequence becomes malformed. *end
// must be readable and 0, so that a sequence cut short stops there.
template <class Special>
void AppendEscaped(std::string& out, const char* text, const char* end, Special special,
                   const char* malformed) {
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  while (s < reinterpret_cast<const unsigned char*>(end)) {
    if (*s < 0x80 && special(out, *s)) {
      ++s;
    } else if (const size_t n = Utf8SequenceLength(s)) {
      out.append(reinterpret_cast<const char*>(s), n);
      s += n;
    } else {
      out += malformed;
      ++s;
    }
  }
}

}  // namespace

void AppendJsonString(std::string& out, const char* text) {
  AppendEscaped(
      out, text, text + std::strlen(text),
      [](std::string& o, unsigned char c) {
        if (c == '"' || c == '\\') {
          o += '\\';
          o += static_cast<char>(c);
        } else if (c < 0x20) {
          AppendFormat(o, "\\u%04x", c);
        } else {
          return false;
        }
        return true;
      },
      "\\ufffd");
}

void AppendFoldedName(std::string& out, const char* name) {
  if (name[0] == '\0') {
    out += "(empty)";
    return;
  }
  AppendEscaped(
      out, name, name + std::strlen(name),
      [](std::string& o, unsigned char c) {
        if (c == ';') {
          o += ':';
        } else if (c <= 0x20 || c == 0x7F) {
          o += '_';
        } else {
          return false;
        }
        return true;
      },
      "?");
}

void AppendXmlText(std::string& out, const char* text) {
  AppendEscaped(
      out, text, text + std::strlen(text),
      [](std::string& o, unsigned char c) {
        switch (c) {
          case '&': o += "&amp;"; return true;
          case '<': o += "&lt;"; return true;
          case '>': o += "&gt;"; return true;
          case '"': o += "&quot;"; return true;
          case '\'': o += "&apos;"; return true;
          default:
            if (c < 0x20 && c != '\t' && c != '\n') {
              o += kReplacement;  // not allowed in XML 1.0
              return true;
            }
            return false;
        }
      },
      kReplacement);
}

void AppendValidUtf8(std::string& out, const std::string& text) {
  AppendEscaped(
      out, text.c_str(), text.c_str() + text.size(),
      [](std::string&, unsigned char) { return false; }, kReplacement);
}

// Appends units as microseconds: the whole part, then the fraction's exact
// decimal digits (at most 10), at least three of them.
void AppendMicros(std::string& out, int64_t units) {
  const bool negative = units < 0;
  const uint64_t value = negative ? 0 - static_cast<uint64_t>(units) : static_cast<uint64_t>(units);
  char text[40];
  char* p = text + 20;
  char* const point = p;
  uint64_t whole = value >> 10;
  do {
    *--p = static_cast<char>('0' + whole % 10);
    whole /= 10;
  } while (whole != 0);
  if (negative) *--p = '-';
  // fraction / 1024 = fraction * 9765625 / 10^10
  uint64_t digits = (value & 1023) * 9765625;
  char* q = point;
  *q++ = '.';
  char fraction[10];
  for (int i = 9; i >= 0; --i) {
    fraction[i] = static_cast<char>('0' + digits % 10);
    digits /= 10;
  }
  int kept = 10;
  while (kept > 3 && fraction[kept - 1] == '0') --kept;
  for (int i = 0; i < kept; ++i) *q++ = fraction[i];
  out.append(p, static_cast<size_t>(q - p));
}


// Edits (insertions, deletions, substitutions, swaps of neighbours) from a
// to b.
size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                          d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

}  // namespace timetree
