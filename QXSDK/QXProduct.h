#ifndef QUORVEX_QXSDK_QXPRODUCT_H_
#define QUORVEX_QXSDK_QXPRODUCT_H_

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "core/QXDynamicStore.h"
#include "platform/QXExport.h"

// One product of an e-commerce hit: fourteen fixed text fields and any number
// of custom properties. Every field is text; nothing is parsed or checked. A
// field never set is absent (nullopt); an empty text is a value.
// A plain value: like the standard containers, what needs memory it cannot
// get throws std::bad_alloc; the tracker and the app vars catch it when they
// take a product in.
class QX_EXPORT QXProduct {
 public:
  // Custom properties: key to value, in key order.
  using Properties = std::map<std::string, std::string>;

  // A product with no field set and no custom property.
  QXProduct() = default;

  // The product as key/value entries: the fixed fields that are set, in
  // declaration order under their product keys (kQXProductIDKey, ...), then
  // every custom property under its own key. A custom property whose key is a
  // fixed key replaces that field's value and keeps the field's place.
  QXDynamicStore dictionaryValue() const;

  // The key under which a product's entry enters a store: prefix, "[",
  // field key, "][", the product index in decimal, "]"; e.g. basket[product_id][0].
  static std::string flattenedKey(std::string_view prefix, std::string_view fieldKey,
                                  int32_t index);
  // Writes every entry of dictionaryValue() into `store` under its flattened key.
  void flattenInto(QXDynamicStore& store, std::string_view prefix, int32_t index) const;

  // Custom properties; write into them directly or replace them.
  Properties& customProperties() { return customProperties_; }
  // Custom properties.
  const Properties& customProperties() const { return customProperties_; }
  // Replaces every custom property.
  void setCustomProperties(Properties properties) { customProperties_ = std::move(properties); }

  // --- The fixed fields, each under its key kQXProduct...Key; nullopt unsets one ---
  const std::optional<std::string>& ID() const { return ID_; }
  void setID(std::optional<std::string> value) { ID_ = std::move(value); }
  const std::optional<std::string>& name() const { return name_; }
  void setName(std::optional<std::string> value) { name_ = std::move(value); }
  const std::optional<std::string>& quantity() const { return quantity_; }
  void setQuantity(std::optional<std::string> value) { quantity_ = std::move(value); }
  const std::optional<std::string>& category() const { return category_; }
  void setCategory(std::optional<std::string> value) { category_ = std::move(value); }
  const std::optional<std::string>& price() const { return price_; }
  void setPrice(std::optional<std::string> value) { price_ = std::move(value); }
  const std::optional<std::string>& priceATI() const { return priceATI_; }
  void setPriceATI(std::optional<std::string> value) { priceATI_ = std::move(value); }
  const std::optional<std::string>& discountATI() const { return discountATI_; }
  void setDiscountATI(std::optional<std::string> value) { discountATI_ = std::move(value); }
  const std::optional<std::string>& priceTF() const { return priceTF_; }
  void setPriceTF(std::optional<std::string> value) { priceTF_ = std::move(value); }
  const std::optional<std::string>& discountTF() const { return discountTF_; }
  void setDiscountTF(std::optional<std::string> value) { discountTF_ = std::move(value); }
  const std::optional<std::string>& trademark() const { return trademark_; }
  void setTrademark(std::optional<std::string> value) { trademark_ = std::move(value); }
  const std::optional<std::string>& URLPage() const { return URLPage_; }
  void setURLPage(std::optional<std::string> value) { URLPage_ = std::move(value); }
  const std::optional<std::string>& URLPicture() const { return URLPicture_; }
  void setURLPicture(std::optional<std::string> value) { URLPicture_ = std::move(value); }
  const std::optional<std::string>& rating() const { return rating_; }
  void setRating(std::optional<std::string> value) { rating_ = std::move(value); }
  const std::optional<std::string>& inStock() const { return inStock_; }
  void setInStock(std::optional<std::string> value) { inStock_ = std::move(value); }

 private:
  Properties customProperties_;
  std::optional<std::string> ID_;
  std::optional<std::string> name_;
  std::optional<std::string> quantity_;
  std::optional<std::string> category_;
  std::optional<std::string> price_;
  std::optional<std::string> priceATI_;
  std::optional<std::string> discountATI_;
  std::optional<std::string> priceTF_;
  std::optional<std::string> discountTF_;
  std::optional<std::string> trademark_;
  std::optional<std::string> URLPage_;
  std::optional<std::string> URLPicture_;
  std::optional<std::string> rating_;
  std::optional<std::string> inStock_;
};

#endif  // QUORVEX_QXSDK_QXPRODUCT_H_
