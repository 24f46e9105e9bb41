// _sheaf: a parser target whose handle_* attributes are built-in methods, so
// that the parser reaches it with no Python frame per report. It joins text,
// gathers start tags with their attributes and hands on whole events, or
// drives an ElementTree builder with the nesting repaired.

#include "sheaf.hpp"

#include "../parser/corvane.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <new>

using sheaf::Names;
using sheaf::Pieces;
using sheaf::Ref;

namespace {

// The kinds of event, as interned strs made once.
struct Kinds {
    PyObject *start, *end, *text, *comment, *cdata, *pi, *declaration, *entity;
};
Kinds kinds;
constexpr std::size_t kind_count = 8;

PyTypeObject *event_type = nullptr;
// The parser type, taken from corvane the first time a parser is followed.
PyTypeObject *parser_type = nullptr;

PyStructSequence_Field event_fields[] = {
    {"kind", "what happened: start, end, text, comment, cdata, pi, declaration or entity"},
    {"name", "the element name, processing-instruction target or entity name; else \"\""},
    {"value", "the attributes of a start tag, the text of text, comment, cdata and "
              "declaration, the data of a pi; else None"},
    {nullptr, nullptr},
};

PyStructSequence_Desc event_desc = {
    "corvane_markup.Event",
    "One event of a document: kind, name and value.",
    event_fields,
    3,
};

// An open element while a tree is built (or namespaces are tracked): its
// final name and how many namespace declarations it made.
struct Open {
    Ref name;
    std::size_t bindings;
};

struct State {
    // Configuration.
    bool tree = false;
    bool normalise = false;
    Py_ssize_t text_limit = 0;
    Ref entities;                       // dict of names to replacement text, or null
    Ref voids;                          // set of element names closed at once, or null
    Ref start, end, data, comment, pi;  // the builder's methods (tree only)
    // The document type's declarations go to `declarations`, which fills
    // in `defaults` (element name to (attribute, value) pairs) and
    // `tokenized` (element name to the attributes whose values are tokens).
    Ref declarations, defaults, tokenized;
    bool report_start = false, report_end = false;
    Names names;
    // Counting alone: events are counted by kind, start tags by name, and
    // none is made.
    bool counting = false;
    Py_ssize_t counts[kind_count] = {};
    Ref elements;  // element name to the number of its start tags

    // The parser that reports to this collector, when the host names it:
    // its record tells the character a reference stands for from a literal
    // one, which XML's rule for attribute values treats differently.
    Ref parser;

    // Output, taken by the host after each piece.
    Ref events;

