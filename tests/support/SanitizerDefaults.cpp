// Defaults of the sanitizer runtimes, compiled into the unit tests and the fuzz targets. The
// runtimes look these functions up when the program starts, so they hold in every way of
// running it (ctest, the executable by hand, a fuzzer); a build without sanitizers has none.
#if defined(__SANITIZE_ADDRESS__)
#define CALYX_SANITIZER_DEFAULTS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CALYX_SANITIZER_DEFAULTS 1
#endif
#endif

#ifdef CALYX_SANITIZER_DEFAULTS
// Visible, so that the runtime (a library of its own) finds them in the executable.
#define CALYX_SANITIZER_HOOK extern "C" __attribute__((visibility("default"), used))

// xraylib 4.0's CompoundParser does not release its partial result when a formula does not
// parse (a filter's "compound" such as "Xx2" or "Fe("): a few bytes per failed parse, inside
// xraylib. The match is by module, so it covers the parser's successful results too; the
// leak tests (label 'leak') cover those with valid formulas and no suppression.
CALYX_SANITIZER_HOOK const char* __lsan_default_suppressions() { return "leak:libxrl.so\n"; }

// The stack of an undefined-behaviour report (the build makes each report fatal).
CALYX_SANITIZER_HOOK const char* __ubsan_default_options() { return "print_stacktrace=1"; }
#endif
