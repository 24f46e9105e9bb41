// The scanner compiled for AVX-512 with its byte and word forms.

#define CORVANE_ISA 2
#define CORVANE_ISA_NS isa_avx512
#define CORVANE_ISA_TARGETS "avx512f,avx512bw,avx512vl,avx2,bmi,bmi2,lzcnt,popcnt"
#include "scan_wide.hpp"

#if CORVANE_SIMD_WIDE
namespace corvane_parser {
const Scans scans_avx512 = isa_avx512::kScans;
}
#endif
