#include "tools/collector/QXHitJSON.h"

#include <cstdint>

#include "tools/collector/QXFormFields.h"

namespace {

constexpr char kHex[] = "0123456789abcdef";

void appendUnicodeEscape(std::string& out, unsigned codePoint) {
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4)
    out.push_back(kHex[(codePoint >> shift) & 0xF]);
}

// The length of the well-formed UTF-8 sequence at the start of `text`, 0
// when there is none (overlong forms, surrogates and code points past
// U+10FFFF included).
size_t sequenceLength(std::string_view text) {
  const auto byte = [&text](size_t i) { return static_cast<unsigned char>(text[i]); };
  const auto continuation = [&](size_t i) { return i < text.size() && (byte(i) & 0xC0) == 0x80; };
  const unsigned lead = byte(0);
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return continuation(1) ? 2 : 0;
  if (lead >= 0xE0 && lead <= 0xEF) {
    if (!continuation(1) || !continuation(2)) return 0;
    if (lead == 0xE0 && byte(1) < 0xA0) return 0;   // overlong
    if (lead == 0xED && byte(1) >= 0xA0) return 0;  // surrogate
    return 3;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    if (!continuation(1) || !continuation(2) || !continuation(3)) return 0;
    if (lead == 0xF0 && byte(1) < 0x90) return 0;   // overlong
    if (lead == 0xF4 && byte(1) >= 0x90) return 0;  // past U+10FFFF
    return 4;
  }
  return 0;
}

void appendDecodedString(std::string& out, std::string& scratch, std::string_view encoded) {
  scratch.clear();
  QXAppendURLDecoded(scratch, encoded);
  QXAppendJSONString(out, scratch);
}

}  // namespace

void QXAppendJSONString(std::string& out, std::string_view text) {
  out.push_back('"');
  size_t run = 0;
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      ++i;
      continue;
    }
    const size_t length = c < 0x80 ? 1 : sequenceLength(text.substr(i));
    if (length > 1) {
      i += length;
      continue;
    }
    out.append(text.data() + run, i - run);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (length == 1) {
      appendUnicodeEscape(out, c);
    } else {
      appendUnicodeEscape(out, 0xFFFD);
    }
    ++i;
    run = i;
  }
  out.append(text.data() + run, text.size() - run);
  out.push_back('"');
}

void QXAppendHitJSON(std::string& out, const QXRecordedHit& hit) {
  out += "{\"seq\":";
  out += std::to_string(hit.sequence);
  out += ",\"time\":";
  out += std::to_string(hit.receivedMs);
  out += ",\"method\":";
  QXAppendJSONString(out, hit.method);
  out += ",\"path\":";
  QXAppendJSONString(out, hit.target);
  out += ",\"id\":";
  QXAppendJSONString(out, hit.identifier);
  out += ",\"size\":";
  out += std::to_string(hit.body.size());
  out += ",\"body\":";
  QXAppendJSONString(out, hit.body);
  out += ",\"fields\":[";
  std::string scratch;
  bool first = true;
  QXForEachEncodedField(hit.body, [&](std::string_view name, std::string_view value) {
    out += first ? "[" : ",[";
    first = false;
    appendDecodedString(out, scratch, name);
    out.push_back(',');
    appendDecodedString(out, scratch, value);
    out.push_back(']');
  });
  out += "]}";
}
