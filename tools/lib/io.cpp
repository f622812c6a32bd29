#include "lib/io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>

#include "runformat/files.h"

namespace timetree_cli {

std::ifstream OpenInput(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    throw InputError(path + ": " + timetree::FileProblem(EISDIR, false));
  }
  // The stream does not say why it failed: the cause comes from open.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw InputError(path + ": " + timetree::FileProblem(errno, false));
  close(fd);
  std::ifstream in(path, std::ios::binary);
  if (!in) throw InputError(path + ": " + timetree::FileProblem(errno, false));
  return in;
}

void WriteFile(const std::string& path, const std::string& text) {
  if (path == "-") {
    // Through the command's own standard output, whose failure main says
    // as for any other output of the command.
    std::cout.write(text.data(), static_cast<std::streamsize>(text.size()));
    return;
  }
  if (!timetree::WriteWholeFile(path.c_str(), text)) {
    throw InputError(path + ": " + timetree::FileProblem(errno, true));
  }
}

}  // namespace timetree_cli
