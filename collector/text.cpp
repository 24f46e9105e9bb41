// Text gathered from many reports and handed on as one str.

#include "sheaf.hpp"

#include <algorithm>

namespace sheaf {

Ref join(const std::vector<Ref> &parts, Py_ssize_t length) {
    if (parts.size() == 1)
        return Ref::borrow(parts.front().get());
    Py_UCS4 top = 0;
    for (const Ref &part : parts)
        top = std::max(top, PyUnicode_MAX_CHAR_VALUE(part.get()));
    // The parts are canonical strs, so the largest class among them is the
    // class of the largest code point: the result is canonical too.
    Ref out(PyUnicode_New(length, top));
    if (!out)
        return out;
    Py_ssize_t at = 0;
    for (const Ref &part : parts) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(part.get());
        if (PyUnicode_CopyCharacters(out.get(), at, part.get(), 0, n) < 0)
            return Ref();
        at += n;
    }
    return out;
}

Ref Pieces::take() {
    Ref out = join(parts_, length_);
    clear();
    return out;
}

bool Pieces::drop_last() {
    if (parts_.empty())
        return false;
    PyObject *last = parts_.back().get();
    Py_ssize_t n = PyUnicode_GET_LENGTH(last);
    length_ -= 1;
    if (n <= 1) {
        parts_.pop_back();
        return true;
    }
    Ref shorter(PyUnicode_Substring(last, 0, n - 1));
    if (!shorter)
        return false;
    parts_.back() = std::move(shorter);
    return true;
}

bool all_space(PyObject *s) {
    const int kind = PyUnicode_KIND(s);
    const void *data = PyUnicode_DATA(s);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, i)))
            return false;
    return true;
}

Ref normalise_space(Ref s) {
    const int kind = PyUnicode_KIND(s.get());
    const void *data = PyUnicode_DATA(s.get());
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s.get());
    auto is_break = [](Py_UCS4 c) { return c == '\t' || c == '\n' || c == '\r'; };
    Py_ssize_t first = 0;
    while (first < n && !is_break(PyUnicode_READ(kind, data, first)))
        ++first;
    if (first == n)
        return s;
    // Spaces are ASCII like what they replace: the class stays the same.
    Ref out(PyUnicode_New(n, PyUnicode_MAX_CHAR_VALUE(s.get())));
    if (!out || PyUnicode_CopyCharacters(out.get(), 0, s.get(), 0, n) < 0)
        return Ref();
    const int out_kind = PyUnicode_KIND(out.get());
    void *out_data = PyUnicode_DATA(out.get());
    for (Py_ssize_t i = first; i < n; ++i)
        if (is_break(PyUnicode_READ(kind, data, i)))
            PyUnicode_WRITE(out_kind, out_data, i, ' ');
    return out;
}

Ref collapse_space(Ref s) {
    const int kind = PyUnicode_KIND(s.get());
    const void *data = PyUnicode_DATA(s.get());
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s.get());
    bool tidy = n == 0 || (PyUnicode_READ(kind, data, 0) != ' ' && PyUnicode_READ(kind, data, n - 1) != ' ');
    for (Py_ssize_t i = 1; tidy && i < n; ++i)
        tidy = !(PyUnicode_READ(kind, data, i) == ' ' && PyUnicode_READ(kind, data, i - 1) == ' ');
    if (tidy)
        return s;
    Ref space(PyUnicode_FromOrdinal(' '));
    Ref parts(space ? PyUnicode_Split(s.get(), space.get(), -1) : nullptr);
    if (!parts)
        return Ref();
    Ref words(PyList_New(0));
    if (!words)
        return Ref();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parts.get()); ++i) {
        PyObject *word = PyList_GET_ITEM(parts.get(), i);
        if (PyUnicode_GET_LENGTH(word) > 0 && PyList_Append(words.get(), word) < 0)
            return Ref();
    }
    return Ref(PyUnicode_Join(space.get(), words.get()));
}

}  // namespace sheaf