    // Work in hand. Counting keeps only the length of the pending text.
    Pieces text;
    Py_ssize_t counted_text = 0;
    bool in_tag = false;
    Pieces value;
    std::vector<std::pair<Ref, Ref>> attributes;
    std::vector<Open> open;
    bool root_closed = false;
    bool marking = false;
    bool busy = false;
    bool finished = false;
};

struct Collector {
    PyObject_HEAD
    State *state;
};

State &state_of(PyObject *op) { return *reinterpret_cast<Collector *>(op)->state; }

// Marks the collector busy while it calls out, so that code run by the call
// cannot re-enter it halfway through an update.
class Busy {
public:
    explicit Busy(State &s) : s_(s) { s_.busy = true; }
    ~Busy() { s_.busy = false; }
    Busy(const Busy &) = delete;
    Busy &operator=(const Busy &) = delete;

private:
    State &s_;
};

bool refuse_if_busy(State &s) {
    if (s.busy) {
        PyErr_SetString(PyExc_RuntimeError, "the collector is busy");
        return true;
    }
    return false;
}

bool check_str(PyObject *arg) {
    if (PyUnicode_Check(arg))
        return true;
    PyErr_Format(PyExc_TypeError, "expected a str, not %.100s", Py_TYPE(arg)->tp_name);
    return false;
}

int append(State &s, PyObject *item) { return PyList_Append(s.events.get(), item); }

// The kinds in the order of State::counts.
constexpr PyObject *Kinds::*kind_fields[] = {&Kinds::start, &Kinds::end, &Kinds::text,        &Kinds::comment,
                                             &Kinds::cdata, &Kinds::pi,  &Kinds::declaration, &Kinds::entity};
static_assert(std::size(kind_fields) == kind_count);

int count(State &s, PyObject *kind, PyObject *name) {
    for (std::size_t i = 0; i < std::size(kind_fields); ++i)
        if (kinds.*kind_fields[i] == kind) {
            ++s.counts[i];
            break;
        }
    if (kind != kinds.start)
        return 0;
    PyObject *seen = PyDict_GetItemWithError(s.elements.get(), name);
    if (!seen && PyErr_Occurred())
        return -1;
    Ref n(PyLong_FromSsize_t(seen ? PyLong_AsSsize_t(seen) + 1 : 1));
    return n ? PyDict_SetItem(s.elements.get(), name, n.get()) : -1;
}

// An event of the three fields; value may be null for None.
int emit(State &s, PyObject *kind, PyObject *name, PyObject *value) {
    if (s.counting)
        return count(s, kind, name);
    Ref event(PyStructSequence_New(event_type));
    if (!event)
        return -1;
    PyStructSequence_SetItem(event.get(), 0, Py_NewRef(kind));
    PyStructSequence_SetItem(event.get(), 1, Py_NewRef(name));
    PyStructSequence_SetItem(event.get(), 2, Py_NewRef(value ? value : Py_None));
    return append(s, event.get());
}

PyObject *empty_str() {
    static PyObject *empty = PyUnicode_New(0, 0);
    return empty;
}

// Text events of exactly text_limit code points each, cut at multiples of
// the limit from the start of the run whenever they go out, so that the
// events do not depend on how the input was cut into pieces. The shorter
// rest goes out only when the run has ended (final); until then it waits.
// Counting follows the same cuts with the run's length alone.
int count_text(State &s, bool final) {
    const Py_ssize_t n = s.counted_text;
    const Py_ssize_t limit = s.text_limit > 0 ? s.text_limit : n;
    if (n == 0)
        return 0;
    Py_ssize_t events = n / limit;
    if (final && n % limit)
        ++events;
    for (; events > 0; --events)
        count(s, kinds.text, nullptr);
    s.counted_text = final ? 0 : n % limit;
    return 0;
}

int emit_text(State &s, bool final) {
    if (s.counting)
        return count_text(s, final);
    if (s.text.empty())
        return 0;
    Ref run = s.text.take();
    if (!run)
        return -1;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(run.get());
    const Py_ssize_t limit = s.text_limit > 0 ? s.text_limit : n;
    Py_ssize_t at = 0;
    for (; n - at >= limit; at += limit) {
        Ref piece(limit == n ? Ref::borrow(run.get()) : Ref(PyUnicode_Substring(run.get(), at, at + limit)));
        if (!piece || emit(s, kinds.text, empty_str(), piece.get()) < 0)
            return -1;
    }
    if (at == n)
        return 0;
    Ref rest(at == 0 ? Ref::borrow(run.get()) : Ref(PyUnicode_Substring(run.get(), at, n)));
    if (!rest)
        return -1;
    if (final)
        return emit(s, kinds.text, empty_str(), rest.get());
    s.text.add(std::move(rest));
    return 0;
}

// Hands the pending text to the builder, if it has a place in the tree:
// none before the root, and white space none after the root's end tag.
int flush_tree_text(State &s) {
    if (s.text.empty())
        return 0;
    Ref run = s.text.take();
    if (!run)
        return -1;
    if (s.open.empty())
        return 0;
    if (s.root_closed) {
        if (sheaf::all_space(run.get()))
            return 0;
        s.root_closed = false;
    }
    Busy busy(s);
    Ref done(PyObject_CallOneArg(s.data.get(), run.get()));
    return done ? 0 : -1;
}

int flush(State &s) { return s.tree ? flush_tree_text(s) : emit_text(s, true); }

int add_text(State &s, PyObject *piece) {
    if (s.counting)
        s.counted_text += PyUnicode_GET_LENGTH(piece);
    else
        s.text.add(Ref::borrow(piece));
    const Py_ssize_t pending = s.counting ? s.counted_text : s.text.length();
    if (!s.tree && s.text_limit > 0 && !s.marking && pending >= s.text_limit)
        return emit_text(s, false);
    return 0;
}

// Closes the innermost open element, reporting it to the builder.
int close_top(State &s) {
    Open top = std::move(s.open.back());
    s.open.pop_back();
    s.names.unbind(top.bindings);
    if (!s.tree)
        return 0;
    Ref element;
    {
        Busy busy(s);
        element.reset(PyObject_CallOneArg(s.end.get(), top.name.get()));
    }
    if (!element)
        return -1;
    if (s.report_end) {
        Ref pair(PyTuple_Pack(2, kinds.end, element.get()));
        if (!pair || append(s, pair.get()) < 0)
            return -1;
    }
    return 0;
}

// Closes open elements down to index i; a tree keeps its root open, so that
// content after the root's end tag still has a place.
int close_to(State &s, std::size_t i) {
    while (s.open.size() > i + 1)
        if (close_top(s) < 0)
            return -1;
    if (s.tree && i == 0) {
        s.root_closed = true;
        return 0;
    }
    return close_top(s);
}

// The index of the innermost open element named `name`, or -1; an empty
// name (an empty end tag) closes the innermost element.
Py_ssize_t find_open(State &s, PyObject *name) {
    if (s.open.empty())
        return -1;
    if (PyUnicode_GET_LENGTH(name) == 0)
        return Py_ssize_t(s.open.size()) - 1;
    // Names come from one cache, so the same object is the usual match.
    for (std::size_t i = s.open.size(); i-- > 0;) {
        PyObject *other = s.open[i].name.get();
        if (other == name || PyUnicode_Compare(other, name) == 0)
            return Py_ssize_t(i);
    }
    return -1;
}

bool tracks_open(const State &s) { return s.tree || s.names.namespaces(); }

// The reference by name: its replacement from the entities, or null (no
// exception) when it stays unresolved.
PyObject *replacement(State &s, PyObject *name) {
    if (!s.entities)
        return nullptr;
    PyObject *found = PyDict_GetItemWithError(s.entities.get(), name);
    return found && PyUnicode_Check(found) ? found : nullptr;
}

Ref as_written(PyObject *name) { return Ref(PyUnicode_FromFormat("&%U;", name)); }

// Namespace declarations among the attributes: bound for this element.
// Returns how many, or -1.
Py_ssize_t declare_namespaces(State &s) {
    Py_ssize_t count = 0;
    for (auto &[name, value] : s.attributes) {
        Ref prefix = Names::declared_prefix(name.get());
        if (!prefix)
            continue;
        s.names.bind(std::move(prefix), Ref::borrow(value.get()));
        ++count;
    }
    return count;
}

// The attributes in their final form: a dict for a tree (the first of equal
// names wins), else a list of (name, value) pairs in document order.
Ref final_attributes(State &s) {
    Ref out(s.tree ? PyDict_New() : PyList_New(0));
    if (!out)
        return out;
    for (auto &[raw, value] : s.attributes) {
        if (s.names.namespaces()) {
            Ref prefix = Names::declared_prefix(raw.get());
            if (prefix)
                continue;
        }
        Ref name = s.names.attribute(raw.get());
        if (!name)
            return Ref();
        if (s.tree) {
            PyObject *kept = PyDict_SetDefault(out.get(), name.get(), value.get());
            if (!kept)
                return Ref();
        } else {
            Ref pair(PyTuple_Pack(2, name.get(), value.get()));
            if (!pair || PyList_Append(out.get(), pair.get()) < 0)
                return Ref();
        }
    }
    return out;
}

bool specified(const State &s, PyObject *name) {
    for (const auto &attribute : s.attributes)
        if (PyUnicode_Compare(attribute.first.get(), name) == 0)
            return true;
    return false;
}

// Attribute values as the document type declares them: the defaults of the
// attributes the tag leaves out, and token values with their spaces
// collapsed.
int apply_declarations(State &s, PyObject *raw) {
    if (s.defaults && PyDict_GET_SIZE(s.defaults.get()) > 0) {
        PyObject *pairs = PyDict_GetItemWithError(s.defaults.get(), raw);
        if (!pairs && PyErr_Occurred())
            return -1;
        if (pairs && PyList_Check(pairs)) {
            Ref hold = Ref::borrow(pairs);
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs); ++i) {
                PyObject *pair = PyList_GET_ITEM(pairs, i);
                if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2 ||
                    !PyUnicode_Check(PyTuple_GET_ITEM(pair, 0)) || !PyUnicode_Check(PyTuple_GET_ITEM(pair, 1)))
                    continue;
                if (!specified(s, PyTuple_GET_ITEM(pair, 0)))
                    s.attributes.emplace_back(Ref::borrow(PyTuple_GET_ITEM(pair, 0)),
                                              Ref::borrow(PyTuple_GET_ITEM(pair, 1)));
            }
        }
    }
    if (s.tokenized && PyDict_GET_SIZE(s.tokenized.get()) > 0) {
        PyObject *names = PyDict_GetItemWithError(s.tokenized.get(), raw);
        if (!names && PyErr_Occurred())
            return -1;
        if (names && PyAnySet_Check(names)) {
            Ref hold = Ref::borrow(names);
            for (auto &[name, value] : s.attributes) {
                int is_token = PySet_Contains(names, name.get());
                if (is_token < 0)
                    return -1;
                if (is_token) {
                    value = sheaf::collapse_space(std::move(value));
                    if (!value)
                        return -1;
                }
            }
        }
    }
    return 0;
}

