// Reading TIMETREE_OUTPUT's list, and the placeholders of the paths it
// names, filled in when a file is written: %p the process id, %h the host
// name, %r the MPI rank as the launcher gives it (0 without one), %t the
// given start time, %% a percent sign.
#ifndef TIMETREE_RUNFORMAT_PLACEHOLDERS_H
#define TIMETREE_RUNFORMAT_PLACEHOLDERS_H

#include <unistd.h>

#include <cstdlib>
#include <initializer_list>
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

// The first of the variables names that is set and not empty, or null.
inline const char* FirstSet(std::initializer_list<const char*> names) {
  for (const char* name : names) {
    const char* value = std::getenv(name);
    if (value != nullptr && value[0] != '\0') return value;
  }
  return nullptr;
}

// The MPI rank as the usual launchers give it to each process.
inline const char* LauncherRank() {
  const char* rank = FirstSet({"OMPI_COMM_WORLD_RANK", "PMIX_RANK", "PMI_RANK", "SLURM_PROCID"});
  return rank != nullptr ? rank : "0";
}

// The number of ranks as the launchers give it; null without one.
inline const char* LauncherSize() {
  return FirstSet({"OMPI_COMM_WORLD_SIZE", "PMI_SIZE", "SLURM_NTASKS"});
}

// The first unknown placeholder of path ("%x", or "%" at its end), or an
// empty text when every one is known.
inline std::string UnknownPlaceholder(const std::string& path) {
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] != '%') continue;
    if (i + 1 == path.size()) return "%";
    const char c = path[++i];
    if (c != 'p' && c != 'h' && c != 'r' && c != 't' && c != '%') return std::string("%") + c;
  }
  return "";
}

// An unknown placeholder is kept as it is written (UnknownPlaceholder
// finds it, so that it can be said).
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
      case '%':
        out += '%';
        break;
      default:
        out += '%';
        out += path[i];
    }
  }
  return out;
}

}  // namespace timetree

#endif  // TIMETREE_RUNFORMAT_PLACEHOLDERS_H
