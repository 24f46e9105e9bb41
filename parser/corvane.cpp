// corvane: the FastParser object, its module, and the feeding of text into
// the held buffer around one scan per call.

#include "corvane.hpp"
#include "units.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

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

// Every slot is bound from exactly one name.
constexpr bool binds_every_slot_once() {
    int seen[kSlotCount] = {};
    for (const Binding &binding : kBindings)
        ++seen[binding.slot];
    for (int count : seen)
        if (count != 1)
            return false;
    return true;
}
static_assert(binds_every_slot_once());

// The largest number of code points the held text may record as its
// capacity: the block holds one more, and its size in bytes must fit in a
// Py_ssize_t.
constexpr Py_ssize_t kMaxHeld = PY_SSIZE_T_MAX / Py_ssize_t(sizeof(Py_UCS4)) - 1;

// The held text never needs more room than the construct it keeps, so a
// text starts with little, and a construct that spans pieces is first given
// this much of the next one to finish in.
constexpr Py_ssize_t kFirstRoom = 256;

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
    self->held_failed = 0;
    self->reporting_character = 0;
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

// The first call of a text: an empty held text and both states at 0.
// Returns false with MemoryError set.
bool start_text(FastParser *self) {
    auto *block = static_cast<Py_UCS4 *>(std::malloc(std::size_t(kFirstRoom + 1) * sizeof(Py_UCS4)));
    if (!block)
        return PyErr_NoMemory(), false;
    self->buffer = block;
    self->buffer_length = 0;
    self->buffer_capacity = kFirstRoom;
    self->pending_net = 0;
    self->doctype_state = 0;
    self->resume_offset = 0;
    self->held_failed = 0;
    return true;
}

// Makes room for `length` code points in all. Returns false with
// MemoryError set; the held text is then lost and the parser starts afresh.
bool reserve(FastParser *self, Py_ssize_t length) {
    if (length <= self->buffer_capacity)
        return true;
    if (length > kMaxHeld) {
        drop_buffer(self);
        return PyErr_NoMemory(), false;
    }
    // The capacity at least doubles: a long construct fed in small pieces is
    // then copied no more than once over in all, when the block moves.
    Py_ssize_t capacity = length;
    if (self->buffer_capacity <= kMaxHeld - self->buffer_capacity)
        capacity = std::max(capacity, 2 * self->buffer_capacity);
    auto *block = static_cast<Py_UCS4 *>(std::realloc(self->buffer, std::size_t(capacity + 1) * sizeof(Py_UCS4)));
    if (!block) {
        drop_buffer(self);
        return PyErr_NoMemory(), false;
    }
    self->buffer = block;
    self->buffer_capacity = capacity;
    return true;
}

// Widens the code points [from, to) of the piece into the held text at `at`,
// which has room for them.
void widen(FastParser *self, PyObject *text, Py_ssize_t from, Py_ssize_t to, Py_ssize_t at) {
    corvane_common::with_units(
        text, [&](const auto *units) { corvane_common::copy_units(units + from, units + to, self->buffer + at); });
}

// Appends the code points [from, to) of the piece to the held text.
bool append(FastParser *self, PyObject *text, Py_ssize_t from, Py_ssize_t to) {
    if (to - from > kMaxHeld - self->buffer_length) {
        drop_buffer(self);
        return PyErr_NoMemory(), false;
    }
    if (!reserve(self, self->buffer_length + (to - from)))
        return false;
    widen(self, text, from, to, self->buffer_length);
    self->buffer_length += to - from;
    return true;
}

struct States {
    std::int32_t pending_net;
    std::int32_t doctype_state;
};

States states_of(const FastParser *self) { return {self->pending_net, self->doctype_state}; }

void set_states(FastParser *self, States s) {
    self->pending_net = s.pending_net;
    self->doctype_state = s.doctype_state;
}

// What an earlier call read of the construct that begins the held text;
// the scan uses it once.
Progress take_resume(FastParser *self) { return {std::exchange(self->resume_offset, 0), self->resume_quote}; }

