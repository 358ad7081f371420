#ifndef QUORVEX_QXSDK_PREDEFINED_QXREADINGS_H_
#define QUORVEX_QXSDK_PREDEFINED_QXREADINGS_H_

#include <cstdint>
#include <optional>
#include <string>

class QXPlatform;

// Clock and random readings and the number conversions of the predefined
// variables, over a given platform. Pure apart from the platform's clock and
// random generator.
class QXReadings {
 public:
  // Whole seconds and milliseconds since 1970 (the platform's floating-point
  // seconds, truncated toward zero). A clock reading before 1970 reads as 0.
  static uint64_t now(QXPlatform& platform);
  static uint64_t nowMs(QXPlatform& platform);

  // A non-negative random 32-bit integer: a fresh draw taken as signed and
  // made positive (the one value without a positive counterpart, -2^31,
  // becomes 2^31 - 1).
  static int32_t randomInt(QXPlatform& platform);

  // Decimal texts ("%llu", "%lld", "%d").
  static std::string text(uint64_t value) { return std::to_string(value); }
  static std::string text(int64_t value) { return std::to_string(value); }
  static std::string text(int32_t value) { return std::to_string(value); }

  // The leading integer of a text, 0 for none or an absent text (intValue,
  // longLongValue).
  static int32_t intValue(const std::optional<std::string>& text);
  static int64_t longLongValue(const std::optional<std::string>& text);
  // The leading floating-point number of a text, 0 for none (doubleValue).
  static double doubleValue(const std::optional<std::string>& text);
  // A whole text read as a number and taken as unsigned 64-bit: decimal
  // digits with an optional sign and fraction (the fraction is dropped). A
  // text that is not such a number, an absent one, and a negative one give 0.
  static uint64_t unsignedNumberValue(const std::optional<std::string>& text);
};

#endif  // QUORVEX_QXSDK_PREDEFINED_QXREADINGS_H_
