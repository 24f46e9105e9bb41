// The vector primitives of the scanner for one instruction set: searches
// for a few code units, and the classing of a whole block of units at
// once. The scanner is compiled once for each set that the processor may
// offer, in its own namespace, and the one it offers is chosen when the
// module is initialised: CORVANE_ISA is 0 for the baseline (SSE2 on
// x86-64, NEON on AArch64, plain loops otherwise), 1 for AVX2 and 2 for
// AVX-512BW, and CORVANE_ISA_NS names the namespace.
//
// Every block primitive answers with masks of one bit per unit: the unit at
// index i of the block owns bit i * kBitsPerUnit, and no other bit is set.

#include "simd.hpp"

#include <cstddef>
#include <cstdint>

#if !defined(CORVANE_ISA) || !defined(CORVANE_ISA_NS)
#error "the scanner's instruction set is not chosen"
#endif

#if CORVANE_SIMD_X86 || CORVANE_SIMD_NEON
#define CORVANE_ISA_BLOCKS 1
#endif

namespace corvane_parser::CORVANE_ISA_NS {

using corvane_common::simd::first_bit;

// The code units searched for: N of them, all below 128.
template <typename Unit, int N>
struct Needles {
    Unit c[N];

    bool match(Unit x) const {
        bool hit = false;
        for (int i = 0; i < N; ++i)
            hit |= x == c[i];
        return hit;
    }
};

template <typename Unit, typename... C>
constexpr Needles<Unit, int(sizeof...(C))> needles(C... c) {
    return {{static_cast<Unit>(c)...}};
}

#if CORVANE_ISA_BLOCKS

template <typename Unit>
struct Block {
#if CORVANE_ISA == 2
    static constexpr std::ptrdiff_t kBytes = 64;
    static constexpr int kBitsPerUnit = 1;
    using Reg = __m512i;

    static Reg load(const Unit *p) { return _mm512_loadu_si512(p); }
    static Reg splat(Unit c) {
        if constexpr (sizeof(Unit) == 1)
            return _mm512_set1_epi8(static_cast<char>(c));
        else if constexpr (sizeof(Unit) == 2)
            return _mm512_set1_epi16(static_cast<short>(c));
        else
            return _mm512_set1_epi32(static_cast<int>(c));
    }
    static std::uint64_t equal(Reg v, Reg s) {
        if constexpr (sizeof(Unit) == 1)
            return _mm512_cmpeq_epi8_mask(v, s);
        else if constexpr (sizeof(Unit) == 2)
            return _mm512_cmpeq_epi16_mask(v, s);
        else
            return _mm512_cmpeq_epi32_mask(v, s);
    }
    static std::uint64_t either(std::uint64_t a, std::uint64_t b) { return a | b; }
    static std::uint64_t mask(std::uint64_t m) { return m; }
    // The units below "!" or beyond ASCII. Compared as signed numbers, the
    // units with the top bit set are below "!" too.
    static std::uint64_t unprintable(Reg v) {
        if constexpr (sizeof(Unit) == 1)
            return _mm512_cmplt_epi8_mask(v, splat(0x21));
        else if constexpr (sizeof(Unit) == 2)
            return _mm512_cmplt_epi16_mask(v, splat(0x21)) | _mm512_cmpgt_epi16_mask(v, splat(0x7F));
        else
            return _mm512_cmplt_epi32_mask(v, splat(0x21)) | _mm512_cmpgt_epi32_mask(v, splat(0x7F));
    }

    // The units among the first n of the block at p (n below a block's
    // count) that equal any of the set; the others are not even read.
    template <int N>
    static std::uint64_t hits_within(const Unit *p, std::ptrdiff_t n, const Reg (&s)[N]) {
        const std::uint64_t lanes = (std::uint64_t(1) << n) - 1;
        std::uint64_t h = 0;
        if constexpr (sizeof(Unit) == 1) {
            Reg v = _mm512_maskz_loadu_epi8(lanes, p);
            for (int i = 0; i < N; ++i)
                h |= _mm512_mask_cmpeq_epi8_mask(lanes, v, s[i]);
        } else if constexpr (sizeof(Unit) == 2) {
            Reg v = _mm512_maskz_loadu_epi16(__mmask32(lanes), p);
            for (int i = 0; i < N; ++i)
                h |= _mm512_mask_cmpeq_epi16_mask(__mmask32(lanes), v, s[i]);
        } else {
            Reg v = _mm512_maskz_loadu_epi32(__mmask16(lanes), p);
            for (int i = 0; i < N; ++i)
                h |= _mm512_mask_cmpeq_epi32_mask(__mmask16(lanes), v, s[i]);
        }
        return h;
    }
#elif CORVANE_ISA == 1
    static constexpr std::ptrdiff_t kBytes = 32;
    static constexpr int kBitsPerUnit = int(sizeof(Unit));
    using Reg = __m256i;