void keep_progress(FastParser *self, bool progressed, Progress progress) {
    if (progressed) {
        self->resume_offset = progress.offset;
        self->resume_quote = progress.quote;
    }
}

// A failed call keeps the whole text it was given, to be scanned again from
// its start with the states it met: the next call then reports again what
// this one reported before it failed.
void keep_failed_text(FastParser *self, States at_call) {
    set_states(self, at_call);
    self->held_failed = 1;
}

// Appends the code points [from, to) of the piece after a callback raised,
// so that the held text keeps all of the piece. When there is no room for
// it, MemoryError is raised in place of the callback's exception, which
// becomes its context, and the parser starts afresh.
bool append_after_failure(FastParser *self, PyObject *text, Py_ssize_t from, Py_ssize_t to) {
    PyObject *raised = PyErr_GetRaisedException();
    if (!append(self, text, from, to)) {
        PyObject *memory = PyErr_GetRaisedException();
        PyException_SetContext(memory, raised);
        PyErr_SetRaisedException(memory);
        return false;
    }
    PyErr_SetRaisedException(raised);
    return true;
}

// Scans the held text of 32-bit code points, the new piece appended whole
// from `appended` on, starting at `from`, and keeps the unconsumed tail. This
// is the way after a failed call, whose held text may be anything.
bool scan_whole(FastParser *self, PyObject *text, Py_ssize_t appended, Py_ssize_t from, Progress resumed,
                States at_call) {
    if (!append(self, text, appended, PyUnicode_GET_LENGTH(text)))
        return false;
    Outcome o = scans->held(self, self->buffer, from, self->buffer_length, resumed);
    if (o.failed) {
        keep_failed_text(self, at_call);
        return false;
    }
    Py_ssize_t remaining = self->buffer_length - o.stop;
    if (o.stop > 0 && remaining > 0)
        std::memmove(self->buffer, self->buffer + o.stop, std::size_t(remaining) * sizeof(Py_UCS4));
    self->buffer_length = remaining;
    keep_progress(self, o.progressed, o.progress);
    self->held_failed = 0;
    return true;
}

// Scans the piece from `from` in place. The held text holds `kept` code
// points before the piece (the construct that the piece finished) and the
// piece's first `appended` code points. On success only the unconsumed tail
// of the piece stays held; after a failure all of the piece joins the kept
// code points.
bool scan_in_place(FastParser *self, PyObject *text, Py_ssize_t from, Py_ssize_t kept, Py_ssize_t appended,
                   States at_call) {
    const States at_start = states_of(self);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    Outcome o = scans->piece(self, text, from);
    if (o.failed) {
        self->buffer_length = kept + appended;
        if (!append_after_failure(self, text, appended, n))
            return false;
        // The held text must read as if the scan had run over it, which
        // lower-cases SGML names where it passes them.
        set_states(self, at_start);
        scans->lower(self, self->buffer, kept + from, kept + n, kept + o.stop);
        keep_failed_text(self, at_call);
        return false;
    }
    const Py_ssize_t tail = n - o.stop;
    if (!reserve(self, tail))
        return false;
    widen(self, text, o.stop, n, 0);
    self->buffer_length = tail;
    if (!self->xml_mode && o.lowered_begin >= o.stop) {
        for (Py_ssize_t i = o.lowered_begin; i < o.lowered_end; ++i)
            self->buffer[i - o.stop] = Py_UNICODE_TOLOWER(self->buffer[i - o.stop]);
    }
    keep_progress(self, o.progressed, o.progress);
    self->held_failed = 0;
    return true;
}

