#include "QXSDK/predefined/QXLocaleVariables.h"

#include "QXSDK/QXSDKConstants.h"
#include "platform/QXPlatform.h"

namespace {

struct Charset {
  uint32_t encoding;
  const char* name;
};

// The platform's string-encoding numbers and the charset names the
// collection service expects for them.
constexpr Charset kCharsets[] = {
    {1, "ASCII"},
    {2, "NEXTSTEP"},
    {3, "EUC-JP"},
    {5, "ISO-8859-1"},
    {6, "SYMBOL"},
    {7, "ASCII"},  // non-lossy ASCII
    {8, "SHIFT-JIS"},
    {9, "ISO-8859-2"},
    {10, "UTF-16"},
    {11, "Windows-1251"},
    {12, "Windows-1252"},
    {13, "Windows-1253"},
    {14, "Windows-1254"},
    {15, "Windows-1250"},
    {21, "ISO-2022-JP"},
    {30, "MacRoman"},
    {0x8C000100, "UTF-32"},
    {0x90000100, "UTF-16BE"},
    {0x94000100, "UTF-16LE"},
    {0x98000100, "UTF-32BE"},
    {0x9C000100, "UTF-32LE"},
};

}  // namespace

const char* QXLocaleVariables::charsetName(uint32_t encoding) {
  for (const Charset& charset : kCharsets) {
    if (charset.encoding == encoding) return charset.name;
  }
  return "UTF-8";
}

std::string QXLocaleVariables::getDefaultEncoding() {
  return charsetName(platform_.defaultCStringEncoding());
}

void QXLocaleVariables::setLocalCharset() {
  store_.addData(kQXPredefinedVariable_Charset, getDefaultEncoding());
}

void QXLocaleVariables::setLocalLanguage() {
  QXStandardUserDefaults* defaults = platform_.standardUserDefaults();
  if (defaults == nullptr) return;
  const std::optional<std::string> identifier = defaults->objectForKey(kQXAppleLocaleKey);
  if (!identifier) return;
  std::string language = *identifier;
  std::string hyphenated = *identifier;
  const size_t underscore = identifier->find('_');
  if (underscore != std::string::npos) {
    language = identifier->substr(0, underscore);
    for (char& c : hyphenated) {
      if (c == '_') c = '-';
    }
  }
  store_.addData(kQXPredefinedVariable_Language, *identifier);
  store_.addData(kQXPredefinedVariable_LanguageCS, language);
  store_.addData(kQXPredefinedVariable_LanguageGA, hyphenated);
}

std::optional<std::string> QXLocaleVariables::currencyCode() {
  auto code = platform_.currencyCode();
  store_.addData(kQXPredefinedVariable_CurrencyCode, code);
  return code;
}

std::optional<std::string> QXLocaleVariables::currencySymbol() {
  auto symbol = platform_.currencySymbol();
  store_.addData(kQXPredefinedVariable_CurrencySymbol, symbol);
  return symbol;
}
