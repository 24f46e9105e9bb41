// A scanner for an instruction set wider than the baseline, compiled in a
// source of its own that names the set (CORVANE_ISA, CORVANE_ISA_NS and the
// compiler's CORVANE_ISA_TARGETS) and includes this. Everything shared with
// the baseline is included before the set is switched on, so that only this
// scanner's own code uses it; the processor is asked for it at module
// initialisation.

#include "text.hpp"

#if CORVANE_SIMD_WIDE

#define CORVANE_PRAGMA(...) CORVANE_PRAGMA_(__VA_ARGS__)
#define CORVANE_PRAGMA_(...) _Pragma(#__VA_ARGS__)

#if defined(__clang__)
CORVANE_PRAGMA(clang attribute push(__attribute__((target(CORVANE_ISA_TARGETS))), apply_to = function))
#elif defined(__GNUC__)
CORVANE_PRAGMA(GCC push_options)
CORVANE_PRAGMA(GCC target(CORVANE_ISA_TARGETS))
#endif

#include "scanner.hpp"
#include "scan_entries.hpp"

#if defined(__clang__)
CORVANE_PRAGMA(clang attribute pop)
#elif defined(__GNUC__)
CORVANE_PRAGMA(GCC pop_options)
#endif

#endif
