// Checks the vector primitives of one instruction set against plain loops,
// without an interpreter: built for a processor the machine may not have
// (AArch64 under an emulator) or for each x86 set in turn. The searches,
// the block masks and the width kernels get random texts of every length
// around a block, with the searched units, the class boundaries and wide
// units mixed in. Prints "N passed, N failed" and exits non-zero on a fault.
//
// Build: c++ -std=c++20 -O2 -I common -I parser -DCORVANE_ISA=0
//        -DCORVANE_ISA_NS=isa_baseline tests/native/vector_check.cpp

#include "isa.hpp"
#include "units.hpp"

#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

using namespace corvane_parser::CORVANE_ISA_NS;

long passed = 0, failed = 0;

void check(bool ok, const char *what, int width, std::size_t length, std::size_t detail) {
    if (ok) {
        ++passed;
        return;
    }
    if (++failed <= 20)
        std::printf("FAIL %s: %d-byte units, length %zu, at %zu\n", what, width, length, detail);
}

std::uint64_t state = 0x9E3779B97F4A7C15u;
std::uint64_t next() {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
}

// The largest unit of a width.
template <typename Unit>
constexpr std::uint32_t kTop = std::uint32_t((std::uint64_t(1) << (8 * sizeof(Unit))) - 1);

// Units near every boundary the primitives test: the needles, "!" and the
// units just below it, DEL and beyond, the top of each width.
template <typename Unit>
Unit pick(std::uint64_t r) {
    static const std::uint32_t kUnits[] = {
        'a',  'a',  'a',  'a',  'a',  'a',  'a',   'a',    '<',    '&',    '"',     '\'',     '>',   ' ',   '!',
        0x20, 0x00, 0x7E, 0x7F, 0x80, 0xFF, 0x100, 0x7FFF, 0x8000, 0xFFFF, 0x10000, 0x10FFFF, 0x13C, 0x3C00};
    std::uint32_t u = kUnits[r % (sizeof kUnits / sizeof *kUnits)];
    return static_cast<Unit>(u > kTop<Unit> ? u & kTop<Unit> : u);
}

template <typename Unit>
std::vector<Unit> text(std::size_t n) {
    std::vector<Unit> t(n);
    // Some texts have no needle at all, so the searches also run to the end.
    const bool plain = next() % 4 == 0;
    for (Unit &u : t) {
        u = pick<Unit>(next());
        if (plain && (u == '<' || u == '&' || u == '"'))
            u = 'a';
    }
    return t;
}

template <typename Unit>
void searches(std::size_t n) {
    const auto set = needles<Unit>('<', '&', '"');
    std::vector<Unit> t = text<Unit>(n);
    const Unit *begin = t.data(), *end = begin + n;
    for (std::size_t from = 0; from <= n && from < 3; ++from) {
        const Unit *p = begin + from;
        check(find_first(p, end, set) == find_plain(p, end, set), "find_first", sizeof(Unit), n, from);
        const Unit *want = p;
        while (want < end && !(*want < 0x21 || *want > 0x7F || set.match(*want)))
            ++want;
        check(find_suspect(p, end, set) == want, "find_suspect", sizeof(Unit), n, from);
    }
}

#if CORVANE_ISA_BLOCKS
// The mask whose units are those for which `is` holds, in the block's layout.
template <typename B, typename Unit, typename F>
std::uint64_t expected_mask(const Unit *p, F is) {
    std::uint64_t m = 0;
    for (std::ptrdiff_t i = 0; i < B::kUnits; ++i)
        if (is(p[i]))
            m |= std::uint64_t(1) << (i * B::kBitsPerUnit);
    return m;
}

