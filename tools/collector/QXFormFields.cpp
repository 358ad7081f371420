#include "tools/collector/QXFormFields.h"

#include "core/QXURLEncodedString.h"

namespace {

void appendEscaped(std::string& out, const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  for (unsigned char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      out += "\\x";
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xF]);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
}

}  // namespace

std::string QXFormatFields(const std::string& body) {
  std::string out;
  size_t start = 0;
  while (start < body.size()) {
    size_t end = body.find('&', start);
    if (end == std::string::npos) end = body.size();
    const std::string field = body.substr(start, end - start);
    start = end + 1;
    if (field.empty()) continue;
    const size_t equals = field.find('=');
    appendEscaped(out, QXURLDecodedString(field.substr(0, equals)));
    out.push_back('=');
    if (equals != std::string::npos)
      appendEscaped(out, QXURLDecodedString(field.substr(equals + 1)));
    out.push_back('\n');
  }
  return out;
}
