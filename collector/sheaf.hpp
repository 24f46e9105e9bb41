// Internal seams of the _sheaf module: the collector's state, the text it
// gathers and the names it resolves.
#pragma once

#include "pyhandle.hpp"

#include <cstddef>
#include <utility>
#include <vector>

namespace sheaf {

using corvane_common::Ref;

// A run of text that arrives in pieces: the parser reports text as many
// runs as it was fed pieces, and references as calls of their own.
class Pieces {
public:
    bool empty() const { return parts_.empty(); }
    Py_ssize_t length() const { return length_; }

    void add(Ref piece) {
        length_ += PyUnicode_GET_LENGTH(piece.get());
        parts_.push_back(std::move(piece));
    }

    // The pieces as one str (null with an exception set); the run is empty
    // afterwards, also on failure.
    Ref take();

    // Removes the last code point of the run, which the caller knows is there.
    bool drop_last();

    void clear() {
        parts_.clear();
        length_ = 0;
    }

private:
    std::vector<Ref> parts_;
    Py_ssize_t length_ = 0;
};

// Joins strs into one, allocated once at its length and with the largest
// code point class of the parts.
Ref join(const std::vector<Ref> &parts, Py_ssize_t length);

// Whether every code point of s is white space (an empty s is).
bool all_space(PyObject *s);

// s with each tab, line feed and carriage return replaced by a space, or s
// itself when it holds none.
Ref normalise_space(Ref s);

// s with leading and trailing spaces removed and each run of spaces inside
// made one, as XML reads a value of tokens; s itself when nothing changes.
Ref collapse_space(Ref s);

// Element and attribute names: cached so that equal names share one str,
// lower-cased where the mode asks for it, and resolved against the
// namespace declarations in scope where namespaces are asked for.
class Names {
public:
    bool init(bool lower_attributes, bool namespaces);

    // The final name of an element or an attribute (null with an exception).
    Ref element(PyObject *raw);
    Ref attribute(PyObject *raw);

    // For a namespace declaration attribute ("xmlns" or "xmlns:p") the
    // prefix it declares ("" for the default), else null; no exception.
    static Ref declared_prefix(PyObject *raw);

    bool namespaces() const { return namespaces_; }
    void bind(Ref prefix, Ref uri);
    void unbind(std::size_t count);

private:
    Ref resolve(PyObject *raw, bool is_element);
    Ref lookup(PyObject *cache, PyObject *raw, bool is_element);
    void forget();

    bool lower_attributes_ = false;
    bool namespaces_ = false;
    Ref elements_;
    Ref attributes_;
    std::vector<std::pair<Ref, Ref>> bindings_;
};

}  // namespace sheaf
