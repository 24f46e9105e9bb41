// The markup scanner: cuts the held text into character data and constructs
// and reports each complete one in document order. Every construct has one
// routine below that answers complete (filling in a Token), incomplete (the
// held text ends before the construct can be decided) or not markup.

#include "corvane.hpp"

#include <utility>

namespace corvane_parser {
namespace {

enum class Kind {
    StartTag,
    EmptyTag,
    EndTag,
    Proc,
    Declaration,  // also the document type declaration
    SubsetStart,
    SubsetEnd,
    ParamRef,
    Cdata,
    Comment,
    EntityRef,
    CharRef,
};

enum class Step { Complete, Incomplete, NotMarkup };

// A complete construct: what to report, and where scanning goes on.
struct Token {
    Kind kind = Kind::StartTag;
    Py_UCS4 *name = nullptr;  // name or content begin
    Py_UCS4 *name_end = nullptr;
    Py_UCS4 *content_end = nullptr;
    Py_UCS4 *resume = nullptr;
};

// The code points that can open a construct in character data; which ones
// do depends on the two state fields.
CodeSet openers(const FastParser *self) {
    bool subset = self->doctype_state != 0;
    return CodeSet('<', '&', subset ? '%' : 0, subset ? ']' : 0, self->pending_net ? '/' : 0);
}

bool is_sgml_name(Py_UCS4 c) {
    if (c < 128)
        return (kClasses.bits[c] & kSgmlName) != 0;
    return _PyUnicode_IsAlpha(c) || _PyUnicode_IsDecimalDigit(c) || _PyUnicode_IsDigit(c) ||
           _PyUnicode_IsNumeric(c);
}

Py_UCS4 to_lower(Py_UCS4 c) {
    if (c < 128)
        return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
    return _PyUnicode_ToLowercase(c);
}

bool ends_xml_name(Py_UCS4 c) {
    return c < 128 ? (kClasses.bits[c] & kNameStop) != 0 : _PyUnicode_IsWhitespace(c) != 0;
}

bool ends_reference(Py_UCS4 c) {
    return c < 128 ? (kClasses.bits[c] & kRefStop) != 0 : _PyUnicode_IsWhitespace(c) != 0;
}

class Scanner {
public:
    Scanner(FastParser *self, Py_UCS4 *start, Py_UCS4 *end)
        : self_(self), start_(start), end_(end), xml_(self->xml_mode != 0) {}

    Py_UCS4 *run();

    // How far an incomplete construct was read before the held text ended:
    // reading it again may go on from its first code point plus `offset`,
    // inside a quote if `quote` is set. An offset of 0 means from the start.
    struct Progress {
        Py_UCS4 *construct = nullptr;
        Py_ssize_t offset = 0;
        Py_UCS4 quote = 0;
    };
    Progress resumed;  // what an earlier call read of the construct at start
    Progress reached;  // what this call read of the construct it stops at

private:
    Step markup(Py_UCS4 *p, Token &t);
    Py_UCS4 *name(Py_UCS4 *begin);
    Step tag(Kind kind, Py_UCS4 *p, Py_UCS4 *name_begin, Token &t);
    Step sgml_slash(Token &t);
    Step rest_of_tag(Py_UCS4 *p, Token &t);
    Step subset_start(Py_UCS4 *q, Token &t);
    Step comment_or_cdata(Kind kind, Py_UCS4 *p, Token &t);
    Step reference(Py_UCS4 *p, Token &t);
    Step param_ref(Py_UCS4 *p, Token &t);
    Step closer(Py_UCS4 *p, Kind kind, std::int32_t &state, Token &t);
    int report(const Token &t);
    int report_text(const Py_UCS4 *begin, const Py_UCS4 *end) {
        return begin == end ? 0 : report_range(self_, Text, begin, end);
    }

