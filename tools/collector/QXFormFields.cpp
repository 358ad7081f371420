#include "tools/collector/QXFormFields.h"

#include "core/QXURLEncodedString.h"

namespace {

bool standsForItself(unsigned char c) {
  return c >= 0x20 && c != 0x7F && c != '\\';
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
    const auto c = static_cast<unsigned char>(text[i]);
    if (standsForItself(c)) continue;
    out.append(text.data() + run, i - run);
    appendEscape(out, c);
    run = i + 1;
  }
  out.append(text.data() + run, text.size() - run);
}

// Appends the decoded, escaped form of an encoded name or value. Most of
// them hold nothing to decode and skip the decoder's copy.
void appendShown(std::string& out, std::string_view encoded) {
  if (encoded.find('%') == std::string_view::npos && encoded.find('+') == std::string_view::npos) {
    appendEscaped(out, encoded);
  } else {
    appendEscaped(out, QXURLDecodedString(encoded));
  }
}

}  // namespace

void QXAppendFormattedFields(std::string& out, std::string_view body) {
  size_t start = 0;
  while (start < body.size()) {
    size_t end = body.find('&', start);
    if (end == std::string_view::npos) end = body.size();
    const std::string_view field = body.substr(start, end - start);
    start = end + 1;
    if (field.empty()) continue;
    const size_t equals = field.find('=');
    appendShown(out, field.substr(0, equals));
    out.push_back('=');
    if (equals != std::string_view::npos) appendShown(out, field.substr(equals + 1));
    out.push_back('\n');
  }
}

std::string QXFormatFields(std::string_view body) {
  std::string out;
  QXAppendFormattedFields(out, body);
  return out;
}
