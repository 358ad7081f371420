#ifndef QUORVEX_PLATFORM_QXCURRENCY_H_
#define QUORVEX_PLATFORM_QXCURRENCY_H_

#include <optional>
#include <string>

// The currency of a locale, as the user of that locale writes it.
struct QXCurrency {
  std::string code;    // ISO 4217 ("EUR")
  std::string symbol;  // in the locale's own usage ("€"; the code when it has none)
};

// The currency of the locale `identifier` ("fr_FR"), from ICU's own data, so
// the answer does not depend on the locales installed on the machine. The
// currency is the region's: a locale without a region ("en"), with a region
// that has no currency, or with the unknown region ("zz_ZZ") has none.
// Thread-safe; never throws.
std::optional<QXCurrency> QXCurrencyForLocale(const std::string& identifier);

#endif  // QUORVEX_PLATFORM_QXCURRENCY_H_
