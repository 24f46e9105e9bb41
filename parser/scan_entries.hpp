// The entry points of one instruction set's scanner: an instantiation for
// each width a piece can have and each mode, and the held-text forms.
// Included by each instruction set's source, after scanner.hpp.

namespace corvane_parser::CORVANE_ISA_NS {
namespace {

template <typename Scan, typename P>
Outcome outcome(const Scan &scan, typename Scan::Stop stop, P base) {
    Outcome o;
    o.stop = stop.at - base;
    o.failed = stop.failed;
    if (!stop.failed && scan.reached_at == stop.at) {
        o.progressed = true;
        o.progress = scan.reached;
    }
    if (scan.lowered_begin) {
        o.lowered_begin = scan.lowered_begin - base;
        o.lowered_end = scan.lowered_end - base;
    }
    return o;
}

template <typename Unit, bool Xml>
Outcome piece(FastParser *self, PyObject *text, Py_ssize_t from) {
    const Unit *data = static_cast<const Unit *>(PyUnicode_DATA(text));
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    Strings<Unit, false, Xml> strings{sizeof(Unit) == 1 && PyUnicode_IS_ASCII(text)};
    Scanner<Unit, Xml, false> scan(self, data + from, data + n, strings);
    return outcome(scan, scan.run(data + from), data);
}

template <typename Unit>
Outcome piece_in_mode(FastParser *self, PyObject *text, Py_ssize_t from) {
    return self->xml_mode ? piece<Unit, true>(self, text, from) : piece<Unit, false>(self, text, from);
}

Outcome scan_piece(FastParser *self, PyObject *text, Py_ssize_t from) {
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        return piece_in_mode<Py_UCS1>(self, text, from);
    case PyUnicode_2BYTE_KIND:
        return piece_in_mode<Py_UCS2>(self, text, from);
    case PyUnicode_4BYTE_KIND:
        return piece_in_mode<Py_UCS4>(self, text, from);
    default:
        Py_UNREACHABLE();
    }
}

template <bool Xml>
Outcome held(FastParser *self, Py_UCS4 *text, Py_ssize_t from, Py_ssize_t length, Progress resumed) {
    Scanner<Py_UCS4, Xml, true> scan(self, text + from, text + length);
    scan.resumed = resumed;
    return outcome(scan, scan.run(text + from), text);
}

Outcome scan_held(FastParser *self, Py_UCS4 *text, Py_ssize_t from, Py_ssize_t length, Progress resumed) {
    return self->xml_mode ? held<true>(self, text, from, length, resumed)
                          : held<false>(self, text, from, length, resumed);
}

template <bool Xml>
HeldStep finish(FastParser *self, Py_UCS4 *text, Py_ssize_t length, Progress resumed) {
    Scanner<Py_UCS4, Xml, true> scan(self, text, text + length);
    scan.resumed = resumed;
    HeldStep step;
    if (!scan.opens(*text)) {
        step.what = HeldConstruct::NotMarkup;
        return step;
    }
    Token<Py_UCS4 *> t;
    switch (scan.construct(text, t)) {
    case Step::NotMarkup:
        step.what = HeldConstruct::NotMarkup;
        break;
    case Step::Incomplete:
        step.what = HeldConstruct::Incomplete;
        if (scan.reached_at == text) {
            step.progressed = true;
            step.progress = scan.reached;
        }
        break;
    case Step::Complete:
        step.what = scan.report(t) < 0 ? HeldConstruct::Failed : HeldConstruct::Reported;
        step.resume = t.resume - text;
        break;
    }
    return step;
}

HeldStep finish_held(FastParser *self, Py_UCS4 *text, Py_ssize_t length, Progress resumed) {
    return self->xml_mode ? finish<true>(self, text, length, resumed) : finish<false>(self, text, length, resumed);
}

void lower_names(FastParser *self, Py_UCS4 *text, Py_ssize_t from, Py_ssize_t length, Py_ssize_t until) {
    if (self->xml_mode)
        return;
    Scanner<Py_UCS4, false, true, true> scan(self, text + from, text + length);
    scan.dry_until = text + until;
    scan.run(text + from);
}

}  // namespace

inline constexpr Scans kScans = {scan_piece, scan_held, finish_held, lower_names};

}  // namespace corvane_parser::CORVANE_ISA_NS
