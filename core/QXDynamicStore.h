#ifndef QUORVEX_CORE_QXDYNAMICSTORE_H_
#define QUORVEX_CORE_QXDYNAMICSTORE_H_

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/QXStatus.h"
#include "platform/QXExport.h"

// A string-to-string map with a stable key order.
//
// Order: keys stand in the order in which they were first written; writing a
// key again replaces its value and keeps its place. A removed key loses its
// place; written again, it goes to the end. The order is the order of
// orderedKeys(), of forEach(), of the descriptions and of the POST body.
//
// Keys and values are arbitrary bytes (empty, with NUL inside, invalid
// UTF-8, long) and are returned unchanged.
//
// Absent value: addData(key, std::nullopt) removes the key, so that after the
// call the store holds no value for it. (Callers that pass what the platform
// gives unchecked rely on this: "no value" never turns into an empty string.)
//
// Cost: lookups and writes are constant time on average (an open-addressing
// index over an insertion-ordered array of entries whose bytes live in one
// buffer); copying a store, or merging one into an empty store, copies that
// buffer and the two arrays whole.
//
// Memory: like the standard containers, a member that needs memory it cannot
// get throws std::bad_alloc and leaves the store as it was. The store is the
// SDK's building block: the tracker and the app vars, which keep everything
// from the host, catch it.
//
// Thread safety: every member may be called from several threads at once;
// each call is atomic with respect to the others. addData(other) takes both
// stores' locks together (deadlock-free) and is a no-op when a store is
// merged into itself.
class QX_EXPORT QXDynamicStore {
 public:
  // An empty store.
  QXDynamicStore();
  // A store of the same entries in the same order (a snapshot of `other`).
  QXDynamicStore(const QXDynamicStore& other);
  // Takes `other`'s entries; `other` is left empty.
  QXDynamicStore(QXDynamicStore&& other) noexcept;
  // Replaces every entry by a snapshot of `other`'s.
  QXDynamicStore& operator=(const QXDynamicStore& other);
  // Replaces every entry by `other`'s; `other` is left empty.
  QXDynamicStore& operator=(QXDynamicStore&& other) noexcept;
  ~QXDynamicStore();

  // Copies every entry of `other`, in its order, over this store's entries.
  void addData(const QXDynamicStore& other);
  // Stores `value` under `key`, replacing an earlier value; nullopt removes.
  void addData(const std::string& key, const std::optional<std::string>& value);

  // The value under `key`, or nullopt.
  std::optional<std::string> getData(const std::string& key) const;
  // Removes the key; returns the value it held, or nullopt.
  std::optional<std::string> removeData(const std::string& key);
  // Removes every entry.
  void clearData();

  // Every key once, in the store's order (see above).
  std::vector<std::string> orderedKeys() const;
  // The number of entries.
  size_t count() const;
  // Whether the store holds no entry.
  bool empty() const { return count() == 0; }
  // Room for `entries` entries without rehashing (a hint).
  void reserve(size_t entries);

  // Calls visit(key, value) for every entry in key order while holding the
  // store's lock. `visit` must not call back into this store.
  template <typename Visitor>
  void forEach(Visitor&& visit) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Entry& entry : entries_) {
      if (entry.live) visit(keyOf(entry), valueOf(entry));
    }
  }

  // "{\n", then one line per entry: four spaces, key, " = ", value, ";\n",
  // then "}". Bytes appear as they are.
  std::string description() const;
  // Like description(), but keys and values are quoted and every byte that
  // is not printable ASCII is shown as \xNN (quotes and backslashes escaped),
  // so that a log line cannot be forged or broken by the data.
  std::string debugDescription() const;

  // The store's archived form, and its inverse. Format, version 1
  // (integers little-endian):
  //   "QXDS" | u16 version | u64 entry count |
  //   per entry in key order: u64 key length | key | u64 value length | value
  std::string archivedData() const;
  // Replaces `*out` with the decoded entries. On any malformed input
  // (truncated, wrong magic or version, lengths beyond the data, trailing
  // bytes, a key twice) returns a Corruption status and leaves `*out`
  // untouched. Never allocates more than the input's size suggests.
  static QXStatus unarchive(std::string_view data, QXDynamicStore* out);

  friend QX_EXPORT bool operator==(const QXDynamicStore& a, const QXDynamicStore& b);

 private:
  // An entry's key and value are byte ranges of the arena. A store keeps all
  // its bytes in one buffer, so that copying or merging a store costs a few
  // large copies rather than two allocations per entry.
  struct Entry {
    size_t keyOffset;
    size_t keyLength;
    size_t valueOffset;
    size_t valueLength;
    size_t hash;
    bool live;
  };
  static constexpr uint32_t kEmptySlot = UINT32_MAX;

  // Helpers below run with mutex_ held.
  std::string_view keyOf(const Entry& entry) const {
    return std::string_view(arena_.data() + entry.keyOffset, entry.keyLength);
  }
  std::string_view valueOf(const Entry& entry) const {
    return std::string_view(arena_.data() + entry.valueOffset, entry.valueLength);
  }
  size_t findSlot(std::string_view key, size_t hash) const;  // index into index_
  void insertLocked(std::string_view key, std::string_view value, size_t hash);
  void ensureCapacityLocked(size_t entries);
  void rebuildIndexLocked(size_t capacity);
  void eraseIndexSlotLocked(size_t slot);
  void compactLocked();
  void maybeCompactLocked();
  void copyFromLocked(const QXDynamicStore& other);
  void moveFromLocked(QXDynamicStore& other);
  void clearLocked();

  mutable std::mutex mutex_;
  // Guarded by mutex_.
  std::string arena_;            // keys and values, end to end
  size_t garbage_ = 0;           // arena bytes no live entry refers to
  std::vector<Entry> entries_;   // insertion order; removed entries are dead
  std::vector<uint32_t> index_;  // open addressing, linear probing; entry indexes
  size_t liveCount_ = 0;
};

#endif  // QUORVEX_CORE_QXDYNAMICSTORE_H_
