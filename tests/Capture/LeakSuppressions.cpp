// GLib never frees its first quark table once GStreamer's types outgrow it
// (lock-free readers may still hold it). It is the only allocation made while
// shared libraries load, so suppressing leaks from _dl_init covers exactly it;
// GLib lacks frame pointers, so allocation stacks are taken the slow way.
// NOLINTNEXTLINE(bugprone-reserved-identifier): the sanitizer runtime looks this name up
extern "C" const char* __lsan_default_suppressions() {
  return "leak:_dl_init\n";
}
// NOLINTNEXTLINE(bugprone-reserved-identifier): the sanitizer runtime looks this name up
extern "C" const char* __asan_default_options() {
  return "fast_unwind_on_malloc=0";
}
