// The build and machine banner: the date of the build under test, from the
// last-write time of a marker file of the build tree, and the class of the
// test machine's processor.
#include "output/banner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "channels/channels.h"
#include "include/timetree.h"
#include "registry/dtimemgr.h"

namespace timetree {

namespace {

constexpr char kDefaultMarker[] = "/x/BSCFILES.TXT";
const char* g_architectureOverride = nullptr;

const char* MarkerPath() {
  const char* path = std::getenv("TIMING_BUILD_MARKER");
  return path != nullptr && path[0] != '\0' ? path : kDefaultMarker;
}

// The marker's date word; false when it cannot be had (missing, not a
// regular file, unreadable, or dated outside the DOS range).
bool MarkerDate(uint16_t* date) {
  // Only a regular file is opened: opening a FIFO for reading waits for a
  // writer, and opening a device may act on it. The open itself cannot block
  // or take a controlling terminal should the path be swapped in between,
  // and the type is checked again on what was opened.
  const char* path = MarkerPath();
  struct stat info;
  if (stat(path, &info) != 0 || !S_ISREG(info.st_mode)) return false;
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
                  DosDateFromTime(info.st_mtime, date);
  close(fd);
  return ok;
}

}  // namespace

bool DosDateFromTime(time_t utc, uint16_t* date) {
  struct tm parts;
  if (gmtime_r(&utc, &parts) == nullptr) return false;
  const int year = parts.tm_year + 1900;
  if (year < 1980 || year > 2107) return false;
  *date = static_cast<uint16_t>(((year - 1980) << 9) | ((parts.tm_mon + 1) << 5) |
                                parts.tm_mday);
  return true;
}

const char* MachineLine(const char* architecture) {
  if (architecture == nullptr) return nullptr;
  if (std::strcmp(architecture, "i486") == 0) {
    return "\n***** TEST MACHINE: 486 based (TD1) *****\n";
  }
  // Every later x86 processor reports the Pentium class.
  if (std::strcmp(architecture, "i586") == 0 ||
      std::strcmp(architecture, "i686") == 0 ||
      std::strcmp(architecture, "x86_64") == 0) {
    return "\n***** TEST MACHINE: Pentium based (TD2 and above) *****\n";
  }
  return nullptr;
}

void SetArchitectureForTesting(const char* architecture) {
  g_architectureOverride = architecture;
}

}  // namespace timetree

void TimeCommentBuildInfo() {
  timetree::Channels& channels = timetree::g_channels;
  const timetree::ChannelLock lock;
  if (channels.bannerPrinted != 0) return;

  uint16_t date = 0;
  if (timetree::MarkerDate(&date)) {
    const int month = (date >> 5) & 0x0F;
    const int day = date & 0x1F;
    const int year = ((date >> 9) & 0x7F) + 80;  // counted from 1900
    timetree::CommentF("\n***** Testing on build dated: %d/%d/%d *****\n",
                       month, day, year);
  }

  const char* architecture = timetree::g_architectureOverride;
  struct utsname names;
  if (architecture == nullptr && uname(&names) == 0) {
    architecture = names.machine;
  }
  if (const char* line = timetree::MachineLine(architecture)) {
    TimeComment(line);
  }
  // Set even when nothing was written, so that no banner follows before the
  // next TimeCloseOStream.
  channels.bannerPrinted = 1;
}
