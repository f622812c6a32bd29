// TIMETREE_OUTPUT's MPI items, from inside the program's MPI_Finalize.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>

#include "include/timetree_mpi.h"
#include "mpi/reduce.h"
#include "runformat/placeholders.h"

namespace timetree {
namespace {

// Load time, for %t in TIMETREE_OUTPUT's paths.
const time_t g_loaded = std::time(nullptr);

// The load time as %t gives it: UTC, 20261208T081500Z.
std::string Started() {
  struct tm utc {};
  gmtime_r(&g_loaded, &utc);
  char text[32] = {};
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
  return text;
}

}  // namespace
}  // namespace timetree

// TIMETREE_OUTPUT's MPI items, written as the program finalises MPI, while
// every rank is still there: mpi-summary (rank 0's summary on its standard
// error, as the host may have no channel open), mpi-json:PATH and
// mpi-trace:PATH. The
// program's call reaches this wrapper when libtimetree_mpi is linked before
// the MPI library (as CMake's timetree::mpi and timetree-mpi.pc link it);
// MPI's profiling interface then finalises.
extern "C" TIMETREE_API int MPI_Finalize(void) {
  const char* list = std::getenv("TIMETREE_OUTPUT");
  int initialised = 0, finalised = 0;
  MPI_Initialized(&initialised);
  MPI_Finalized(&finalised);
  if (list != nullptr && initialised != 0 && finalised == 0) {
    int rank = 0;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    for (const std::string& item : timetree::SplitList(list)) {
      if (item == "mpi-summary") {
        const std::unique_ptr<timetree::combined::Run> run =
            timetree::Reduce(MPI_COMM_WORLD);
        if (rank == 0 && run != nullptr) {
          std::fputs(timetree::SummaryText(*run).c_str(), stderr);
        }
      } else if ((item.rfind("mpi-json:", 0) == 0 && item.size() > 9) ||
                 (item.rfind("mpi-trace:", 0) == 0 && item.size() > 10)) {
        const bool trace = item[4] == 't';
        const std::string path =
            timetree::FillInPath(item.substr(trace ? 10 : 9), timetree::Started().c_str());
        const bool written = trace ? TimeMpiWriteTrace(MPI_COMM_WORLD, path.c_str())
                                   : TimeMpiWriteJson(MPI_COMM_WORLD, path.c_str());
        if (!written && rank == 0) {
          std::fprintf(stderr, "timetree: TIMETREE_OUTPUT: %s could not be written\n",
                       path.c_str());
        }
      }
    }
  }
  return PMPI_Finalize();
}
