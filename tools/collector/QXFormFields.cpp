#include "tools/collector/QXFormFields.h"

#include <array>

namespace {

// What a byte of an encoded name or value asks for.
enum class Byte : unsigned char { kPlain, kEncoded, kEscaped };

constexpr std::array<Byte, 256> makeByteKinds() {
  std::array<Byte, 256> kinds{};
  for (int c = 0; c < 256; ++c) {
    const bool escaped = c < 0x20 || c == 0x7F || c == '\\';
    const bool encoded = c == '%' || c == '+';
    kinds[static_cast<size_t>(c)] = escaped   ? Byte::kEscaped
                                    : encoded ? Byte::kEncoded
                                              : Byte::kPlain;
  }
  return kinds;
}

constexpr std::array<Byte, 256> kByteKinds = makeByteKinds();

Byte kindOf(char c) {
  return kByteKinds[static_cast<unsigned char>(c)];
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

void appendEscape(std::string& out, unsigned char c) {
  static const char kHex[] = "0123456789abcdef";
  if (c == '\\') {
    out += "\\\\";
  } else if (c == '\n') {
    out += "\\n";
  } else if (c == '\r') {
    out += "\\r";
  } else if (c == '\t') {
    out += "\\t";
  } else {
    out += "\\x";
    out.push_back(kHex[c >> 4]);
    out.push_back(kHex[c & 0xF]);
  }
}

// Appends `text` with its control characters and backslashes escaped; the
// runs between them are copied whole.
void appendEscaped(std::string& out, std::string_view text) {
  size_t run = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (kindOf(text[i]) != Byte::kEscaped) continue;
    out.append(text.data() + run, i - run);
    appendEscape(out, static_cast<unsigned char>(text[i]));
    run = i + 1;
  }
  out.append(text.data() + run, text.size() - run);
}

// Appends the decoded, escaped form of an encoded name or value. Most of
// them hold nothing to decode or escape and are copied as they are.
void appendShown(std::string& out, std::string_view encoded) {
  size_t plain = 0;
  while (plain < encoded.size() && kindOf(encoded[plain]) == Byte::kPlain)
    ++plain;
  if (plain == encoded.size()) {
    out.append(encoded);
  } else if (encoded.find_first_of("%+", plain) == std::string_view::npos) {
    appendEscaped(out, encoded);
  } else {
    appendEscaped(out, QXURLDecodedString(encoded));
  }
}

}  // namespace

void QXAppendURLDecoded(std::string& out, std::string_view text) {
  size_t run = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out.append(text.data() + run, i - run);
      out.push_back(' ');
      run = i + 1;
    } else if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
               hexValue(text[i + 2]) >= 0) {
      out.append(text.data() + run, i - run);
      out.push_back(static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2])));
      i += 2;
      run = i + 1;
    }
  }
  out.append(text.data() + run, text.size() - run);
}

std::string QXURLDecodedString(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  QXAppendURLDecoded(out, text);
  return out;
}

std::vector<QXFormField> QXDecodedFormFields(std::string_view body) {
  std::vector<QXFormField> fields;
  QXForEachEncodedField(body, [&fields](std::string_view name, std::string_view value) {
    fields.emplace_back(QXURLDecodedString(name), QXURLDecodedString(value));
  });
  return fields;
}

void QXAppendFormattedFields(std::string& out, std::string_view body) {
  QXForEachEncodedField(body, [&out](std::string_view name, std::string_view value) {
    appendShown(out, name);
    out.push_back('=');
    appendShown(out, value);
    out.push_back('\n');
  });
}

std::string QXFormatFields(std::string_view body) {
  std::string out;
  QXAppendFormattedFields(out, body);
  return out;
}
