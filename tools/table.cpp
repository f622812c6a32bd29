#include "table.h"

#include <algorithm>
#include <cmath>

#include "output/exports.h"

namespace timetree_cli {

namespace {

struct Unit {
  double scale;
  const char* name;
};
constexpr Unit kUnits[] = {{1e-9, "ns"}, {1e-6, "\u00b5s"}, {1e-3, "ms"}, {1.0, "s"}};
constexpr int kUnitCount = sizeof kUnits / sizeof kUnits[0];

std::string Adaptive(double a) {
  if (a == 0) return "0 s";
  int unit = 0;
  while (unit + 1 < kUnitCount && a >= kUnits[unit + 1].scale) ++unit;
  for (;;) {
    const double x = a / kUnits[unit].scale;
    // Three significant figures: more decimals the smaller the value.
    int decimals = x >= 100 ? 0 : x >= 10 ? 1 : 2;
    if (x < 1) decimals = std::min(30, 2 - static_cast<int>(std::floor(std::log10(x))));
    std::string text;
    timetree::AppendFormat(text, "%.*f", decimals, x);
    // Rounding may reach the next unit: 999.7 ns is 1.00 µs.
    if (unit + 1 < kUnitCount && std::stod(text) >= 1000) {
      ++unit;
      continue;
    }
    return text + " " + kUnits[unit].name;
  }
}

std::string Plain(double a) {
  int decimals = 6;
  if (a != 0 && a < 1e-4) {
    decimals = std::min(340, std::max(6, 2 - static_cast<int>(std::floor(std::log10(a)))));
  }
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

size_t DisplayWidth(const std::string& text) {
  size_t width = 0;
  for (const char c : text) width += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
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
