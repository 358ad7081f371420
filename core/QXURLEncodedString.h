#ifndef QUORVEX_CORE_QXURLENCODEDSTRING_H_
#define QUORVEX_CORE_QXURLENCODEDSTRING_H_

#include <string>
#include <string_view>

// Percent-encoding for form bodies and URLs: the RFC 3986 unreserved
// characters (A-Z a-z 0-9 - . _ ~) stay as they are; every other byte,
// whatever it is (space, "&", "=", "#", "+", "%", NUL, any byte of a
// multi-byte or invalid UTF-8 sequence), becomes "%" and two upper-case hex
// digits. An encoded text therefore never holds a byte that a form parser
// reads as a separator.
std::string QXURLEncodedString(std::string_view text);

// Appends the encoding of `text` to `out` (no intermediate string).
void QXAppendURLEncoded(std::string& out, std::string_view text);

#endif  // QUORVEX_CORE_QXURLENCODEDSTRING_H_
