// The markup scanner: cuts the held text into character data and constructs
// and reports each complete one in document order. Every construct has one
// routine below that answers complete (filling in a Token), incomplete (the
// held text ends before the construct can be decided) or not markup.

#include "corvane.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
// do depends on the two state fields. One that cannot open anything now
// repeats "<", so that every test below stays a plain comparison.
struct Openers {
    Py_UCS4 c[5];

    explicit Openers(const FastParser *self)
        : c{'<', '&', self->doctype_state ? Py_UCS4('%') : Py_UCS4('<'),
            self->doctype_state ? Py_UCS4(']') : Py_UCS4('<'),
            self->pending_net ? Py_UCS4('/') : Py_UCS4('<')} {}

    bool match(Py_UCS4 x) const {
        return (x == c[0]) | (x == c[1]) | (x == c[2]) | (x == c[3]) | (x == c[4]);
    }
};

// The plain-text fast path: the first code point at or after p that can
// open a construct, or end. Four code points are tested at a time where the
// machine allows it.
Py_UCS4 *find_opener(Py_UCS4 *p, Py_UCS4 *end, const Openers &o) {
    // Constructs often follow each other directly.
    if (p < end && o.match(*p))
        return p;
#if defined(__SSE2__)
    __m128i c0 = _mm_set1_epi32(int(o.c[0])), c1 = _mm_set1_epi32(int(o.c[1]));
    __m128i c2 = _mm_set1_epi32(int(o.c[2])), c3 = _mm_set1_epi32(int(o.c[3]));
    __m128i c4 = _mm_set1_epi32(int(o.c[4]));
    for (; end - p >= 4; p += 4) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        __m128i hit = _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi32(x, c0), _mm_cmpeq_epi32(x, c1)),
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi32(x, c2), _mm_cmpeq_epi32(x, c3)),
                         _mm_cmpeq_epi32(x, c4)));
        if (int lanes = _mm_movemask_ps(_mm_castsi128_ps(hit)))
            return p + __builtin_ctz(unsigned(lanes));
    }
#endif
    while (p < end && !o.match(*p))
        ++p;
    return p;
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
    Scanner(FastParser *self, Py_UCS4 *end) : self_(self), end_(end), xml_(self->xml_mode != 0) {}

    Py_UCS4 *run(Py_UCS4 *start);

private:
    Step markup(Py_UCS4 *p, Token &t);
    Py_UCS4 *name(Py_UCS4 *begin);
    Step tag(Kind kind, Py_UCS4 *name_begin, Token &t);
    Step sgml_slash(Token &t);
    Step rest_of_tag(Token &t);
    Step comment_or_cdata(Kind kind, Py_UCS4 *p, Token &t);
    Step reference(Py_UCS4 *p, Token &t);
    Step param_ref(Py_UCS4 *p, Token &t);
    Step closer(Py_UCS4 *p, Kind kind, std::int32_t &state, Token &t);
    int report(const Token &t);
    int report_text(const Py_UCS4 *begin, const Py_UCS4 *end) {
        return begin == end ? 0 : report_range(self_, Text, begin, end);
    }

    FastParser *self_;
    Py_UCS4 *end_;
    bool xml_;
};

Py_UCS4 *Scanner::run(Py_UCS4 *start) {
    Py_UCS4 *p = start;
    Py_UCS4 *text = start;  // where the pending run of character data began
    for (;;) {
        p = find_opener(p, end_, Openers(self_));
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
            return tag(Kind::Proc, p + 2, t);
        if (c == '/')
            return tag(Kind::EndTag, p + 2, t);
        Py_UCS4 d = p[2];
        if (d == '-')
            return comment_or_cdata(Kind::Comment, p, t);
        if (xml_ && d == '[')
            return comment_or_cdata(Kind::Cdata, p, t);
        if (xml_ && d == 'D')
            self_->doctype_state = 1;
        return tag(Kind::Declaration, p + 2, t);
    }
    if (is_space(c))
        return Step::NotMarkup;
    return tag(Kind::StartTag, p + 1, t);
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
// declaration) whose name begins at name_begin.
Step Scanner::tag(Kind kind, Py_UCS4 *name_begin, Token &t) {
    Py_UCS4 *name_end = name(name_begin);
    if (name_end == end_)
        return Step::Incomplete;
    t.kind = kind;
    t.name = name_begin;
    t.name_end = name_end;
    if (!xml_ && *name_end == '/')
        return sgml_slash(t);
    return rest_of_tag(t);
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
// quotes, or, within a document type declaration, an unquoted "[".
Step Scanner::rest_of_tag(Token &t) {
    Py_UCS4 quote = 0;
    Py_UCS4 last = 0;  // the code point before the terminator; 0 is neither "/" nor "?"
    for (Py_UCS4 *p = t.name_end; p < end_; ++p) {
        Py_UCS4 c = *p;
        if (quote) {
            if (c == quote)
                quote = 0;
        } else if (c == '>' || c == '<') {
            t.content_end = p;
            t.resume = c == '>' ? p + 1 : p;
            if (last == '/') {
                t.kind = Kind::EmptyTag;
                --t.content_end;
            } else if (t.kind == Kind::Proc && last == '?') {
                --t.content_end;
            }
            if (self_->doctype_state == 1)
                self_->doctype_state = 0;
            return Step::Complete;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '[' && self_->doctype_state) {
            self_->doctype_state = 2;
            t.kind = Kind::SubsetStart;
            t.content_end = p;
            t.resume = p + 1;
            return Step::Complete;
        }
        last = c;
    }
    return Step::Incomplete;
}

// "<!-" or, in XML mode, "<![" at p. The closing sequence is searched from
// p + 2 on, so it may overlap the opening; the content is then empty.
Step Scanner::comment_or_cdata(Kind kind, Py_UCS4 *p, Token &t) {
    if (end_ - p <= 5)
        return Step::Incomplete;
    Py_UCS4 closing = kind == Kind::Comment ? '-' : ']';
    Py_ssize_t content_offset = kind == Kind::Comment ? 4 : 9;
    // One code point must follow the closing sequence.
    for (Py_UCS4 *q = p + 2; end_ - q > 3; ++q) {
        if (q[0] == closing && q[1] == closing && q[2] == '>') {
            t.kind = kind;
            t.name = q - p >= content_offset ? p + content_offset : q;
            t.content_end = q;
            t.resume = q + 3;
            return Step::Complete;
        }
    }
    return Step::Incomplete;
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
    Py_UCS4 *p = Scanner(self, end).run(start);
    if (!p) {
        self->pending_net = pending_net;
        self->doctype_state = doctype_state;
    }
    return p;
}

}  // namespace corvane_parser
