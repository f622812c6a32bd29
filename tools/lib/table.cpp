#include "lib/table.h"

#include <locale.h>
#include <wchar.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "runformat/text.h"

namespace timetree_cli {

namespace {

struct Unit {
  double scale;
  const char* name;
};
constexpr Unit kUnits[] = {{1e-9, "ns"}, {1e-6, "\u00b5s"}, {1e-3, "ms"}, {1.0, "s"}};
constexpr int kUnitCount = sizeof kUnits / sizeof kUnits[0];

// value rounded to three significant figures.
double ThreeFigures(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3g", value);
  return std::strtod(text, nullptr);
}

// Decimals that show three significant figures of a value that rounds to r.
int DecimalsFor(double r) {
  if (r >= 100) return 0;
  if (r >= 10) return 1;
  return std::min(340, 2 - static_cast<int>(std::floor(std::log10(r))));
}

std::string Adaptive(double a) {
  if (a == 0) return "0 s";
  int unit = 0;
  while (unit + 1 < kUnitCount && a >= kUnits[unit + 1].scale) ++unit;
  double x = a / kUnits[unit].scale;
  // Rounding may reach the next unit: 999.7 ns is 1.00 µs.
  if (unit + 1 < kUnitCount && ThreeFigures(x) >= 1000) {
    ++unit;
    x = a / kUnits[unit].scale;
  }
  std::string text;
  timetree::AppendFormat(text, "%.*f %s", DecimalsFor(ThreeFigures(x)), x, kUnits[unit].name);
  return text;
}

std::string Plain(double a) {
  const int decimals = a == 0 ? 6 : std::max(6, DecimalsFor(ThreeFigures(a)));
  std::string text;
  timetree::AppendFormat(text, "%.*f", decimals, a);
  return text;
}

}  // namespace

std::string Duration(double seconds, bool plain) {
  const double a = std::fabs(seconds);  // never "-0"
  return plain ? Plain(a) : Adaptive(a);
}

std::string DurationWithUnit(double seconds, bool plain) {
  return plain ? Duration(seconds, true) + " s" : Duration(seconds, false);
}

std::string SignedDuration(double seconds, bool plain) {
  if (seconds == 0) return Duration(0, plain);
  return (seconds > 0 ? "+" : "-") + Duration(seconds, plain);
}

std::string CountText(double count) {
  std::string text;
  timetree::AppendFormat(text, "%.0f", count);
  return text;
}

std::string Display(const std::string& name) {
  std::string text = name;
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return text;
}

std::string IndentedLabel(int depth, const std::string& name) {
  constexpr size_t kMaxIndent = 90;
  return std::string(std::min(kMaxIndent, 2 * static_cast<size_t>(depth)), ' ') + Display(name);
}

size_t DisplayWidth(const std::string& text) {
  // The C library's character widths, in its built-in UTF-8 locale: wide
  // East Asian characters take two columns, combining marks none.
  static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  size_t width = 0;
  if (utf8 == static_cast<locale_t>(0)) {
    for (const char c : text) width += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    return width;
  }
  const locale_t before = uselocale(utf8);
  std::mbstate_t state{};
  for (size_t at = 0; at < text.size();) {
    wchar_t c = 0;
    const size_t n = std::mbrtowc(&c, text.data() + at, text.size() - at, &state);
    if (n == 0 || n > text.size() - at) {  // a zero byte, or not UTF-8: a column a byte
      ++width;
      ++at;
      state = std::mbstate_t{};
      continue;
    }
    const int columns = wcwidth(c);
    width += columns < 0 ? 1 : static_cast<size_t>(columns);
    at += n;
  }
  uselocale(before);
  return width;
}

void Table::Note(std::string note) {
  notes_.resize(rows_.size());
  notes_.back() = std::move(note);
}

std::string Table::Text() const {
  std::vector<size_t> widths;
  for (const auto& row : rows_) {
    if (widths.size() < row.size()) widths.resize(row.size());
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], DisplayWidth(row[i]));
  }
  std::string text;
  for (size_t r = 0; r < rows_.size(); ++r) {
    const auto& row = rows_[r];
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      const std::string pad(widths[i] - DisplayWidth(row[i]), ' ');
      if (i > 0) line += "  ";
      line += i == 0 ? row[i] + pad : pad + row[i];
    }
    if (r < notes_.size()) line += notes_[r];
    line.erase(line.find_last_not_of(' ') + 1);
    text += line + "\n";
  }
  return text;
}

}  // namespace timetree_cli
