// fixencoding: puts a new name into the `encoding` pseudo-attribute of the
// XML declaration that starts a text.

#include "declaration.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

// PyUnicode_New reads only the class of the maximum it is given (ASCII,
// Latin-1, two bytes, four bytes), and the classes begin at powers of two.
// So the OR of the units, whose highest bit is that of their maximum, is in
// the same class as the maximum and stands for it. It is gathered a word at
// a time, and the scan stops once it reaches the widest class the width
// holds, since no later unit can change the class any more.
template <typename Unit>
Py_UCS4 largest_class(const Unit *p, const Unit *end) {
    constexpr int kBits = 8 * sizeof(Unit);
    // The bits that only units of the width's widest class have, in each
    // unit of a word.
    constexpr std::uint64_t kWidest = sizeof(Unit) == 1   ? 0x8080808080808080u
                                      : sizeof(Unit) == 2 ? 0xFF00FF00FF00FF00u
                                                          : 0xFFFF0000FFFF0000u;
    constexpr Py_ssize_t kStep = 32 / Py_ssize_t(sizeof(Unit));  // four words
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
    Py_UCS4 top = Py_UCS4(acc & ((std::uint64_t(1) << kBits) - 1));
    for (; p < end; ++p)
        top |= *p;
    // An OR of four-byte units may pass the last code point; its class may not.
    return std::min<Py_UCS4>(top, 0x10FFFF);
}

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
Py_UCS4 kept_class(const Unit *text, Py_ssize_t n, Py_ssize_t value_at, Py_ssize_t tail_at,
                   Py_UCS4 text_bound) {
    if (text_bound == 0x7F ||
        largest_class(text + value_at, text + tail_at) < class_floor(text_bound))
        return text_bound;
    return std::max(largest_class(text, text + value_at), largest_class(text + tail_at, text + n));
}

// Every unit copied fits the destination: the result's width was chosen from
// the class of the units written into it.
template <typename Out, typename In>
Out *copy_units(const In *p, const In *end, Out *out) {
    if constexpr (sizeof(Out) == sizeof(In)) {
        std::memcpy(out, p, std::size_t(end - p) * sizeof(In));
        return out + (end - p);
    }
    for (; p < end; ++p)
        *out++ = static_cast<Out>(*p);
    return out;
}

// Builds head + name + tail in one string of the exact length and narrowest
// width. The old value [value_at, tail_at) is not copied, and counts for the
// width only as far as kept_class says.
template <typename Text, typename Name>
PyObject *rewrite(const Text *text, Py_ssize_t n, Py_ssize_t value_at, Py_ssize_t tail_at,
                  Py_UCS4 text_bound, const Name *name, Py_ssize_t m, Py_UCS4 name_bound) {
    const Py_UCS4 kept = kept_class(text, n, value_at, tail_at, text_bound);
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
            return rewrite(units, n, value_start - units, value_end - units,
                           PyUnicode_MAX_CHAR_VALUE(text), name_units, m, name_bound);
        });
    });
}