    static Reg load(const Unit *p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)); }
    static Reg splat(Unit c) {
        if constexpr (sizeof(Unit) == 1)
            return _mm256_set1_epi8(static_cast<char>(c));
        else if constexpr (sizeof(Unit) == 2)
            return _mm256_set1_epi16(static_cast<short>(c));
        else
            return _mm256_set1_epi32(static_cast<int>(c));
    }
    static Reg equal(Reg v, Reg s) {
        if constexpr (sizeof(Unit) == 1)
            return _mm256_cmpeq_epi8(v, s);
        else if constexpr (sizeof(Unit) == 2)
            return _mm256_cmpeq_epi16(v, s);
        else
            return _mm256_cmpeq_epi32(v, s);
    }
    static Reg either(Reg a, Reg b) { return _mm256_or_si256(a, b); }
    static Reg unprintable(Reg v) {
        if constexpr (sizeof(Unit) == 1)
            return _mm256_cmpgt_epi8(splat(0x21), v);
        else if constexpr (sizeof(Unit) == 2)
            return _mm256_or_si256(_mm256_cmpgt_epi16(splat(0x21), v), _mm256_cmpgt_epi16(v, splat(0x7F)));
        else
            return _mm256_or_si256(_mm256_cmpgt_epi32(splat(0x21), v), _mm256_cmpgt_epi32(v, splat(0x7F)));
    }
    static std::uint64_t mask(Reg h) { return std::uint32_t(_mm256_movemask_epi8(h)) & kLowest; }
#elif CORVANE_SIMD_X86
    static constexpr std::ptrdiff_t kBytes = 16;
    static constexpr int kBitsPerUnit = int(sizeof(Unit));
    using Reg = __m128i;

    static Reg load(const Unit *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }
    static Reg splat(Unit c) {
        if constexpr (sizeof(Unit) == 1)
            return _mm_set1_epi8(static_cast<char>(c));
        else if constexpr (sizeof(Unit) == 2)
            return _mm_set1_epi16(static_cast<short>(c));
        else
            return _mm_set1_epi32(static_cast<int>(c));
    }
    static Reg equal(Reg v, Reg s) {
        if constexpr (sizeof(Unit) == 1)
            return _mm_cmpeq_epi8(v, s);
        else if constexpr (sizeof(Unit) == 2)
            return _mm_cmpeq_epi16(v, s);
        else
            return _mm_cmpeq_epi32(v, s);
    }
    static Reg either(Reg a, Reg b) { return _mm_or_si128(a, b); }
    static Reg unprintable(Reg v) {
        if constexpr (sizeof(Unit) == 1)
            return _mm_cmplt_epi8(v, splat(0x21));
        else if constexpr (sizeof(Unit) == 2)
            return _mm_or_si128(_mm_cmplt_epi16(v, splat(0x21)), _mm_cmpgt_epi16(v, splat(0x7F)));
        else
            return _mm_or_si128(_mm_cmplt_epi32(v, splat(0x21)), _mm_cmpgt_epi32(v, splat(0x7F)));
    }
    static std::uint64_t mask(Reg h) { return unsigned(_mm_movemask_epi8(h)) & kLowest; }
