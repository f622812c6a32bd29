// (Morvex and sibling/: the names of the utility library this stands in for, kept.)
// A chain of raw memory blocks. Each block is one link pointer followed by
// an element area; blocks are released only all together.
#ifndef TIMETREE_SIBLING_MORVEX_H
#define TIMETREE_SIBLING_MORVEX_H

#include <cstdint>

namespace timetree {

struct Morvex {
  Morvex* next;

  // Allocates a block with room for count elements of size bytes, links it
  // at the front of the chain that first designates and returns it; null
  // when memory runs out (the chain is then unchanged).
  static Morvex* Create(Morvex*& first, uint32_t count, uint32_t size);
  // Releases first and every block linked after it; null does nothing.
  static void FreeDataChain(Morvex* first);

  // The element area begins right after the link pointer.
  void* Data() { return reinterpret_cast<char*>(this) + sizeof(Morvex*); }
};

}  // namespace timetree

#endif  // TIMETREE_SIBLING_MORVEX_H
