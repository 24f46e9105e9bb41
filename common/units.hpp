// Kernels over the code units of a str at its three widths: the class of
// the largest code point in a run (what PyUnicode_New needs to know), and
// copies that narrow or widen units from one width to another.
#pragma once

#include "simd.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace corvane_common {

// PyUnicode_New reads only the class of the maximum it is given (ASCII,
// Latin-1, two bytes, four bytes), and the classes begin at powers of two.
// So the OR of the units, whose highest bit is that of their maximum, is in
// the same class as the maximum and stands for it. It is gathered a word at
// a time, and the scan stops once it reaches the widest class the width
// holds, since no later unit can change the class any more.
template <typename Unit>
std::uint32_t largest_class(const Unit *p, const Unit *end) {
    constexpr int kBits = 8 * sizeof(Unit);
    // The bits that only units of the width's widest class have, in each
    // unit of a word.
    constexpr std::uint64_t kWidest = sizeof(Unit) == 1   ? 0x8080808080808080u
                                      : sizeof(Unit) == 2 ? 0xFF00FF00FF00FF00u
                                                          : 0xFFFF0000FFFF0000u;
    constexpr std::ptrdiff_t kStep = 32 / std::ptrdiff_t(sizeof(Unit));  // four words
    std::uint64_t acc = 0;
    while (end - p >= kStep && !(acc & kWidest)) {
        std::uint64_t w[4];
        std::memcpy(w, p, sizeof w);
        acc |= w[0] | w[1] | w[2] | w[3];
        p += kStep;
    }
    // Fold the word's units into one.
    for (int shift = 32; shift >= kBits; shift /= 2)
        acc |= acc >> shift;
    std::uint32_t top = std::uint32_t(acc & ((std::uint64_t(1) << kBits) - 1));
    for (; p < end; ++p)
        top |= *p;
    // An OR of four-byte units may pass the last code point; its class may not.
    return std::min<std::uint32_t>(top, 0x10FFFF);
}

// Copies n <= 16 bytes with at most two overlapping moves of one size. Most
// strs a scan makes are a name or a short value, for which a call of memcpy
// costs more than the copy.
inline void copy_short(void *out, const void *in, std::size_t n) {
    auto *d = static_cast<unsigned char *>(out);
    auto *s = static_cast<const unsigned char *>(in);
    auto both = [&](auto word) {
        constexpr std::size_t k = sizeof(word);
        decltype(word) head, tail;
        std::memcpy(&head, s, k);
        std::memcpy(&tail, s + n - k, k);
        std::memcpy(d, &head, k);
        std::memcpy(d + n - k, &tail, k);
    };
    if (n >= 8)
        both(std::uint64_t{});
    else if (n >= 4)
        both(std::uint32_t{});
    else if (n >= 2)
        both(std::uint16_t{});
    else if (n)
        d[0] = s[0];
}

