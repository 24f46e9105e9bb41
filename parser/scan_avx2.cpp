// The scanner compiled for AVX2.

#define CORVANE_ISA 1
#define CORVANE_ISA_NS isa_avx2
#define CORVANE_ISA_TARGETS "avx2,bmi,bmi2,lzcnt,popcnt"
#include "scan_wide.hpp"

#if CORVANE_SIMD_WIDE
namespace corvane_parser {
const Scans scans_avx2 = isa_avx2::kScans;
}
#endif
