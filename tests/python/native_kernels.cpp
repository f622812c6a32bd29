// A native library that a Python program loads (by ctypes, as it would an
// extension's): its timers and the Python program's are one tree.
#include "include/timetree.h"

extern "C" {

// A timer of the library's own, inside whatever timer runs.
__attribute__((visibility("default"))) void native_kernel() { TIMETREE_SCOPE("native kernel"); }

// A timer that runs while it calls back into Python.
__attribute__((visibility("default"))) void native_driver(void (*callback)()) {
  TIMETREE_SCOPE("native driver");
  callback();
}
}
