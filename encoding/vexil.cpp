// _vexil: names the encoding of an XML document from its first bytes or from
// its declaration (detectencoding), and defines the module.

#include "declaration.hpp"
#include "vexil.hpp"

#include <bit>
#include <cstdint>

namespace {

using vexil::DECL_ENCODING_FOUND;
using vexil::DECL_ERROR;
using vexil::DECL_INCOMPLETE;
using vexil::DECL_NO_ENCODING;

// The byte-order marks and the forms that "<?xml" takes in the encodings that
// are not ASCII-compatible; the last one is the ASCII-compatible declaration
// itself, whose answer comes from the declaration scan.
struct Candidate {
    const char *answer;
    unsigned char pattern[5];
    unsigned char length;  // pattern bytes that must match
    unsigned char needed;  // bytes present before the answer is given
};

constexpr Candidate kCandidates[] = {
    {"utf-8-sig", {0xEF, 0xBB, 0xBF}, 3, 3},
    {"utf-16", {0xFF, 0xFE}, 2, 2},  // unless bytes 2 and 3 are both 00
    {"utf-16", {0xFE, 0xFF}, 2, 2},
    {"utf-16-le", {0x3C, 0x00, 0x3F, 0x00}, 4, 4},
    {"utf-16-be", {0x00, 0x3C}, 2, 2},
    {"utf-32", {0xFF, 0xFE, 0x00, 0x00}, 4, 4},
    {"utf-32", {0x00, 0x00, 0xFE, 0xFF}, 4, 4},
    {"utf-32-le", {0x3C, 0x00, 0x00, 0x00}, 4, 4},
    {"utf-32-be", {0x00, 0x00, 0x00, 0x3C}, 4, 4},
    {"cp037", {0x4C, 0x6F, 0xA7, 0x94}, 4, 4},
    {nullptr, {0x3C, 0x3F, 0x78, 0x6D, 0x6C}, 5, 6},  // then declaration whitespace
};
constexpr int kCandidateCount = sizeof kCandidates / sizeof kCandidates[0];
constexpr unsigned kUtf16LittleMark = 1u << 1;
constexpr unsigned kDeclaration = 1u << (kCandidateCount - 1);
constexpr Py_ssize_t kNarrowed = 6;  // bytes that take part in the narrowing

// For each of the first six positions and each byte value, the candidates
// that this byte at this position leaves in the set: the narrowing is one
// lookup per byte instead of a comparison per byte and candidate.
struct KeepTable {
    std::uint16_t keeps[kNarrowed][256];
};

constexpr KeepTable make_keep_table() {
    KeepTable t{};
    for (Py_ssize_t k = 0; k < kNarrowed; ++k)
        for (int b = 0; b < 256; ++b)
            for (int i = 0; i < kCandidateCount; ++i) {
                const Candidate &c = kCandidates[i];
                bool kept = k < c.length ? c.pattern[k] == b : true;
                if ((1u << i) == kDeclaration && k == kNarrowed - 1)
                    kept = vexil::is_declaration_space(b);
                if (kept)
                    t.keeps[k][b] |= std::uint16_t(1u << i);
            }
    return t;
}

constexpr KeepTable kKeep = make_keep_table();

// The candidates that the first min(n, 6) bytes leave.
unsigned narrow(const unsigned char *bytes, Py_ssize_t n) {
    unsigned mask = (1u << kCandidateCount) - 1;
    const Py_ssize_t limit = n < kNarrowed ? n : kNarrowed;
    for (Py_ssize_t k = 0; k < limit; ++k)
        mask &= kKeep.keeps[k][bytes[k]];
    // FF FE 00 00 is the UTF-32 mark, not the UTF-16 one.
    if (n >= 4 && bytes[2] == 0 && bytes[3] == 0)
        mask &= ~kUtf16LittleMark;
    return mask;
}

PyObject *utf8_name() { return PyUnicode_FromString("utf-8"); }

PyObject *undecided(int final) {
    if (final)
        return utf8_name();
    Py_RETURN_NONE;
}

// Holds a contiguous view of an object's bytes for the length of a call.
class ByteView {
public:
    explicit ByteView(PyObject *obj) noexcept : held_(PyObject_GetBuffer(obj, &view_, PyBUF_ND) == 0) {}
    ByteView(const ByteView &) = delete;
    ByteView &operator=(const ByteView &) = delete;
    ~ByteView() {
        if (held_)
            PyBuffer_Release(&view_);
    }

