// Files written whole: a reader finds the old file or the new one, never a
// part, and whatever cannot be replaced is written as it is.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "runformat/files.h"
#include "support.h"

namespace {

using timetree_test::ReadFile;

// A folder of the test's own, empty, removed at the end.
class Files : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = timetree_test::TempPath("files");
    ASSERT_EQ(std::system(("rm -rf '" + dir_ + "' && mkdir -p '" + dir_ + "'").c_str()), 0);
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
  std::string Listing() const {
    const std::string list = dir_ + ".list";
    std::system(("ls -A '" + dir_ + "' > '" + list + "'").c_str());
    const std::string text = ReadFile(list);
    std::remove(list.c_str());
    return text;
  }
  std::string dir_;
};

TEST_F(Files, AFailedWriteLeavesTheOldFileAndNoTemporary) {
  const std::string path = dir_ + "/run.json";
  ASSERT_TRUE(timetree::WriteWholeFile(path.c_str(), "old\n"));
  chmod(path.c_str(), 0640);
  // A file size limit makes the write fail half-way, in a child.
  const pid_t pid = fork();
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{100, 100};
    setrlimit(RLIMIT_FSIZE, &limit);
    const bool written = timetree::WriteWholeFile(path.c_str(), std::string(100000, 'x'));
    _exit(!written && errno == EFBIG ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(ReadFile(path), "old\n");
  EXPECT_EQ(Listing(), "run.json\n");
  // A write that succeeds replaces it, with its permission bits.
  ASSERT_TRUE(timetree::WriteWholeFile(path.c_str(), "new\n"));
  EXPECT_EQ(ReadFile(path), "new\n");
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(Listing(), "run.json\n");
}

TEST_F(Files, LinksDevicesAndFoldersAreNotReplaced) {
  // A link to a file stays a link, to the new contents.
  const std::string target = dir_ + "/target.json", link = dir_ + "/link.json";
  ASSERT_TRUE(timetree::WriteWholeFile(target.c_str(), "old\n"));
  ASSERT_EQ(symlink("target.json", link.c_str()), 0);
  ASSERT_TRUE(timetree::WriteWholeFile(link.c_str(), "new\n"));
  struct stat st {};
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(ReadFile(target), "new\n");
  // A device is written as it is, never replaced (a root process could
  // otherwise put a file in place of /dev/null).
  EXPECT_TRUE(timetree::WriteWholeFile("/dev/null", "text"));
  ASSERT_EQ(stat("/dev/null", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  EXPECT_FALSE(timetree::WriteWholeFile("/dev/full", "text"));
  EXPECT_EQ(errno, ENOSPC);
  ASSERT_EQ(stat("/dev/full", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  // A folder, or a path whose folder is missing, is named as such.
  EXPECT_FALSE(timetree::WriteWholeFile(dir_.c_str(), "text"));
  EXPECT_EQ(timetree::FileProblem(errno, true), "is a directory");
  EXPECT_FALSE(timetree::WriteWholeFile((dir_ + "/no/such.json").c_str(), "text"));
  EXPECT_EQ(timetree::FileProblem(errno, true), "cannot be written: its folder does not exist");
  EXPECT_EQ(Listing(), "link.json\ntarget.json\n");
}

}  // namespace

namespace {

// What a descriptor already points at is written through, never replaced:
// a log opened to append keeps what it had and what the program wrote.
// A pipe is never waited on past the bound: none reads it, it fails at
// once; its reader takes nothing, it fails after the wait; its reader has
// gone, it fails without a SIGPIPE ending the program.
TEST_F(Files, DescriptorsAndPipesAreWrittenThroughAndNeverWaitedOn) {
  const std::string log = dir_ + "/log";
  {
    std::FILE* f = std::fopen(log.c_str(), "w");
    std::fputs("earlier\n", f);
    std::fclose(f);
  }
  const int fd = open(log.c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "mine\n", 5), 5);
  // The lowest free descriptor, the same after the writes: they leave none open.
  const int free_before = dup(fd);
  close(free_before);
  ASSERT_TRUE(timetree::WriteWholeFile(("/dev/fd/" + std::to_string(fd)).c_str(), "export\n"));
  ASSERT_TRUE(timetree::WriteWholeFile(("/proc/self/fd/" + std::to_string(fd)).c_str(), "again\n"));
  // Descriptor 0 as well, where the program put the log in its place.
  const int input = dup(0);
  ASSERT_EQ(dup2(fd, 0), 0);
  const bool zero = timetree::WriteWholeFile("/dev/fd/0", "zero\n");
  dup2(input, 0);
  close(input);
  EXPECT_TRUE(zero);
  // Not a descriptor's number: a path like another, here of no file.
  EXPECT_FALSE(timetree::WriteWholeFile(("/dev/fd/" + std::to_string(fd) + "x").c_str(), "not\n"));
  const int free_after = dup(fd);
  close(free_after);
  EXPECT_EQ(free_after, free_before);
  close(fd);
  EXPECT_EQ(ReadFile(log), "earlier\nmine\nexport\nagain\nzero\n");
  EXPECT_EQ(Listing(), "log\n");

  const std::string fifo = dir_ + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(timetree::WriteWholeFile(fifo.c_str(), "text"));
  EXPECT_EQ(timetree::FileProblem(errno, true), "cannot be written: no process reads the pipe");
  // With a reader: it gets the text, and the FIFO stays a FIFO.
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  ASSERT_TRUE(timetree::WriteWholeFile(fifo.c_str(), "text"));
  char got[8] = {};
  EXPECT_EQ(read(reader, got, sizeof got), 4);
  EXPECT_STREQ(got, "text");
  // With descriptor 0 free, the FIFO's open takes it: a descriptor like any.
  const int saved_input = dup(0);
  close(0);
  const bool into_zero = timetree::WriteWholeFile(fifo.c_str(), "zero");
  bool opened_on_zero = false;
  {
    timetree::WholeFile file(fifo.c_str());  // as the exports open theirs
    opened_on_zero = file.opened() && file.Write("zero", 4) && file.Commit();
  }
  dup2(saved_input, 0);
  close(saved_input);
  EXPECT_TRUE(into_zero);
  EXPECT_TRUE(opened_on_zero);
  EXPECT_EQ(read(reader, got, sizeof got), 8);
  struct stat st {};
  ASSERT_EQ(stat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  // A reader that takes nothing: more than the pipe holds fails after the wait.
  const int wait = timetree::g_writeWaitSeconds;
  timetree::g_writeWaitSeconds = 1;
  EXPECT_FALSE(timetree::WriteWholeFile(fifo.c_str(), std::string(1 << 20, 'x')));
  EXPECT_EQ(timetree::FileProblem(errno, true), "cannot be written: its reader took nothing for 1 s");
  timetree::g_writeWaitSeconds = wait;
  // The reader gone mid-write: an error, and the program goes on.
  int pipe_ends[2];
  ASSERT_EQ(pipe(pipe_ends), 0);
  close(pipe_ends[0]);
  EXPECT_FALSE(
      timetree::WriteWholeFile(("/dev/fd/" + std::to_string(pipe_ends[1])).c_str(), "text"));
  EXPECT_EQ(timetree::FileProblem(errno, true), "cannot be written: its reader has gone");
  close(pipe_ends[1]);
  close(reader);
  sigset_t pending;
  sigpending(&pending);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
}

}  // namespace

namespace {

// What a killed writer left beside the target is removed by the next
// write of it; a live writer's temporary, and another target's, stay.
TEST_F(Files, TemporariesOfAKilledWriterGoAtTheNextWrite) {
  char host[64] = {};
  gethostname(host, sizeof host - 1);
  std::string stem = host;
  for (char& c : stem) {
    if (c == '/' || c == '.') c = '_';
  }
  const pid_t child = fork();
  if (child == 0) _exit(0);
  ASSERT_GT(child, 0);
  ASSERT_EQ(waitpid(child, nullptr, 0), child);
  const std::string dead = dir_ + "/.run.json.tmp." + stem + "." + std::to_string(child) + ".1";
  const std::string live =
      dir_ + "/.run.json.tmp." + stem + "." + std::to_string(getpid()) + ".77";
  const std::string other = dir_ + "/.other.json.tmp." + stem + "." + std::to_string(child) + ".1";
  for (const std::string& path : {dead, live, other}) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("part of a file", f);
    std::fclose(f);
  }
  ASSERT_TRUE(timetree::WriteWholeFile((dir_ + "/run.json").c_str(), "whole\n"));
  EXPECT_EQ(Listing(), ".other.json.tmp." + stem + "." + std::to_string(child) + ".1\n" +
                           ".run.json.tmp." + stem + "." + std::to_string(getpid()) + ".77\n" +
                           "run.json\n");
}

}  // namespace
