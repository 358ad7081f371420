#include "QXSDK/predefined/QXReadings.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "core/QXUtils.h"
#include "platform/QXPlatform.h"

namespace {

uint64_t truncateToUnsigned(double value) {
  if (!(value > 0)) return 0;  // negative, zero and NaN
  if (value >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(value);
}

bool isSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

}  // namespace

uint64_t QXReadings::now(QXPlatform& platform) {
  return truncateToUnsigned(platform.secondsSince1970());
}

uint64_t QXReadings::nowMs(QXPlatform& platform) {
  return truncateToUnsigned(platform.secondsSince1970() * 1000.0);
}

int32_t QXReadings::randomInt(QXPlatform& platform) {
  platform.stirRandom();
  const int32_t value = static_cast<int32_t>(platform.random32());
  if (value == std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::max();
  return value < 0 ? -value : value;
}

int32_t QXReadings::intValue(const std::optional<std::string>& text) {
  return QXUtils::numberFromNSString(text);
}

int64_t QXReadings::longLongValue(const std::optional<std::string>& text) {
  return text ? QXUtils::longLongFromString(*text) : 0;
}

double QXReadings::doubleValue(const std::optional<std::string>& text) {
  if (!text) return 0;
  const char* first = text->data();
  const char* last = first + text->size();
  while (first < last && isSpace(*first))
    ++first;
  if (first < last && *first == '+') ++first;
  double value = 0;
  const auto result = std::from_chars(first, last, value, std::chars_format::general);
  if (result.ec != std::errc() || !std::isfinite(value)) return 0;
  return value;
}

uint64_t QXReadings::unsignedNumberValue(const std::optional<std::string>& text) {
  if (!text || text->empty()) return 0;
  const std::string& t = *text;
  size_t i = 0;
  bool negative = false;
  if (t[i] == '+' || t[i] == '-') negative = t[i++] == '-';
  const size_t digitsStart = i;
  uint64_t value = 0;
  bool overflow = false;
  for (; i < t.size() && t[i] >= '0' && t[i] <= '9'; ++i) {
    const uint64_t digit = static_cast<uint64_t>(t[i] - '0');
    if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10) overflow = true;
    value = value * 10 + digit;
  }
  bool sawDigits = i > digitsStart;
  if (i < t.size() && t[i] == '.') {
    ++i;
    const size_t fractionStart = i;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9')
      ++i;
    sawDigits = sawDigits || i > fractionStart;
  }
  if (!sawDigits || i != t.size()) return 0;
  if (negative) return 0;
  return overflow ? std::numeric_limits<uint64_t>::max() : value;
}
