#include "core/QXDynamicStore.h"

#include <functional>

#include "core/QXLogText.h"
#include "platform/QXBytes.h"

namespace {

constexpr char kArchiveMagic[4] = {'Q', 'X', 'D', 'S'};
constexpr uint16_t kArchiveVersion = 1;
constexpr size_t kArchiveHeaderSize = 4 + 2 + 8;
constexpr size_t kMinimumIndexCapacity = 16;

size_t hashOf(std::string_view key) {
  return std::hash<std::string_view>{}(key);
}

}  // namespace

QXDynamicStore::QXDynamicStore() = default;

void QXDynamicStore::copyFromLocked(const QXDynamicStore& other) {
  arena_ = other.arena_;
  garbage_ = other.garbage_;
  entries_ = other.entries_;
  index_ = other.index_;
  liveCount_ = other.liveCount_;
}

void QXDynamicStore::clearLocked() {
  std::string().swap(arena_);
  garbage_ = 0;
  entries_.clear();
  index_.clear();
  liveCount_ = 0;
}

QXDynamicStore::QXDynamicStore(const QXDynamicStore& other) {
  std::lock_guard<std::mutex> lock(other.mutex_);
  copyFromLocked(other);
}

void QXDynamicStore::moveFromLocked(QXDynamicStore& other) {
  arena_ = std::move(other.arena_);
  garbage_ = other.garbage_;
  entries_ = std::move(other.entries_);
  index_ = std::move(other.index_);
  liveCount_ = other.liveCount_;
  other.clearLocked();
}

QXDynamicStore::QXDynamicStore(QXDynamicStore&& other) noexcept {
  std::lock_guard<std::mutex> lock(other.mutex_);
  moveFromLocked(other);
}

QXDynamicStore& QXDynamicStore::operator=(const QXDynamicStore& other) {
  if (this == &other) return *this;
  std::scoped_lock lock(mutex_, other.mutex_);
  copyFromLocked(other);
  return *this;
}

QXDynamicStore& QXDynamicStore::operator=(QXDynamicStore&& other) noexcept {
  if (this == &other) return *this;
  std::scoped_lock lock(mutex_, other.mutex_);
  moveFromLocked(other);
  return *this;
}

QXDynamicStore::~QXDynamicStore() = default;

size_t QXDynamicStore::findSlot(std::string_view key, size_t hash) const {
  const size_t mask = index_.size() - 1;
  for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
    const uint32_t at = index_[slot];
    if (at == kEmptySlot) return slot;
    const Entry& entry = entries_[at];
    if (entry.hash == hash && keyOf(entry) == key) return slot;
  }
}

void QXDynamicStore::rebuildIndexLocked(size_t capacity) {
  index_.assign(capacity, kEmptySlot);
  const size_t mask = capacity - 1;
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (!entries_[i].live) continue;
    size_t slot = entries_[i].hash & mask;
    while (index_[slot] != kEmptySlot)
      slot = (slot + 1) & mask;
    index_[slot] = static_cast<uint32_t>(i);
  }
}

void QXDynamicStore::ensureCapacityLocked(size_t entries) {
  // Load factor at most one half keeps probe sequences short.
  size_t capacity = index_.empty() ? kMinimumIndexCapacity : index_.size();
  while (capacity < 2 * entries)
    capacity *= 2;
  if (capacity != index_.size()) rebuildIndexLocked(capacity);
}

void QXDynamicStore::insertLocked(std::string_view key, std::string_view value, size_t hash) {
  ensureCapacityLocked(liveCount_ + 1);
  const size_t slot = findSlot(key, hash);
  if (index_[slot] != kEmptySlot) {
    Entry& entry = entries_[index_[slot]];
    if (value.size() <= entry.valueLength) {
      // A value that fits is rewritten in place.
      if (!value.empty())
        arena_.replace(entry.valueOffset, value.size(), value.data(), value.size());
      garbage_ += entry.valueLength - value.size();
    } else {
      garbage_ += entry.valueLength;
      entry.valueOffset = arena_.size();
      arena_.append(value.data(), value.size());
    }
    entry.valueLength = value.size();
    maybeCompactLocked();
    return;
  }
  Entry entry{arena_.size(), key.size(), arena_.size() + key.size(), value.size(), hash, true};
  arena_.append(key.data(), key.size());
  arena_.append(value.data(), value.size());
  index_[slot] = static_cast<uint32_t>(entries_.size());
  entries_.push_back(entry);
  ++liveCount_;
}