    // Where reading the construct opened at p goes on: past what an
    // earlier call already read of it, or else at `from`.
    Py_UCS4 *resume_point(Py_UCS4 *p, Py_UCS4 *from, Py_UCS4 *quote = nullptr) const {
        if (p != start_ || resumed.offset == 0)
            return from;
        if (quote)
            *quote = resumed.quote;
        return p + resumed.offset;
    }
    Step incomplete(Py_UCS4 *p, Py_UCS4 *read_to, Py_UCS4 quote = 0) {
        reached = {p, read_to - p, quote};
        return Step::Incomplete;
    }

    FastParser *self_;
    Py_UCS4 *start_;
    Py_UCS4 *end_;
    bool xml_;
};

Py_UCS4 *Scanner::run() {
    Py_UCS4 *p = start_;
    Py_UCS4 *text = start_;  // where the pending run of character data began
    for (;;) {
        p = find_any(p, end_, openers(self_));
        if (p == end_)
            return report_text(text, end_) < 0 ? nullptr : end_;
        Token t;
        Step step;
        switch (*p) {
        case '<':
            step = markup(p, t);
            break;
        case '&':
            step = reference(p, t);
            break;
        case '%':
            step = param_ref(p, t);
            break;
        case ']':
            step = closer(p, Kind::SubsetEnd, self_->doctype_state, t);
            break;
        default:  // "/", only while pending_net is set
            step = closer(p, Kind::EndTag, self_->pending_net, t);
            break;
        }
        if (step == Step::NotMarkup) {
            ++p;
            continue;
        }
        if (report_text(text, p) < 0)
            return nullptr;
        if (step == Step::Incomplete)
            return p;
        if (report(t) < 0)
            return nullptr;
        if (t.resume == end_)
            return end_;
        p = text = t.resume;
    }
}

// "<" at p.
Step Scanner::markup(Py_UCS4 *p, Token &t) {
    if (p + 1 == end_)
        return Step::Incomplete;
    Py_UCS4 c = p[1];
    if (c == '?' || c == '/' || c == '!') {
        if (p + 2 == end_)
            return Step::Incomplete;
        if (c == '?')
            return tag(Kind::Proc, p, p + 2, t);
        if (c == '/')
            return tag(Kind::EndTag, p, p + 2, t);
        Py_UCS4 d = p[2];
        if (d == '-')
            return comment_or_cdata(Kind::Comment, p, t);
        if (xml_ && d == '[')
            return comment_or_cdata(Kind::Cdata, p, t);
        if (xml_ && d == 'D')
            self_->doctype_state = 1;
        return tag(Kind::Declaration, p, p + 2, t);
    }
    if (is_space(c))
        return Step::NotMarkup;
    return tag(Kind::StartTag, p, p + 1, t);
}

// Reads a name from begin and returns its end, which is end_ when the held
// text ends inside it. SGML names are lower-cased in the held text as they
// are passed.
Py_UCS4 *Scanner::name(Py_UCS4 *begin) {
    Py_UCS4 *p = begin;
    if (xml_) {
        while (p < end_ && !ends_xml_name(*p))
            ++p;
    } else {
        for (; p < end_ && is_sgml_name(*p); ++p)
            *p = to_lower(*p);
    }
    return p;
}

// A tag-like construct (start tag, end tag, processing instruction,
// declaration) opened at p, whose name begins at name_begin.
Step Scanner::tag(Kind kind, Py_UCS4 *p, Py_UCS4 *name_begin, Token &t) {
    Py_UCS4 *name_end = name(name_begin);
    if (name_end == end_)
        return Step::Incomplete;
    t.kind = kind;
    t.name = name_begin;
    t.name_end = name_end;
    if (!xml_ && *name_end == '/')
        return sgml_slash(t);
    return rest_of_tag(p, t);
}

// SGML: "/" right after a name, in any tag-like construct. "<name/>" is an
// empty element; "<name/" followed by anything else opens an element that
// the next "/" in character data closes.
Step Scanner::sgml_slash(Token &t) {
    Py_UCS4 *q = t.name_end + 1;
    if (q == end_)
        return Step::Incomplete;
    t.content_end = t.name_end;
    if (*q == '>') {
        t.kind = Kind::EmptyTag;
        t.resume = q + 1;
        return t.resume != end_ ? Step::Complete : Step::Incomplete;
    }
    t.kind = Kind::StartTag;
    t.resume = q;
    self_->pending_net = 2;
    return Step::Complete;
}

// From the name's end to the terminator: the first ">" or "<" outside
// quotes, or, within a document type declaration, an unquoted "[". The tag
// was opened at p.
Step Scanner::rest_of_tag(Py_UCS4 *p, Token &t) {
    const CodeSet outside('>', '<', '"', '\'', self_->doctype_state ? '[' : 0);
    Py_UCS4 quote = 0;
    Py_UCS4 *q = resume_point(p, t.name_end, &quote);
    for (;; ++q) {
        q = find_any(q, end_, quote ? CodeSet(quote) : outside);
        if (q == end_)
            return incomplete(p, end_, quote);
        if (quote)
            quote = 0;
        else if (*q == '"' || *q == '\'')
            quote = *q;
        else if (*q == '[')
            return subset_start(q, t);
        else
            break;
    }
    // The terminator, ">" or "<", is at q. The code point before it decides
    // an empty-element tag; there is none when it follows the name.
    Py_UCS4 last = q > t.name_end ? q[-1] : 0;  // 0 is neither "/" nor "?"
    t.content_end = q;
    t.resume = *q == '>' ? q + 1 : q;
    if (last == '/') {
        t.kind = Kind::EmptyTag;
        --t.content_end;
    } else if (t.kind == Kind::Proc && last == '?') {
        --t.content_end;
    }
    if (self_->doctype_state == 1)
        self_->doctype_state = 0;
    return Step::Complete;
}

// An unquoted "[" at q inside a tag-like construct of a document type
// declaration: its internal subset begins.
Step Scanner::subset_start(Py_UCS4 *q, Token &t) {
    self_->doctype_state = 2;
    t.kind = Kind::SubsetStart;
    t.content_end = q;
    t.resume = q + 1;
    return Step::Complete;
}

// "<!-" or, in XML mode, "<![" at p. The closing sequence is searched from
// p + 2 on, so it may overlap the opening; the content is then empty.
Step Scanner::comment_or_cdata(Kind kind, Py_UCS4 *p, Token &t) {
    if (end_ - p <= 5)
        return Step::Incomplete;
    const CodeSet closing(kind == Kind::Comment ? '-' : ']');
    Py_ssize_t content_offset = kind == Kind::Comment ? 4 : 9;
    // One code point must follow the closing sequence, so it begins before
    // `bound`.
    Py_UCS4 *bound = end_ - 3;
    Py_UCS4 *from = resume_point(p, p + 2);
    for (Py_UCS4 *q = from; (q = find_any(q, bound, closing)) != bound; ++q) {
        if (q[1] == closing.c[0] && q[2] == '>') {
            t.kind = kind;
            t.name = q - p >= content_offset ? p + content_offset : q;
            t.content_end = q;
            t.resume = q + 3;
            return Step::Complete;
        }
    }
    return incomplete(p, bound);
}

// "&" at p: an entity reference, or after "&#" a character reference.
Step Scanner::reference(Py_UCS4 *p, Token &t) {
    if (p + 1 == end_)
        return Step::Incomplete;
    Py_UCS4 *name_begin;
    if (p[1] == '#') {
        if (p + 2 == end_)
            return Step::Incomplete;
        t.kind = Kind::CharRef;
        name_begin = p + 2;
    } else if (is_space(p[1])) {
        return Step::NotMarkup;
    } else {
        t.kind = Kind::EntityRef;
        name_begin = p + 1;
    }
    for (Py_UCS4 *q = name_begin; q < end_; ++q) {
        if (ends_reference(*q)) {
            t.name = name_begin;
            t.name_end = q;
            t.resume = *q == ';' ? q + 1 : q;
            return Step::Complete;
        }
    }
    return Step::Incomplete;
}

// "%" at p inside a document type declaration.
Step Scanner::param_ref(Py_UCS4 *p, Token &t) {
    for (Py_UCS4 *q = p + 1; q < end_; ++q) {
        if (*q == ';' || is_space(*q)) {
            t.kind = Kind::ParamRef;
            t.name = p + 1;
            t.name_end = q;
            t.resume = *q == ';' ? q + 1 : q;
            return Step::Complete;
        }
    }
    return Step::Incomplete;
}

// "]" inside a document type declaration ends its internal subset; in SGML
// mode "/" closes the element that "<name/" opened. Each clears the state
// that let it open a construct, and is decided only once a code point
// follows it.
Step Scanner::closer(Py_UCS4 *p, Kind kind, std::int32_t &state, Token &t) {
    if (p + 1 == end_)
        return Step::Incomplete;
    state = 0;
    t.kind = kind;
    t.name = t.name_end = t.resume = p + 1;  // nothing to report but the event
    return Step::Complete;
}

int Scanner::report(const Token &t) {
    switch (t.kind) {
    case Kind::StartTag:
    case Kind::EmptyTag:
        return report_starttag(self_, t.kind == Kind::EmptyTag, t.name, t.name_end,
                               skip_space(t.name_end, t.content_end), t.content_end);
    case Kind::EndTag:
        return report_range(self_, EndTag, t.name, t.name_end);
    case Kind::Proc: {
        PyObject *bound = self_->slots[Proc];
        if (!bound)
            return 0;
        Ref fn = Ref::borrow(bound);
        Ref target(make_str(t.name, t.name_end));
        if (!target)
            return -1;
        Ref data(make_str(skip_space(t.name_end, t.content_end), t.content_end));
        if (!data)
            return -1;
        PyObject *args[] = {target.get(), data.get()};
        Ref result(PyObject_Vectorcall(fn.get(), args, 2, nullptr));
        return result ? 0 : -1;
    }
    case Kind::Declaration:
    case Kind::SubsetStart:  // its content ends at the "["
        return report_range(self_, Special, t.name, t.content_end);
    case Kind::SubsetEnd:
    case Kind::ParamRef:
        return report_range(self_, Special, t.name, t.name_end);
    case Kind::Cdata:
        return report_range(self_, self_->slots[Cdata] ? Cdata : Text, t.name, t.content_end);
    case Kind::Comment:
        return report_range(self_, Comment, t.name, t.content_end);
    case Kind::EntityRef:
    case Kind::CharRef:
        return report_reference(self_, t.kind == Kind::CharRef, t.name, t.name_end);
    }
    return 0;
}

}  // namespace

Py_UCS4 *scan(FastParser *self, Py_UCS4 *start, Py_UCS4 *end) {
    // A failed scan is repeated from the same start by the next call, so it
    // must find the states the first attempt found.
    std::int32_t pending_net = self->pending_net;
    std::int32_t doctype_state = self->doctype_state;
    Scanner scanner(self, start, end);
    // The held text begins with the construct that the last call stopped at,
    // unchanged, so what that call read of it still holds; it is used once.
    scanner.resumed.offset = std::exchange(self->resume_offset, 0);
    scanner.resumed.quote = self->resume_quote;
    Py_UCS4 *p = scanner.run();
    if (!p) {
        self->pending_net = pending_net;
        self->doctype_state = doctype_state;
    } else if (p == scanner.reached.construct) {
        self->resume_offset = scanner.reached.offset;
        self->resume_quote = scanner.reached.quote;
    }
    return p;
}

}  // namespace corvane_parser
