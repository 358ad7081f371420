#ifndef QUORVEX_PLATFORM_QXLOCALENAME_H_
#define QUORVEX_PLATFORM_QXLOCALENAME_H_

#include <cstdint>
#include <string>
#include <string_view>

// A POSIX locale name as the environment gives it ("fr_FR.UTF-8@euro"),
// split into the user's locale identifier ("fr_FR") and the codeset
// ("UTF-8"). Only the text is read: nothing depends on the locale being
// installed on the machine.
struct QXLocaleName {
  // Empty when the name gives no locale: nothing, "C", "POSIX", or a text
  // that cannot be a locale identifier (anything but ASCII letters, digits,
  // "_" and "-", or longer than ICU's longest locale name).
  std::string identifier;
  // Empty when the name has no ".codeset" part.
  std::string codeset;

  static QXLocaleName parse(std::string_view posixName);

  // The name that governs the user's language: the first non-empty of
  // LC_ALL, LC_MESSAGES and LANG; empty when none is set.
  static std::string environmentName();
};

// The number of a codeset in the string-encoding list of the charset table
// (4 UTF-8, 1 ASCII, 5 ISO Latin 1, ...), compared the way the C library
// compares codeset names ("utf8" is "UTF-8"). No codeset, and one outside the
// list, count as UTF-8.
uint32_t QXEncodingNumberForCodeset(std::string_view codeset);

#endif  // QUORVEX_PLATFORM_QXLOCALENAME_H_
