// Compiled with TIMETREE_DISABLE: the scopes below must cost nothing, neither
// evaluating their names nor calling the library.
#include "include/timetree.h"

namespace timetree_test {

namespace {
int g_evaluations = 0;

const char* CountedName() {
  ++g_evaluations;
  return "compiled out";
}
}  // namespace

int RunCompiledOutScopes() {
  g_evaluations = 0;
  for (int i = 0; i < 3; ++i) {
    TIMETREE_SCOPE(CountedName());
    TIMETREE_SCOPE("literal");
    const TimeScope scope("by hand");
    static_cast<void>(scope);
  }
  return g_evaluations;
}

}  // namespace timetree_test
