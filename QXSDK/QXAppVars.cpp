#include "QXSDK/QXAppVars.h"

#include <cstdint>
#include <utility>

#include "QXSDK/QXSDKConstants.h"
#include "core/QXGuard.h"
#include "platform/QXBytes.h"

namespace {

// The archive's layout and rules are in the README ("Archive of QXAppVars");
// integers are little-endian.
constexpr char kArchiveMagic[4] = {'Q', 'X', 'A', 'V'};
// kFormatVersion is the format this code writes and reads. kReadableBy,
// written beside it, is the oldest reader format that can read the archive:
// a later format that only adds entries keeps it at 1, so that this code
// still reads it; one that changes what is here raises it.
constexpr uint16_t kFormatVersion = 1;
constexpr uint16_t kReadableBy = 1;
constexpr size_t kChecksumOffset = 4 + 2 + 2;
constexpr size_t kHeaderSize = kChecksumOffset + 4;
constexpr size_t kEntryCountSize = 4;
constexpr size_t kSmallestEntrySize = 2 + 8;  // two lengths, empty key and value
constexpr char kDynamicStoreKey[] = "dynamicStore";

// The checksum covers every byte of the archive but its own four.
uint32_t archiveChecksum(std::string_view archive) {
  return QXCrc32(archive.substr(kHeaderSize), QXCrc32(archive.substr(0, kChecksumOffset)));
}

QXStatus corrupt(const std::string& why) {
  return QXStatus::Corruption("QXAppVars archive: " + why);
}

}  // namespace

// Without memory for a store, the object is one without a store.
QXAppVars::QXAppVars() noexcept {
  QXGuarded("Creating app vars", [this] { dynamicStore_ = std::make_unique<QXDynamicStore>(); });
}

QXAppVars::QXAppVars(const std::map<std::string, std::string>& dictionary) noexcept : QXAppVars() {
  QXGuarded("Creating app vars", [&] {
    if (!dynamicStore_) return;
    for (const auto& [key, value] : dictionary)
      dynamicStore_->addData(key, value);
  });
}

QXAppVars::~QXAppVars() = default;

void QXAppVars::addData(const QXDynamicStore* store) noexcept {
  if (store == nullptr || !dynamicStore_) return;
  QXGuarded("Adding app vars", [&] { dynamicStore_->addData(*store); });
}

void QXAppVars::addData(const std::string& key, const std::optional<std::string>& value) noexcept {
  if (!dynamicStore_) return;
  QXGuarded("Adding app vars", [&] { dynamicStore_->addData(key, value); });
}

std::optional<std::string> QXAppVars::getData(const std::string& key) noexcept {
  return static_cast<const QXAppVars*>(this)->getData(key);
}

std::optional<std::string> QXAppVars::getData(const std::string& key) const noexcept {
  if (!dynamicStore_) return std::nullopt;
  return QXGuarded("Reading app vars", std::optional<std::string>(),
                   [&] { return dynamicStore_->getData(key); });
}

std::optional<std::string> QXAppVars::removeData(const std::string& key) noexcept {
  if (!dynamicStore_) return std::nullopt;
  return QXGuarded("Removing app vars", std::optional<std::string>(),
                   [&] { return dynamicStore_->removeData(key); });
}

void QXAppVars::clearData() noexcept {
  if (!dynamicStore_) return;
  QXGuarded("Clearing app vars", [this] { dynamicStore_->clearData(); });
}

void QXAppVars::setConsentHit(bool consent) noexcept {
  if (consent) {
    addData(kQXConsentHitKey, std::string("1"));
  } else {
    removeData(kQXConsentHitKey);
  }
}

bool QXAppVars::isConsentHit() const noexcept {
  return getData(kQXConsentHitKey).has_value();
}

void QXAppVars::addData(const std::string& prefix,
                        const std::vector<QXProduct>& products) noexcept {
  if (!dynamicStore_) return;
  QXGuarded("Adding products", [&] {
    for (size_t i = 0; i < products.size(); ++i) {
      products[i].flattenInto(*dynamicStore_, prefix, static_cast<int32_t>(i));
    }
  });
}

std::string QXAppVars::description() const noexcept {
  return QXGuarded("Describing app vars", std::string(), [this] {
    std::string text = "{\n";
    if (dynamicStore_) {
      dynamicStore_->forEach([&](std::string_view key, std::string_view value) {
        text.append("\t\"").append(key).append("\" = \"").append(value).append("\"\n");
      });
    }
    text += "\n";
    return text;
  });
}

