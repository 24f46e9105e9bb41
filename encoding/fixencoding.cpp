// fixencoding: puts a new name into the `encoding` pseudo-attribute of the
// XML declaration that starts a text.

#include "declaration.hpp"

#include <algorithm>

namespace {

template <typename Unit>
Py_UCS4 largest(const Unit *p, const Unit *end) {
    Unit top = 0;
    for (; p < end; ++p)
        top = std::max(top, *p);
    return top;
}

// Every unit copied fits the destination: the result's width was chosen from
// the largest unit that is written into it.
template <typename Out, typename In>
Out *copy_units(const In *p, const In *end, Out *out) {
    for (; p < end; ++p)
        *out++ = static_cast<Out>(*p);
    return out;
}

// Builds head + name + tail in one string of the exact length and narrowest
// width. The old value [value_at, tail_at) is neither copied nor measured.
template <typename Text, typename Name>
PyObject *rewrite(const Text *text, Py_ssize_t n, Py_ssize_t value_at, Py_ssize_t tail_at,
                  const Name *name, Py_ssize_t m, Py_UCS4 name_bound) {
    const Py_UCS4 kept = std::max(largest(text, text + value_at), largest(text + tail_at, text + n));
    PyObject *result = PyUnicode_New(value_at + m + (n - tail_at), std::max(kept, name_bound));
    if (!result)
        return nullptr;
    auto fill = [&](auto *out) {
        out = copy_units(text, text + value_at, out);
        out = copy_units(name, name + m, out);
        copy_units(text + tail_at, text + n, out);
        return result;
    };
    void *data = PyUnicode_DATA(result);
    switch (PyUnicode_KIND(result)) {
    case PyUnicode_1BYTE_KIND:
        return fill(static_cast<Py_UCS1 *>(data));
    case PyUnicode_2BYTE_KIND:
        return fill(static_cast<Py_UCS2 *>(data));
    case PyUnicode_4BYTE_KIND:
        return fill(static_cast<Py_UCS4 *>(data));
    default:
        Py_UNREACHABLE();
    }
}

}  // namespace

CORVANE_EXPORT PyObject *fixencoding(PyObject *, PyObject *args) {
    using corvane_common::with_units;
    PyObject *text, *name;
    int final = 0;
    if (!PyArg_ParseTuple(args, "O!O!|i:fixencoding", &PyUnicode_Type, &text, &PyUnicode_Type,
                          &name, &final))
        return nullptr;
    if (!vexil::known_width(text) || !vexil::known_width(name))
        return nullptr;

    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    return with_units(text, static_cast<PyObject *>(nullptr), [&](const auto *units) -> PyObject * {
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
        return with_units(name, static_cast<PyObject *>(nullptr), [&](const auto *name_units) {
            return rewrite(units, n, value_start - units, value_end - units, name_units, m, name_bound);
        });
    });
}
