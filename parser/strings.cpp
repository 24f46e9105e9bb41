// The strings handed to callbacks: every report makes one from a range of
// held code points, so this is on the path of every call.

#include "corvane.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace corvane_parser {
namespace {

// The OR of the code points, stopping early once it reaches the four-byte
// class. Its highest bit is that of their maximum, so it falls in the same
// class (ASCII, Latin-1, two bytes, four), which is all that PyUnicode_New
// reads from a maximum.
Py_UCS4 class_of(const Py_UCS4 *p, const Py_UCS4 *end) {
    Py_UCS4 acc = 0;
#if defined(__SSE2__)
    __m128i lanes = _mm_setzero_si128();
    for (; end - p >= 8; p += 8) {
        lanes = _mm_or_si128(lanes, _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
        lanes = _mm_or_si128(lanes, _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 4)));
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_srli_epi32(lanes, 16), _mm_setzero_si128())) !=
            0xFFFF)
            return 0x10000;
    }
    lanes = _mm_or_si128(lanes, _mm_srli_si128(lanes, 8));
    lanes = _mm_or_si128(lanes, _mm_srli_si128(lanes, 4));
    acc = Py_UCS4(_mm_cvtsi128_si32(lanes));
#endif
    for (; p < end; ++p)
        acc |= *p;
    return acc;
}

// Narrows code points below 0x100 to bytes, sixteen at a time.
void narrow_to_bytes(const Py_UCS4 *p, const Py_UCS4 *end, Py_UCS1 *out) {
#if defined(__SSE2__)
    for (; end - p >= 16; p += 16, out += 16) {
        auto load = [p](int i) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i)); };
        // Signed saturation leaves values below 0x100 as they are.
        __m128i low = _mm_packs_epi32(load(0), load(4));
        __m128i high = _mm_packs_epi32(load(8), load(12));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out), _mm_packus_epi16(low, high));
    }
#endif
    for (; p < end; ++p)
        *out++ = Py_UCS1(*p);
}

// Narrows code points below 0x10000 to two bytes, eight at a time. SSE2
// packs with signed saturation only, so the values are moved into the
// signed range and back.
void narrow_to_halves(const Py_UCS4 *p, const Py_UCS4 *end, Py_UCS2 *out) {
#if defined(__SSE2__)
    const __m128i shift32 = _mm_set1_epi32(0x8000), shift16 = _mm_set1_epi16(-0x8000);
    for (; end - p >= 8; p += 8, out += 8) {
        auto load = [&](int i) {
            return _mm_sub_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i)),
                                 shift32);
        };
        __m128i packed = _mm_add_epi16(_mm_packs_epi32(load(0), load(4)), shift16);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out), packed);
    }
#endif
    for (; p < end; ++p)
        *out++ = Py_UCS2(*p);
}

}  // namespace

PyObject *make_str(const Py_UCS4 *begin, const Py_UCS4 *end) {
    const Py_ssize_t n = end - begin;
    // Single code points come from the interpreter's cache of them, and the
    // four-byte class keeps the interpreter's own check of each code point;
    // so does a negative size, which it refuses.
    if (n <= 1)
        return PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, begin, n);
    const Py_UCS4 top = class_of(begin, end);
    if (top >= 0x10000)
        return PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, begin, n);
    PyObject *str = PyUnicode_New(n, top);
    if (!str)
        return nullptr;
    if (PyUnicode_KIND(str) == PyUnicode_1BYTE_KIND)
        narrow_to_bytes(begin, end, PyUnicode_1BYTE_DATA(str));
    else
        narrow_to_halves(begin, end, PyUnicode_2BYTE_DATA(str));
    return str;
}

}  // namespace corvane_parser