// Copies [p, end) into out at another width. Narrowing is only ever asked
// for units that fit the narrower width.
template <typename Out, typename In>
Out *copy_units(const In *p, const In *end, Out *out) {
    if constexpr (sizeof(Out) == sizeof(In)) {
        const std::size_t bytes = std::size_t(end - p) * sizeof(In);
        if (bytes <= 16)
            copy_short(out, p, bytes);
        else
            std::memcpy(out, p, bytes);
        return out + (end - p);
    } else {
#if CORVANE_SIMD_X86
        auto load = [](const In *q) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(q)); };
        auto store = [](Out *q, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i *>(q), v); };
        if constexpr (sizeof(Out) == 1 && sizeof(In) == 2) {
            for (; end - p >= 16; p += 16, out += 16)
                store(out, _mm_packus_epi16(load(p), load(p + 8)));
        } else if constexpr (sizeof(Out) == 1 && sizeof(In) == 4) {
            for (; end - p >= 16; p += 16, out += 16) {
                // Signed saturation leaves values below 0x100 as they are.
                __m128i low = _mm_packs_epi32(load(p), load(p + 4));
                __m128i high = _mm_packs_epi32(load(p + 8), load(p + 12));
                store(out, _mm_packus_epi16(low, high));
            }
        } else if constexpr (sizeof(Out) == 2 && sizeof(In) == 4) {
            // SSE2 packs with signed saturation only, so the values are moved
            // into the signed range and back.
            const __m128i down = _mm_set1_epi32(0x8000), up = _mm_set1_epi16(-0x8000);
            for (; end - p >= 8; p += 8, out += 8) {
                __m128i a = _mm_sub_epi32(load(p), down), b = _mm_sub_epi32(load(p + 4), down);
                store(out, _mm_add_epi16(_mm_packs_epi32(a, b), up));
            }
        } else if constexpr (sizeof(Out) == 4 && sizeof(In) == 1) {
            const __m128i zero = _mm_setzero_si128();
            for (; end - p >= 16; p += 16, out += 16) {
                __m128i v = load(p);
                __m128i low = _mm_unpacklo_epi8(v, zero), high = _mm_unpackhi_epi8(v, zero);
                store(out, _mm_unpacklo_epi16(low, zero));
                store(out + 4, _mm_unpackhi_epi16(low, zero));
                store(out + 8, _mm_unpacklo_epi16(high, zero));
                store(out + 12, _mm_unpackhi_epi16(high, zero));
            }
        } else if constexpr (sizeof(Out) == 4 && sizeof(In) == 2) {
            const __m128i zero = _mm_setzero_si128();
            for (; end - p >= 8; p += 8, out += 8) {
                __m128i v = load(p);
                store(out, _mm_unpacklo_epi16(v, zero));
                store(out + 4, _mm_unpackhi_epi16(v, zero));
            }
        } else if constexpr (sizeof(Out) == 2 && sizeof(In) == 1) {
            const __m128i zero = _mm_setzero_si128();
            for (; end - p >= 16; p += 16, out += 16) {
                __m128i v = load(p);
                store(out, _mm_unpacklo_epi8(v, zero));
                store(out + 8, _mm_unpackhi_epi8(v, zero));
            }
        }
#elif CORVANE_SIMD_NEON
        if constexpr (sizeof(Out) == 1 && sizeof(In) == 2) {
            for (; end - p >= 16; p += 16, out += 16)
                vst1q_u8(out, vcombine_u8(vmovn_u16(vld1q_u16(p)), vmovn_u16(vld1q_u16(p + 8))));
        } else if constexpr (sizeof(Out) == 1 && sizeof(In) == 4) {
            for (; end - p >= 8; p += 8, out += 8)
                vst1_u8(out, vmovn_u16(vcombine_u16(vmovn_u32(vld1q_u32(p)), vmovn_u32(vld1q_u32(p + 4)))));
        } else if constexpr (sizeof(Out) == 2 && sizeof(In) == 4) {
            for (; end - p >= 8; p += 8, out += 8)
                vst1q_u16(out, vcombine_u16(vmovn_u32(vld1q_u32(p)), vmovn_u32(vld1q_u32(p + 4))));
        } else if constexpr (sizeof(Out) == 4 && sizeof(In) == 1) {
            for (; end - p >= 8; p += 8, out += 8) {
                uint16x8_t v = vmovl_u8(vld1_u8(p));
                vst1q_u32(out, vmovl_u16(vget_low_u16(v)));
                vst1q_u32(out + 4, vmovl_u16(vget_high_u16(v)));
            }
        } else if constexpr (sizeof(Out) == 4 && sizeof(In) == 2) {
            for (; end - p >= 8; p += 8, out += 8) {
                uint16x8_t v = vld1q_u16(p);
                vst1q_u32(out, vmovl_u16(vget_low_u16(v)));
                vst1q_u32(out + 4, vmovl_u16(vget_high_u16(v)));
            }
        } else if constexpr (sizeof(Out) == 2 && sizeof(In) == 1) {
            for (; end - p >= 8; p += 8, out += 8)
                vst1q_u16(out, vmovl_u8(vld1_u8(p)));
        }
#endif
        for (; p < end; ++p)
            *out++ = static_cast<Out>(*p);
        return out;
    }
}

}  // namespace corvane_common
