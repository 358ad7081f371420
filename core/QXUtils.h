#ifndef QUORVEX_CORE_QXUTILS_H_
#define QUORVEX_CORE_QXUTILS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class QXUtils {
 public:
  // The integer at the start of the text: optional leading white space, an
  // optional sign, then decimal digits; anything after them is ignored. A
  // text without such a number, and an absent text, give 0. Values beyond
  // the 32-bit range saturate at its limits.
  static int32_t numberFromNSString(const std::optional<std::string>& text);

  // The same reading into a signed 64-bit integer.
  static int64_t longLongFromString(std::string_view text);

  // Whole milliseconds in `seconds` (a platform clock's reading), truncated
  // toward zero. NaN gives 0 and values beyond the 64-bit range its limits:
  // the plain conversion is undefined there, and processors differ (x86-64
  // gives the lowest value for all of them, arm64 saturates), so a host
  // clock that fails would otherwise date hits differently on each.
  static int64_t millisecondsFromSeconds(double seconds);

  // Equality of two texts with ASCII letters compared without case (as HTTP
  // header names are).
  static bool equalsIgnoringCase(std::string_view a, std::string_view b);
};

#endif  // QUORVEX_CORE_QXUTILS_H_
