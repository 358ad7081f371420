#ifndef QUORVEX_QXSDK_QXPOSTDATA_H_
#define QUORVEX_QXSDK_QXPOSTDATA_H_

#include <cstddef>
#include <optional>
#include <string>

#include "core/QXDynamicStore.h"

// The POST body of one hit. The stores of the hit are inserted one after the
// other (the last write of a key wins, a rewritten key keeps its place), then
// getParameters() renders the merged entries as a form body:
//   name "=" value, joined by "&", in the merged store's key order,
// where name is the key with every "#" removed and both are encoded with
// QXURLEncodedString. Nothing is sorted, merged or skipped; "=" is always
// written. Made, used and dropped on one thread.
class QXPostData {
 public:
  QXPostData();

  // Copies every entry of `store`, in its order; null changes nothing.
  void insertStore(const QXDynamicStore* store);
  void insertStore(const QXDynamicStore& store) { insertStore(&store); }

  // The form body. Never throws: if rendering fails part-way (allocation
  // failure included), the size of the merged entries and the failure are
  // logged at level 4 (the entries themselves, in the store's escaped debug
  // form, at level 0 with the other hit data), and the body is returned up
  // to the field that failed: the fields before it and, when it was not the
  // first, the "&" ahead of it. `complete`, when given, says whether the
  // body is whole. A failure of the logging itself is swallowed.
  std::string getParameters(bool* complete = nullptr) const noexcept;

  // Nothing when the body getParameters() would render takes at most
  // `maxBytes`; otherwise its size. Counts without rendering, and only when
  // a bound of its size from the entries' lengths is over `maxBytes`.
  std::optional<size_t> sizeIfLargerThan(size_t maxBytes) const noexcept;

  QXDynamicStore& dynamicStore() { return dynamicStore_; }
  const QXDynamicStore& dynamicStore() const { return dynamicStore_; }
  void setDynamicStore(const QXDynamicStore& store) { dynamicStore_ = store; }

 private:
  void reportFailure(const char* what) const noexcept;

  QXDynamicStore dynamicStore_;
};

#endif  // QUORVEX_QXSDK_QXPOSTDATA_H_
