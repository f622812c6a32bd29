// A plugin compiled with -finstrument-functions, loaded and unloaded by
// functions_hostile: its one function.
extern "C" __attribute__((visibility("default"), noinline)) int omega_work_fn(int n) { return n * 2; }
