// A small host that times its own work with timetree: it generates a data
// set, sorts it with a recursive merge sort, hashes it and searches it, then
// prints both reports. One search returns early and skips its stop, which
// the indented report marks with "?".
//
//   demo [--file PATH] [--size N] [--export DIR]
//
// Timing and the console channel are switched on unless the environment
// says otherwise; --file also writes everything to PATH; --export writes
// DIR/timing.json, DIR/timing.folded and DIR/timing.svg.
#include <timetree.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

std::vector<uint32_t> Generate(size_t n) {
  TimeStartTimer("generate");
  std::vector<uint32_t> data(n);
  uint64_t state = 0x9E3779B97F4A7C15ULL;
  for (auto& value : data) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    value = static_cast<uint32_t>(state);
  }
  TimeStopTimer("generate");
  return data;
}

void Merge(std::vector<uint32_t>& data, std::vector<uint32_t>& scratch,
           size_t lo, size_t mid, size_t hi, bool timed) {
  if (timed) TimeStartTimer("merge");
  size_t i = lo, j = mid, k = lo;
  while (i < mid && j < hi) scratch[k++] = data[i] <= data[j] ? data[i++] : data[j++];
  while (i < mid) scratch[k++] = data[i++];
  while (j < hi) scratch[k++] = data[j++];
  std::memcpy(&data[lo], &scratch[lo], (hi - lo) * sizeof(uint32_t));
  if (timed) TimeStopTimer("merge");
}

// The recursive step. Only the top levels are timed, so that the tree stays
// readable: each "sort" holds the two halves and the "merge" of its level.
void MergeSort(std::vector<uint32_t>& data, std::vector<uint32_t>& scratch,
               size_t lo, size_t hi, int level) {
  if (hi - lo < 2) return;
  const bool timed = level < 2;
  if (timed) TimeStartTimer("sort");
  const size_t mid = lo + (hi - lo) / 2;
  MergeSort(data, scratch, lo, mid, level + 1);
  MergeSort(data, scratch, mid, hi, level + 1);
  Merge(data, scratch, lo, mid, hi, timed);
  if (timed) TimeStopTimer("sort");
}

uint64_t Hash(const std::vector<uint32_t>& data) {
  TimeStartTimer("hash");
  uint64_t h = 1469598103934665603ULL;  // FNV-1a over the bytes
  for (uint32_t value : data) {
    for (int b = 0; b < 4; ++b) {
      h ^= (value >> (8 * b)) & 0xFF;
      h *= 1099511628211ULL;
    }
  }
  TimeStopTimer("hash");
  return h;
}

// Binary search; a key found at the very first probe returns before its
// stop, as hand-written timing code so often does.
bool Search(const std::vector<uint32_t>& data, uint32_t key) {
  TimeStartTimer("search");
  size_t lo = 0, hi = data.size();
  bool first_probe = true;
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    if (data[mid] == key) {
      if (first_probe) return true;  // early return: "search" is not stopped
      TimeStopTimer("search");
      return true;
    }
    first_probe = false;
    if (data[mid] < key) lo = mid + 1; else hi = mid;
  }
  TimeStopTimer("search");
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  const char* file = nullptr;
  const char* export_dir = nullptr;
  size_t size = 200000;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--file") == 0 && i + 1 < argc) {
      file = argv[++i];
    } else if (std::strcmp(argv[i], "--export") == 0 && i + 1 < argc) {
      export_dir = argv[++i];
    } else if (std::strcmp(argv[i], "--size") == 0 && i + 1 < argc) {
      size = std::strtoul(argv[++i], nullptr, 10);
    } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::printf("usage: %s [--file PATH] [--size N] [--export DIR]\n", argv[0]);
      return 0;
    } else {
      std::fprintf(stderr, "usage: %s [--file PATH] [--size N] [--export DIR]\n", argv[0]);
      return 2;
    }
  }
  if (size < 2) size = 2;
  // The host's defaults; the environment still has the last word.
  setenv("TIMING_ON", "1", 0);
  setenv("TIMING_CONSOLE", "1", 0);
  setenv("TIMING_FILE", file != nullptr ? "1" : "0", 0);

  TimeOpenOStream(file);
  TimeCommentBuildInfo();
  TimeComment("demo: sorting, hashing and searching ");
  TimeComment(std::to_string(size).c_str());
  TimeComment(" numbers\n");

  StopWatch total;
  total.StartTimer();
  TimeStartTimer("demo");
  std::vector<uint32_t> data = Generate(size);
  std::vector<uint32_t> scratch(data.size());
  MergeSort(data, scratch, 0, data.size(), 0);
  const uint64_t digest = Hash(data);
  TimeStartTimer("lookups");
  int found = 0;
  for (size_t i = 0; i < 1000; ++i) found += Search(data, data[(i * 7919) % data.size()]);
  found += Search(data, data[data.size() / 2]);  // found at the first probe
  TimeStopTimer("lookups");  // also closes the search left running above
  TimeStopTimer("demo");
  total.StopTimer();

  char line[128];
  std::snprintf(line, sizeof line, "demo: digest %016llx, %d keys found\n",
                static_cast<unsigned long long>(digest), found);
  TimeComment(line);
  TimePrint();
  TimePrintIndented("  ");
  // The stopwatch's own row, written like every other line: to the console
  // and to the file.
  char* row = nullptr;
  size_t row_size = 0;
  if (FILE* text = open_memstream(&row, &row_size)) {
    total.Print("whole run", text);
    std::fclose(text);
    TimeComment(row);
    std::free(row);
  }

  int status = 0;
  if (export_dir != nullptr) {
    const std::string dir(export_dir);
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    const bool ok = TimeWriteJson((dir + "/timing.json").c_str()) &&
                    TimeWriteFolded((dir + "/timing.folded").c_str()) &&
                    TimeWriteFlameGraph((dir + "/timing.svg").c_str());
    if (ok) {
      TimeComment(("demo: wrote timing.json, timing.folded and timing.svg to " + dir + "\n").c_str());
    } else {
      std::fprintf(stderr, "demo: could not write the exports to %s\n", export_dir);
      status = 1;
    }
  }
  TimeCloseOStream();
  return status;
}
