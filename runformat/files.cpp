#include "runformat/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

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
    case ENXIO:
      return cannot + "no process reads the pipe";
    case ETIMEDOUT:
      return cannot + "its reader took nothing for " + std::to_string(g_writeWaitSeconds) + " s";
    case EPIPE:
      return cannot + "its reader has gone";
    case 0:
      return writing ? "cannot be written" : "cannot be read";
    default:
      return cannot + std::strerror(error);
  }
}

int g_writeWaitSeconds = 10;

namespace {

// Tells apart the temporary files that the threads of one process make at
// once.
unsigned g_serial = 0;

// This host's name, as a temporary file's name holds it (a file system
// that several hosts share has each host's temporaries apart).
std::string Host() {
  char host[HOST_NAME_MAX + 1] = {};  // a name of HOST_NAME_MAX fits whole
  if (gethostname(host, sizeof host) != 0 || host[0] == '\0') return "host";
  std::string name = host;
  for (char& c : name) {
    if (c == '/' || c == '.') c = '_';
  }
  return name;
}

// Removes, from folder, the temporary files of the target that a writer of
// this host left when it was killed (stem, then its process id and a
// serial): only those whose process is gone. A folder is read up to a bound,
// so that one of very many files does not slow every write.
void RemoveLeftTemporaries(const std::string& folder, const std::string& stem) {
  DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
  if (dir == nullptr) return;
  constexpr int kMostEntries = 20000;
  int seen = 0;
  while (const dirent* entry = readdir(dir)) {
    if (++seen > kMostEntries) break;
    const char* name = entry->d_name;
    if (std::strncmp(name, stem.c_str(), stem.size()) != 0) continue;
    char* end = nullptr;
    const long pid = std::strtol(name + stem.size(), &end, 10);
    if (pid <= 0 || end == name + stem.size() || *end != '.') continue;
    if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    unlink((folder + name).c_str());
  }
  closedir(dir);
}

}  // namespace

namespace {

// The descriptor that path names when it is one of the program's own
// (/dev/stdout, /dev/stderr, /dev/fd/N, /proc/self/fd/N); -1 otherwise.
int OwnDescriptor(const std::string& path) {
  if (path == "/dev/stdout") return 1;
  if (path == "/dev/stderr") return 2;
  for (const char* prefix : {"/dev/fd/", "/proc/self/fd/"}) {
    const size_t n = std::strlen(prefix);
    if (path.compare(0, n, prefix) != 0 || path.size() == n) continue;
    char* end = nullptr;
    const long fd = std::strtol(path.c_str() + n, &end, 10);
    if (*end == '\0' && fd >= 0 && fd < 1 << 20) return static_cast<int>(fd);
  }
  return -1;
}

}  // namespace

WholeFile::WholeFile(const char* path) {
  if (path == nullptr || path[0] == '\0') {
    Fail(ENOENT);
    return;
  }
  path_ = path;
  const int own = OwnDescriptor(path_);
  if (own >= 0) {
    // Written where the descriptor already writes (at its end, for a log
    // opened to append), through a copy of it.
    fd_ = fcntl(own, F_DUPFD_CLOEXEC, 3);
    if (fd_ < 0) Fail(errno);
    return;
  }
  struct stat target {};
  const bool exists = stat(path, &target) == 0;
  if (exists && S_ISDIR(target.st_mode)) {
    Fail(EISDIR);
    return;
  }
  struct stat link {};
  const bool linked = lstat(path, &link) == 0 && S_ISLNK(link.st_mode);
  if ((exists && !S_ISREG(target.st_mode)) || (linked && !exists)) {
    // A device, a pipe or a socket (/dev/null, a FIFO) is written as it
    // is: it cannot be replaced, and must not be. So is a link that leads
    // nowhere yet.
    OpenDirectly(!exists);
    return;
  }
  if (linked) {
    // A link to a file: the file is replaced, beside itself, and the link
    // stays.
    char* resolved = realpath(path, nullptr);
    if (resolved == nullptr) {
      OpenDirectly(true);
      return;
    }
    path_ = resolved;
    std::free(resolved);
  }
  const size_t slash = path_.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : path_.substr(0, slash + 1);
  // A hidden name of bounded length: NAME_MAX holds it whatever the
  // target's. It names the host and the process, so that what a killed
  // writer left is found and removed by the next write of the target.
  const std::string base = path_.substr(slash == std::string::npos ? 0 : slash + 1, 160);
  const std::string stem = "." + base + ".tmp." + Host() + ".";
  RemoveLeftTemporaries(folder, stem);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const unsigned serial = __atomic_add_fetch(&g_serial, 1, __ATOMIC_RELAXED);
    temporary_ = folder + stem + std::to_string(static_cast<long>(getpid())) + "." +
                 std::to_string(serial);
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

void WholeFile::OpenDirectly(bool regular) {
  errno = 0;
  if (regular) {
    file_ = std::fopen(path_.c_str(), "we");
    if (file_ == nullptr) Fail(errno);
    return;
  }
  // Not waited on: a FIFO that no process reads fails at once (ENXIO)
  // rather than holding the program until one does.
  fd_ = open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd_ < 0) Fail(errno);
}

WholeFile::~WholeFile() {
  if (file_ != nullptr) std::fclose(file_);
  if (fd_ >= 0) close(fd_);
  if (!temporary_.empty()) unlink(temporary_.c_str());
}

bool WholeFile::WriteDirectly(const char* data, size_t size) {
  // The descriptor may block (a terminal held by flow control, a pipe whose
  // reader is slow) or not (opened so here): either way, a write waits for
  // room at most kWriteWaitSeconds in all.
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  while (size > 0) {
    pollfd ready{fd_, POLLOUT, 0};
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long waited_ms = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
    const long left_ms = g_writeWaitSeconds * 1000L - waited_ms;
    if (left_ms <= 0) {
      Fail(ETIMEDOUT);
      return false;
    }
    const int polled = poll(&ready, 1, static_cast<int>(left_ms));
    if (polled < 0 && errno == EINTR) continue;
    if (polled < 0) {
      Fail(errno);
      return false;
    }
    if (polled == 0) continue;
    // A reader that has gone is an error of this write, not a signal that
    // ends the program: SIGPIPE is held for it, and taken if it came.
    sigset_t pipe_signal, before;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, &before);
    sigset_t pending;
    sigpending(&pending);
    const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
    const ssize_t written = write(fd_, data, size);
    const int error = errno;
    if (written < 0 && error == EPIPE && !was_pending) {
      const timespec none{0, 0};
      sigtimedwait(&pipe_signal, nullptr, &none);
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    errno = error;
    if (written < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      Fail(errno);
      return false;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

void WholeFile::Fail(int error) {
  if (error_ == 0) error_ = error != 0 ? error : EIO;
}

bool WholeFile::Write(const void* data, size_t size) {
  if (fd_ >= 0 && error_ == 0) return WriteDirectly(static_cast<const char*>(data), size);
  if (file_ == nullptr || error_ != 0) return false;
  errno = 0;
  if (size != 0 && std::fwrite(data, 1, size, file_) != size) Fail(errno);
  return error_ == 0;
}

bool WholeFile::Commit() {
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
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