int start_element(State &s, PyObject *raw) {
    if ((s.defaults || s.tokenized) && apply_declarations(s, raw) < 0) {
        s.attributes.clear();
        return -1;
    }
    Py_ssize_t bindings = s.names.namespaces() ? declare_namespaces(s) : 0;
    if (bindings < 0)
        return -1;
    Ref name = s.names.element(raw);
    Ref attributes = name && !s.counting ? final_attributes(s) : Ref();
    s.attributes.clear();
    if (!name || (!attributes && !s.counting))
        return -1;
    if (flush(s) < 0)
        return -1;
    if (tracks_open(s))
        s.open.push_back(Open{Ref::borrow(name.get()), std::size_t(bindings)});
    if (s.counting)
        return count(s, kinds.start, name.get());
    if (!s.tree)
        return emit(s, kinds.start, name.get(), attributes.get());
    s.root_closed = false;
    Ref element;
    {
        Busy busy(s);
        element.reset(PyObject_CallFunctionObjArgs(s.start.get(), name.get(), attributes.get(), nullptr));
    }
    if (!element)
        return -1;
    if (s.report_start) {
        Ref pair(PyTuple_Pack(2, kinds.start, element.get()));
        if (!pair || append(s, pair.get()) < 0)
            return -1;
    }
    if (s.voids) {
        int is_void = PySet_Contains(s.voids.get(), name.get());
        if (is_void < 0)
            return -1;
        if (is_void)
            return close_top(s);
    }
    return 0;
}

