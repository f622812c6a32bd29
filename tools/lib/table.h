// How the command's tables print figures: times with a unit chosen per
// value (or plain seconds), and columns as wide as their widest cell.
#ifndef TIMETREE_TOOLS_LIB_TABLE_H
#define TIMETREE_TOOLS_LIB_TABLE_H

#include <string>
#include <vector>

namespace timetree_cli {

// A time of 0 or more: "0 s", "1.00 ns", "999 ns", "1.50 ms", "12.0 s",
// "98765 s", at least three significant figures in ns, µs, ms or s; with
// plain, seconds in fixed notation with six decimals, or as many more as a
// small value needs to show three significant figures ("0.00000000100").
std::string Duration(double seconds, bool plain);
// Duration, and " s" after plain seconds: for text outside a table, where
// no header gives the unit.
std::string DurationWithUnit(double seconds, bool plain);
// The same with a sign: "+1.50 ms", "-2.00 s"; exactly 0 has none.
std::string SignedDuration(double seconds, bool plain);
// A count, exact: doubles hold whole numbers exactly up to 2^53.
std::string CountText(double count);
// Bytes in units of 1024: "512 B", "8.0 KiB", "1.5 GiB".
std::string BytesText(double bytes);

// A table of text cells: the first column left-aligned, the others
// right-aligned, each as wide as its widest cell (counted in the columns a
// terminal gives it: "µs" two, a wide East Asian character two, a combining
// accent none), separated by two spaces, with no trailing blanks.
class Table {
 public:
  explicit Table(std::vector<std::string> header) { rows_.push_back(std::move(header)); }
  void Add(std::vector<std::string> cells) { rows_.push_back(std::move(cells)); }
  // A row's text after its last cell, such as a mark ("  running").
  void Note(std::string note);
  // Lines of at most columns (0: any length): first-column cells too long
  // for that are shortened in their middle (ShortenMiddle), down to no less
  // than a few columns of their own.
  void FitTo(size_t columns) { columns_ = columns; }
  std::string Text() const;

 private:
  std::vector<std::vector<std::string>> rows_;
  std::vector<std::string> notes_{""};
  size_t columns_ = 0;
};

// text in at most columns, its leading blanks kept: when longer, its
// middle becomes "…", so that both its start and its end (which tells
// overloads apart: "f(int)", "f(double)") stay.
std::string ShortenMiddle(const std::string& text, size_t columns);

// The columns that show's tables fit into when standard output is a
// terminal: COLUMNS when it is a number, else the terminal's width; 0 (any
// length: names whole, for a file or a pipe) otherwise.
size_t OutputColumns();

// A name as a terminal shows it safely: control characters as "?".
std::string Display(const std::string& name);
// A tree row's label: two spaces a level, growing no further than 90
// columns so that a row of a tree of any depth stays bounded, then name as
// Display shows it.
std::string IndentedLabel(int depth, const std::string& name);

// The columns that UTF-8 text takes in a terminal.
size_t DisplayWidth(const std::string& text);

}  // namespace timetree_cli

#endif  // TIMETREE_TOOLS_LIB_TABLE_H
