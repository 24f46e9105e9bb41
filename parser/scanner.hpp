// The markup scanner: cuts a range of code units into character data and
// constructs and reports each complete one in document order. Every
// construct has one routine below that answers complete (filling in a
// Token), incomplete (the range ends before the construct can be decided)
// or not markup.
//
// One template serves every way the scan reads text: a piece of any width
// read in place, where nothing may be written, and the parser's held text of
// 32-bit code points, where SGML names are lower-cased as they are passed.
// The Dry form reports nothing; it only repeats the lower-casing.
//
// The file is compiled once per instruction set (see isa.hpp), into that
// set's namespace.
#pragma once

#include "isa.hpp"
#include "text.hpp"

#include <type_traits>

namespace corvane_parser::CORVANE_ISA_NS {

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

// A complete construct: what to report, and where scanning goes on. Each
// routine fills in what its kind reports; the rest stays unset.
template <typename P>
struct Token {
    Kind kind;
    P name;  // name or content begin
    P name_end;
    P content_end;
    P resume;
};

inline constexpr std::int32_t kUnresolved = -1;

template <typename Unit>
bool equals(const Unit *begin, const Unit *end, const char *name) {
    for (; begin < end && *name; ++begin, ++name)
        if (*begin != static_cast<unsigned char>(*name))
            return false;
    return begin == end && !*name;
}

inline int hex_digit(Py_UCS4 c) {
    if (c >= '0' && c <= '9')
        return int(c - '0');
    if (c >= 'a' && c <= 'f')
        return int(c - 'a' + 10);
    if (c >= 'A' && c <= 'F')
        return int(c - 'A' + 10);
    return -1;
}

// The value of a reference body: a code point, or kUnresolved. Numbers wrap
// modulo 2**32 and the digits stop at the first code point that is not one.
template <typename Unit>
std::int32_t reference_value(const Unit *begin, const Unit *end) {
    if (begin == end)
        return kUnresolved;
    switch (end - begin) {
    case 2:
        if (equals(begin, end, "gt"))
            return '>';
        if (equals(begin, end, "lt"))
            return '<';
        break;
    case 3:
        if (equals(begin, end, "amp"))
            return '&';
        break;
    case 4:
        if (equals(begin, end, "apos"))
            return '\'';
        if (equals(begin, end, "quot"))
            return '"';
        break;
    }
    if (*begin != '#')
        return kUnresolved;
    std::uint32_t value = 0;
    if (end - begin >= 2 && begin[1] == 'x') {
        for (const Unit *p = begin + 2; p < end; ++p) {
            int digit = hex_digit(*p);
            if (digit < 0)
                break;
            value = value * 16 + std::uint32_t(digit);
        }
    } else {
        for (const Unit *p = begin + 1; p < end && *p >= '0' && *p <= '9'; ++p)
            value = value * 10 + std::uint32_t(*p - '0');
    }
    return static_cast<std::int32_t>(value);
}

// A value that no str can hold (above U+10FFFF, or negative after wrapping)
// is passed on by name like an unresolvable one, rather than failing a scan
// that the next call would repeat.
inline bool is_character(std::int32_t value) { return static_cast<std::uint32_t>(value) <= 0x10FFFF; }

template <typename Unit, bool Xml, bool Held, bool Dry = false>
class Scanner {
    static_assert(!Held || sizeof(Unit) == 4, "the held text is 32-bit");

public:
    // The held text is written (SGML names); a piece is only read.
    using P = std::conditional_t<Held, Unit *, const Unit *>;
    using Strs = Strings<Unit, Held, Xml>;

    Scanner(FastParser *self, P start, P end, Strs strings = {})
        : self_(self), start_(start), end_(end), strings_(strings) {
        read_bindings();
    }

    struct Stop {
        P at;
        bool failed;
    };

    // Scans from p, which is where the pending run of text begins, to the end.
    Stop run(P p) {
        P text = p;
        p = next_opener(p);
        for (;;) {
            if (p == end_) {
                // Skipped references still decide where the scan stops.
                if (skips_references()) {
                    P cut = unfinished_reference(text);
                    if (cut != end_)
                        return {cut, false};
                }
                return {end_, report_text(text, end_) < 0};
            }
            if constexpr (Dry) {
                if (p > dry_until)
                    return {p, false};
            }
            Token<P> t;
            Step step = construct(p, t);
            if (step == Step::NotMarkup) {
                p = next_opener(p + 1);
                continue;
            }
            if constexpr (Dry) {
                if (step == Step::Incomplete || p == dry_until || t.resume == end_)
                    return {p, false};
            } else {
                if (report_text(text, p) < 0)
                    return {p, true};
                if (step == Step::Incomplete)
                    return {p, false};
                if (report(t) < 0)
                    return {p, true};
                if (t.resume == end_)
                    return {end_, false};
            }
            p = text = t.resume;
            // Constructs often follow each other directly.
            if (*p != '<' && *p != '&')
                p = next_opener(p);
        }
    }

    // The construct that the code unit at p opens (it is one of the openers
    // for the current states).
    CORVANE_INLINE
    Step construct(P p, Token<P> &t) {
        if (*p == '<')
            return markup(p, t);
        if (*p == '&')
            return reference(p, t);
        if (*p == '%')
            return param_ref(p, t);
        if (*p == ']')
            return closer(p, Kind::SubsetEnd, self_->doctype_state, t);
        // "/", only while pending_net is set
        return closer(p, Kind::EndTag, self_->pending_net, t);
    }

    bool opens(Unit c) const {
        if (c == '<' || c == '&')
            return true;
        if (self_->doctype_state && (c == '%' || c == ']'))
            return true;
        return self_->pending_net && c == '/';
    }

    // Reports a complete construct. Most often nothing is bound for it, and
    // that is decided here, inline, before the report itself is called.
    CORVANE_INLINE
    int report(const Token<P> &t) {
        if (!bound_ || !bound_for(t.kind))
            return 0;
        return report_bound(t);
    }

    CORVANE_INLINE
    bool bound_for(Kind kind) const {
        static constexpr std::uint16_t kNeeds[] = {
            bit(EnterStartTag),                                        // StartTag
            bit(EnterStartTag),                                        // EmptyTag
            bit(EndTag),                                               // EndTag
            bit(Proc),                                                 // Proc
            bit(Special),                                              // Declaration
            bit(Special),                                              // SubsetStart
            bit(Special),                                              // SubsetEnd
            bit(Special),                                              // ParamRef
            std::uint16_t(bit(Cdata) | bit(Text)),                     // Cdata
            bit(Comment),                                              // Comment
            std::uint16_t(bit(Text) | bit(EntityRef) | bit(CharRef)),  // EntityRef
            std::uint16_t(bit(Text) | bit(EntityRef) | bit(CharRef)),  // CharRef
        };
        return (bound_ & kNeeds[int(kind)]) != 0;
    }

    CORVANE_NOINLINE
    int report_bound(const Token<P> &t) {
        switch (t.kind) {
        case Kind::StartTag:
        case Kind::EmptyTag:
            return report_starttag(t);
        case Kind::EndTag:
            return call(EndTag, [&] { return strings_.named(t.name, t.name_end, t.name_end); });
        case Kind::Proc:
            return call(
                Proc, [&] { return strings_.named(t.name, t.name_end, t.name_end); },
                [&] { return strings_.plain(skip_space(t.name_end, t.content_end), t.content_end); });
        case Kind::Declaration:
        case Kind::SubsetStart:  // its content ends at the "["
            return call(Special, [&] { return strings_.named(t.name, t.name_end, t.content_end); });
        case Kind::SubsetEnd:
        case Kind::ParamRef:
            return call(Special, [&] { return strings_.plain(t.name, t.name_end); });
        case Kind::Cdata:
            return call(self_->slots[Cdata] ? Cdata : Text, [&] { return strings_.plain(t.name, t.content_end); });
        case Kind::Comment:
            return call(Comment, [&] { return strings_.plain(t.name, t.content_end); });
        case Kind::EntityRef:
        case Kind::CharRef:
            return report_reference(t.kind == Kind::CharRef, t.name, t.name_end);
        }
        return 0;
    }

