// _lumet: the ECMA-48 Select Graphic Rendition sequence that switches a
// terminal from one style code to another.
//
// A style code packs the background colour (bits 0-2), the foreground colour
// (bits 3-5) and the attributes bold (bit 6), underline (bit 7) and blink
// (bit 8). Bits 9 and up only take part in the test for equality.

#include "pyhandle.hpp"

#include <cstring>

namespace {

constexpr int kDefault = 56;  // foreground 7 on background 0: what "0" gives
constexpr int kUnknown = -1;
constexpr int kBackground = 0x007;
constexpr int kForeground = 0x038;
constexpr int kAttributes = 0x1C0;
constexpr int kRendition = 0x1FF;
constexpr int kBold = 0x040;
constexpr int kUnderline = 0x080;
constexpr int kBlink = 0x100;

// ESC "[" "0;1;4;5;3" digit ";4" digit "m" is the longest possible sequence.
constexpr std::size_t kLongest = 16;

class Sequence {
public:
    Sequence() {
        put('\x1b');
        put('[');
    }

    void param(char a, char b = '\0') {
        if (params_++)
            put(';');
        put(a);
        if (b)
            put(b);
    }

    PyObject *finish() {
        put('m');
        PyObject *result = PyUnicode_New(static_cast<Py_ssize_t>(length_), 127);
        if (result)
            std::memcpy(PyUnicode_1BYTE_DATA(result), text_, length_);
        return result;
    }

private:
    void put(char c) { text_[length_++] = c; }

    char text_[kLongest];
    std::size_t length_ = 0;
    int params_ = 0;
};

char digit(int colour) { return static_cast<char>('0' + (colour & 7)); }

PyObject *switchcolor(PyObject *, PyObject *args) {
    int current, wanted;
    if (!PyArg_ParseTuple(args, "ii:switchcolor", &current, &wanted))
        return nullptr;
    if (wanted == kUnknown || current == wanted)
        return PyUnicode_New(0, 0);

    if (current == kUnknown) {
        // Nothing is known about the terminal: assume the default rendition
        // and write what the wanted code needs on top of it.
        current = kDefault;
    } else if ((current & kRendition) == (wanted & kRendition) && wanted != kDefault) {
        // The terminal already shows the wanted rendition; the codes differ
        // only in bits that no sequence can express. Switching to the default
        // code still writes the reset, which callers use to restore the
        // terminal unconditionally.
        return PyUnicode_New(0, 0);
    }

    Sequence seq;
    // Attributes can only be switched off by the reset, so reset whenever the
    // terminal has an attribute that the wanted code lacks, and when going
    // back to the default code.
    bool drops_attribute = (current & ~wanted & kAttributes) != 0;
    bool to_plain = (wanted & kAttributes) == 0 && ((current & kAttributes) || wanted == kDefault);
    if (drops_attribute || to_plain) {
        seq.param('0');
        current = kDefault;
    }
    if ((wanted & kBold) && !(current & kBold))
        seq.param('1');
    if ((wanted & kUnderline) && !(current & kUnderline))
        seq.param('4');
    if ((wanted & kBlink) && !(current & kBlink))
        seq.param('5');
    if ((current ^ wanted) & kForeground)
        seq.param('3', digit(wanted >> 3));
    if ((current ^ wanted) & kBackground)
        seq.param('4', digit(wanted));
    return seq.finish();
}

PyMethodDef methods[] = {
    {"switchcolor", switchcolor, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def =
    corvane_common::multi_phase_module("_lumet", "This module contains the function switchcolor().", methods);

}  // namespace

PyMODINIT_FUNC PyInit__lumet(void) { return PyModuleDef_Init(&module_def); }
