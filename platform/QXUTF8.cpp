#include "platform/QXUTF8.h"

#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

bool isASCII(std::string_view bytes) {
  return std::all_of(bytes.begin(), bytes.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool isControl(UChar32 c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

// Calls `take(codePoint, first, length)` for each code point of `bytes`;
// an ill-formed sequence is one code point below zero.
template <typename Take>
void forEachCodePoint(std::string_view bytes, Take take) {
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  size_t position = 0;
  while (position < bytes.size()) {
    // ICU counts in int32_t; a window of 1 GiB always holds a whole sequence.
    const int32_t window =
        static_cast<int32_t>(std::min<size_t>(bytes.size() - position, 1u << 30));
    int32_t offset = 0;
    UChar32 c = 0;
    U8_NEXT(data + position, offset, window, c);
    take(c, position, static_cast<size_t>(offset));
    position += static_cast<size_t>(offset);
  }
}

}  // namespace

std::string QXDecodeUTF8(std::string_view bytes) {
  if (isASCII(bytes)) return std::string(bytes);
  std::string text;
  text.reserve(bytes.size());
  forEachCodePoint(bytes, [&](UChar32 c, size_t first, size_t length) {
    if (c < 0) {
      text += kReplacement;
    } else {
      text.append(bytes.substr(first, length));
    }
  });
  return text;
}

size_t QXFirstInvalidUTF8(std::string_view bytes) {
  if (isASCII(bytes)) return std::string_view::npos;
  size_t invalid = std::string_view::npos;
  forEachCodePoint(bytes, [&](UChar32 c, size_t first, size_t) {
    if (c < 0 && invalid == std::string_view::npos) invalid = first;
  });
  return invalid;
}

std::string QXPrintableLine(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  forEachCodePoint(bytes, [&](UChar32 c, size_t first, size_t length) {
    if (c < 0) {
      text += kReplacement;
    } else if (!isControl(c)) {
      text.append(bytes.substr(first, length));
    }
  });
  const size_t begin = text.find_first_not_of(' ');
  if (begin == std::string::npos) return std::string();
  return text.substr(begin, text.find_last_not_of(' ') - begin + 1);
}
