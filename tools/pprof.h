// The pprof format of a run (see pprof.cpp).
#ifndef TIMETREE_TOOLS_PPROF_H
#define TIMETREE_TOOLS_PPROF_H

#include <string>

#include "run.h"

namespace timetree_cli {

// The run as a gzip-compressed profile.proto.
std::string Pprof(const Run& run);

}  // namespace timetree_cli

#endif  // TIMETREE_TOOLS_PPROF_H
