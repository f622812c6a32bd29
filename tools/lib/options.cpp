#include "lib/options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace timetree_cli {

namespace {

// A number of 0 or more, refused in a short message otherwise.
std::string CheckZeroOrMore(std::string& text) {
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0' || errno != 0 || !std::isfinite(value)) {
    return "\"" + text + "\" is not a number";
  }
  if (value < 0) return "must be 0 or more, not " + text;
  return "";
}

// A whole number of 1 or more.
std::string CheckOneOrMore(std::string& text) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str() || *end != '\0' || errno != 0 || value < 1 || value > (1 << 30)) {
    return "must be a whole number from 1, not " + text;
  }
  return "";
}

}  // namespace

const CLI::Validator kZeroOrMore(CheckZeroOrMore, "NUMBER>=0", "0 or more");
const CLI::Validator kOneOrMore(CheckOneOrMore, "N>=1", "1 or more");

}  // namespace timetree_cli
