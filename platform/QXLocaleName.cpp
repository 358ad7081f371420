#include "platform/QXLocaleName.h"

#include <unicode/uloc.h>

#include <cstdlib>

namespace {

constexpr uint32_t kUTF8 = 4;

bool isIdentifierCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

bool isIdentifier(std::string_view text) {
  if (text.empty() || text.size() >= ULOC_FULLNAME_CAPACITY) return false;
  for (char c : text) {
    if (!isIdentifierCharacter(c)) return false;
  }
  return text != "C" && text != "POSIX";
}

// "ISO-8859-1" -> "iso88591": letters lowered, everything but letters and
// digits dropped, as the C library normalises codeset names.
std::string normalised(std::string_view codeset) {
  std::string out;
  for (char c : codeset) {
    if (c >= 'A' && c <= 'Z') {
      out.push_back(static_cast<char>(c - 'A' + 'a'));
    } else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
      out.push_back(c);
    }
  }
  return out;
}

struct CodesetNumber {
  const char* normalisedName;
  uint32_t number;
};

// Every entry of the charset table that a POSIX codeset can name.
constexpr CodesetNumber kCodesets[] = {
    {"utf8", kUTF8},
    {"ascii", 1},
    {"usascii", 1},
    {"ansix341968", 1},
    {"646", 1},
    {"nextstep", 2},
    {"eucjp", 3},
    {"ujis", 3},
    {"iso88591", 5},
    {"latin1", 5},
    {"sjis", 8},
    {"shiftjis", 8},
    {"iso88592", 9},
    {"latin2", 9},
    {"utf16", 10},
    {"cp1251", 11},
    {"windows1251", 11},
    {"cp1252", 12},
    {"windows1252", 12},
    {"cp1253", 13},
    {"windows1253", 13},
    {"cp1254", 14},
    {"windows1254", 14},
    {"cp1250", 15},
    {"windows1250", 15},
    {"iso2022jp", 21},
    {"macroman", 30},
    {"macintosh", 30},
    {"utf32", 0x8C000100},
    {"utf16be", 0x90000100},
    {"utf16le", 0x94000100},
    {"utf32be", 0x98000100},
    {"utf32le", 0x9C000100},
};

}  // namespace

QXLocaleName QXLocaleName::parse(std::string_view posixName) {
  QXLocaleName name;
  const size_t modifier = posixName.find('@');
  std::string_view base = posixName.substr(0, modifier);
  const size_t dot = base.find('.');
  if (dot != std::string_view::npos) {
    name.codeset = std::string(base.substr(dot + 1));
    base = base.substr(0, dot);
  }
  if (isIdentifier(base)) name.identifier = std::string(base);
  return name;
}

std::string QXLocaleName::environmentName() {
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') return value;
  }
  return std::string();
}

uint32_t QXEncodingNumberForCodeset(std::string_view codeset) {
  const std::string key = normalised(codeset);
  for (const CodesetNumber& entry : kCodesets) {
    if (key == entry.normalisedName) return entry.number;
  }
  return kUTF8;
}
