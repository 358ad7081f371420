#ifndef QUORVEX_QXSDK_QXAPPVARS_H_
#define QUORVEX_QXSDK_QXAPPVARS_H_

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "QXSDK/QXProduct.h"
#include "core/IQXDynamicStore.h"
#include "core/QXDynamicStore.h"
#include "core/QXStatus.h"
#include "platform/QXExport.h"

// The variables and products that the host application gives to one hit
// (Quorvex::execute). They are merged last into the hit's body, so they
// override every other source. The object is not cleared by a hit and may be
// used for several. Used by one thread at a time.
//
// No member throws: one that meets an exception (memory running out) drops
// what it could not finish, says so once at level 4 and returns; a getter
// then returns nullopt or an empty string, decode() an error. An object
// created without the memory for its store is one without a store.
//
// The store may be absent: an object restored from an archive that holds no
// "dynamicStore" entry has none, and then every store operation does nothing
// and every look-up answers nothing, as for a store that is not there.
class QX_EXPORT QXAppVars : public IQXDynamicStore {
 public:
  QXAppVars() noexcept;
  // Every entry of `dictionary` (in the map's order).
  explicit QXAppVars(const std::map<std::string, std::string>& dictionary) noexcept;
  ~QXAppVars() override;

  using IQXDynamicStore::addData;
  void addData(const QXDynamicStore* store) noexcept override;
  void addData(const std::string& key, const std::optional<std::string>& value) noexcept override;
  std::optional<std::string> getData(const std::string& key) noexcept override;
  // The value under `key`, or nullopt (also without a store).
  std::optional<std::string> getData(const std::string& key) const noexcept;
  std::optional<std::string> removeData(const std::string& key) noexcept override;
  void clearData() noexcept override;

  // Makes the hits executed with this object consent hits (true: the value
  // "1" under kQXConsentHitKey), or ordinary ones again (false: the key
  // removed). A deactivated tracker sends consent hits only.
  void setConsentHit(bool consent) noexcept;
  // Whether the object holds a value, an empty one too, under
  // kQXConsentHitKey.
  bool isConsentHit() const noexcept;

  // Flattens each product under prefix[field][i], i being its position in
  // `products` from 0. A product with no entries still takes its position.
  void addData(const std::string& prefix, const std::vector<QXProduct>& products) noexcept;

  // "{\n", one "\t\"key\" = \"value\"\n" line per entry in key order, then
  // "\n". Nothing is escaped.
  std::string description() const noexcept;

  // The archive of this object: a keyed archive whose one entry
  // "dynamicStore" holds the store's archived form (format in the README).
  // An object without a store gives an archive without that entry.
  std::string encode() const noexcept;
  // Restores an object from encode()'s bytes, or from those of a later
  // format that declares itself readable by this one (its extra entries are
  // skipped). Returns NotSupported for a later format that is not, and
  // Corruption for anything malformed (truncated, damaged, lengths beyond
  // the data, trailing bytes, the store entry twice or unreadable); `*out`
  // is then left untouched. Allocates no more than the input's size
  // accounts for. An archive without a "dynamicStore" entry gives an object
  // without a store.
  static QXStatus decode(std::string_view archive, std::unique_ptr<QXAppVars>* out) noexcept;

  // Null only for an object restored from an archive without a store.
  QXDynamicStore* dynamicStore() { return dynamicStore_.get(); }
  // Null only for an object restored from an archive without a store.
  const QXDynamicStore* dynamicStore() const { return dynamicStore_.get(); }
  // Replaces the store; null leaves the object without one.
  void setDynamicStore(std::unique_ptr<QXDynamicStore> store) { dynamicStore_ = std::move(store); }

 private:
  struct NoStore {};
  explicit QXAppVars(NoStore) {}
  std::string archive() const;
  static QXStatus restore(std::string_view archive, std::unique_ptr<QXAppVars>* out);

  std::unique_ptr<QXDynamicStore> dynamicStore_;
};

#endif  // QUORVEX_QXSDK_QXAPPVARS_H_