    explicit operator bool() const noexcept { return held_; }
    const unsigned char *bytes() const noexcept { return static_cast<const unsigned char *>(view_.buf); }
    Py_ssize_t size() const noexcept { return view_.len; }

private:
    Py_buffer view_{};
    bool held_;
};

// The byte road over the n bytes at `bytes`.
PyObject *detect_in(const unsigned char *bytes, Py_ssize_t n, int final) {
    const unsigned mask = narrow(bytes, n);
    if (mask == 0)
        return utf8_name();
    if (!std::has_single_bit(mask))
        return undecided(final);
    const Candidate &candidate = kCandidates[std::countr_zero(mask)];
    if (n < candidate.needed)
        return undecided(final);
    if (candidate.answer)
        return PyUnicode_FromString(candidate.answer);

    const Py_UCS1 *value_start = nullptr, *value_end = nullptr;
    switch (parsedeclaration_ucs1(bytes, bytes + n, &value_start, &value_end)) {
    case DECL_ENCODING_FOUND:
        return PyUnicode_FromStringAndSize(reinterpret_cast<const char *>(value_start), value_end - value_start);
    case DECL_NO_ENCODING:
        return utf8_name();
    case DECL_INCOMPLETE:
        // The declaration has begun, so "utf-8" would be a guess even when
        // no more bytes will come.
        Py_RETURN_NONE;
    default:
        return nullptr;
    }
}

PyObject *detect_bytes(PyObject *obj, int final) {
    // A bytes object is immutable and its buffer is its own storage, so it
    // is read in place; every other object through a view of its buffer.
    if (PyBytes_CheckExact(obj))
        return detect_in(reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(obj)), PyBytes_GET_SIZE(obj),
                         final);
    ByteView view(obj);
    if (!view)
        return nullptr;
    return detect_in(view.bytes(), view.size(), final);
}

PyObject *detect_str(PyObject *text, int final) {
    if (!vexil::known_width(text))
        return nullptr;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    return corvane_common::with_units(text, [&](const auto *units) -> PyObject * {
        using Unit = vexil::unit_of<decltype(units)>;
        const Unit *value_start = nullptr, *value_end = nullptr;
        switch (vexil::parse_declaration(units, units + n, &value_start, &value_end)) {
        case DECL_ENCODING_FOUND:
            return PyUnicode_FromKindAndData(static_cast<int>(sizeof(Unit)), value_start, value_end - value_start);
        case DECL_NO_ENCODING:
            return utf8_name();
        case DECL_INCOMPLETE:
            return undecided(final);
        default:
            return nullptr;
        }
    });
}

PyObject *detectencoding(PyObject *, PyObject *args) {
    PyObject *obj;
    int final = 0;
    if (!PyArg_ParseTuple(args, "O|i:detectencoding", &obj, &final))
        return nullptr;
    return PyUnicode_Check(obj) ? detect_str(obj, final) : detect_bytes(obj, final);
}

PyMethodDef methods[] = {
    {"detectencoding", detectencoding, METH_VARARGS,
     "detectencoding(str[, final=False]) -> str or None\n"
     "\t\n"
     "\tTries to detect the XML encoding from the first few bytes of the string\n"
     "\tor the encoding declaration in the XML header. Return the name of the\n"
     "\tencoding or None, if the encoding is ambiguous."},
    {"fixencoding", fixencoding, METH_VARARGS,
     "fixencoding(str, encoding) -> str or None\n"
     "\t\n"
     "\tReplaces the encoding specification in the XML declaration at the start of the\n"
     "\tfirst argument with the encoding specified. If there's no XML declaration the\n"
     "\toriginal string is returned. If the string isn't long enough to find an encoding\n"
     "\tNone is returned."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = corvane_common::multi_phase_module("_vexil", nullptr, methods);

}  // namespace

PyMODINIT_FUNC PyInit__vexil(void) { return PyModuleDef_Init(&module_def); }
