// The XML declaration scanner of _vexil, written once over the code-unit
// type. It finds the value of the first `encoding` pseudo-attribute in place;
// it checks nothing else about the declaration.
#pragma once

#include "pyhandle.hpp"

#include <cstring>
#include <type_traits>

CORVANE_EXPORT int parsedeclaration_ucs1(const Py_UCS1 *start, const Py_UCS1 *end, const Py_UCS1 **value_start,
                                         const Py_UCS1 **value_end);
CORVANE_EXPORT int parsedeclaration_ucs2(const Py_UCS2 *start, const Py_UCS2 *end, const Py_UCS2 **value_start,
                                         const Py_UCS2 **value_end);
CORVANE_EXPORT int parsedeclaration_ucs4(const Py_UCS4 *start, const Py_UCS4 *end, const Py_UCS4 **value_start,
                                         const Py_UCS4 **value_end);

namespace vexil {

// Result codes shared by the scanner and its callers inside and outside the
// module.
enum : int {
    DECL_ERROR = -1,          // malformed; a ValueError is set
    DECL_INCOMPLETE = 0,      // the text ended before a decision
    DECL_NO_ENCODING = 1,     // no prefix, or "?>" before any `encoding`
    DECL_ENCODING_FOUND = 2,  // [value_start, value_end) is the value
};

// The code-unit type behind a pointer handed out by corvane_common::with_units.
template <typename Pointer>
using unit_of = std::remove_cv_t<std::remove_pointer_t<Pointer>>;

// "<?xml" and one whitespace unit.
inline constexpr Py_ssize_t kPrefixLength = 6;

// Only these four count inside the declaration, at every width.
template <typename Unit>
constexpr bool is_declaration_space(Unit u) {
    return u == 0x20 || u == 0x09 || u == 0x0A || u == 0x0D;
}

template <typename Unit>
const Unit *skip_space(const Unit *p, const Unit *end) {
    while (p < end && is_declaration_space(*p))
        ++p;
    return p;
}

// Byte texts may be in any ASCII-compatible encoding, so at width 1 only the
// ASCII letters can be trusted to be letters.
template <typename Unit>
bool is_name_letter(Unit u) {
    if constexpr (sizeof(Unit) == 1)
        return (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z');
    else
        return Py_UNICODE_ISALPHA(static_cast<Py_UCS4>(u)) != 0;
}

template <typename Unit>
bool is_encoding_name(const Unit *name, const Unit *name_end) {
    static constexpr char kName[] = "encoding";
    constexpr Py_ssize_t kLength = sizeof kName - 1;
    if (name_end - name != kLength)
        return false;
    if constexpr (sizeof(Unit) == 1) {
        return std::strncmp(reinterpret_cast<const char *>(name), kName, kLength) == 0;
    } else {
        for (Py_ssize_t i = 0; i < kLength; ++i)
            if (name[i] != static_cast<Unit>(kName[i]))
                return false;
        return true;
    }
}

inline int malformed(const char *what) {
    PyErr_SetString(PyExc_ValueError, what);
    return DECL_ERROR;
}

// Returned by the prefix test when the walk is to go on after the prefix; never
// leaves the module.
inline constexpr int kPrefixPresent = 3;

// Stage 1: does [start, end) begin with "<?xml" and declaration whitespace?
template <typename Unit>
int prefix_test(const Unit *start, const Unit *end) {
    static constexpr char kOpen[] = "<?xml";
    const Py_ssize_t n = start < end ? end - start : 0;
    for (Py_ssize_t i = 0; i < kPrefixLength - 1; ++i) {
        if (n == i)
            return DECL_INCOMPLETE;
        if (start[i] != static_cast<Unit>(kOpen[i]))
            return DECL_NO_ENCODING;
    }
    if (n == kPrefixLength - 1)
        return DECL_INCOMPLETE;
    return is_declaration_space(start[kPrefixLength - 1]) ? kPrefixPresent : DECL_NO_ENCODING;
}

// Stage 2: walks the pseudo-attributes from p until the `encoding` value, the
// end mark, a malformation or the end of the text. Every read is guarded by
// `p < end`, so a range that starts after its end reads nothing.
template <typename Unit>
int walk_pseudo_attributes(const Unit *p, const Unit *end, const Unit **value_start, const Unit **value_end) {
    for (;;) {
        p = skip_space(p, end);
        if (p >= end)
            return DECL_INCOMPLETE;
        if (*p == '?') {
            // A "?" at the very end may yet become "?>": more text decides.
            if (end - p == 1)
                return DECL_INCOMPLETE;
            if (p[1] == '>')
                return DECL_NO_ENCODING;
        }
        const Unit *name = p;
        while (p < end && is_name_letter(*p))
            ++p;
        if (p >= end)
            return DECL_INCOMPLETE;
        if (p == name)
            return malformed("malformed XML declaration: empty or malformed pseudoattr name");
        const Unit *name_end = p;

        p = skip_space(p, end);
        if (p >= end)
            return DECL_INCOMPLETE;
        if (*p != '=')
            return malformed("malformed XML declaration: expected '='");
        p = skip_space(p + 1, end);
        if (p >= end)
            return DECL_INCOMPLETE;
        const Unit quote = *p;
        if (quote != '\'' && quote != '"')
            return malformed("malformed XML declaration: expected quote");

        *value_start = ++p;
        while (p < end && *p != quote)
            ++p;
        if (p >= end)
            return DECL_INCOMPLETE;
        *value_end = p;
        if (p == *value_start)
            return malformed("malformed XML declaration: empty pseudoattr value");
        if (is_encoding_name(name, name_end))
            return DECL_ENCODING_FOUND;
        ++p;
    }
}

// Sets the error for a str stored at a width that no routine here reads.
inline bool known_width(PyObject *text) {
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
    case PyUnicode_2BYTE_KIND:
    case PyUnicode_4BYTE_KIND:
        return true;
    default:
        PyErr_SetString(PyExc_ValueError, "Unknown unicode format");
        return false;
    }
}

template <typename Unit>
int parse_declaration(const Unit *start, const Unit *end, const Unit **value_start, const Unit **value_end) {
    const int prefix = prefix_test(start, end);
    if (prefix != kPrefixPresent)
        return prefix;
    return walk_pseudo_attributes(start + kPrefixLength, end, value_start, value_end);
}

}  // namespace vexil