std::string QXAppVars::encode() const noexcept {
  return QXGuarded("Encoding app vars", std::string(), [this] { return archive(); });
}

std::string QXAppVars::archive() const {
  std::string out(kArchiveMagic, sizeof kArchiveMagic);
  QXPutLittleEndian(out, kFormatVersion, 2);
  QXPutLittleEndian(out, kReadableBy, 2);
  QXPutLittleEndian(out, 0, 4);  // the checksum, once the rest is written
  QXPutLittleEndian(out, dynamicStore_ ? 1 : 0, 4);
  if (dynamicStore_) {
    const std::string store = dynamicStore_->archivedData();
    QXPutLittleEndian(out, sizeof kDynamicStoreKey - 1, 2);
    out.append(kDynamicStoreKey, sizeof kDynamicStoreKey - 1);
    QXPutLittleEndian(out, store.size(), 8);
    out += store;
  }
  const uint32_t crc = archiveChecksum(out);
  for (size_t i = 0; i < 4; ++i)
    out[kChecksumOffset + i] = static_cast<char>((crc >> (8 * i)) & 0xFF);
  return out;
}

QXStatus QXAppVars::decode(std::string_view archive, std::unique_ptr<QXAppVars>* out) noexcept {
  // The fallback's message fits the string without allocating.
  return QXGuarded("Decoding app vars", QXStatus::IOError("not decoded"),
                   [&] { return restore(archive, out); });
}

QXStatus QXAppVars::restore(std::string_view archive, std::unique_ptr<QXAppVars>* out) {
  if (out == nullptr) return QXStatus::InvalidArgument("no object to decode into");
  if (archive.size() < kHeaderSize + kEntryCountSize ||
      archive.compare(0, 4, std::string_view(kArchiveMagic, 4)) != 0) {
    return corrupt("not an archive of this kind, or truncated in its header");
  }
  const uint64_t version = QXGetLittleEndian(archive.data() + 4, 2);
  const uint64_t readableBy = QXGetLittleEndian(archive.data() + 6, 2);
  if (version == 0 || readableBy == 0 || readableBy > version) {
    return corrupt("inconsistent versions " + std::to_string(version) + "/" +
                   std::to_string(readableBy));
  }
  if (readableBy > kFormatVersion) {
    return QXStatus::NotSupported("QXAppVars archive: format " + std::to_string(version) +
                                  " needs a reader of format " + std::to_string(readableBy) +
                                  " or later; this one reads format " +
                                  std::to_string(kFormatVersion));
  }
  if (QXGetLittleEndian(archive.data() + kChecksumOffset, 4) != archiveChecksum(archive)) {
    return corrupt("checksum mismatch");
  }

  size_t offset = kHeaderSize;
  const uint64_t count = QXGetLittleEndian(archive.data() + offset, 4);
  offset += kEntryCountSize;
  if (count > (archive.size() - offset) / kSmallestEntrySize) {
    return corrupt("claims more entries than it holds");
  }
  std::unique_ptr<QXDynamicStore> store;
  for (uint64_t i = 0; i < count; ++i) {
    auto truncated = [i] { return corrupt("truncated in entry " + std::to_string(i)); };
    if (archive.size() - offset < 2) return truncated();
    const size_t keyLength = static_cast<size_t>(QXGetLittleEndian(archive.data() + offset, 2));
    offset += 2;
    if (archive.size() - offset < keyLength + 8) return truncated();
    const std::string_view key = archive.substr(offset, keyLength);
    offset += keyLength;
    const uint64_t valueLength = QXGetLittleEndian(archive.data() + offset, 8);
    offset += 8;
    if (valueLength > archive.size() - offset) return truncated();
    const std::string_view value = archive.substr(offset, static_cast<size_t>(valueLength));
    offset += static_cast<size_t>(valueLength);

    if (key != kDynamicStoreKey) continue;  // written by a later format
    if (store) return corrupt("holds the entry \"dynamicStore\" twice");
    auto decoded = std::make_unique<QXDynamicStore>();
    const QXStatus status = QXDynamicStore::unarchive(value, decoded.get());
    if (!status.ok()) return corrupt("entry \"dynamicStore\": " + status.toString());
    store = std::move(decoded);
  }
  if (offset != archive.size()) return corrupt("trailing bytes after the last entry");

  std::unique_ptr<QXAppVars> result(new QXAppVars(NoStore{}));
  result->dynamicStore_ = std::move(store);
  *out = std::move(result);
  return QXStatus::OK();
}
