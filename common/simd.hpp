// What the vector code of the modules builds on: which instruction sets the
// build may use, which ones the processor at hand has, and the few macros
// that keep a hot path in one piece. Building with CORVANE_SCALAR defined
// compiles every vector path out, which keeps the plain loops tested.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#if !defined(CORVANE_SCALAR)
#if defined(__SSE2__) || defined(_M_X64)
#define CORVANE_SIMD_X86 1
#include <immintrin.h>
#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif
#elif defined(__ARM_NEON) || defined(_M_ARM64)
#define CORVANE_SIMD_NEON 1
#include <arm_neon.h>
#endif
#endif

// Code for a wider instruction set than the baseline is compiled apart and
// chosen at run time; GCC and clang mark it per function, and MSVC needs no
// mark to use the instructions.
#if CORVANE_SIMD_X86 && (defined(__GNUC__) || defined(__clang__) || defined(_MSC_VER))
#define CORVANE_SIMD_WIDE 1
#endif

// The hot path of a scanner is a handful of small routines that must be
// one piece of straight code, and the rare ones must stay out of its way.
#if defined(__GNUC__) || defined(__clang__)
#define CORVANE_INLINE [[gnu::always_inline]] inline
#define CORVANE_NOINLINE [[gnu::noinline]]
#elif defined(_MSC_VER)
#define CORVANE_INLINE __forceinline
#define CORVANE_NOINLINE __declspec(noinline)
#else
#define CORVANE_INLINE inline
#define CORVANE_NOINLINE
#endif

namespace corvane_common::simd {

// The index of the lowest set bit of a non-zero mask, as a size.
template <typename Mask>
constexpr std::size_t first_bit(Mask mask) {
    return static_cast<unsigned>(std::countr_zero(mask));
}

#if CORVANE_SIMD_WIDE

// Whether the processor and the system (which must save the wide
// registers) support AVX2, and AVX-512 with its byte and word forms.
inline bool has_avx2() {
#if defined(__GNUC__) || defined(__clang__)
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2");
#else
    int r[4];
    __cpuid(r, 0);
    if (r[0] < 7)
        return false;
    __cpuid(r, 1);
    if (!(r[2] & (1 << 27)) || (_xgetbv(0) & 0x6) != 0x6)
        return false;
    __cpuidex(r, 7, 0);
    return (r[1] & (1 << 5)) && (r[1] & (1 << 8));
#endif
}

inline bool has_avx512bw() {
#if defined(__GNUC__) || defined(__clang__)
    return has_avx2() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
#else
    if (!has_avx2() || (_xgetbv(0) & 0xE6) != 0xE6)
        return false;
    int r[4];
    __cpuidex(r, 7, 0);
    return (r[1] & (1 << 16)) && (r[1] & (1 << 30));
#endif
}

#endif  // CORVANE_SIMD_WIDE

}  // namespace corvane_common::simd