#else  // NEON
    static constexpr std::ptrdiff_t kBytes = 16;
    // The shift-and-narrow idiom that stands in for a byte mask here gives
    // four bits per byte.
    static constexpr int kBitsPerUnit = 4 * int(sizeof(Unit));
    using Reg = uint8x16_t;

    static Reg load(const Unit *p) { return vld1q_u8(reinterpret_cast<const std::uint8_t *>(p)); }
    static Reg splat(Unit c) {
        if constexpr (sizeof(Unit) == 1)
            return vdupq_n_u8(c);
        else if constexpr (sizeof(Unit) == 2)
            return vreinterpretq_u8_u16(vdupq_n_u16(c));
        else
            return vreinterpretq_u8_u32(vdupq_n_u32(c));
    }
    static Reg equal(Reg v, Reg s) {
        if constexpr (sizeof(Unit) == 1)
            return vceqq_u8(v, s);
        else if constexpr (sizeof(Unit) == 2)
            return vreinterpretq_u8_u16(vceqq_u16(vreinterpretq_u16_u8(v), vreinterpretq_u16_u8(s)));
        else
            return vreinterpretq_u8_u32(vceqq_u32(vreinterpretq_u32_u8(v), vreinterpretq_u32_u8(s)));
    }
    static Reg either(Reg a, Reg b) { return vorrq_u8(a, b); }
    static Reg unprintable(Reg v) {
        if constexpr (sizeof(Unit) == 1) {
            return vcltq_s8(vreinterpretq_s8_u8(v), vdupq_n_s8(0x21));
        } else if constexpr (sizeof(Unit) == 2) {
            int16x8_t w = vreinterpretq_s16_u8(v);
            return vreinterpretq_u8_u16(
                vorrq_u16(vcltq_s16(w, vdupq_n_s16(0x21)), vcgtq_s16(w, vdupq_n_s16(0x7F))));
        } else {
            int32x4_t w = vreinterpretq_s32_u8(v);
            return vreinterpretq_u8_u32(
                vorrq_u32(vcltq_s32(w, vdupq_n_s32(0x21)), vcgtq_s32(w, vdupq_n_s32(0x7F))));
        }
    }
    static std::uint64_t mask(Reg h) {
        uint8x8_t nibbles = vshrn_n_u16(vreinterpretq_u16_u8(h), 4);
        return vget_lane_u64(vreinterpret_u64_u8(nibbles), 0) & kLowest;
    }
#endif

    static constexpr std::ptrdiff_t kUnits = kBytes / std::ptrdiff_t(sizeof(Unit));
    static constexpr int kMaskBits = int(kUnits) * kBitsPerUnit;
    // The lowest bit of each unit's share of a mask.
    static constexpr std::uint64_t kLowest = [] {
        std::uint64_t m = 0;
        for (std::ptrdiff_t i = 0; i < kUnits; ++i)
            m |= std::uint64_t(1) << (i * kBitsPerUnit);
        return m;
    }();
    // The bit of the block's last unit.
    static constexpr int kLastBit = int(kUnits - 1) * kBitsPerUnit;

    static const Unit *at(const Unit *block, std::uint64_t m) { return block + first_bit(m) / kBitsPerUnit; }

    // The units of the block at p that equal any of the set.
    template <int N>
    static std::uint64_t hits(const Unit *p, const Reg (&s)[N]) {
        Reg v = load(p);
        auto h = equal(v, s[0]);
        for (int i = 1; i < N; ++i)
            h = either(h, equal(v, s[i]));
        return mask(h);
    }

    // The units of the block at p that are unprintable or equal any of
    // the set.
    template <int N>
    static std::uint64_t suspects(const Unit *p, const Reg (&s)[N]) {
        Reg v = load(p);
        auto h = unprintable(v);
        for (int i = 0; i < N; ++i)
            h = either(h, equal(v, s[i]));
        return mask(h);
    }

    // The units of the block at p that equal the first mark, those that
    // equal the second, and those that equal any of the others.
    template <int N>
    static void classify(const Unit *p, const Reg (&s)[N], std::uint64_t &first, std::uint64_t &second,
                         std::uint64_t &rest) {
        Reg v = load(p);
        first = mask(equal(v, s[0]));
        second = mask(equal(v, s[1]));
        auto h = equal(v, s[2]);
        for (int i = 3; i < N; ++i)
            h = either(h, equal(v, s[i]));
        rest = mask(h);
    }

    // The bits of a mask strictly above `bit`.
    static std::uint64_t above(std::size_t bit) { return ~std::uint64_t(1) << bit; }

    // Each bit becomes the parity of itself and all the bits below it: for
    // the mask of a block's quotes, the units that lie inside a quote
    // opened in the block (the opening quote included).
    static std::uint64_t prefix_parity(std::uint64_t m) {
        m ^= m << 1;
        m ^= m << 2;
        m ^= m << 4;
        m ^= m << 8;
        if constexpr (kMaskBits > 16)
            m ^= m << 16;
        if constexpr (kMaskBits > 32)
            m ^= m << 32;
        return m;
    }
};

