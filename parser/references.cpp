// References: the five predefined entities and numeric character references
// become one character through handle_text; anything else goes by name to
// handle_entityref.

#include "corvane.hpp"

namespace corvane_parser {
namespace {

constexpr std::int32_t kUnresolved = -1;

bool equals(const Py_UCS4 *begin, const Py_UCS4 *end, const char *name) {
    for (; begin < end && *name; ++begin, ++name)
        if (*begin != static_cast<unsigned char>(*name))
            return false;
    return begin == end && !*name;
}

int hex_digit(Py_UCS4 c) {
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
std::int32_t reference_value(const Py_UCS4 *begin, const Py_UCS4 *end) {
    if (begin == end)
        return kUnresolved;
    if (equals(begin, end, "gt"))
        return '>';
    if (equals(begin, end, "lt"))
        return '<';
    if (equals(begin, end, "amp"))
        return '&';
    if (equals(begin, end, "apos"))
        return '\'';
    if (equals(begin, end, "quot"))
        return '"';
    if (*begin != '#')
        return kUnresolved;
    std::uint32_t value = 0;
    if (end - begin >= 2 && begin[1] == 'x') {
        for (const Py_UCS4 *p = begin + 2; p < end; ++p) {
            int digit = hex_digit(*p);
            if (digit < 0)
                break;
            value = value * 16 + std::uint32_t(digit);
        }
    } else {
        for (const Py_UCS4 *p = begin + 1; p < end && *p >= '0' && *p <= '9'; ++p)
            value = value * 10 + (*p - '0');
    }
    return static_cast<std::int32_t>(value);
}

// A value that no str can hold (above U+10FFFF, or negative after wrapping)
// is passed on by name like an unresolvable one, rather than failing a scan
// that the next call would repeat.
bool is_character(std::int32_t value) { return static_cast<std::uint32_t>(value) <= 0x10FFFF; }

int report_character(FastParser *self, std::int32_t value) {
    PyObject *bound = self->slots[Text];
    if (!bound)
        return 0;
    Ref fn = Ref::borrow(bound);
    Ref arg(PyUnicode_FromOrdinal(value));
    if (!arg)
        return -1;
    return call_one(fn.get(), arg.get());
}

}  // namespace

int report_reference(FastParser *self, bool character, const Py_UCS4 *name,
                     const Py_UCS4 *name_end) {
    if (!character) {
        if (!self->slots[Text])
            return report_range(self, EntityRef, name, name_end);
        std::int32_t value = reference_value(name, name_end);
        if (value > 0)
            return report_character(self, value);
        return report_range(self, EntityRef, name, name_end);
    }
    if (self->slots[CharRef])
        return report_range(self, CharRef, name, name_end);
    if (!self->slots[Text])
        return 0;
    // The value is read from the "#" that precedes the digits.
    std::int32_t value = reference_value(name - 1, name_end);
    if (is_character(value))
        return report_character(self, value);
    return report_range(self, EntityRef, name - 1, name_end);
}

int report_attribute_reference(FastParser *self, const Py_UCS4 *begin, const Py_UCS4 *end) {
    std::int32_t value = reference_value(begin, end);
    if (is_character(value))
        return report_character(self, value);
    return report_range(self, EntityRef, begin, end);
}

}  // namespace corvane_parser
