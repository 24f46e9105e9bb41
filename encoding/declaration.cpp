// The declaration scanner at its three widths, exported for other native code.

#include "declaration.hpp"

CORVANE_EXPORT int parsedeclaration_ucs1(const Py_UCS1 *start, const Py_UCS1 *end, const Py_UCS1 **value_start,
                                         const Py_UCS1 **value_end) {
    return vexil::parse_declaration(start, end, value_start, value_end);
}

CORVANE_EXPORT int parsedeclaration_ucs2(const Py_UCS2 *start, const Py_UCS2 *end, const Py_UCS2 **value_start,
                                         const Py_UCS2 **value_end) {
    return vexil::parse_declaration(start, end, value_start, value_end);
}

CORVANE_EXPORT int parsedeclaration_ucs4(const Py_UCS4 *start, const Py_UCS4 *end, const Py_UCS4 **value_start,
                                         const Py_UCS4 **value_end) {
    return vexil::parse_declaration(start, end, value_start, value_end);
}
