// Start tags: the tag is entered, each attribute is entered, its value is
// reported as text and references, the attribute is left, then the tag is
// left (and an empty-element tag ended). Values never arrive as one string;
// the target rebuilds them from the calls between enter and leave.

#include "corvane.hpp"

namespace corvane_parser {
namespace {

// The current attribute's name: one str passed to every call for that
// attribute, made only when a call needs it.
class AttributeName {
public:
    AttributeName(const Py_UCS4 *begin, const Py_UCS4 *end) : begin_(begin), end_(end) {}

    int report(FastParser *self, Slot slot) {
        PyObject *bound = self->slots[slot];
        if (!bound)
            return 0;
        Ref fn = Ref::borrow(bound);
        if (!str_) {
            str_.reset(make_str(begin_, end_));
            if (!str_)
                return -1;
        }
        return call_one(fn.get(), str_.get());
    }

private:
    const Py_UCS4 *begin_;
    const Py_UCS4 *end_;
    Ref str_;
};

int report_segment(FastParser *self, const Py_UCS4 *begin, const Py_UCS4 *end) {
    return begin == end ? 0 : report_range(self, Text, begin, end);
}

// Reads the value that begins at p (not whitespace, before e) and reports its
// text segments and references. Returns where the next attribute begins, or
// null on failure.
const Py_UCS4 *value(FastParser *self, const Py_UCS4 *p, const Py_UCS4 *e) {
    Py_UCS4 quote = 0;
    if (*p == '"' || *p == '\'')
        quote = *p++;
    const Py_UCS4 *segment = p;
    bool in_reference = false;
    // A quoted value runs to its quote: the code points that matter in it
    // are few enough for the vector search.
    const CodeSet stops(quote ? quote : '>', '>', '&', ';');
    for (; p < e; ++p) {
        if (quote)
            p = find_any(p, e, stops);
        if (p == e)
            break;
        Py_UCS4 c = *p;
        if (quote ? c == quote : is_space(c))
            break;
        // The scanner let ">" through inside quotes; it still cuts the value.
        if (c == '>')
            break;
        if (!in_reference && c == '&') {
            if (report_segment(self, segment, p) < 0)
                return nullptr;
            in_reference = true;
            segment = p + 1;
        } else if (in_reference && c == ';') {
            if (report_attribute_reference(self, segment, p) < 0)
                return nullptr;
            in_reference = false;
            segment = p + 1;
        }
    }
    int done = in_reference ? report_attribute_reference(self, segment, p)
                            : report_segment(self, segment, p);
    if (done < 0)
        return nullptr;
    // A quoted value also passes what ended it: the quote, or a ">".
    return quote && p < e ? p + 1 : p;
}

// Reads one attribute from p (not whitespace, before e). Returns where the
// next one begins, or null on failure.
const Py_UCS4 *attribute(FastParser *self, const Py_UCS4 *p, const Py_UCS4 *e) {
    const Py_UCS4 *name_begin = p;
    while (p < e && *p != '=' && !is_space(*p))
        ++p;
    AttributeName name(name_begin, p);
    if (name.report(self, EnterAttr) < 0)
        return nullptr;
    p = skip_space(p, e);
    if (p == e || *p != '=') {
        // A minimised SGML attribute: its value is its name.
        if (!self->xml_mode && name.report(self, Text) < 0)
            return nullptr;
    } else {
        p = skip_space(p + 1, e);
        if (p != e) {
            p = value(self, p, e);
            if (!p)
                return nullptr;
        }
    }
    if (name.report(self, LeaveAttr) < 0)
        return nullptr;
    return p;
}

}  // namespace

int report_starttag(FastParser *self, bool empty, const Py_UCS4 *name, const Py_UCS4 *name_end,
                    const Py_UCS4 *attrs, const Py_UCS4 *attrs_end) {
    // Without handle_enterstarttag the whole tag goes unreported.
    if (!self->slots[EnterStartTag])
        return 0;
    if (report_range(self, EnterStartTag, name, name_end) < 0)
        return -1;
    for (const Py_UCS4 *p = skip_space(attrs, attrs_end); p < attrs_end;
         p = skip_space(p, attrs_end)) {
        p = attribute(self, p, attrs_end);
        if (!p)
            return -1;
    }
    if (report_range(self, LeaveStartTag, name, name_end) < 0)
        return -1;
    if (empty && report_range(self, EndTag, name, name_end) < 0)
        return -1;
    return 0;
}

}  // namespace corvane_parser
