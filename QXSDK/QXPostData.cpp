#include "QXSDK/QXPostData.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "core/QXLogger.h"
#include "core/QXURLEncodedString.h"

namespace {

// QXURLEncodedString maps each byte on its own, so its answer for every byte
// is cached here and the body is written through a pointer into one buffer,
// instead of one string append per piece. The character set stays the
// core's. Each entry holds up to three output bytes, then their count.
struct FieldCodes {
  std::array<std::array<char, 4>, 256> value{};
  std::array<std::array<char, 4>, 256> name{};  // the same, but "#" gives nothing

  FieldCodes() {
    for (size_t c = 0; c < 256; ++c) {
      const char byte = static_cast<char>(c);
      const std::string encoded = QXURLEncodedString(std::string_view(&byte, 1));
      // The room that getParameters makes assumes three bytes at most.
      if (encoded.size() > 3) throw std::logic_error("a byte encodes to more than three");
      std::copy(encoded.begin(), encoded.end(), value[c].begin());
      value[c][3] = static_cast<char>(encoded.size());
      name[c] = value[c];
    }
    name[static_cast<unsigned char>('#')] = {0, 0, 0, 0};
  }
};

const FieldCodes& fieldCodes() {
  static const FieldCodes codes;
  return codes;
}

// Writes the encoding of `text` at `out`. Every byte stores four bytes and
// advances by its own length: room must stand for 3 * text.size() + 1.
char* encodeInto(char* out, std::string_view text,
                 const std::array<std::array<char, 4>, 256>& codes) {
  for (const char byte : text) {
    const auto& code = codes[static_cast<unsigned char>(byte)];
    std::memcpy(out, code.data(), 4);
    out += code[3];
  }
  return out;
}

// Logging allocates: if it fails too, the message is lost rather than thrown
// out of getParameters.
template <typename MakeMessage>
void logQuietly(int level, MakeMessage&& makeMessage) noexcept {
  try {
    QXLogger& logger = QXLogger::sharedInstance();
    if (logger.isLoggable(level)) logger.logMessage(makeMessage(), level);
  } catch (...) {
  }
}

}  // namespace

QXPostData::QXPostData() = default;

void QXPostData::insertStore(const QXDynamicStore* store) {
  if (store == nullptr) return;
  // The first store of a hit is usually the largest (the predefined
  // variables): room for it at once spares the entry array its regrowths.
  if (dynamicStore_.empty()) dynamicStore_.reserve(store->count() + 32);
  dynamicStore_.addData(*store);
}

void QXPostData::reportFailure(const char* what) const noexcept {
  // What failed and how large the hit was, at the error level; the hit's
  // own data, in the store's escaped debug form, only at the level of hit
  // data, as every hit's data is.
  logQuietly(4, [this] {
    size_t bytes = 0;
    dynamicStore_.forEach(
        [&](std::string_view key, std::string_view value) { bytes += key.size() + value.size(); });
    return "Error encoding parameters: a store of " + std::to_string(dynamicStore_.count()) +
           " entries, " + std::to_string(bytes) + " bytes (its entries are logged at level 0)";
  });
  logQuietly(0,
             [this] { return "Error encoding parameters: " + dynamicStore_.debugDescription(); });
  logQuietly(4, [what] { return "Error encoding parameters: " + std::string(what); });
}

std::string QXPostData::getParameters(bool* complete) const noexcept {
  if (complete != nullptr) *complete = false;
  std::string body;
  // body[0, length) is whole fields, each followed by the "&" of the next
  // one once that one has begun; the rest of body is room to write into.
  size_t length = 0;
  try {
    const FieldCodes& codes = fieldCodes();
    size_t rawSize = 0;
    dynamicStore_.forEach([&](std::string_view key, std::string_view value) {
      rawSize += key.size() + value.size() + 2;
    });
    // Most bytes stay as they are; a body with more escapes grows a few times.
    if (rawSize != 0) body.resize(rawSize + rawSize / 4 + 1);
    bool first = true;
    dynamicStore_.forEach([&](std::string_view key, std::string_view value) {
      if (!first) body[length++] = '&';
      first = false;
      // The worst case of this field and the room for the next "&".
      const size_t need = 3 * key.size() + 1 + 3 * value.size() + 1;
      if (body.size() - length < need) body.resize(std::max(2 * body.size(), length + need));
      char* out = &body[length];
      out = encodeInto(out, key, codes.name);
      *out++ = '=';
      out = encodeInto(out, value, codes.value);
      length = static_cast<size_t>(out - body.data());
    });
  } catch (const std::exception& error) {
    body.resize(length);
    reportFailure(error.what());
    return body;
  } catch (...) {
    body.resize(length);
    reportFailure("unknown exception");
    return body;
  }
  body.resize(length);
  if (complete != nullptr) *complete = true;
  return body;
}

std::optional<size_t> QXPostData::sizeIfLargerThan(size_t maxBytes) const noexcept {
  // Every byte encodes to three at most, and each field adds "=" and "&".
  size_t bound = 0;
  dynamicStore_.forEach([&](std::string_view key, std::string_view value) {
    bound += 3 * (key.size() + value.size()) + 2;
  });
  if (bound <= maxBytes) return std::nullopt;
  const FieldCodes& codes = fieldCodes();
  size_t size = 0;
  auto encodedSize = [](std::string_view text, const std::array<std::array<char, 4>, 256>& table) {
    size_t n = 0;
    for (char c : text)
      n += static_cast<size_t>(table[static_cast<unsigned char>(c)][3]);
    return n;
  };
  bool first = true;
  dynamicStore_.forEach([&](std::string_view key, std::string_view value) {
    size += (first ? 0 : 1) + encodedSize(key, codes.name) + 1 + encodedSize(value, codes.value);
    first = false;
  });
  if (size <= maxBytes) return std::nullopt;
  return size;
}
