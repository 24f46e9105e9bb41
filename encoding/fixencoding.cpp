// fixencoding: puts a new name into the `encoding` pseudo-attribute of the
// XML declaration that starts a text.

#include "declaration.hpp"
#include "units.hpp"
#include "vexil.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

// Every unit copied fits the destination: the result's width was chosen
// from the class of the units written into it.
using corvane_common::copy_units;
using corvane_common::largest_class;

// The first code point of the class whose last one is `bound`.
constexpr Py_UCS4 class_floor(Py_UCS4 bound) {
    return bound == 0x7F ? 0 : bound == 0xFF ? 0x80 : bound == 0xFFFF ? 0x100 : 0x10000;
}

// The class of the head and the tail, the units that the result keeps, as a
// maximum for PyUnicode_New; text_bound is the text's own class. The
// interpreter stores every str in the narrowest class that holds its units,
// so some unit of the text reaches its class: when the old value, which is
// short, holds none, the head or the tail does, and the long stretches need
// not be read at all.
template <typename Unit>
Py_UCS4 kept_class(const Unit *text, Py_ssize_t n, Py_ssize_t value_at, Py_ssize_t tail_at, Py_UCS4 text_bound) {
    if (text_bound == 0x7F || largest_class(text + value_at, text + tail_at) < class_floor(text_bound))
        return text_bound;
    return std::max(largest_class(text, text + value_at), largest_class(text + tail_at, text + n));
}

// Builds head + name + tail in one string of the exact length and narrowest
// width. The old value [value_at, tail_at) is not copied, and counts for the
// width only as far as kept_class says.
template <typename Text, typename Name>
PyObject *rewrite(const Text *text, Py_ssize_t n, Py_ssize_t value_at, Py_ssize_t tail_at, Py_UCS4 text_bound,
                  const Name *name, Py_ssize_t m, Py_UCS4 name_bound) {
    const Py_UCS4 kept = kept_class(text, n, value_at, tail_at, text_bound);
    PyObject *result = PyUnicode_New(value_at + m + (n - tail_at), std::max(kept, name_bound));
    if (!result)
        return nullptr;
    return corvane_common::with_units<true>(result, [&](auto *out) {
        out = copy_units(text, text + value_at, out);
        out = copy_units(name, name + m, out);
        copy_units(text + tail_at, text + n, out);
        return result;
    });
}

}  // namespace

CORVANE_EXPORT PyObject *fixencoding(PyObject *, PyObject *args) {
    using corvane_common::with_units;
    PyObject *text, *name;
    int final = 0;
    if (!PyArg_ParseTuple(args, "O!O!|i:fixencoding", &PyUnicode_Type, &text, &PyUnicode_Type, &name, &final))
        return nullptr;
    if (!vexil::known_width(text) || !vexil::known_width(name))
        return nullptr;

    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    return with_units(text, [&](const auto *units) -> PyObject * {
        const vexil::unit_of<decltype(units)> *value_start = nullptr, *value_end = nullptr;
        switch (vexil::parse_declaration(units, units + n, &value_start, &value_end)) {
        case vexil::DECL_ENCODING_FOUND:
            break;
        case vexil::DECL_INCOMPLETE:
            if (!final)
                Py_RETURN_NONE;
            return Py_NewRef(text);
        case vexil::DECL_NO_ENCODING:
            return Py_NewRef(text);
        default:
            return nullptr;
        }
        const Py_ssize_t m = PyUnicode_GET_LENGTH(name);
        const Py_UCS4 name_bound = PyUnicode_MAX_CHAR_VALUE(name);
        return with_units(name, [&](const auto *name_units) {
            return rewrite(units, n, value_start - units, value_end - units, PyUnicode_MAX_CHAR_VALUE(text),
                           name_units, m, name_bound);
        });
    });
}
