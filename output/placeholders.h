// Reading TIMETREE_OUTPUT's list, and the placeholders of the paths it
// names, filled in when a file is written: %p the process id, %h the host
// name, %r the MPI rank as the launcher gives it (0 without one), %t the
// given start time, %% a percent sign.
#ifndef TIMETREE_OUTPUT_PLACEHOLDERS_H
#define TIMETREE_OUTPUT_PLACEHOLDERS_H

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace timetree {

// The items of a comma-separated list, empty ones left out.
inline std::vector<std::string> SplitList(const std::string& list) {
  std::vector<std::string> items;
  size_t at = 0;
  while (at <= list.size()) {
    size_t comma = list.find(',', at);
    if (comma == std::string::npos) comma = list.size();
    if (comma > at) items.push_back(list.substr(at, comma - at));
    at = comma + 1;
  }
  return items;
}

// The MPI rank as the usual launchers give it to each process.
inline const char* LauncherRank() {
  for (const char* name : {"OMPI_COMM_WORLD_RANK", "PMIX_RANK", "PMI_RANK", "SLURM_PROCID"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && value[0] != '\0') return value;
  }
  return "0";
}

inline std::string FillInPath(const std::string& path, const char* started) {
  std::string out;
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] != '%' || i + 1 == path.size()) {
      out += path[i];
      continue;
    }
    switch (path[++i]) {
      case 'p':
        out += std::to_string(static_cast<long>(getpid()));
        break;
      case 'h': {
        char host[256] = {};
        out += gethostname(host, sizeof host - 1) == 0 ? host : "host";
        break;
      }
      case 'r':
        out += LauncherRank();
        break;
      case 't':
        out += started;
        break;
      default:  // %% and anything else: the character itself
        out += path[i];
    }
  }
  return out;
}

}  // namespace timetree

#endif  // TIMETREE_OUTPUT_PLACEHOLDERS_H
