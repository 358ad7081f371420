#include "platform/QXCurrency.h"

#include <unicode/ucurr.h>
#include <unicode/uloc.h>
#include <unicode/ustring.h>

#include <cstring>

namespace {

std::optional<std::string> toUTF8(const UChar* text, int32_t length) {
  char buffer[64];
  int32_t written = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strToUTF8(buffer, sizeof buffer, &written, text, length, &status);
  if (U_FAILURE(status) || status == U_STRING_NOT_TERMINATED_WARNING || written <= 0) {
    return std::nullopt;
  }
  return std::string(buffer, static_cast<size_t>(written));
}

// The region of the identifier, when it names one ICU can look up. "ZZ" is
// the unknown region: ICU answers it with precious metals, not a currency.
bool hasKnownRegion(const std::string& identifier) {
  char region[ULOC_COUNTRY_CAPACITY] = {0};
  UErrorCode status = U_ZERO_ERROR;
  const int32_t length = uloc_getCountry(identifier.c_str(), region, sizeof region, &status);
  if (U_FAILURE(status) || length <= 0 || status == U_STRING_NOT_TERMINATED_WARNING) return false;
  return std::strcmp(region, "ZZ") != 0;
}

}  // namespace

std::optional<QXCurrency> QXCurrencyForLocale(const std::string& identifier) {
  if (identifier.empty() || identifier.find('\0') != std::string::npos) return std::nullopt;
  if (!hasKnownRegion(identifier)) return std::nullopt;
  UChar code[4] = {0};
  UErrorCode status = U_ZERO_ERROR;
  const int32_t length = ucurr_forLocale(identifier.c_str(), code, 4, &status);
  if (U_FAILURE(status) || length != 3) return std::nullopt;
  QXCurrency currency;
  auto codeText = toUTF8(code, length);
  if (!codeText) return std::nullopt;
  currency.code = *codeText;
  UBool isChoiceFormat = false;
  int32_t symbolLength = 0;
  status = U_ZERO_ERROR;
  const UChar* symbol = ucurr_getName(code, identifier.c_str(), UCURR_SYMBOL_NAME, &isChoiceFormat,
                                      &symbolLength, &status);
  auto symbolText = U_SUCCESS(status) ? toUTF8(symbol, symbolLength) : std::nullopt;
  currency.symbol = symbolText ? *symbolText : currency.code;
  return currency;
}
