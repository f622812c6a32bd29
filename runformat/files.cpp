#include "runformat/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace timetree {

std::string FileProblem(int error, bool writing) {
  const std::string cannot = writing ? "cannot be written: " : "cannot be read: ";
  switch (error) {
    case ENOENT:
      return writing ? cannot + "its folder does not exist" : "does not exist";
    case EISDIR:
      return "is a directory";
    case ENOTDIR:
      return cannot + "a part of its path is not a folder";
    case EACCES:
    case EPERM:
      return cannot + "permission denied";
    case ENOSPC:
      return cannot + "the disk is full";
    case EDQUOT:
      return cannot + "the disk quota is exceeded";
    case EROFS:
      return cannot + "the file system is read-only";
    case ENAMETOOLONG:
      return cannot + "its name is too long";
    case 0:
      return writing ? "cannot be written" : "cannot be read";
    default:
      return cannot + std::strerror(error);
  }
}

namespace {

// Tells apart the temporary files that the threads of one process make at
// once.
unsigned g_serial = 0;

}  // namespace

WholeFile::WholeFile(const char* path) {
  if (path == nullptr || path[0] == '\0') {
    Fail(ENOENT);
    return;
  }
  path_ = path;
  struct stat target {};
  const bool exists = stat(path, &target) == 0;
  if (exists && S_ISDIR(target.st_mode)) {
    Fail(EISDIR);
    return;
  }
  struct stat link {};
  const bool linked = lstat(path, &link) == 0 && S_ISLNK(link.st_mode);
  if ((exists && !S_ISREG(target.st_mode)) || (linked && !exists)) {
    // A device, a pipe or a socket (/dev/null, /dev/stdout, a FIFO) is
    // written as it is: it cannot be replaced, and must not be. So is a
    // link that leads nowhere yet.
    OpenDirectly();
    return;
  }
  if (linked) {
    // A link to a file: the file is replaced, beside itself, and the link
    // stays.
    char* resolved = realpath(path, nullptr);
    if (resolved == nullptr) {
      OpenDirectly();
      return;
    }
    path_ = resolved;
    std::free(resolved);
  }
  const size_t slash = path_.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : path_.substr(0, slash + 1);
  // A hidden name of bounded length: NAME_MAX holds it whatever the
  // target's.
  const std::string base = path_.substr(slash == std::string::npos ? 0 : slash + 1, 200);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const unsigned serial = __atomic_add_fetch(&g_serial, 1, __ATOMIC_RELAXED);
    temporary_ = folder + "." + base + ".tmp" + std::to_string(static_cast<long>(getpid())) +
                 "-" + std::to_string(serial);
    // 0666 less the umask, as fopen makes a file.
    const int fd = open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      const int error = errno;
      temporary_.clear();
      Fail(error);
      return;
    }
    if (exists) fchmod(fd, target.st_mode & 07777);
    file_ = fdopen(fd, "w");
    if (file_ == nullptr) {
      const int error = errno;
      close(fd);
      Fail(error);
    }
    return;
  }
  temporary_.clear();
  Fail(EEXIST);
}

void WholeFile::OpenDirectly() {
  errno = 0;
  file_ = std::fopen(path_.c_str(), "we");
  if (file_ == nullptr) Fail(errno);
}

WholeFile::~WholeFile() {
  if (file_ != nullptr) std::fclose(file_);
  if (!temporary_.empty()) unlink(temporary_.c_str());
}

void WholeFile::Fail(int error) {
  if (error_ == 0) error_ = error != 0 ? error : EIO;
}

bool WholeFile::Write(const void* data, size_t size) {
  if (file_ == nullptr || error_ != 0) return false;
  errno = 0;
  if (size != 0 && std::fwrite(data, 1, size, file_) != size) Fail(errno);
  return error_ == 0;
}

bool WholeFile::Commit() {
  if (file_ != nullptr) {
    errno = 0;
    if (std::fflush(file_) != 0 || std::ferror(file_)) Fail(errno);
    if (std::fclose(file_) != 0) Fail(errno);
    file_ = nullptr;
  }
  if (error_ == 0 && !temporary_.empty() && rename(temporary_.c_str(), path_.c_str()) != 0) {
    Fail(errno);
  }
  if (error_ == 0) {
    temporary_.clear();
    return true;
  }
  if (!temporary_.empty()) unlink(temporary_.c_str());
  temporary_.clear();
  errno = error_;
  return false;
}

bool WriteWholeFile(const char* path, const std::string& text) {
  int error = 0;
  {
    WholeFile file(path);
    file.Write(text);
    if (file.Commit()) return true;
    error = file.error();
  }
  errno = error;
  return false;
}

}  // namespace timetree
