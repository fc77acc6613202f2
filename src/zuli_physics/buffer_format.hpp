// The element-type rule for buffer arguments: does a buffer's struct-style
// format string describe exactly one element of the expected type?
//
// Pure string processing with no interpreter types, so that it is tested on
// its own; the frame turns a FormatCheck into the matching ValueError.
#pragma once

#include <stddef.h>

namespace zuli::fmt {

enum class Group : unsigned char { Real, Complex, Signed, Unsigned, Char, Object, Unknown };

// An expected element: its group, size in bytes and name as messages spell it.
struct ElementType {
    Group group;
    size_t size;
    const char* name;
};

inline constexpr ElementType kDouble = {Group::Real, sizeof(double), "double"};
inline constexpr ElementType kUByte = {Group::Unsigned, 1, "unsigned char"};

enum class Verdict {
    Ok,
    Mismatch,              // "Buffer dtype mismatch, expected ... but got ..."
    BigEndian,             // a '>' or '!' byte-order mark
    UnknownChar,           // a character outside the format language
    NoStandardLongDouble,  // 'g' while standard sizes are in force
    Truncated,             // the format ends inside a struct, name or shape
    TooDeep,               // structs nested beyond kMaxNesting
};

struct FormatCheck {
    Verdict verdict;
    // Mismatch: true when the first element matched and more followed, so
    // what was expected is the end of the format.
    bool expected_end;
    // Mismatch: description of the element found ("'float'", "end", ...).
    const char* got;
    // UnknownChar: the offending character.
    char bad_char;
};

inline constexpr int kMaxNesting = 64;

// `format` is NUL-terminated; the caller substitutes "B" for a missing one.
FormatCheck check_format(const char* format, const ElementType& want);

}  // namespace zuli::fmt
