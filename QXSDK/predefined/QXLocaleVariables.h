#ifndef QUORVEX_QXSDK_PREDEFINED_QXLOCALEVARIABLES_H_
#define QUORVEX_QXSDK_PREDEFINED_QXLOCALEVARIABLES_H_

#include <cstdint>
#include <optional>
#include <string>

#include "core/QXDynamicStore.h"

class QXPlatform;

// The launch steps that describe the user's locale: charset, the three
// language keys and the currency.
//
// A step object over the registry's store and the platform (its default
// C-string encoding, the "AppleLocale" entry of its user defaults and its
// locale's currency). It holds references only and writes with the store's
// own lock.
class QXLocaleVariables {
 public:
  QXLocaleVariables(QXDynamicStore& store, QXPlatform& platform)
      : store_(store), platform_(platform) {}

  // "#QX_CHARSET#": getDefaultEncoding().
  void setLocalCharset();
  // "#QX_LANGUAGE#" (the identifier as stored), "#QX_LANGUAGE_CS#" (the part
  // before its first "_") and "#QX_LANGUAGE_GA#" (every "_" made "-"); none
  // of them without a stored identifier.
  void setLocalLanguage();
  // The locale's currency code and symbol, stored under "#QX_CURRENCY_CODE#"
  // and "#QX_CURRENCY_SYMBOL#" (removed when the locale has none).
  std::optional<std::string> currencyCode();
  std::optional<std::string> currencySymbol();

  // The charset name of the platform's default C-string encoding.
  std::string getDefaultEncoding();
  // The charset table: the name of an encoding number, "UTF-8" for any
  // number outside the table.
  static const char* charsetName(uint32_t encoding);

 private:
  QXDynamicStore& store_;
  QXPlatform& platform_;
};

#endif  // QUORVEX_QXSDK_PREDEFINED_QXLOCALEVARIABLES_H_
