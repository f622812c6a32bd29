// A plugin compiled with -finstrument-functions, loaded and unloaded by
// functions_hostile: its one function.
extern "C" __attribute__((visibility("default"), noinline)) int alpha_work_fn(int n) { return n * 2; }
// A function of the same name in each plugin: the second is named by its
// object and offset too.
extern "C" __attribute__((visibility("default"), noinline)) int plugin_entry_fn(int n) { return n; }