int end_element(State &s, PyObject *raw) {
    if (flush(s) < 0)
        return -1;
    // Counted alone, an end tag needs no name.
    if (s.counting && !tracks_open(s))
        return count(s, kinds.end, raw);
    Ref name = s.names.element(raw);
    if (!name)
        return -1;
    if (!s.tree && emit(s, kinds.end, name.get(), nullptr) < 0)
        return -1;
    if (!tracks_open(s))
        return 0;
    Py_ssize_t i = find_open(s, name.get());
    // An end tag that closes nothing is dropped from the tree.
    if (i < 0)
        return 0;
    return close_to(s, std::size_t(i));
}

// A comment or processing instruction goes into the tree only inside the
// root, as the builder would place it.
int tree_insert(State &s, PyObject *fn, PyObject *const *args, std::size_t nargs) {
    // Left out, it leaves the text around it one run, as in the builder.
    if (!fn)
        return 0;
    if (flush(s) < 0)
        return -1;
    if (s.open.empty() || s.root_closed)
        return 0;
    Busy busy(s);
    Ref done(PyObject_Vectorcall(fn, args, nargs, nullptr));
    return done ? 0 : -1;
}

// ---- the parser's callbacks ----------------------------------------------

// clang-format would take the return out of the if's indentation.
// clang-format off
#define SHEAF_ENTER(op, arg)                  \
    State &s = state_of(op);                  \
    if (refuse_if_busy(s) || !check_str(arg)) \
        return nullptr
// clang-format on

PyObject *done(int status) {
    if (status < 0)
        return nullptr;
    Py_RETURN_NONE;
}

