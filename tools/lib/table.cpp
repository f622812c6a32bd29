#include "lib/table.h"

#include <locale.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <wchar.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <map>

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

std::string BytesText(double bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  size_t unit = 0;
  while (bytes >= 1024 && unit + 1 < std::size(kUnits)) {
    bytes /= 1024;
    ++unit;
  }
  std::string text;
  timetree::AppendFormat(text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, kUnits[unit]);
  return text;
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

namespace {

// The bytes of text that hold its first columns columns, whole characters.
size_t BytesOfColumns(const std::string& text, size_t columns) {
  size_t at = 0;
  while (at < text.size() && columns > 0) {
    size_t n = 1;
    while (at + n < text.size() && (static_cast<unsigned char>(text[at + n]) & 0xC0) == 0x80) ++n;
    const size_t width = DisplayWidth(text.substr(at, n));
    if (width > columns) break;
    columns -= width;
    at += n;
  }
  return at;
}

}  // namespace

std::string ShortenMiddle(const std::string& text, size_t columns) {
  if (DisplayWidth(text) <= columns) return text;
  const size_t blanks = std::min(text.find_first_not_of(' '), text.size());
  const std::string name = text.substr(blanks);
  // At least a few characters each side of the mark.
  const size_t room = columns > blanks + 9 ? columns - blanks - 1 : 8;
  const size_t head_columns = (room + 1) / 2;
  const size_t tail_columns = room - head_columns;
  const std::string head = name.substr(0, BytesOfColumns(name, head_columns));
  // The tail: the shortest end of name that fills tail_columns.
  size_t from = name.size();
  while (from > 0) {
    size_t start = from - 1;
    while (start > 0 && (static_cast<unsigned char>(name[start]) & 0xC0) == 0x80) --start;
    if (DisplayWidth(name.substr(start)) > tail_columns) break;
    from = start;
  }
  return text.substr(0, blanks) + head + "\u2026" + name.substr(from);
}

size_t OutputColumns() {
  if (!isatty(STDOUT_FILENO)) return 0;
  if (const char* columns = std::getenv("COLUMNS")) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(columns, &end, 10);
    if (end != columns && *end == '\0' && value > 0) return value;
  }
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
    return size.ws_col;
  }
  return 0;
}

std::string Table::Text() const {
  std::vector<size_t> widths;
  for (const auto& row : rows_) {
    if (widths.size() < row.size()) widths.resize(row.size());
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], DisplayWidth(row[i]));
  }
  // Shortened first cells, where the lines would pass columns_: in the
  // room that the other cells and the notes leave, but never below
  // kLeast columns of name, nor so short that two different cells read
  // the same (then the room grows until they differ).
  std::vector<std::string> firsts;
  for (const auto& row : rows_) firsts.push_back(row.empty() ? "" : row[0]);
  if (columns_ > 0 && !widths.empty()) {
    size_t rest = 0;
    for (size_t i = 1; i < widths.size(); ++i) rest += 2 + widths[i];
    size_t note = 0;
    for (const auto& n : notes_) note = std::max(note, DisplayWidth(n));
    constexpr size_t kLeast = 42;
    size_t room = columns_ > rest + note ? columns_ - rest - note : 0;
    for (size_t least = kLeast; widths[0] > room; least += 8) {
      std::map<std::string, std::string> seen;  // shortened: whole
      bool clash = false;
      size_t widest = 0;
      for (size_t r = 0; r < rows_.size() && !clash; ++r) {
        const std::string& cell = rows_[r].empty() ? std::string() : rows_[r][0];
        const size_t blanks = std::min(cell.find_first_not_of(' '), cell.size());
        firsts[r] = ShortenMiddle(cell, std::max(room, blanks + least));
        const auto entry = seen.emplace(firsts[r], cell);
        clash = !entry.second && entry.first->second != cell;
        widest = std::max(widest, DisplayWidth(firsts[r]));
      }
      if (!clash) {
        widths[0] = widest;
        break;
      }
      for (size_t r = 0; r < rows_.size(); ++r) firsts[r] = rows_[r].empty() ? "" : rows_[r][0];
    }
  }
  std::string text;
  for (size_t r = 0; r < rows_.size(); ++r) {
    const auto& row = rows_[r];
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      const std::string& cell = i == 0 ? firsts[r] : row[i];
      const std::string pad(widths[i] - DisplayWidth(cell), ' ');
      if (i > 0) line += "  ";
      line += i == 0 ? cell + pad : pad + cell;
    }
    if (r < notes_.size()) line += notes_[r];
    line.erase(line.find_last_not_of(' ') + 1);
    text += line + "\n";
  }
  return text;
}

}  // namespace timetree_cli