template <typename Unit>
void blocks() {
    using B = Block<Unit>;
    std::vector<Unit> t = text<Unit>(B::kUnits);
    const Unit *p = t.data();
    const typename B::Reg s[] = {B::splat('"'), B::splat('\''), B::splat('>'), B::splat('<')};
    auto any = [](Unit u) { return u == '"' || u == '\'' || u == '>' || u == '<'; };
    check(B::hits(p, s) == expected_mask<B>(p, any), "hits", sizeof(Unit), B::kUnits, 0);
    check(B::suspects(p, s) == expected_mask<B>(p, [&](Unit u) { return u < 0x21 || u > 0x7F || any(u); }),
          "suspects", sizeof(Unit), B::kUnits, 0);
    std::uint64_t first, second, rest;
    B::classify(p, s, first, second, rest);
    check(first == expected_mask<B>(p, [](Unit u) { return u == '"'; }) &&
              second == expected_mask<B>(p, [](Unit u) { return u == '\''; }) &&
              rest == expected_mask<B>(p, [](Unit u) { return u == '>' || u == '<'; }),
          "classify", sizeof(Unit), B::kUnits, 0);
    // The parity at each unit's bit: inside a quote opened in the block.
    std::uint64_t inside = B::prefix_parity(first), want = 0;
    bool open = false;
    for (std::ptrdiff_t i = 0; i < B::kUnits; ++i) {
        open ^= p[i] == '"';
        if (open)
            want |= std::uint64_t(1) << (i * B::kBitsPerUnit);
    }
    check((inside & B::kLowest) == want, "prefix_parity", sizeof(Unit), B::kUnits, 0);
}
#endif

template <typename Out, typename In>
void copies(std::size_t n) {
    std::vector<In> t = text<In>(n);
    // Narrowing is only asked for units that fit.
    for (In &u : t)
        if (std::uint32_t(u) > kTop<Out>)
            u = static_cast<In>(u & kTop<Out>);
    std::vector<Out> out(n + 1, Out(0x5A));
    Out *stop = corvane_common::copy_units(t.data(), t.data() + n, out.data());
    bool same = stop == out.data() + n && out[n] == Out(0x5A);
    std::size_t at = n;
    for (std::size_t i = 0; i < n && same; ++i)
        if (out[i] != static_cast<Out>(t[i]))
            same = false, at = i;
    check(same, "copy_units", int(sizeof(In) * 10 + sizeof(Out)), n, at);
}

template <typename Unit>
void classes(std::size_t n) {
    std::vector<Unit> t = text<Unit>(n);
    std::uint32_t top = 0;
    for (Unit u : t)
        top = top > u ? top : u;
    auto cls = [](std::uint32_t m) { return m < 0x80 ? 0 : m < 0x100 ? 1 : m < 0x10000 ? 2 : 3; };
    std::uint32_t got = corvane_common::largest_class(t.data(), t.data() + n);
    check(cls(got) == cls(top) && got <= 0x10FFFF, "largest_class", sizeof(Unit), n, got);
}

template <typename Unit>
void width(std::size_t n) {
    searches<Unit>(n);
    classes<Unit>(n);
}

}  // namespace

int main() {
    for (int round = 0; round < 40; ++round) {
        for (std::size_t n = 0; n <= 200; ++n) {
            width<std::uint8_t>(n);
            width<std::uint16_t>(n);
            width<std::uint32_t>(n);
            copies<std::uint8_t, std::uint16_t>(n);
            copies<std::uint8_t, std::uint32_t>(n);
            copies<std::uint16_t, std::uint32_t>(n);
            copies<std::uint16_t, std::uint8_t>(n);
            copies<std::uint32_t, std::uint8_t>(n);
            copies<std::uint32_t, std::uint16_t>(n);
        }
#if CORVANE_ISA_BLOCKS
        for (int i = 0; i < 100; ++i) {
            blocks<std::uint8_t>();
            blocks<std::uint16_t>();
            blocks<std::uint32_t>();
        }
#endif
    }
    std::printf("vectors: %ld passed, %ld failed\n", passed, failed);
    return failed ? 1 : 0;
}