void QXDynamicStore::eraseIndexSlotLocked(size_t slot) {
  // Backward-shift deletion keeps every probe sequence unbroken without
  // tombstones in the index.
  const size_t mask = index_.size() - 1;
  size_t hole = slot;
  for (size_t next = (hole + 1) & mask; index_[next] != kEmptySlot; next = (next + 1) & mask) {
    const size_t home = entries_[index_[next]].hash & mask;
    const bool homeInRange =
        hole <= next ? (hole < home && home <= next) : (hole < home || home <= next);
    if (homeInRange) continue;
    index_[hole] = index_[next];
    hole = next;
  }
  index_[hole] = kEmptySlot;
}

void QXDynamicStore::maybeCompactLocked() {
  const size_t dead = entries_.size() - liveCount_;
  if ((dead > 8 && dead > liveCount_) || (garbage_ > 4096 && garbage_ > arena_.size() / 2)) {
    compactLocked();
  }
}

void QXDynamicStore::compactLocked() {
  std::string arena;
  arena.reserve(arena_.size() - garbage_);
  size_t write = 0;
  for (size_t read = 0; read < entries_.size(); ++read) {
    Entry entry = entries_[read];
    if (!entry.live) continue;
    const size_t keyOffset = arena.size();
    arena.append(arena_, entry.keyOffset, entry.keyLength);
    const size_t valueOffset = arena.size();
    arena.append(arena_, entry.valueOffset, entry.valueLength);
    entry.keyOffset = keyOffset;
    entry.valueOffset = valueOffset;
    entries_[write++] = entry;
  }
  entries_.resize(write);
  arena_.swap(arena);
  garbage_ = 0;
  rebuildIndexLocked(index_.size());
}

void QXDynamicStore::addData(const QXDynamicStore& other) {
  if (this == &other) return;  // every entry is already here, in place
  std::scoped_lock lock(mutex_, other.mutex_);
  if (liveCount_ == 0) {
    copyFromLocked(other);  // the common first merge: no per-entry work
    return;
  }
  ensureCapacityLocked(liveCount_ + other.liveCount_);
  arena_.reserve(arena_.size() + other.arena_.size() - other.garbage_);
  for (const Entry& entry : other.entries_) {
    if (entry.live) insertLocked(other.keyOf(entry), other.valueOf(entry), entry.hash);
  }
}

void QXDynamicStore::addData(const std::string& key, const std::optional<std::string>& value) {
  if (!value) {
    removeData(key);
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  insertLocked(key, *value, hashOf(key));
}

std::optional<std::string> QXDynamicStore::getData(const std::string& key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (index_.empty()) return std::nullopt;
  const size_t slot = findSlot(key, hashOf(key));
  if (index_[slot] == kEmptySlot) return std::nullopt;
  return std::string(valueOf(entries_[index_[slot]]));
}

std::optional<std::string> QXDynamicStore::removeData(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (index_.empty()) return std::nullopt;
  const size_t slot = findSlot(key, hashOf(key));
  if (index_[slot] == kEmptySlot) return std::nullopt;
  Entry& entry = entries_[index_[slot]];
  std::optional<std::string> removed(std::string(valueOf(entry)));
  entry.live = false;
  garbage_ += entry.keyLength + entry.valueLength;
  eraseIndexSlotLocked(slot);
  --liveCount_;
  if (liveCount_ == 0) {
    clearLocked();
  } else {
    maybeCompactLocked();
  }
  return removed;
}

void QXDynamicStore::clearData() {
  std::lock_guard<std::mutex> lock(mutex_);
  clearLocked();
}

std::vector<std::string> QXDynamicStore::orderedKeys() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> keys;
  keys.reserve(liveCount_);
  for (const Entry& entry : entries_) {
    if (entry.live) keys.emplace_back(keyOf(entry));
  }
  return keys;
}

size_t QXDynamicStore::count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return liveCount_;
}

