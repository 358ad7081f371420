#ifndef QUORVEX_CORE_IQXDYNAMICSTORE_H_
#define QUORVEX_CORE_IQXDYNAMICSTORE_H_

#include <optional>
#include <string>

#include "core/QXDynamicStore.h"
#include "platform/QXExport.h"

// An object that forwards the store operations to a QXDynamicStore of its
// own. A null store given to addData() is ignored; an absent value given to
// addData(key, value) removes the key (the store's rule).
class QX_EXPORT IQXDynamicStore {
 public:
  virtual ~IQXDynamicStore() = default;

  // Copies every entry of `store` over this object's, in the store's key
  // order; null is ignored.
  virtual void addData(const QXDynamicStore* store) = 0;
  // Sets `key` to `value`; nullopt removes the key.
  virtual void addData(const std::string& key, const std::optional<std::string>& value) = 0;
  // The value under `key`, or nullopt.
  virtual std::optional<std::string> getData(const std::string& key) = 0;
  // Removes `key` and returns the value it had, or nullopt.
  virtual std::optional<std::string> removeData(const std::string& key) = 0;
  // Removes every entry.
  virtual void clearData() = 0;

  // Convenience for a store that is certainly there.
  void addData(const QXDynamicStore& store) { addData(&store); }
};

#endif  // QUORVEX_CORE_IQXDYNAMICSTORE_H_
