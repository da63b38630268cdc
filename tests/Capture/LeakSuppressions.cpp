// GLib's library constructor allocates its first quark table (2048
// entries, 16 KB). When GStreamer's types push the quark count past that,
// GLib moves to a bigger table and deliberately never frees the first one,
// because lock-free readers may still hold it. LeakSanitizer sees that block
// as lost; it is the only allocation made while shared libraries load, so
// suppressing leaks from library initialisation covers exactly it. GLib is
// built without frame pointers, so allocation stacks are taken the slow way
// to reach the loader's frame at all.
extern "C" const char* __lsan_default_suppressions() { return "leak:_dl_init\n"; }
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }
