// Internal seams of the corvane module: the parser record with its callback
// slots, and the scans that the feed routine runs over the text it is given.
#pragma once

#include "pyhandle.hpp"

#include <cstddef>
#include <cstdint>

namespace corvane_parser {

using corvane_common::Ref;

// The callback slots in the order the record holds them.
enum Slot : int {
    EnterStartTag,
    EnterAttr,
    LeaveAttr,
    LeaveStartTag,
    EndTag,
    Proc,
    Special,
    CharRef,
    EntityRef,
    Text,
    Cdata,
    Comment,
    kSlotCount
};

// Native callers read this record through the exported type, so its fields
// keep their order, meaning and offsets (pinned below). resume_offset and
// resume_quote are this project's additions to the record they know;
// held_failed and reporting_character are internal and live in the padding
// after them.
struct FastParser {
    PyObject_HEAD
    std::int32_t xml_mode;
    std::int32_t busy;
    std::int32_t pending_net;
    std::int32_t doctype_state;
    Py_UCS4 *buffer;
    Py_ssize_t buffer_length;
    Py_ssize_t buffer_capacity;
    PyObject *slots[kSlotCount];
    // How far the scan already read the incomplete construct that begins the
    // held text, so that the next call goes on from there instead of reading
    // a long comment or quoted value again from its start: an offset from
    // the construct's first code point (0: not read), and the quote open
    // there. Set by a scan that stops at such a construct, taken by the next
    // scan, and reset with the held text.
    Py_ssize_t resume_offset;
    Py_UCS4 resume_quote;
    // Non-zero when the held text is what a failed call left behind: all of
    // it, to be scanned again from its start. Otherwise the held text is at
    // most one incomplete construct, which the next call finishes before it
    // reads the new piece in place.
    std::uint8_t held_failed;
    // Non-zero while handle_text receives the character a reference stands
    // for. The reports alone cannot tell it from a literal character, and
    // XML treats the two differently in attribute values; the collector of
    // this project's own layer reads it, nothing else does.
    std::uint8_t reporting_character;
};

// The slots' positions in the record are part of what native callers read.
static_assert(EnterStartTag == 0 && EnterAttr == 1 && LeaveAttr == 2 && LeaveStartTag == 3 && EndTag == 4 &&
              Proc == 5 && Special == 6 && CharRef == 7 && EntityRef == 8 && Text == 9 && Cdata == 10 &&
              Comment == 11 && kSlotCount == 12);

// Each field directly after the one before it, as a caller that declares the
// record itself lays it out.
constexpr std::size_t kFirstField = sizeof(PyObject);
static_assert(offsetof(FastParser, xml_mode) == kFirstField);
static_assert(offsetof(FastParser, busy) == kFirstField + 4);
static_assert(offsetof(FastParser, pending_net) == kFirstField + 8);
static_assert(offsetof(FastParser, doctype_state) == kFirstField + 12);
static_assert(offsetof(FastParser, buffer) == kFirstField + 16);
static_assert(offsetof(FastParser, buffer_length) == offsetof(FastParser, buffer) + sizeof(Py_UCS4 *));
static_assert(offsetof(FastParser, buffer_capacity) == offsetof(FastParser, buffer_length) + sizeof(Py_ssize_t));
static_assert(offsetof(FastParser, slots) == offsetof(FastParser, buffer_capacity) + sizeof(Py_ssize_t));
static_assert(offsetof(FastParser, resume_offset) == offsetof(FastParser, slots) + kSlotCount * sizeof(PyObject *));
static_assert(offsetof(FastParser, resume_quote) == offsetof(FastParser, resume_offset) + sizeof(Py_ssize_t));

// The size of the record without the internal field: the exported type's
// tp_basicsize, which callers may rely on.
constexpr std::size_t kExportedEnd = offsetof(FastParser, resume_quote) + sizeof(Py_UCS4);
constexpr std::size_t kExportedSize =
    (kExportedEnd + alignof(FastParser) - 1) / alignof(FastParser) * alignof(FastParser);
static_assert(offsetof(FastParser, held_failed) >= kExportedEnd && sizeof(FastParser) == kExportedSize,
              "the internal fields must fit the padding after resume_quote");

// What one scan read of the incomplete construct it stopped at, so that the
// next scan of the same construct may go on from there. An offset of 0
// means from the start.
struct Progress {
    Py_ssize_t offset = 0;
    Py_UCS4 quote = 0;
};

// The outcome of a scan, in offsets from the start of the str or of the held
// text.
struct Outcome {
    // Consumed up to here. After a failure: the construct whose report
    // failed, or the end when it was the last run of text.
    Py_ssize_t stop = 0;
    bool failed = false;
    // Set when the construct at `stop` recorded how far it was read.
    bool progressed = false;
    Progress progress;
    // SGML mode, a piece read in place: the name the scan passed last,
    // whose code points the held text must receive lower-cased.
    Py_ssize_t lowered_begin = 0;
    Py_ssize_t lowered_end = 0;
};

// Reads only the construct at the start of the held text [0, length).
enum class HeldConstruct { Reported, Incomplete, NotMarkup, Failed };
struct HeldStep {
    HeldConstruct what = HeldConstruct::Incomplete;
    Py_ssize_t resume = 0;  // Reported: where the text after it begins
    bool progressed = false;
    Progress progress;  // Incomplete: how far it was read
};

// The scans, compiled once for each instruction set; init_scanner picks
// the widest that the processor offers.
struct Scans {
    // Scans the piece [from, length) of a str in place, without copying
    // it, from the parser's current states. The piece's own width decides
    // the code-unit type.
    Outcome (*piece)(FastParser *self, PyObject *text, Py_ssize_t from);
    // Scans the held text of 32-bit code points from `from` to `length`,
    // lower-casing SGML names in place; `resumed` is what an earlier call
    // read of the construct at `from`.
    Outcome (*held)(FastParser *self, Py_UCS4 *held, Py_ssize_t from, Py_ssize_t length, Progress resumed);
    // Reads and reports only the construct at the start of the held text.
    HeldStep (*finish)(FastParser *self, Py_UCS4 *held, Py_ssize_t length, Progress resumed);
    // SGML mode: lower-cases, in the held text [from, length), the names
    // that a scan from `from` passes up to and including the construct at
    // `until` (or to the end), reporting nothing. This gives a piece that
    // was read in place the form a scan of the held text would have left,
    // when a failed call must keep it.
    void (*lower)(FastParser *self, Py_UCS4 *held, Py_ssize_t from, Py_ssize_t length, Py_ssize_t until);
};

extern const Scans scans_baseline;
extern const Scans scans_avx2;
extern const Scans scans_avx512;

// The scans in use.
extern const Scans *scans;

// Counts the changes of any parser's callback slots. A scan reads which
// slots are bound once, and again only when a callback it made has changed
// this count: reading all twelve after every call would cost as much as
// a good part of the call itself.
extern std::uint64_t binding_changes;

// Builds the character classes and picks the scans; called once at module
// initialisation.
void init_scanner();

}  // namespace corvane_parser