// Counting keeps no attribute value, unless a namespace may be declared.
bool keeps_values(const State &s) { return !s.counting || s.names.namespaces(); }

bool reporting_character(const State &s) {
    return s.parser && reinterpret_cast<const corvane_parser::FastParser *>(s.parser.get())->reporting_character;
}

// A piece of an attribute value. XML turns each literal tab and line end of
// a value into a space, also those of an entity's replacement text, but
// keeps the ones that character references stand for.
PyObject *add_value(State &s, Ref piece, bool literal) {
    if (literal && s.normalise)
        piece = sheaf::normalise_space(std::move(piece));
    if (!piece)
        return nullptr;
    s.value.add(std::move(piece));
    Py_RETURN_NONE;
}

PyObject *handle_enterstarttag(PyObject *op, PyObject *name) {
    SHEAF_ENTER(op, name);
    s.in_tag = true;
    s.value.clear();
    s.attributes.clear();
    Py_RETURN_NONE;
}

PyObject *handle_leaveattr(PyObject *op, PyObject *name) {
    SHEAF_ENTER(op, name);
    if (!s.in_tag || !keeps_values(s))
        Py_RETURN_NONE;
    Ref value = s.value.empty() ? Ref::borrow(empty_str()) : s.value.take();
    if (!value)
        return nullptr;
    s.attributes.emplace_back(Ref::borrow(name), std::move(value));
    Py_RETURN_NONE;
}

PyObject *handle_leavestarttag(PyObject *op, PyObject *name) {
    SHEAF_ENTER(op, name);
    if (!s.in_tag)
        Py_RETURN_NONE;
    s.in_tag = false;
    s.value.clear();
    return done(start_element(s, name));
}

PyObject *handle_endtag(PyObject *op, PyObject *name) {
    SHEAF_ENTER(op, name);
    return done(end_element(s, name));
}

PyObject *handle_text(PyObject *op, PyObject *text) {
    SHEAF_ENTER(op, text);
    if (s.in_tag) {
        if (!keeps_values(s))
            Py_RETURN_NONE;
        return add_value(s, Ref::borrow(text), !reporting_character(s));
    }
    return done(add_text(s, text));
}

PyObject *handle_entityref(PyObject *op, PyObject *name) {
    SHEAF_ENTER(op, name);
    if (s.in_tag && !keeps_values(s))
        Py_RETURN_NONE;
    PyObject *found = replacement(s, name);
    if (!found && PyErr_Occurred())
        return nullptr;
    if (s.in_tag || (!found && s.tree)) {
        // Where no event can carry the name, the reference stays as written.
        Ref piece = found ? Ref::borrow(found) : as_written(name);
        if (!piece)
            return nullptr;
        if (s.in_tag)
            return add_value(s, std::move(piece), true);
        return done(add_text(s, piece.get()));
    }
    if (found)
        return done(add_text(s, found));
    if (flush(s) < 0)
        return nullptr;
    return done(emit(s, kinds.entity, name, nullptr));
}

PyObject *handle_cdata(PyObject *op, PyObject *text) {
    SHEAF_ENTER(op, text);
    // A tree has no CDATA sections: their content is text like any other.
    if (s.tree)
        return done(add_text(s, text));
    if (flush(s) < 0)
        return nullptr;
    return done(emit(s, kinds.cdata, empty_str(), text));
}

PyObject *content_event(PyObject *op, PyObject *text, PyObject *kind, bool in_tree) {
    SHEAF_ENTER(op, text);
    if (s.tree) {
        if (!in_tree)
            return Py_NewRef(Py_None);
        PyObject *args[] = {text};
        return done(tree_insert(s, s.comment.get(), args, 1));
    }
    if (flush(s) < 0)
        return nullptr;
    return done(emit(s, kind, empty_str(), text));
}

PyObject *handle_comment(PyObject *op, PyObject *text) { return content_event(op, text, kinds.comment, true); }

// Declarations and the pieces of a document type's internal subset have no
// place in a tree; what they declare may shape it.
PyObject *handle_special(PyObject *op, PyObject *text) {
    State &s = state_of(op);
    if (s.tree && s.declarations && !s.busy && PyUnicode_Check(text)) {
        Busy busy(s);
        return done(Ref(PyObject_CallOneArg(s.declarations.get(), text)) ? 0 : -1);
    }
    return content_event(op, text, kinds.declaration, false);
}

