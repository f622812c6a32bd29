// Runs the fuzz target once on every file named on the command line (or in
// a folder named there): the committed corpus, replayed as an ordinary test.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int*, char***);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

int RunFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
  return LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()),
                                bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
  LLVMFuzzerInitialize(&argc, &argv);
  int files = 0;
  for (int i = 1; i < argc; ++i) {
    struct stat info;
    if (stat(argv[i], &info) != 0) {
      std::fprintf(stderr, "replay: cannot read %s\n", argv[i]);
      return 1;
    }
    if (!S_ISDIR(info.st_mode)) {
      files += 1;
      RunFile(argv[i]);
      continue;
    }
    DIR* dir = opendir(argv[i]);
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      RunFile(std::string(argv[i]) + "/" + entry->d_name);
      ++files;
    }
    closedir(dir);
  }
  std::fprintf(stderr, "replay: %d inputs\n", files);
  return files > 0 ? 0 : 1;
}
