#include "sibling/morvex.h"

#include <cstdlib>

#include "sibling/faults.h"

namespace timetree {

FaultHook g_faultHook = nullptr;

Morvex* Morvex::Create(Morvex*& first, uint32_t count, uint32_t size) {
  if (AllocationFails(AllocSite::kListBlock)) return nullptr;
  const size_t bytes = sizeof(Morvex*) + static_cast<size_t>(count) * size;
  auto* block = static_cast<Morvex*>(std::malloc(bytes));
  if (block == nullptr) return nullptr;
  block->next = first;
  first = block;
  return block;
}

void Morvex::FreeDataChain(Morvex* first) {
  while (first != nullptr) {
    Morvex* next = first->next;
    std::free(first);
    first = next;
  }
}

}  // namespace timetree