PyObject *handle_proc(PyObject *op, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "handle_proc takes a target and data");
        return nullptr;
    }
    SHEAF_ENTER(op, args[0]);
    if (!check_str(args[1]))
        return nullptr;
    if (s.tree)
        return done(tree_insert(s, s.pi.get(), args, 2));
    if (flush(s) < 0)
        return nullptr;
    return done(emit(s, kinds.pi, args[0], args[1]));
}

// ---- the host's side -------------------------------------------------------

PyObject *take(PyObject *op, PyObject *) {
    State &s = state_of(op);
    if (refuse_if_busy(s))
        return nullptr;
    PyObject *fresh = PyList_New(0);
    if (!fresh)
        return nullptr;
    return std::exchange(s.events, Ref(fresh)).release();
}

// Before the host feeds its end mark: text is then not cut, so that the
// mark can be taken off the run again.
PyObject *mark(PyObject *op, PyObject *) {
    State &s = state_of(op);
    if (refuse_if_busy(s))
        return nullptr;
    s.marking = true;
    Py_RETURN_NONE;
}

// After the mark completed the construct before it: the mark is the last
// code point of the pending text and is dropped.
PyObject *unmark(PyObject *op, PyObject *) {
    State &s = state_of(op);
    if (refuse_if_busy(s))
        return nullptr;
    s.marking = false;
    if (s.counting && s.counted_text > 0) {
        --s.counted_text;
        Py_RETURN_NONE;
    }
    if (s.counting || !s.text.drop_last()) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_AssertionError, "no end mark to drop");
        return nullptr;
    }
    Py_RETURN_NONE;
}

// The end of the document: the pending text goes out and, in a tree, every
// open element is closed.
PyObject *finish(PyObject *op, PyObject *) {
    State &s = state_of(op);
    if (refuse_if_busy(s))
        return nullptr;
    s.marking = false;
    if (s.finished)
        Py_RETURN_NONE;
    s.finished = true;
    s.in_tag = false;
    // No report follows: the cycle through the parser's slots need not wait
    // for the garbage collector.
    Ref parser = std::move(s.parser);
    if (flush(s) < 0)
        return nullptr;
    while (!s.open.empty())
        if (close_top(s) < 0)
            return nullptr;
    Py_RETURN_NONE;
}

PyObject *follow(PyObject *op, PyObject *parser) {
    State &s = state_of(op);
    if (refuse_if_busy(s))
        return nullptr;
    if (!parser_type) {
        Ref corvane(PyImport_ImportModule("corvane"));
        Ref sample(corvane ? PyObject_CallMethod(corvane.get(), "XMLParser", nullptr) : nullptr);
        if (!sample)
            return nullptr;
        parser_type = reinterpret_cast<PyTypeObject *>(Py_NewRef(Py_TYPE(sample.get())));
    }
    if (!Py_IS_TYPE(parser, parser_type)) {
        PyErr_Format(PyExc_TypeError, "expected a corvane parser, not %.100s", Py_TYPE(parser)->tp_name);
        return nullptr;
    }
    s.parser = Ref::borrow(parser);
    Py_RETURN_NONE;
}

PyObject *counts(PyObject *op, PyObject *) {
    State &s = state_of(op);
    if (refuse_if_busy(s))
        return nullptr;
    if (!s.counting) {
        PyErr_SetString(PyExc_ValueError, "the collector is not counting");
        return nullptr;
    }
    Ref by_kind(PyDict_New());
    if (!by_kind)
        return nullptr;
    for (std::size_t i = 0; i < std::size(kind_fields); ++i) {
        if (!s.counts[i])
            continue;
        Ref n(PyLong_FromSsize_t(s.counts[i]));
        if (!n || PyDict_SetItem(by_kind.get(), kinds.*kind_fields[i], n.get()) < 0)
            return nullptr;
    }
    Ref elements(PyDict_Copy(s.elements.get()));
    if (!elements)
        return nullptr;
    return PyTuple_Pack(2, by_kind.get(), elements.get());
}

