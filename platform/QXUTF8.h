#ifndef QUORVEX_PLATFORM_QXUTF8_H_
#define QUORVEX_PLATFORM_QXUTF8_H_

#include <cstddef>
#include <string>
#include <string_view>

// Bytes the machine hands over as text (a uname field, a line of a system
// file) decoded as UTF-8. Every ill-formed sequence becomes one U+FFFD, so
// what goes on into a hit is always well-formed text; well-formed input comes
// back unchanged.
std::string QXDecodeUTF8(std::string_view bytes);

// Where the first ill-formed sequence of `bytes` starts, or npos when they
// are well-formed UTF-8 (no overlong forms, surrogates or code points past
// U+10FFFF).
size_t QXFirstInvalidUTF8(std::string_view bytes);

// The same, then without C0 and C1 control characters and DEL, and without
// leading and trailing spaces: one line of printable text.
std::string QXPrintableLine(std::string_view bytes);

#endif  // QUORVEX_PLATFORM_QXUTF8_H_