    // What an earlier call read of the construct at start_, used once.
    Progress resumed;
    // The incomplete construct this scan stopped at, if it recorded how far
    // it was read.
    P reached_at = nullptr;
    Progress reached;
    // The name that the scan passed last (SGML mode).
    P lowered_begin = nullptr;
    P lowered_end = nullptr;
    // Dry: the scan stops after reading the construct that begins here.
    P dry_until = nullptr;

private:
    // Calls the callable bound in `slot`, if any, with the strs that `make`
    // builds, in order; each is made only once the callable is held (making
    // one may run the collector, and with it code that rebinds the slot),
    // and all are released after the call.
    template <typename... Make>
    int call(Slot slot, Make &&...make) {
        if constexpr (Dry) {
            return 0;
        } else {
            PyObject *bound = self_->slots[slot];
            if (!bound)
                return 0;
            int done = call_bound(bound, make...);
            // Python code ran (the callback, the collector, finalizers of
            // what was released), and it may have registered again.
            if (binding_changes != seen_changes_)
                read_bindings();
            return done;
        }
    }

    template <typename... Make>
    int call_bound(PyObject *bound, Make &...make) {
        Ref fn = Ref::borrow(bound);
        constexpr std::size_t kArgs = sizeof...(Make);
        Ref owned[kArgs];
        // One place before the arguments lets a bound method put its object
        // there instead of copying the arguments.
        PyObject *args[kArgs + 1] = {nullptr};
        std::size_t i = 0;
        auto put = [&](auto &made) {
            owned[i].reset(made());
            args[i + 1] = owned[i].get();
            return owned[i++].get() != nullptr;
        };
        if (!(put(make) && ...))
            return -1;
        return corvane_common::call_vector(fn.get(), args + 1, kArgs | PY_VECTORCALL_ARGUMENTS_OFFSET);
    }

    static constexpr std::uint16_t bit(Slot slot) { return std::uint16_t(1u << slot); }

    // The slots that hold a binding, one bit each. Only Python code can
    // change them, and it runs only inside call(), which reads them again
    // when they changed.
    void read_bindings() {
        seen_changes_ = binding_changes;
        unsigned bound = 0;
        for (int i = 0; i < kSlotCount; ++i)
            bound |= unsigned(self_->slots[i] != nullptr) << i;
        bound_ = std::uint16_t(bound);
        decide_skipping();
    }

    int report_text(P begin, P end) {
        if (!(bound_ & bit(Text)) || begin == end)
            return 0;
        return report_run(begin, end);
    }

    CORVANE_NOINLINE
    int report_run(P begin, P end) {
        return call(Text, [&] { return strings_.plain(begin, end); });
    }

    // With nothing bound that a reference in character data reports to, a
    // reference is text like any other: the search passes over it to the
    // next "<" (a reference never holds one). Only a reference that the end
    // cuts off matters still, found afterwards by unfinished_reference.
    // Decided again whenever the bindings or the states change, not at
    // every construct.
    bool skips_references() const { return skips_references_; }

    void decide_skipping() {
        if constexpr (!Dry)
            skips_references_ = !extra_openers_ && !(bound_ & (bit(Text) | bit(EntityRef) | bit(CharRef)));
    }

    CORVANE_INLINE
    P next_opener(P p) { return skips_references_ ? find(p, needles<Unit>('<')) : find_opener(p); }

    // Where the scan of the run of text [text, end) stops for a reference
    // that the end cuts off, or end. A reference runs to the first code
    // point of its stop class, so every reference that begins before the
    // run's last such code point is complete, and the first "&" after it
    // begins one that is not.
    P unfinished_reference(P text) const {
        P last = end_;
        while (last > text && !in_class(last[-1], kRefStop))
            --last;
        for (P p = last; p < end_; ++p)
            if (*p == '&')
                return p;
        return end_;
    }

    // The first opener at or after p, or the end.
    CORVANE_INLINE
    P find_opener(P p) {
        if (!extra_openers_)
            return find(p, needles<Unit>('<', '&'));
        // A place that no state fills repeats "<".
        const bool subset = self_->doctype_state != 0, net = self_->pending_net != 0;
        return find(p, Needles<Unit, 5>{{'<', '&', subset ? Unit('%') : Unit('<'), subset ? Unit(']') : Unit('<'),
                                         net ? Unit('/') : Unit('<')}});
    }

