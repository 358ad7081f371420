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

  virtual void addData(const QXDynamicStore* store) = 0;
  virtual void addData(const std::string& key, const std::optional<std::string>& value) = 0;
  virtual std::optional<std::string> getData(const std::string& key) = 0;
  virtual std::optional<std::string> removeData(const std::string& key) = 0;
  virtual void clearData() = 0;

  // Convenience for a store that is certainly there.
  void addData(const QXDynamicStore& store) { addData(&store); }
};

#endif  // QUORVEX_CORE_IQXDYNAMICSTORE_H_
