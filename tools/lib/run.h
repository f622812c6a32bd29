// Reading runs: the JSON that TimeWriteJson writes (one run, optionally
// with each thread's tree) and the combined format, into the trees of
// runformat/combined.h.
#ifndef TIMETREE_TOOLS_LIB_RUN_H
#define TIMETREE_TOOLS_LIB_RUN_H

#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>

#include "lib/io.h"
#include "runformat/combined.h"

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
using timetree::combined::ProcessWallTime;
using timetree::combined::RunWallTime;
using timetree::combined::ThreadRun;

// More than any run can take, summed over a million processes: a figure
// above it is a broken file, not a time to print with 300 digits.
constexpr double kMostSeconds = 1e15;

// Reads the file at path; throws InputError.
std::unique_ptr<Run> ReadRun(const std::string& path);
// Reads JSON text; file only names it in messages. Throws InputError.
std::unique_ptr<Run> ParseRun(const std::string& text, const std::string& file);

}  // namespace timetree_cli

#endif  // TIMETREE_TOOLS_LIB_RUN_H
