// A plugin compiled with -finstrument-functions, loaded and unloaded by
// functions_hostile: its function and the helper it calls.
// Its helper, which no export names: found in the plugin's own symbol table.
__attribute__((visibility("hidden"), noinline)) int OmegaHelper(int n) { return n * 2; }
extern "C" __attribute__((visibility("default"), noinline)) int omega_work_fn(int n) {
  return OmegaHelper(n);
}
// A function of the same name in each plugin: the second is named by its
// object and offset too.
extern "C" __attribute__((visibility("default"), noinline)) int plugin_entry_fn(int n) { return n; }