// The held text is one incomplete construct: finish it with as much of the
// piece as it needs, in 32-bit code points, then read the rest of the piece
// in place.
bool finish_then_scan(FastParser *self, PyObject *text, States at_call) {
    const Py_ssize_t kept = self->buffer_length, n = PyUnicode_GET_LENGTH(text);
    const Progress first = take_resume(self);
    Progress resumed = first;
    Py_ssize_t appended = 0;
    for (Py_ssize_t room = kFirstRoom;; room = std::min(room, kMaxHeld / 2) * 2) {
        const Py_ssize_t to = std::min(n, appended + room);
        if (!append(self, text, appended, to))
            return false;
        appended = to;
        HeldStep step = scans->finish(self, self->buffer, self->buffer_length, resumed);
        switch (step.what) {
        case HeldConstruct::Incomplete:
            if (appended == n) {
                keep_progress(self, step.progressed, step.progress);
                return true;
            }
            if (step.progressed)
                resumed = step.progress;
            continue;
        case HeldConstruct::Failed:
            if (!append_after_failure(self, text, appended, n))
                return false;
            keep_failed_text(self, at_call);
            return false;
        case HeldConstruct::Reported:
            // The construct was incomplete without the piece, so it ends
            // inside it.
            if (step.resume >= kept)
                return scan_in_place(self, text, step.resume - kept, kept, appended, at_call);
            return scan_whole(self, text, appended, step.resume, Progress{}, at_call);
        case HeldConstruct::NotMarkup:
            // "<" or "&" and then whitespace: a run of text that began in the
            // held text goes on into the piece.
            return scan_whole(self, text, appended, 0, first, at_call);
        }
    }
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
    if (!self->buffer && !start_text(self))
        return nullptr;

    const States at_call = states_of(self);
    self->busy = 1;
    bool done = true;
    if (self->buffer_length == 0) {
        if (PyUnicode_GET_LENGTH(text) > 0) {
            take_resume(self);
            done = scan_in_place(self, text, 0, 0, 0, at_call);
        }
    } else if (self->held_failed) {
        done = scan_whole(self, text, 0, 0, take_resume(self), at_call);
    } else {
        done = finish_then_scan(self, text, at_call);
    }
    self->busy = 0;
    if (!done)
        return nullptr;

    Py_ssize_t remaining = self->buffer_length;
    if (final)
        drop_buffer(self);
    return PyLong_FromSsize_t(remaining);
}

PyObject *parser_register(PyObject *op, PyObject *args) {
    PyObject *target;
    if (!PyArg_ParseTuple(args, "O", &target))
        return nullptr;
    FastParser *self = as_parser(op);
    ++binding_changes;
    for (const Binding &b : kBindings) {
        PyObject *&slot = self->slots[b.slot];
        // Emptied before the old value goes: its release, or the lookup
        // below (a property), may run code that registers again.
        Py_CLEAR(slot);
        PyObject *value = PyObject_GetAttrString(target, b.name);
        // A handler that is missing or whose lookup fails is no handler; an
        // interrupt or an exit raised meanwhile is not ours to drop.
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_Exception))
                return nullptr;
            PyErr_Clear();
        }
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
    ++binding_changes;
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

// Single-phase initialisation, without per-module state.
PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "corvane",
    .m_doc = nullptr,
    .m_size = -1,
    .m_methods = module_functions,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

// Without tp_new the type cannot be called, and without
// Py_TPFLAGS_BASETYPE it cannot be subclassed: parsers come only from the
// two factories. The fields left out are zero, as the interpreter expects;
// GCC and clang would warn about each of them.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#endif
// The head's macro ends without a comma, which clang-format would read as
// one expression with the next field.
// clang-format off
PyTypeObject FastParser_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "FastParser",
    // clang-format on
    .tp_basicsize = sizeof(FastParser),
    .tp_itemsize = 0,
    .tp_dealloc = parser_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = nullptr,
    .tp_traverse = parser_traverse,
    .tp_clear = parser_clear,
    .tp_methods = parser_methods,
};
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

// The version the interpreter checks a single-phase module against: another
// value would be a C API this module was not written for.
static_assert(PYTHON_API_VERSION == 1013);

PyMODINIT_FUNC PyInit_corvane(void) {
    if (PyType_Ready(&FastParser_Type) < 0)
        return nullptr;
    corvane_parser::init_scanner();
    return PyModule_Create2(&module_def, PYTHON_API_VERSION);
}