    template <int N>
    CORVANE_INLINE P find(P p, const Needles<Unit, N> &set) const {
        return const_cast<P>(find_first<Unit, N>(p, end_, set));
    }

    // The first unit at or after p in the class of stops, which holds the
    // needles, whitespace and nothing else printable in ASCII. Most names
    // are short: their first two units are tried on their own.
    template <int N>
    CORVANE_INLINE P find_stop(P p, std::uint8_t stops, const Needles<Unit, N> &set) const {
        for (int i = 0; i < 2; ++i, ++p)
            if (p == end_ || in_class(*p, stops))
                return p;
        for (;; ++p) {
            p = const_cast<P>(find_suspect(p, end_, set));
            if (p == end_ || in_class(*p, stops))
                return p;
        }
    }

    // Where reading the construct opened at p goes on: past what an earlier
    // call already read of it, or else at `from`.
    P resume_point(P p, P from, Unit *quote = nullptr) const {
        if (p != start_ || resumed.offset == 0)
            return from;
        if (quote)
            *quote = Unit(resumed.quote);
        return p + resumed.offset;
    }

    Step incomplete(P p, P read_to, Unit quote = 0) {
        reached_at = p;
        reached = {read_to - p, Py_UCS4(quote)};
        return Step::Incomplete;
    }

    // "<" at p.
    CORVANE_INLINE
    Step markup(P p, Token<P> &t) {
        if (end_ - p < 2)
            return Step::Incomplete;
        const Unit c = p[1];
        if (c == '?' || c == '/' || c == '!') {
            if (end_ - p < 3)
                return Step::Incomplete;
            if (c == '?')
                return tag(Kind::Proc, p, p + 2, t);
            if (c == '/')
                return tag(Kind::EndTag, p, p + 2, t);
            const Unit d = p[2];
            if (d == '-')
                return comment_or_cdata(Kind::Comment, p, t);
            if (Xml && d == '[')
                return comment_or_cdata(Kind::Cdata, p, t);
            if (Xml && d == 'D')
                set_state(self_->doctype_state, 1);
            return tag(Kind::Declaration, p, p + 2, t);
        }
        if (is_space(c))
            return Step::NotMarkup;
        return tag(Kind::StartTag, p, p + 1, t);
    }

    // Reads a name from begin and returns its end, which is end_ when the
    // range ends inside it. SGML names are lower-cased as they are passed:
    // in the held text itself, or, in a piece, in the strs made from them.
    CORVANE_INLINE
    P name(P begin) {
        P p = begin;
        if constexpr (Xml) {
            p = find_stop(p, kNameStop, needles<Unit>('>', '/', '?'));
        } else {
            for (; p < end_ && in_class(*p, kSgmlName); ++p)
                if constexpr (Held)
                    *p = to_lower(*p);
            lowered_begin = begin;
            lowered_end = p;
        }
        return p;
    }

    // A tag-like construct (start tag, end tag, processing instruction,
    // declaration) opened at p, whose name begins at name_begin.
    CORVANE_INLINE
    Step tag(Kind kind, P p, P name_begin, Token<P> &t) {
        P name_end = name(name_begin);
        if (name_end == end_)
            return Step::Incomplete;
        t.kind = kind;
        t.name = name_begin;
        t.name_end = name_end;
        if (!Xml && *name_end == '/')
            return sgml_slash(t);
        // Most tags end right after their name, whatever an earlier call
        // read of them: such a tag was complete then.
        if (*name_end == '>')
            return terminator(name_end, t);
        return rest_of_tag(p, t);
    }

    // SGML: "/" right after a name, in any tag-like construct. "<name/>" is
    // an empty element; "<name/" followed by anything else opens an element
    // that the next "/" in character data closes.
    CORVANE_NOINLINE
    Step sgml_slash(Token<P> &t) {
        P q = t.name_end + 1;
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
        set_state(self_->pending_net, 2);
        return Step::Complete;
    }