// A collector that keeps no attribute value has no use for the end of an
// attribute, and does not offer the handler: the parser then makes neither
// the call nor the attribute's name.
PyObject *collector_getattro(PyObject *op, PyObject *name) {
    State *s = reinterpret_cast<Collector *>(op)->state;
    if (s && !keeps_values(*s) && PyUnicode_Check(name) &&
        PyUnicode_CompareWithASCIIString(name, "handle_leaveattr") == 0) {
        PyErr_Format(PyExc_AttributeError, "a counting collector has no attribute %R", name);
        return nullptr;
    }
    return PyObject_GenericGetAttr(op, name);
}

PyMethodDef collector_methods[] = {
    {"handle_enterstarttag", handle_enterstarttag, METH_O, nullptr},
    {"handle_leaveattr", handle_leaveattr, METH_O, nullptr},
    {"handle_leavestarttag", handle_leavestarttag, METH_O, nullptr},
    {"handle_endtag", handle_endtag, METH_O, nullptr},
    {"handle_proc", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(handle_proc)), METH_FASTCALL,
     nullptr},
    {"handle_special", handle_special, METH_O, nullptr},
    {"handle_entityref", handle_entityref, METH_O, nullptr},
    {"handle_text", handle_text, METH_O, nullptr},
    {"handle_cdata", handle_cdata, METH_O, nullptr},
    {"handle_comment", handle_comment, METH_O, nullptr},
    {"take", take, METH_NOARGS, "The events since the last call, as a list."},
    {"mark", mark, METH_NOARGS, "Keeps the pending text whole until unmark."},
    {"unmark", unmark, METH_NOARGS, "Drops the end mark from the pending text."},
    {"finish", finish, METH_NOARGS, "Hands on the pending text and closes open elements."},
    {"follow", follow, METH_O,
     "Names the parser that reports to the collector, so that the characters its references stand for are told "
     "from literal ones."},
    {"counts", counts, METH_NOARGS, "When counting: (events by kind, start tags by element name), as dicts."},
    {nullptr, nullptr, 0, nullptr},
};

bool bound_method(PyObject *builder, const char *name, Ref &out) {
    out.reset(PyObject_GetAttrString(builder, name));
    return bool(out);
}

PyObject *collector_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {
        "xml",   "text_limit",   "entities",   "namespaces",   "normalise", "builder",   "comments", "pis",
        "voids", "report_start", "report_end", "declarations", "defaults",  "tokenized", "counting", nullptr};
    int xml = 1, namespaces = 0, normalise = 0, comments = 0, pis = 0, counting = 0;
    int report_start = 0, report_end = 0;
    Py_ssize_t text_limit = 0;
    PyObject *entities = Py_None, *builder = Py_None, *voids = Py_None;
    PyObject *declarations = Py_None, *defaults = Py_None, *tokenized = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$pnOppOppOppOOOp:Collector", const_cast<char **>(keywords),
                                     &xml, &text_limit, &entities, &namespaces, &normalise, &builder, &comments,
                                     &pis, &voids, &report_start, &report_end, &declarations, &defaults, &tokenized,
                                     &counting))
        return nullptr;
    if (counting && builder != Py_None) {
        PyErr_SetString(PyExc_ValueError, "a collector that builds a tree cannot count");
        return nullptr;
    }
    for (PyObject *table : {entities, defaults, tokenized})
        if (table != Py_None && !PyDict_Check(table)) {
            PyErr_SetString(PyExc_TypeError, "entities, defaults and tokenized must be dicts");
            return nullptr;
        }
    if (voids != Py_None && !PyAnySet_Check(voids)) {
        PyErr_SetString(PyExc_TypeError, "voids must be a set or None");
        return nullptr;
    }
    if (text_limit < 0) {
        PyErr_SetString(PyExc_ValueError, "text_limit must not be negative");
        return nullptr;
    }
    Ref self(type->tp_alloc(type, 0));
    if (!self)
        return nullptr;
    State *s = new (std::nothrow) State();
    if (!s)
        return PyErr_NoMemory();
    reinterpret_cast<Collector *>(self.get())->state = s;
    s->normalise = normalise;
    s->text_limit = text_limit;
    if (entities != Py_None)
        s->entities = Ref::borrow(entities);
    if (!s->names.init(!xml, namespaces))
        return nullptr;
    s->events.reset(PyList_New(0));
    if (!s->events)
        return nullptr;
    if (counting) {
        s->counting = true;
        s->elements.reset(PyDict_New());
        if (!s->elements)
            return nullptr;
    }
    if (builder != Py_None) {
        s->tree = true;
        s->report_start = report_start;
        s->report_end = report_end;
        if (voids != Py_None)
            s->voids = Ref::borrow(voids);
        if (declarations != Py_None)
            s->declarations = Ref::borrow(declarations);
        if (defaults != Py_None)
            s->defaults = Ref::borrow(defaults);
        if (tokenized != Py_None)
            s->tokenized = Ref::borrow(tokenized);
        if (!bound_method(builder, "start", s->start) || !bound_method(builder, "end", s->end) ||
            !bound_method(builder, "data", s->data) ||
            (comments && !bound_method(builder, "comment", s->comment)) ||
            (pis && !bound_method(builder, "pi", s->pi)))
            return nullptr;
    }
    return self.release();
}

