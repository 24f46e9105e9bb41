// Small helpers shared by the three extension modules: an owning handle for
// Python references, the export marker, and the dispatch on a str's width.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstring>
#include <type_traits>
#include <utility>

// Marks a symbol that other native code may resolve from the shared library.
// Everything not marked stays hidden (the build defaults to hidden visibility
// elsewhere, and a DLL exports only what it is told to).
#if defined(_WIN32)
#define CORVANE_EXPORT extern "C" __declspec(dllexport)
#else
#define CORVANE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace corvane_common {

// Owns one strong reference and releases it when the handle goes out of
// scope, so every early return releases what was made before it.
class Ref {
public:
    Ref() noexcept = default;
    explicit Ref(PyObject *owned) noexcept : obj_(owned) {}
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : obj_(other.release()) {}
    Ref &operator=(Ref &&other) noexcept {
        reset(other.release());
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    // Takes a new strong reference to a borrowed object.
    static Ref borrow(PyObject *borrowed) noexcept {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }

    PyObject *get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

    // Hands the reference on to a caller who now owns it.
    PyObject *release() noexcept { return std::exchange(obj_, nullptr); }

    void reset(PyObject *owned = nullptr) noexcept {
        PyObject *old = std::exchange(obj_, owned);
        Py_XDECREF(old);
    }

private:
    PyObject *obj_ = nullptr;
};

// Calls fn with a vector of positional arguments and drops the result:
// 0, or -1 with an exception set. The callable's own vectorcall is taken
// directly, since the generic entry first looks up the thread state (a
// thread-local access through a shared libpython) and then checks the
// result again, which together cost about as much as a call of
// list.append itself.
inline int call_vector(PyObject *fn, PyObject *const *args, std::size_t nargsf) {
    // What PyVectorcall_Function answers, read here: the function is not
    // inlined, and its call is a tenth of the cost of a cheap callback.
    vectorcallfunc call = nullptr;
    PyTypeObject *type = Py_TYPE(fn);
    if (PyType_HasFeature(type, Py_TPFLAGS_HAVE_VECTORCALL))
        std::memcpy(&call, reinterpret_cast<char *>(fn) + type->tp_vectorcall_offset, sizeof call);
    PyObject *result = call ? call(fn, args, nargsf, nullptr) : PyObject_Vectorcall(fn, args, nargsf, nullptr);
    if (result) {
        Py_DECREF(result);
        return 0;
    }
    if (!PyErr_Occurred())
        PyErr_Format(PyExc_SystemError, "%R returned NULL without setting an exception", fn);
    return -1;
}

// A module definition for multi-phase initialisation with no per-module
// state; without slots of its own, it has no creation or execution steps.
inline PyModuleDef_Slot no_slots[] = {{0, nullptr}};

inline PyModuleDef multi_phase_module(const char *name, const char *doc, PyMethodDef *methods,
                                      PyModuleDef_Slot *slots = no_slots) {
    return {
        .m_base = PyModuleDef_HEAD_INIT,
        .m_name = name,
        .m_doc = doc,
        .m_size = 0,
        .m_methods = methods,
        .m_slots = slots,
        .m_traverse = nullptr,
        .m_clear = nullptr,
        .m_free = nullptr,
    };
}

// The pointer type that with_units hands out for one code-unit type.
template <bool Writable, typename Unit>
using unit_pointer = std::conditional_t<Writable, Unit, const Unit> *;

// Calls fn with a typed pointer to the storage of a ready str, picking the
// code-unit type from the string's kind; the interpreter makes no other
// kind of str. The storage is read-only unless Writable: only a str that was
// just made, and that nothing else has seen yet, may be written.
template <bool Writable = false, typename Fn>
inline decltype(auto) with_units(PyObject *str, Fn &&fn) {
    void *data = PyUnicode_DATA(str);
    switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND:
        return fn(static_cast<unit_pointer<Writable, Py_UCS1>>(data));
    case PyUnicode_2BYTE_KIND:
        return fn(static_cast<unit_pointer<Writable, Py_UCS2>>(data));
    case PyUnicode_4BYTE_KIND:
        return fn(static_cast<unit_pointer<Writable, Py_UCS4>>(data));
    default:
        Py_UNREACHABLE();
    }
}

}  // namespace corvane_common
