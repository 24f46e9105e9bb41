// The scanner's view of code units at each width: character classes, and
// the strs made from ranges of units for the callbacks.
#pragma once

#include "corvane.hpp"
#include "units.hpp"

#include <cstdlib>
#include <iterator>
#include <type_traits>

namespace corvane_parser {

// Classes of the code points below 256, one bit each, built at module
// initialisation from the interpreter's own predicates, so that they agree
// with it exactly; code points from 256 on ask the interpreter directly.
enum : std::uint8_t {
    kSpace = 1,       // the interpreter's whitespace (str.isspace)
    kNameStop = 2,    // ends an XML name: ">", "/", "?" and whitespace
    kRefStop = 4,     // ends a reference in character data: ";", "<", ">", whitespace
    kSgmlName = 8,    // str.isalnum, "-", ".", ":", "?"
    kParamStop = 16,  // ends a parameter-entity name: ";" and whitespace
    kAttrStop = 32,   // ends an attribute's name in a tag: "=" and whitespace
};

struct Classes {
    std::uint8_t bits[256];
    Py_UCS1 lower[256];
};

extern Classes classes;

// Beyond Latin-1 the classes hold letters and digits (SGML names) or
// whitespace (all the others).
CORVANE_NOINLINE inline bool in_class_beyond_latin1(Py_UCS4 c, std::uint8_t bit) {
    if (bit == kSgmlName)
        return Py_UNICODE_ISALNUM(c);
    return Py_UNICODE_ISSPACE(c);
}

template <typename Unit>
CORVANE_INLINE bool in_class(Unit c, std::uint8_t bit) {
    if constexpr (sizeof(Unit) == 1)
        return (classes.bits[c] & bit) != 0;
    else
        return c < 256 ? (classes.bits[c] & bit) != 0 : in_class_beyond_latin1(c, bit);
}

template <typename Unit>
CORVANE_INLINE bool is_space(Unit c) {
    return in_class(c, kSpace);
}

template <typename Unit>
inline Unit to_lower(Unit c) {
    if constexpr (sizeof(Unit) == 1)
        return classes.lower[c];
    else
        return c < 256 ? Unit(classes.lower[c]) : Unit(Py_UNICODE_TOLOWER(c));
}

// The first code unit at or after p in the class, or end. Names and
// references are short: four units are tested for each test of the end.
template <typename P>
CORVANE_INLINE P find_class(P p, P end, std::uint8_t bit) {
    for (; end - p >= 4; p += 4) {
        if (in_class(p[0], bit))
            return p;
        if (in_class(p[1], bit))
            return p + 1;
        if (in_class(p[2], bit))
            return p + 2;
        if (in_class(p[3], bit))
            return p + 3;
    }
    while (p < end && !in_class(*p, bit))
        ++p;
    return p;
}

template <typename P>
inline P skip_space(P p, P end) {
    while (p < end && is_space(*p))
        ++p;
    return p;
}

// A new str holding the units [begin, end), stored in the narrowest width
// that holds them, as the interpreter stores every str. `ascii` tells that
// the source is known to hold nothing beyond ASCII.
template <typename Unit>
PyObject *make_str(const Unit *begin, const Unit *end, bool ascii = false) {
    const Py_ssize_t n = end - begin;
    // Single code points below 256 come from the interpreter's cache of them.
    if (n <= 1)
        return n == 1 ? PyUnicode_FromOrdinal(int(*begin)) : PyUnicode_New(0, 0);
    const Py_UCS4 top = ascii ? 0x7F : corvane_common::largest_class(begin, end);
    PyObject *str = PyUnicode_New(n, top);
    if (!str)
        return nullptr;
    void *out = PyUnicode_DATA(str);
    switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND:
        corvane_common::copy_units(begin, end, static_cast<Py_UCS1 *>(out));
        break;
    case PyUnicode_2BYTE_KIND:
        corvane_common::copy_units(begin, end, static_cast<Py_UCS2 *>(out));
        break;
    default:
        corvane_common::copy_units(begin, end, static_cast<Py_UCS4 *>(out));
        break;
    }
    return str;
}

// A str of [begin, end) whose first units, up to lowered_end, are
// lower-cased: an SGML name read in place, where the held text would hold
// it lower-cased. Lower-casing never moves a code point out of its width.
template <typename Unit>
PyObject *make_lowered_str(const Unit *begin, const Unit *lowered_end, const Unit *end) {
    const Py_ssize_t n = end - begin;
    Unit local[128];
    Unit *units = local;
    if (n > Py_ssize_t(std::size(local))) {
        units = static_cast<Unit *>(std::malloc(std::size_t(n) * sizeof(Unit)));
        if (!units)
            return PyErr_NoMemory();
    }
    Unit *out = units;
    for (const Unit *p = begin; p < lowered_end; ++p)
        *out++ = to_lower(*p);
    corvane_common::copy_units(lowered_end, end, out);
    PyObject *str = make_str(static_cast<const Unit *>(units), units + n);
    if (units != local)
        std::free(units);
    return str;
}

// How a scan makes the strs it reports. The held text holds SGML names
// lower-cased already; a piece read in place is a str that cannot change,
// so its names are lower-cased into each str made from them.
template <typename Unit, bool Held, bool Xml>
struct Strings {
    bool ascii = false;  // the piece holds nothing beyond ASCII

    PyObject *plain(const Unit *begin, const Unit *end) const { return make_str(begin, end, ascii); }

    // A range that begins with a name the scan read (lower-cased in SGML
    // mode) up to name_end.
    PyObject *named(const Unit *begin, const Unit *name_end, const Unit *end) const {
        if constexpr (Held || Xml)
            return make_str(begin, end, ascii);
        else
            return make_lowered_str(begin, name_end, end);
    }
};

}  // namespace corvane_parser
