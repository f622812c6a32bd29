// An empty function in a shared library of its own: the floor for a call
// that a host makes into timetree.
__attribute__((visibility("default"))) void EmptyLibraryCall(const char*) {}
