// Internal seams of the corvane module: the parser record, the callback
// slots, the character classes and the calls into the target that the
// scanner, the reference resolver and the start-tag reporter share.
#pragma once

#include "pyhandle.hpp"

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace corvane_parser {

using corvane_common::Ref;

// The callback slots in the order the record holds them.
enum Slot : int {
    EnterStartTag,
    EnterAttr,
    LeaveAttr,
    LeaveStartTag,
    EndTag,
    Proc,
    Special,
    CharRef,
    EntityRef,
    Text,
    Cdata,
    Comment,
    kSlotCount
};

struct FastParser {
    PyObject_HEAD
    std::int32_t xml_mode;
    std::int32_t busy;
    std::int32_t pending_net;
    std::int32_t doctype_state;
    Py_UCS4 *buffer;
    Py_ssize_t buffer_length;
    Py_ssize_t buffer_capacity;
    PyObject *slots[kSlotCount];
    // How far the scan already read the incomplete construct that begins the
    // held text, so that the next call goes on from there instead of reading
    // a long comment or quoted value again from its start: an offset from
    // the construct's first code point (0: not read), and the quote open
    // there. Set by a scan that stops at such a construct, taken by the next
    // scan, and reset with the held text.
    Py_ssize_t resume_offset;
    Py_UCS4 resume_quote;
};

// Scans the held text [start, end) (start < end) and reports what it finds.
// Returns the position up to which the text is consumed, or null with an
// exception set; a failed scan leaves pending_net and doctype_state as it
// found them.
Py_UCS4 *scan(FastParser *self, Py_UCS4 *start, Py_UCS4 *end);

// A reference in character data: the name between "&" and its terminator,
// or for a character reference the digits after "&#". Returns -1 on failure.
int report_reference(FastParser *self, bool character, const Py_UCS4 *name,
                     const Py_UCS4 *name_end);

// A reference inside an attribute value: the range after "&" up to its ";"
// (or the end of the value). Returns -1 on failure.
int report_attribute_reference(FastParser *self, const Py_UCS4 *begin,
                               const Py_UCS4 *end);

// A complete start tag (or empty-element tag, which is also ended) with its
// name and its attribute area [attrs, attrs_end). Returns -1 on failure.
int report_starttag(FastParser *self, bool empty, const Py_UCS4 *name,
                    const Py_UCS4 *name_end, const Py_UCS4 *attrs,
                    const Py_UCS4 *attrs_end);

// Character classes below 128, one bit each.
enum : std::uint8_t {
    kSpace = 1,      // the interpreter's whitespace
    kNameStop = 2,   // ends an XML name: ">", "/", "?" and whitespace
    kRefStop = 4,    // ends a reference in character data: ";", "<", ">", whitespace
    kSgmlName = 8,   // letters, digits, "-", ".", ":", "?"
};

struct ClassTable {
    std::uint8_t bits[128];
};

constexpr ClassTable make_classes() {
    ClassTable t{};
    // Tab, line feed, vertical tab, form feed, carriage return, the four
    // information separators and space: what str.isspace accepts below 128.
    for (int c : {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x1C, 0x1D, 0x1E, 0x1F, 0x20})
        t.bits[c] |= kSpace | kNameStop | kRefStop;
    for (int c : {'>', '/', '?'})
        t.bits[c] |= kNameStop;
    for (int c : {';', '<', '>'})
        t.bits[c] |= kRefStop;
    for (int c = 0; c < 128; ++c)
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
            t.bits[c] |= kSgmlName;
    for (int c : {'-', '.', ':', '?'})
        t.bits[c] |= kSgmlName;
    return t;
}

inline constexpr ClassTable kClasses = make_classes();

inline bool is_space(Py_UCS4 c) {
    return c < 128 ? (kClasses.bits[c] & kSpace) != 0 : _PyUnicode_IsWhitespace(c) != 0;
}

inline const Py_UCS4 *skip_space(const Py_UCS4 *p, const Py_UCS4 *end) {
    while (p < end && is_space(*p))
        ++p;
    return p;
}

// Up to five code points searched for together. A place that is not needed
// repeats the first code point, so that every test below stays a plain
// comparison.
struct CodeSet {
    Py_UCS4 c[5];

    explicit CodeSet(Py_UCS4 a, Py_UCS4 b = 0, Py_UCS4 d = 0, Py_UCS4 e = 0, Py_UCS4 f = 0)
        : c{a, b ? b : a, d ? d : a, e ? e : a, f ? f : a} {}

    bool match(Py_UCS4 x) const {
        return (x == c[0]) | (x == c[1]) | (x == c[2]) | (x == c[3]) | (x == c[4]);
    }
};

// The fast path over long runs, of plain text and of the insides of
// comments, CDATA sections and quoted values alike: the first code point at
// or after p that is in the set, or end. Four code points are tested at a
// time where the machine allows it.
template <typename P>
inline P find_any(P p, P end, const CodeSet &o) {
    // Constructs often follow each other directly.
    if (p < end && o.match(*p))
        return p;
#if defined(__SSE2__)
    __m128i c0 = _mm_set1_epi32(int(o.c[0])), c1 = _mm_set1_epi32(int(o.c[1]));
    __m128i c2 = _mm_set1_epi32(int(o.c[2])), c3 = _mm_set1_epi32(int(o.c[3]));
    __m128i c4 = _mm_set1_epi32(int(o.c[4]));
    for (; end - p >= 4; p += 4) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        __m128i hit = _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi32(x, c0), _mm_cmpeq_epi32(x, c1)),
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi32(x, c2), _mm_cmpeq_epi32(x, c3)),
                         _mm_cmpeq_epi32(x, c4)));
        if (int lanes = _mm_movemask_ps(_mm_castsi128_ps(hit)))
            return p + __builtin_ctz(unsigned(lanes));
    }
#endif
    while (p < end && !o.match(*p))
        ++p;
    return p;
}

// A new str holding the code points [begin, end), in the narrowest width
// that holds them, as PyUnicode_FromKindAndData makes it.
PyObject *make_str(const Py_UCS4 *begin, const Py_UCS4 *end);

// Calls fn, which the caller holds, with one argument; the result is dropped.
inline int call_one(PyObject *fn, PyObject *arg) {
    Ref result(PyObject_CallOneArg(fn, arg));
    return result ? 0 : -1;
}

// Reports `arg` to the callable bound in `slot`, if any. The callable is held
// for the length of the call, which may rebind or clear the slot.
inline int report_object(FastParser *self, Slot slot, PyObject *arg) {
    PyObject *bound = self->slots[slot];
    if (!bound)
        return 0;
    Ref fn = Ref::borrow(bound);
    return call_one(fn.get(), arg);
}

// Reports the code points [begin, end) to `slot`; an empty slot costs nothing,
// not even the string.
inline int report_range(FastParser *self, Slot slot, const Py_UCS4 *begin,
                        const Py_UCS4 *end) {
    PyObject *bound = self->slots[slot];
    if (!bound)
        return 0;
    // Take hold of the callable before the string exists: making it may run
    // the collector, and with it code that rebinds the slot.
    Ref fn = Ref::borrow(bound);
    Ref arg(make_str(begin, end));
    if (!arg)
        return -1;
    return call_one(fn.get(), arg.get());
}

}  // namespace corvane_parser
