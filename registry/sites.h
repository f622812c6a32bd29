// The library's side of the call sites' records (include/timetree_site.h):
// filling a record after a start it handled, for the owner's next starts
// and stops to run inline.
#ifndef TIMETREE_REGISTRY_SITES_H
#define TIMETREE_REGISTRY_SITES_H

#include <cstdint>

#include "include/timetree_site.h"
#include "registry/threadtree.h"

namespace timetree {

// After a start of name on tree that began in list when the site epoch was
// epoch: fills site for the calling thread when the timer started is
// list's and the inline path would do what the library does for it.
void FillSite(timetree_site& site, const char* name, ThreadTree& tree, const PtrList* list,
              uint64_t epoch);

}  // namespace timetree

#endif  // TIMETREE_REGISTRY_SITES_H
