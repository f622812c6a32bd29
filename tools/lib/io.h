// The command's files: a file to read, opened or refused with the cause,
// and a file written whole (see runformat/files.h); and the error that
// bad input throws, which main reports in one line, with exit status 2.
#ifndef TIMETREE_TOOLS_LIB_IO_H
#define TIMETREE_TOOLS_LIB_IO_H

#include <fstream>
#include <stdexcept>
#include <string>

namespace timetree_cli {

// Bad input: the message names the file and what is wrong with it.
class InputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The file at path opened for reading; throws InputError naming the cause
// when it cannot be (missing, a directory, no permission, ...): a directory
// gives no error of its own when read, only an empty file.
std::ifstream OpenInput(const std::string& path);

// Writes text to path whole ("-": to standard output, as every -o of the
// command takes it); throws InputError naming path and the cause when it
// cannot.
void WriteFile(const std::string& path, const std::string& text);

}  // namespace timetree_cli

#endif  // TIMETREE_TOOLS_LIB_IO_H
