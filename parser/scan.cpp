// The scanner for the baseline instruction set, the character classes,
// and the choice of the scans at module initialisation.

#include "text.hpp"

#ifndef CORVANE_WIDEST_ISA
#define CORVANE_WIDEST_ISA 2
#endif

#define CORVANE_ISA 0
#define CORVANE_ISA_NS isa_baseline
#include "scanner.hpp"
#include "scan_entries.hpp"

namespace corvane_parser {

Classes classes;

const Scans scans_baseline = isa_baseline::kScans;
const Scans *scans = &scans_baseline;
std::uint64_t binding_changes = 0;

void init_scanner() {
    for (Py_UCS4 c = 0; c < 256; ++c) {
        std::uint8_t bits = 0;
        if (Py_UNICODE_ISSPACE(c))
            bits |= kSpace | kNameStop | kRefStop | kParamStop | kAttrStop;
        if (c == '>' || c == '/' || c == '?')
            bits |= kNameStop;
        if (c == ';' || c == '<' || c == '>')
            bits |= kRefStop;
        if (c == ';')
            bits |= kParamStop;
        if (c == '=')
            bits |= kAttrStop;
        if (Py_UNICODE_ISALNUM(c) || c == '-' || c == '.' || c == ':' || c == '?')
            bits |= kSgmlName;
        classes.bits[c] = bits;
        // The lower case of a Latin-1 letter is Latin-1 too.
        classes.lower[c] = Py_UCS1(Py_UNICODE_TOLOWER(c));
    }
#if CORVANE_SIMD_WIDE
    // A test build may cap the choice, so that the narrower scanners run the
    // whole suite on a machine that has the wider ones.
    if (CORVANE_WIDEST_ISA >= 2 && corvane_common::simd::has_avx512bw())
        scans = &scans_avx512;
    else if (CORVANE_WIDEST_ISA >= 1 && corvane_common::simd::has_avx2())
        scans = &scans_avx2;
#endif
}

}  // namespace corvane_parser
