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

  // Equality of two texts with ASCII letters compared without case (as HTTP
  // header names are).
  static bool equalsIgnoringCase(std::string_view a, std::string_view b);
};

#endif  // QUORVEX_CORE_QXUTILS_H_