    // From the name's end to the terminator: the first ">" or "<" outside
    // quotes, or, within a document type declaration, an unquoted "[". The
    // tag was opened at p.
    CORVANE_NOINLINE
    Step rest_of_tag(P p, Token<P> &t) {
        Unit quote = 0;
        P q = resume_point(p, t.name_end, &quote);
        const Unit bracket = self_->doctype_state ? '[' : '>';
#if CORVANE_ISA_BLOCKS
        // A block at a time: the masks of the quotes and the terminators
        // found in it serve every quote opened and closed inside it.
        using B = Block<Unit>;
        const typename B::Reg marks[] = {B::splat('"'), B::splat('\''), B::splat('>'), B::splat('<'),
                                         B::splat(bracket)};
        for (; end_ - q >= B::kUnits; q += B::kUnits) {
            std::uint64_t dquote, squote, stops;
            B::classify(q, marks, dquote, squote, stops);
            if (!squote && quote != '\'') {
                // Only quotation marks: which units lie inside quotes is
                // the parity of the quotation marks up to them.
                std::uint64_t inside = B::prefix_parity(dquote);
                if (quote)
                    inside = ~inside;
                if (std::uint64_t outside = stops & ~inside) {
                    P at = const_cast<P>(B::at(q, outside));
                    if (*at == '[')
                        return subset_start(at, t);
                    return terminator(at, t);
                }
                quote = (inside >> B::kLastBit) & 1 ? '"' : 0;
                continue;
            }
            for (;;) {
                std::uint64_t live = quote == '"' ? dquote : quote ? squote : dquote | squote | stops;
                if (!live)
                    break;
                std::size_t bit = first_bit(live);
                P at = q + bit / B::kBitsPerUnit;
                std::uint64_t rest = B::above(bit);
                dquote &= rest;
                squote &= rest;
                stops &= rest;
                if (quote)
                    quote = 0;
                else if (*at == '"' || *at == '\'')
                    quote = *at;
                else if (*at == '[')
                    return subset_start(at, t);
                else
                    return terminator(at, t);
            }
        }
#endif
        for (; q < end_; ++q) {
            const Unit c = *q;
            if (quote) {
                if (c == quote)
                    quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '>' || c == '<') {
                return terminator(q, t);
            } else if (c == bracket) {
                return subset_start(q, t);
            }
        }
        return incomplete(p, end_, quote);
    }

    // The terminator, ">" or "<", is at q. The code point before it decides
    // an empty-element tag; there is none when it follows the name.
    CORVANE_INLINE
    Step terminator(P q, Token<P> &t) {
        const Unit last = q > t.name_end ? q[-1] : 0;  // 0 is neither "/" nor "?"
        t.content_end = q;
        t.resume = *q == '>' ? q + 1 : q;
        if (last == '/') {
            t.kind = Kind::EmptyTag;
            --t.content_end;
        } else if (t.kind == Kind::Proc && last == '?') {
            --t.content_end;
        }
        if (self_->doctype_state == 1)
            set_state(self_->doctype_state, 0);
        return Step::Complete;
    }

    // An unquoted "[" at q inside a tag-like construct of a document type
    // declaration: its internal subset begins.
    CORVANE_NOINLINE
    Step subset_start(P q, Token<P> &t) {
        set_state(self_->doctype_state, 2);
        t.kind = Kind::SubsetStart;
        t.content_end = q;
        t.resume = q + 1;
        return Step::Complete;
    }

    // "<!-" or, in XML mode, "<![" at p. The closing sequence is searched
    // from p + 2 on, so it may overlap the opening; the content is then
    // empty.
    CORVANE_NOINLINE
    Step comment_or_cdata(Kind kind, P p, Token<P> &t) {
        if (end_ - p <= 5)
            return Step::Incomplete;
        const Unit closing = kind == Kind::Comment ? '-' : ']';
        const Py_ssize_t content_offset = kind == Kind::Comment ? 4 : 9;
        // One code point must follow the closing sequence, so it begins
        // before `bound`.
        P bound = end_ - 3;
        for (P q = resume_point(p, p + 2);; ++q) {
            q = const_cast<P>(find_first<Unit, 1>(q, bound, {{closing}}));
            if (q == bound)
                return incomplete(p, bound);
            if (q[1] == closing && q[2] == '>') {
                t.kind = kind;
                t.name = q - p >= content_offset ? p + content_offset : q;
                t.content_end = q;
                t.resume = q + 3;
                return Step::Complete;
            }
        }
    }

