// Reading runs: the JSON that TimeWriteJson writes (one run, optionally
// with each thread's tree) and the combined format, into the trees of
// output/combined.h.
#ifndef TIMETREE_TOOLS_RUN_H
#define TIMETREE_TOOLS_RUN_H

#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>

#include "output/combined.h"

namespace timetree_cli {

using timetree::combined::Combine;
using timetree::combined::CombinedJson;
using timetree::combined::Figure;
using timetree::combined::FoldedPath;
using timetree::combined::kSchema;
using timetree::combined::Node;
using timetree::combined::Preorder;
using timetree::combined::Run;
using timetree::combined::RunTotal;
using timetree::combined::RunWallTime;
using timetree::combined::ThreadRun;

// More than any run can take, summed over a million processes: a figure
// above it is a broken file, not a time to print with 300 digits.
constexpr double kMostSeconds = 1e15;

// Bad input: the message names the file and what is wrong with it.
class InputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The file at path opened for reading; throws InputError naming the cause
// when it cannot be (missing, a directory, no permission, ...): a directory
// gives no error of its own when read, only an empty file.
std::ifstream OpenInput(const std::string& path);

// Reads the file at path; throws InputError.
std::unique_ptr<Run> ReadRun(const std::string& path);
// Reads JSON text; file only names it in messages. Throws InputError.
std::unique_ptr<Run> ParseRun(const std::string& text, const std::string& file);

}  // namespace timetree_cli

#endif  // TIMETREE_TOOLS_RUN_H