#endif  // CORVANE_ISA_BLOCKS

template <typename Unit, int N>
const Unit *find_plain(const Unit *p, const Unit *end, const Needles<Unit, N> &set) {
    for (; p < end; ++p)
        if (set.match(*p))
            return p;
    return end;
}

// The first unit at or after p that is in the set, or end: the fast path
// over plain text, and over the insides of comments, CDATA sections and
// quoted values.
template <typename Unit, int N>
CORVANE_INLINE const Unit *find_first(const Unit *p, const Unit *end, const Needles<Unit, N> &set) {
#if CORVANE_ISA_BLOCKS
    using B = Block<Unit>;
    if (end - p >= B::kUnits) {
        typename B::Reg s[N];
        for (int i = 0; i < N; ++i)
            s[i] = B::splat(set.c[i]);
        for (; end - p >= B::kUnits; p += B::kUnits)
            if (std::uint64_t h = B::hits(p, s))
                return B::at(p, h);
        if (p == end)
            return end;
        // The units before p hold no hit: the last block may overlap them.
        const Unit *last = end - B::kUnits;
        if (std::uint64_t h = B::hits(last, s))
            return B::at(last, h);
        return end;
    }
#if CORVANE_ISA == 2
    // Shorter than a block: the lanes beyond the end are masked off.
    if (p < end) {
        typename B::Reg s[N];
        for (int i = 0; i < N; ++i)
            s[i] = B::splat(set.c[i]);
        if (std::uint64_t h = B::hits_within(p, end - p, s))
            return B::at(p, h);
    }
    return end;
#elif CORVANE_ISA == 1
    // Shorter than a block: the baseline's half block may still fit.
    constexpr std::ptrdiff_t kHalf = 16 / sizeof(Unit);
    if (end - p >= kHalf) {
        auto hits = [&set](const Unit *q) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(q));
            __m128i h = _mm_setzero_si128();
            for (int i = 0; i < N; ++i) {
                __m128i c = _mm256_castsi256_si128(B::splat(set.c[i]));
                if constexpr (sizeof(Unit) == 1)
                    h = _mm_or_si128(h, _mm_cmpeq_epi8(v, c));
                else if constexpr (sizeof(Unit) == 2)
                    h = _mm_or_si128(h, _mm_cmpeq_epi16(v, c));
                else
                    h = _mm_or_si128(h, _mm_cmpeq_epi32(v, c));
            }
            return unsigned(_mm_movemask_epi8(h));
        };
        if (unsigned h = hits(p))
            return p + first_bit(h) / sizeof(Unit);
        if (unsigned h = hits(end - kHalf))
            return end - kHalf + first_bit(h) / sizeof(Unit);
        return end;
    }
#endif
#endif
    return find_plain(p, end, set);
}

// The first unit at or after p that is below "!" (control codes, space),
// beyond ASCII, or in the set: a superset of a class of stops, for the
// caller to test exactly. It ends names and references, which are short, so
// the end of the text stops the search at the last whole block.
template <typename Unit, int N>
CORVANE_INLINE const Unit *find_suspect(const Unit *p, const Unit *end, const Needles<Unit, N> &set) {
#if CORVANE_ISA_BLOCKS
    using B = Block<Unit>;
    if (end - p >= B::kUnits) {
        typename B::Reg s[N];
        for (int i = 0; i < N; ++i)
            s[i] = B::splat(set.c[i]);
        for (; end - p >= B::kUnits; p += B::kUnits)
            if (std::uint64_t h = B::suspects(p, s))
                return B::at(p, h);
    }
#endif
    for (; p < end; ++p)
        if (*p < 0x21 || *p > 0x7F || set.match(*p))
            return p;
    return end;
}

}  // namespace corvane_parser::CORVANE_ISA_NS
