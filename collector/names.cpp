// Names of elements and attributes: shared, lower-cased, or resolved into
// "{uri}local" form against the namespace declarations in scope.

#include "sheaf.hpp"

#include <algorithm>

namespace sheaf {
namespace {

// Past this many distinct names a cache starts afresh, so that a document
// made of ever new names cannot grow it without bound.
constexpr Py_ssize_t kCacheLimit = 1 << 14;

constexpr const char *kXmlNamespace = "http://www.w3.org/XML/1998/namespace";

bool starts_with_ascii(PyObject *s, const char *prefix, Py_ssize_t n) {
    if (PyUnicode_GET_LENGTH(s) < n)
        return false;
    const int kind = PyUnicode_KIND(s);
    const void *data = PyUnicode_DATA(s);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyUnicode_READ(kind, data, i) != Py_UCS4(prefix[i]))
            return false;
    return true;
}

}  // namespace

bool Names::init(bool lower_attributes, bool namespaces) {
    lower_attributes_ = lower_attributes;
    namespaces_ = namespaces;
    elements_.reset(PyDict_New());
    attributes_.reset(PyDict_New());
    return elements_ && attributes_;
}

Ref Names::declared_prefix(PyObject *raw) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(raw);
    if (!starts_with_ascii(raw, "xmlns", 5))
        return Ref();
    if (n == 5)
        return Ref(PyUnicode_New(0, 0));
    if (PyUnicode_READ_CHAR(raw, 5) != ':')
        return Ref();
    Ref prefix(PyUnicode_Substring(raw, 6, n));
    if (!prefix)
        PyErr_Clear();
    return prefix;
}

void Names::bind(Ref prefix, Ref uri) {
    bindings_.emplace_back(std::move(prefix), std::move(uri));
    forget();
}

void Names::unbind(std::size_t count) {
    if (count == 0)
        return;
    bindings_.resize(bindings_.size() - std::min(count, bindings_.size()));
    forget();
}

void Names::forget() {
    PyDict_Clear(elements_.get());
    PyDict_Clear(attributes_.get());
}

Ref Names::resolve(PyObject *raw, bool is_element) {
    if (!namespaces_) {
        if (is_element || !lower_attributes_)
            return Ref::borrow(raw);
        return Ref(PyObject_CallMethod(raw, "lower", nullptr));
    }
    const Py_ssize_t n = PyUnicode_GET_LENGTH(raw);
    const Py_ssize_t colon = PyUnicode_FindChar(raw, ':', 0, n, 1);
    if (colon == -2)
        return Ref();
    // Unprefixed attributes are in no namespace; unprefixed elements are in
    // the default one, if any is declared.
    if (colon < 0 && !is_element)
        return Ref::borrow(raw);
    Ref prefix(colon < 0 ? PyUnicode_New(0, 0) : PyUnicode_Substring(raw, 0, colon));
    if (!prefix)
        return Ref();
    Ref uri;
    if (PyUnicode_CompareWithASCIIString(prefix.get(), "xml") == 0) {
        uri.reset(PyUnicode_FromString(kXmlNamespace));
        if (!uri)
            return Ref();
    } else {
        for (auto it = bindings_.rbegin(); it != bindings_.rend(); ++it) {
            int same = PyUnicode_Compare(it->first.get(), prefix.get());
            if (same == -1 && PyErr_Occurred())
                return Ref();
            if (same == 0) {
                uri = Ref::borrow(it->second.get());
                break;
            }
        }
    }
    // An undeclared prefix, or a default namespace declared empty, leaves
    // the name as written.
    if (!uri || PyUnicode_GET_LENGTH(uri.get()) == 0)
        return Ref::borrow(raw);
    Ref local(colon < 0 ? Ref::borrow(raw) : Ref(PyUnicode_Substring(raw, colon + 1, n)));
    if (!local)
        return Ref();
    return Ref(PyUnicode_FromFormat("{%U}%U", uri.get(), local.get()));
}

Ref Names::lookup(PyObject *cache, PyObject *raw, bool is_element) {
    PyObject *known = PyDict_GetItemWithError(cache, raw);
    if (known)
        return Ref::borrow(known);
    if (PyErr_Occurred())
        return Ref();
    Ref name = resolve(raw, is_element);
    if (!name)
        return name;
    if (PyDict_GET_SIZE(cache) >= kCacheLimit)
        PyDict_Clear(cache);
    if (PyDict_SetItem(cache, raw, name.get()) < 0)
        return Ref();
    return name;
}

Ref Names::element(PyObject *raw) { return lookup(elements_.get(), raw, true); }

Ref Names::attribute(PyObject *raw) { return lookup(attributes_.get(), raw, false); }

}  // namespace sheaf