    // "&" at p: an entity reference, or after "&#" a character reference.
    CORVANE_INLINE
    Step reference(P p, Token<P> &t) {
        if (end_ - p < 2)
            return Step::Incomplete;
        P name_begin;
        if (p[1] == '#') {
            if (end_ - p < 3)
                return Step::Incomplete;
            t.kind = Kind::CharRef;
            name_begin = p + 2;
        } else if (is_space(p[1])) {
            return Step::NotMarkup;
        } else {
            t.kind = Kind::EntityRef;
            name_begin = p + 1;
        }
        P q = find_class(name_begin, end_, kRefStop);
        if (q == end_)
            return Step::Incomplete;
        t.name = name_begin;
        t.name_end = q;
        t.resume = *q == ';' ? q + 1 : q;
        return Step::Complete;
    }

    // "%" at p inside a document type declaration.
    CORVANE_NOINLINE
    Step param_ref(P p, Token<P> &t) {
        P q = find_class(p + 1, end_, kParamStop);
        if (q == end_)
            return Step::Incomplete;
        t.kind = Kind::ParamRef;
        t.name = p + 1;
        t.name_end = q;
        t.resume = *q == ';' ? q + 1 : q;
        return Step::Complete;
    }

    // "]" inside a document type declaration ends its internal subset; in
    // SGML mode "/" closes the element that "<name/" opened. Each clears the
    // state that let it open a construct, and is decided only once a code
    // point follows it.
    CORVANE_NOINLINE
    Step closer(P p, Kind kind, std::int32_t &state, Token<P> &t) {
        if (end_ - p < 2)
            return Step::Incomplete;
        set_state(state, 0);
        t.kind = kind;
        t.name = t.name_end = t.resume = p + 1;  // nothing to report but the event
        return Step::Complete;
    }

    // -- references: one character through handle_text, or a name through
    //    handle_entityref (or, in character data, handle_charref) --------

    int report_character(std::int32_t value) {
        // The parser cannot be fed again from the call (it is busy), so no
        // nested report can overwrite the flag before it is cleared.
        self_->reporting_character = 1;
        int status = call(Text, [value] { return PyUnicode_FromOrdinal(value); });
        self_->reporting_character = 0;
        return status;
    }

    int report_name(Slot slot, P begin, P end) {
        return call(slot, [&] { return strings_.plain(begin, end); });
    }

    // A reference in character data: the name between "&" and its
    // terminator, or for a character reference the digits after "&#".
    int report_reference(bool character, P name, P name_end) {
        if (!character) {
            if (!self_->slots[Text])
                return report_name(EntityRef, name, name_end);
            std::int32_t value = reference_value<Unit>(name, name_end);
            if (value > 0)
                return report_character(value);
            return report_name(EntityRef, name, name_end);
        }
        if (self_->slots[CharRef])
            return report_name(CharRef, name, name_end);
        if (!self_->slots[Text])
            return 0;
        // The value is read from the "#" that precedes the digits.
        std::int32_t value = reference_value<Unit>(name - 1, name_end);
        if (is_character(value))
            return report_character(value);
        return report_name(EntityRef, name - 1, name_end);
    }

    // A reference inside an attribute value: the range after "&" up to its
    // ";" (or the end of the value).
    int report_attribute_reference(P begin, P end) {
        std::int32_t value = reference_value<Unit>(begin, end);
        if (is_character(value))
            return report_character(value);
        return report_name(EntityRef, begin, end);
    }

    // -- start tags: the tag is entered, each attribute is entered, its value
    //    is reported as text and references, the attribute is left, then the
    //    tag is left (and an empty-element tag ended) --------------------

