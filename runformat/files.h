// Files as the library and the command write and read them: every file is
// written whole (to a temporary file beside it, renamed over it when
// complete), so that a reader, or a job killed mid-write, finds the old
// file or the new one and never a part; and a file that cannot be read or
// written is named with the cause, in a few words.
#ifndef TIMETREE_RUNFORMAT_FILES_H
#define TIMETREE_RUNFORMAT_FILES_H

#include <cstdio>
#include <string>

namespace timetree {

// Why a file could not be had, from errno: "does not exist", "is a
// directory", "cannot be written: permission denied", "cannot be written:
// the disk is full", ... writing tells a write from a read.
std::string FileProblem(int error, bool writing);

// A file written whole. The constructor opens a new temporary file in the
// folder of path (a hidden name, so that globs of the folder's files do not
// take it); Commit closes it and renames it over path. A WholeFile that is
// destroyed uncommitted removes its temporary file, and path is untouched.
// An existing file at path keeps its permission bits; a link to a file
// stays a link, to the new file. What cannot be replaced (a device such as
// /dev/null, a pipe, a socket) is written as it is. /dev/stdout,
// /dev/stderr and /dev/fd/N (or /proc/self/fd/N) are written through the
// program's own descriptor, never reopened: a log that standard output goes
// to keeps what it has and what the program writes. A pipe or a terminal
// is never waited on for long: a pipe that no process reads fails at once
// (ENXIO), and one whose reader stops reading after g_writeWaitSeconds
// (ETIMEDOUT), so that no write holds up the program's exit; a reader that
// has gone is EPIPE, not a SIGPIPE that ends the program.
// How long a write to a pipe or a terminal may wait for room in all (10 s).
extern int g_writeWaitSeconds;

class WholeFile {
 public:
  explicit WholeFile(const char* path);
  ~WholeFile();
  WholeFile(const WholeFile&) = delete;
  WholeFile& operator=(const WholeFile&) = delete;

  // False when the file could not be opened (error() says why).
  bool opened() const { return file_ != nullptr || fd_ >= 0; }
  bool Write(const void* data, size_t size);
  bool Write(const std::string& text) { return Write(text.data(), text.size()); }
  // True when every write succeeded and the file now stands at path.
  bool Commit();
  // The errno of the first failure, 0 when there was none.
  int error() const { return error_; }

 private:
  void Fail(int error);
  void OpenDirectly(bool regular);
  bool WriteDirectly(const char* data, size_t size);

  std::string path_;
  std::string temporary_;
  FILE* file_ = nullptr;  // a temporary file, or a file written in place
  int fd_ = -1;           // a pipe, a terminal, a socket, a device, or a
                          // descriptor the program has open (/dev/stdout)
  int error_ = 0;
};

// Writes text to path whole; false, with errno set, when it could not.
bool WriteWholeFile(const char* path, const std::string& text);

}  // namespace timetree

#endif  // TIMETREE_RUNFORMAT_FILES_H
