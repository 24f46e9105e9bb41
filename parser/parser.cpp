// corvane: the FastParser object, its module, and the feeding of text into
// the held buffer around one scan per call.

#include "corvane.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

using namespace corvane_parser;

// Exported for other native code; defined below the methods it refers to.
CORVANE_EXPORT PyTypeObject FastParser_Type;

namespace {

// register fills the slots, and the collector visits and clears them, in
// this order rather than in the record's.
struct Binding {
    Slot slot;
    const char *name;
};

constexpr Binding kBindings[kSlotCount] = {
    {EnterStartTag, "handle_enterstarttag"},
    {LeaveStartTag, "handle_leavestarttag"},
    {EnterAttr, "handle_enterattr"},
    {LeaveAttr, "handle_leaveattr"},
    {EndTag, "handle_endtag"},
    {Proc, "handle_proc"},
    {Special, "handle_special"},
    {CharRef, "handle_charref"},
    {EntityRef, "handle_entityref"},
    {Text, "handle_text"},
    {Cdata, "handle_cdata"},
    {Comment, "handle_comment"},
};

// The largest number of code points the held text may record as its
// capacity: the block holds one more, and its size in bytes must fit in a
// Py_ssize_t.
constexpr Py_ssize_t kMaxHeld = PY_SSIZE_T_MAX / Py_ssize_t(sizeof(Py_UCS4)) - 1;

FastParser *as_parser(PyObject *op) { return reinterpret_cast<FastParser *>(op); }

void drop_buffer(FastParser *self) {
    std::free(self->buffer);
    self->buffer = nullptr;
}

PyObject *make_parser(int xml_mode) {
    FastParser *self = PyObject_GC_New(FastParser, &FastParser_Type);
    if (!self)
        return nullptr;
    self->xml_mode = xml_mode;
    self->busy = 0;
    self->pending_net = 0;
    self->doctype_state = 0;
    self->buffer = nullptr;
    self->buffer_length = 0;
    self->buffer_capacity = 0;
    std::fill_n(self->slots, kSlotCount, nullptr);
    self->resume_offset = 0;
    self->resume_quote = 0;
    PyObject_GC_Track(self);
    return reinterpret_cast<PyObject *>(self);
}

PyObject *sgml_parser(PyObject *, PyObject *args) {
    if (!PyArg_ParseTuple(args, ":SGMLParser"))
        return nullptr;
    return make_parser(0);
}

PyObject *xml_parser(PyObject *, PyObject *args) {
    if (!PyArg_ParseTuple(args, ":XMLParser"))
        return nullptr;
    return make_parser(1);
}

// Makes room for n more code points behind the held ones, allocating the
// block on the first call of a text. Returns false with MemoryError set.
bool reserve(FastParser *self, Py_ssize_t n) {
    if (!self->buffer) {
        if (n > kMaxHeld)
            return PyErr_NoMemory(), false;
        auto *block = static_cast<Py_UCS4 *>(std::malloc(std::size_t(n + 1) * sizeof(Py_UCS4)));
        if (!block)
            return PyErr_NoMemory(), false;
        self->buffer = block;
        self->buffer_length = 0;
        self->buffer_capacity = n;
        self->pending_net = 0;
        self->doctype_state = 0;
        self->resume_offset = 0;
        return true;
    }
    if (n <= self->buffer_capacity - self->buffer_length)
        return true;
    // A failed growth loses the held text: the parser starts afresh.
    if (n > kMaxHeld - self->buffer_length) {
        drop_buffer(self);
        return PyErr_NoMemory(), false;
    }
    // The capacity at least doubles: a long construct fed in small pieces is
    // then copied no more than once over in all, when the block moves.
    Py_ssize_t capacity = self->buffer_length + n;
    Py_ssize_t growth = self->buffer_capacity;
    if (growth <= kMaxHeld - self->buffer_capacity)
        capacity = std::max(capacity, self->buffer_capacity + growth);
    auto *block = static_cast<Py_UCS4 *>(
        std::realloc(self->buffer, std::size_t(capacity + 1) * sizeof(Py_UCS4)));
    if (!block) {
        drop_buffer(self);
        return PyErr_NoMemory(), false;
    }
    self->buffer = block;
    self->buffer_capacity = capacity;
    return true;
}

// Appends text, scans everything held, keeps the unconsumed tail and returns
// its length; a final call then discards the tail.
PyObject *feed_routine(FastParser *self, PyObject *text, bool final) {
    if (self->busy) {
        PyErr_SetString(PyExc_AssertionError, "recursive feed");
        return nullptr;
    }
    // Callbacks may drop every other reference to the parser.
    Ref keep_alive = Ref::borrow(reinterpret_cast<PyObject *>(self));

    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    if (!reserve(self, n))
        return nullptr;
    Py_UCS4 *tail = self->buffer + self->buffer_length;
    // The interpreter's own widening copy, for each code-unit width.
    if (!PyUnicode_AsUCS4(text, tail, n, 0))
        return nullptr;
    self->buffer_length += n;

    self->busy = 1;
    Py_UCS4 *start = self->buffer;
    Py_UCS4 *end = start + self->buffer_length;
    Py_UCS4 *p = start;
    if (start != end) {
        p = scan(self, start, end);
        if (!p) {
            self->busy = 0;
            return nullptr;
        }
    }
    self->busy = 0;

    Py_ssize_t consumed = p - start;
    if (consumed > self->buffer_length) {
        PyErr_SetString(PyExc_AssertionError, "buffer overrun");
        return nullptr;
    }
    Py_ssize_t remaining = self->buffer_length - consumed;
    if (consumed > 0 && remaining > 0)
        std::memmove(start, p, std::size_t(remaining) * sizeof(Py_UCS4));
    self->buffer_length = remaining;
    if (final)
        drop_buffer(self);
    return PyLong_FromSsize_t(remaining);
}

PyObject *parser_register(PyObject *op, PyObject *args) {
    PyObject *target;
    if (!PyArg_ParseTuple(args, "O", &target))
        return nullptr;
    FastParser *self = as_parser(op);
    for (const Binding &b : kBindings) {
        PyObject *&slot = self->slots[b.slot];
        // Emptied before the old value goes: its release, or the lookup
        // below (a property), may run code that registers again.
        Py_CLEAR(slot);
        PyObject *value = PyObject_GetAttrString(target, b.name);
        PyErr_Clear();
        // Whatever such code left in the slot is replaced and released.
        Py_XSETREF(slot, value);
    }
    Py_RETURN_NONE;
}

PyObject *parser_feed(PyObject *op, PyObject *args) {
    PyObject *text;
    if (!PyArg_ParseTuple(args, "O!:feed", &PyUnicode_Type, &text))
        return nullptr;
    return feed_routine(as_parser(op), text, false);
}

PyObject *parser_close(PyObject *op, PyObject *args) {
    if (!PyArg_ParseTuple(args, ":close"))
        return nullptr;
    Ref empty(PyUnicode_New(0, 0));
    if (!empty)
        return nullptr;
    return feed_routine(as_parser(op), empty.get(), true);
}

PyObject *parser_parse(PyObject *op, PyObject *args) {
    PyObject *text;
    if (!PyArg_ParseTuple(args, "O!:parse", &PyUnicode_Type, &text))
        return nullptr;
    return feed_routine(as_parser(op), text, true);
}

int parser_traverse(PyObject *op, visitproc visit, void *arg) {
    FastParser *self = as_parser(op);
    for (const Binding &b : kBindings)
        Py_VISIT(self->slots[b.slot]);
    return 0;
}

int parser_clear(PyObject *op) {
    FastParser *self = as_parser(op);
    for (const Binding &b : kBindings)
        Py_CLEAR(self->slots[b.slot]);
    return 0;
}

void parser_dealloc(PyObject *op) {
    FastParser *self = as_parser(op);
    PyObject_GC_UnTrack(op);
    drop_buffer(self);
    parser_clear(op);
    PyObject_GC_Del(op);
}

PyMethodDef parser_methods[] = {
    {"register", parser_register, METH_VARARGS, nullptr},
    {"feed", parser_feed, METH_VARARGS, nullptr},
    {"close", parser_close, METH_VARARGS, nullptr},
    {"parse", parser_parse, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef module_functions[] = {
    {"SGMLParser", sgml_parser, METH_VARARGS, nullptr},
    {"XMLParser", xml_parser, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "corvane",
    nullptr,
    -1,
    module_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

// Without tp_new the type cannot be called, and without
// Py_TPFLAGS_BASETYPE it cannot be subclassed: parsers come only from the
// two factories. The fields left out are zero, as the interpreter expects;
// GCC would warn about each of them.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject FastParser_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "FastParser",
    .tp_basicsize = sizeof(FastParser),
    .tp_itemsize = 0,
    .tp_dealloc = parser_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = nullptr,
    .tp_traverse = parser_traverse,
    .tp_clear = parser_clear,
    .tp_methods = parser_methods,
};
#pragma GCC diagnostic pop

PyMODINIT_FUNC PyInit_corvane(void) {
    if (PyType_Ready(&FastParser_Type) < 0)
        return nullptr;
    return PyModule_Create2(&module_def, 1013);
}