void QXDynamicStore::reserve(size_t entries) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.reserve(entries);
  ensureCapacityLocked(entries);
}

std::string QXDynamicStore::description() const {
  std::string text = "{\n";
  forEach([&](std::string_view key, std::string_view value) {
    text += "    ";
    text += key;
    text += " = ";
    text += value;
    text += ";\n";
  });
  text += "}";
  return text;
}

std::string QXDynamicStore::debugDescription() const {
  std::string text = "{\n";
  forEach([&](std::string_view key, std::string_view value) {
    text += "    ";
    QXLogText::appendQuoted(text, key);
    text += " = ";
    QXLogText::appendQuoted(text, value);
    text += ";\n";
  });
  text += "}";
  return text;
}

std::string QXDynamicStore::archivedData() const {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t size = kArchiveHeaderSize;
  for (const Entry& entry : entries_) {
    if (entry.live) size += 16 + entry.keyLength + entry.valueLength;
  }
  std::string out;
  out.reserve(size);
  out.append(kArchiveMagic, sizeof kArchiveMagic);
  QXPutLittleEndian(out, kArchiveVersion, 2);
  QXPutLittleEndian(out, liveCount_, 8);
  for (const Entry& entry : entries_) {
    if (!entry.live) continue;
    QXPutLittleEndian(out, entry.keyLength, 8);
    out += keyOf(entry);
    QXPutLittleEndian(out, entry.valueLength, 8);
    out += valueOf(entry);
  }
  return out;
}

QXStatus QXDynamicStore::unarchive(std::string_view data, QXDynamicStore* out) {
  if (out == nullptr) return QXStatus::InvalidArgument("no store to decode into");
  if (data.size() < kArchiveHeaderSize) return QXStatus::Corruption("store archive truncated");
  if (data.compare(0, 4, std::string_view(kArchiveMagic, 4)) != 0) {
    return QXStatus::Corruption("not a store archive");
  }
  const uint64_t version = QXGetLittleEndian(data.data() + 4, 2);
  if (version != kArchiveVersion) {
    return QXStatus::Corruption("store archive version " + std::to_string(version) +
                                " is not supported");
  }
  const uint64_t count = QXGetLittleEndian(data.data() + 6, 8);
  size_t offset = kArchiveHeaderSize;
  // Every entry needs at least its two length fields, which bounds what the
  // count may claim before anything is allocated.
  if (count > (data.size() - offset) / 16) {
    return QXStatus::Corruption("store archive claims more entries than it holds");
  }
  QXDynamicStore decoded;
  decoded.reserve(static_cast<size_t>(count));
  auto readField = [&](std::string_view* field) {
    if (data.size() - offset < 8) return false;
    const uint64_t length = QXGetLittleEndian(data.data() + offset, 8);
    offset += 8;
    if (length > data.size() - offset) return false;
    *field = data.substr(offset, static_cast<size_t>(length));
    offset += static_cast<size_t>(length);
    return true;
  };
  for (uint64_t i = 0; i < count; ++i) {
    std::string_view key;
    std::string_view value;
    if (!readField(&key) || !readField(&value)) {
      return QXStatus::Corruption("store archive truncated in entry " + std::to_string(i));
    }
    const size_t before = decoded.liveCount_;
    decoded.insertLocked(key, value, hashOf(key));
    if (decoded.liveCount_ == before)
      return QXStatus::Corruption("store archive holds a key twice");
  }
  if (offset != data.size()) return QXStatus::Corruption("store archive has trailing bytes");
  *out = std::move(decoded);
  return QXStatus::OK();
}

bool operator==(const QXDynamicStore& a, const QXDynamicStore& b) {
  if (&a == &b) return true;
  std::scoped_lock lock(a.mutex_, b.mutex_);
  if (a.liveCount_ != b.liveCount_) return false;
  size_t j = 0;
  for (const auto& entry : a.entries_) {
    if (!entry.live) continue;
    while (!b.entries_[j].live)
      ++j;
    const auto& other = b.entries_[j++];
    if (a.keyOf(entry) != b.keyOf(other) || a.valueOf(entry) != b.valueOf(other)) return false;
  }
  return true;
}