    int report_starttag(const Token<P> &t) {
        // Without handle_enterstarttag the whole tag goes unreported.
        if (!self_->slots[EnterStartTag])
            return 0;
        auto tag_name = [&] { return strings_.named(t.name, t.name_end, t.name_end); };
        if (call(EnterStartTag, tag_name) < 0)
            return -1;
        const P e = t.content_end;
        for (P r = skip_space(t.name_end, e); r < e; r = skip_space(r, e)) {
            r = attribute(r, e);
            if (!r)
                return -1;
        }
        if (call(LeaveStartTag, tag_name) < 0)
            return -1;
        if (t.kind == Kind::EmptyTag && call(EndTag, tag_name) < 0)
            return -1;
        return 0;
    }

    // Reads one attribute from r (not whitespace, before e). Returns where
    // the next one begins, or null on failure.
    P attribute(P r, P e) {
        P name_begin = r;
        r = find_class(r, e, kAttrStop);
        P name_end = r;
        // The attribute's name: one str passed to every call for that
        // attribute, made when a call first needs it.
        Ref name;
        auto attr_name = [&]() -> PyObject * {
            if (!name)
                name.reset(strings_.plain(name_begin, name_end));
            return Py_XNewRef(name.get());
        };
        if (call(EnterAttr, attr_name) < 0)
            return nullptr;
        r = skip_space(r, e);
        if (r == e || *r != '=') {
            // A minimised SGML attribute: its value is its name.
            if (!Xml && call(Text, attr_name) < 0)
                return nullptr;
        } else {
            r = skip_space(r + 1, e);
            if (r != e) {
                r = value(r, e);
                if (!r)
                    return nullptr;
            }
        }
        if (call(LeaveAttr, attr_name) < 0)
            return nullptr;
        return r;
    }

    // Reads the value that begins at r (not whitespace, before e) and
    // reports its text segments and references. Returns where the next
    // attribute begins, or null on failure.
    P value(P r, P e) {
        Unit quote = 0;
        if (*r == '"' || *r == '\'')
            quote = *r++;
        P segment = r;
        bool in_reference = false;
        for (; r < e; ++r) {
            // A quoted value runs to its quote: the code points that matter
            // in it are few enough for the vector search.
            if (quote) {
                r = in_quoted_value(r, e, quote);
                if (r == e)
                    break;
            }
            const Unit c = *r;
            if (quote ? c == quote : is_space(c))
                break;
            // The scan let ">" through inside quotes; it still cuts the value.
            if (c == '>')
                break;
            if (!in_reference && c == '&') {
                if (report_text(segment, r) < 0)
                    return nullptr;
                in_reference = true;
                segment = r + 1;
            } else if (in_reference && c == ';') {
                if (report_attribute_reference(segment, r) < 0)
                    return nullptr;
                in_reference = false;
                segment = r + 1;
            }
        }
        int done = in_reference ? report_attribute_reference(segment, r) : report_text(segment, r);
        if (done < 0)
            return nullptr;
        // A quoted value also passes what ended it: the quote, or a ">".
        return quote && r < e ? r + 1 : r;
    }

    // The first code unit at or after r that matters in a quoted value, or e.
    // Most values are a few code points long, and a plain loop finds their
    // end before the vector search has set up its needles.
    CORVANE_INLINE
    static P in_quoted_value(P r, P e, Unit quote) {
        constexpr Py_ssize_t kShort = 16;
        const P plain_end = e - r > kShort ? r + kShort : e;
        for (; r < plain_end; ++r) {
            const Unit c = *r;
            if (c == quote || c == '>' || c == '&' || c == ';')
                return r;
        }
        return r == e ? e : const_cast<P>(find_first<Unit, 4>(r, e, {{quote, '>', '&', ';'}}));
    }

    // The two states make more code units open constructs in character
    // data; every change goes through here.
    void set_state(std::int32_t &state, std::int32_t value) {
        state = value;
        extra_openers_ = self_->doctype_state != 0 || self_->pending_net != 0;
        decide_skipping();
    }

    FastParser *self_;
    P start_;
    P end_;
    Strs strings_;
    std::uint32_t bound_;
    std::uint64_t seen_changes_;
    bool extra_openers_ = self_->doctype_state != 0 || self_->pending_net != 0;
    bool skips_references_ = false;
};

}  // namespace corvane_parser::CORVANE_ISA_NS
