// Pango's font map keeps fontconfig's pattern cache for the life of the
// process and never frees it at exit; LeakSanitizer reports it as leaked.
// NOLINTNEXTLINE(bugprone-reserved-identifier): the sanitizer runtime looks this name up
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so.1\n";
}