int collector_traverse(PyObject *op, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(op));
    State *s = reinterpret_cast<Collector *>(op)->state;
    if (!s)
        return 0;
    for (Ref *r : {&s->entities, &s->voids, &s->start, &s->end, &s->data, &s->comment, &s->pi, &s->declarations,
                   &s->defaults, &s->tokenized, &s->parser, &s->events, &s->elements})
        Py_VISIT(r->get());
    return 0;
}

int collector_clear(PyObject *op) {
    State *s = reinterpret_cast<Collector *>(op)->state;
    if (!s)
        return 0;
    // Each reference leaves its field before it is released.
    for (Ref *r : {&s->entities, &s->voids, &s->start, &s->end, &s->data, &s->comment, &s->pi, &s->declarations,
                   &s->defaults, &s->tokenized, &s->parser, &s->events, &s->elements}) {
        Ref gone = std::move(*r);
    }
    return 0;
}

void collector_dealloc(PyObject *op) {
    PyTypeObject *type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    auto *self = reinterpret_cast<Collector *>(op);
    delete std::exchange(self->state, nullptr);
    type->tp_free(op);
    Py_DECREF(type);
}

PyType_Slot collector_slots[] = {
    {Py_tp_doc, const_cast<char *>("Gathers a parser's reports into whole events or a tree.")},
    {Py_tp_new, reinterpret_cast<void *>(collector_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(collector_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(collector_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(collector_clear)},
    {Py_tp_methods, collector_methods},
    {Py_tp_getattro, reinterpret_cast<void *>(collector_getattro)},
    {0, nullptr},
};

PyType_Spec collector_spec = {
    "_sheaf.Collector", sizeof(Collector), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, collector_slots,
};

int intern(PyObject *&slot, const char *text) {
    if (!slot)
        slot = PyUnicode_InternFromString(text);
    return slot ? 0 : -1;
}

int module_exec(PyObject *module) {
    if (intern(kinds.start, "start") < 0 || intern(kinds.end, "end") < 0 || intern(kinds.text, "text") < 0 ||
        intern(kinds.comment, "comment") < 0 || intern(kinds.cdata, "cdata") < 0 || intern(kinds.pi, "pi") < 0 ||
        intern(kinds.declaration, "declaration") < 0 || intern(kinds.entity, "entity") < 0)
        return -1;
    if (!event_type) {
        event_type = PyStructSequence_NewType(&event_desc);
        if (!event_type)
            return -1;
    }
    if (PyModule_AddObjectRef(module, "Event", reinterpret_cast<PyObject *>(event_type)) < 0)
        return -1;
    Ref type(PyType_FromModuleAndSpec(module, &collector_spec, nullptr));
    if (!type)
        return -1;
    return PyModule_AddObjectRef(module, "Collector", type.get());
}

// The kinds and the event type are made once per process, so the module
// cannot be shared with another interpreter.
PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = corvane_common::multi_phase_module("_sheaf", "The native collector behind corvane_markup.",
                                                            nullptr, module_slots);

}  // namespace

PyMODINIT_FUNC PyInit__sheaf(void) { return PyModuleDef_Init(&module_def); }
