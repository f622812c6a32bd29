// Turns bytes into calls of every public function, StopWatch members
// included, with texts up to 64 KiB. Each input starts and ends with a
// closed, cleared, disabled library, so inputs do not leak into each other.
//
// Input: a sequence of operations, each one byte, some followed by a text:
// a byte 0xFF for a null text, or a two-byte length and that many bytes.
#include <timetree.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

namespace {

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ >= size_; }
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  // Null, or the text, which holds copies of whatever bytes came.
  const char* Text() {
    if (Byte() == 0xFF) return nullptr;
    size_t length = Byte();
    length |= static_cast<size_t>(Byte()) << 8;
    if (length > size_ - at_) length = size_ - at_;
    text_.assign(reinterpret_cast<const char*>(data_ + at_), length);
    at_ += length;
    return text_.c_str();
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
  std::string text_;
};

const char* const kSwitches[] = {"TIMING_ON", "TIMING_FILE", "TIMING_CONSOLE",
                                 "TIMING_BUILD_MARKER"};
const char* const kSwitchValues[] = {"1", "0", "", "on", "off", "-1", "junk"};
// Where the output file may go: nowhere, a real file, a full device, a
// folder and a missing folder.
const char* kPaths[] = {nullptr, "/dev/null", nullptr /* a temporary file */,
                        "/dev/full", "/tmp", "/nonexistent/dir/out.txt"};

void Reset() {
  TimeCloseOStream();
  for (const char* name : kSwitches) unsetenv(name);
  TimeClear();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Console output goes nowhere; the fuzzer reports on stderr.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
  const char* dir = std::getenv("TMPDIR");
  static const std::string temp = std::string(dir != nullptr ? dir : "/tmp") +
                                  "/timetree-fuzz-" + std::to_string(getpid()) + ".txt";
  kPaths[2] = temp.c_str();
  std::atexit([] { std::remove(kPaths[2]); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  StopWatch watches[2];
  FILE* sink = std::fopen("/dev/null", "w");
  Reset();
  while (!in.empty()) {
    switch (in.Byte() % 18) {
      case 0: TimeStartTimer(in.Text()); break;
      case 1: TimeStopTimer(in.Text()); break;
      case 2: TimeClear(); break;
      case 3: TimeOpenOStream(kPaths[in.Byte() % std::size(kPaths)]); break;
      case 4: TimeCloseOStream(); break;
      case 5: TimePrint(); break;
      case 6: TimePrintIndented(in.Text()); break;
      case 7: TimeComment(in.Text()); break;
      case 8: TimeCommentBuildInfo(); break;
      case 9: {
        const char* name = kSwitches[in.Byte() % std::size(kSwitches)];
        const uint8_t pick = in.Byte();
        if (pick < 0x80) {
          setenv(name, kSwitchValues[pick % std::size(kSwitchValues)], 1);
        } else if (const char* value = in.Text()) {
          setenv(name, value, 1);
        } else {
          unsetenv(name);
        }
        break;
      }
      case 10: watches[in.Byte() & 1].StartTimer(); break;
      case 11: watches[in.Byte() & 1].StopTimer(); break;
      case 12: watches[in.Byte() & 1].ResetElapsedTime(); break;
      case 13: {
        StopWatch& w = watches[in.Byte() & 1];
        w.GetElapsedTime();
        w.GetCount();
        w.Print(in.Text(), (in.Byte() & 1) != 0 ? sink : nullptr);
        break;
      }
      case 14: watches[0] = watches[1]; break;
      case 15: {
        const uint8_t which = in.Byte();
        const char* path = (which & 4) != 0 ? kPaths[2] : "/dev/null";
        if (which % 3 == 0) TimeWriteJson(path);
        if (which % 3 == 1) TimeWriteFlameGraph(path);
        // Folded stacks grow with the square of the depth: only short inputs,
        // whose trees stay shallow, export them.
        if (which % 3 == 2 && size < 64) TimeWriteFolded(path);
        break;
      }
      default: {
        // A burst of starts, to build deep or wide trees quickly.
        const char* name = in.Text();
        const int times = in.Byte();
        for (int i = 0; i < times; ++i) TimeStartTimer(name);
        break;
      }
    }
  }
  Reset();
  if (sink != nullptr) std::fclose(sink);
  return 0;
}
