#include "QXSDK/QXProduct.h"

#include "QXSDK/QXSDKConstants.h"

QXDynamicStore QXProduct::dictionaryValue() const {
  QXDynamicStore dictionary;
  const std::pair<const char*, const std::optional<std::string>*> fixedFields[] = {
      {kQXProductIDKey, &ID_},
      {kQXProductNameKey, &name_},
      {kQXProductQuantityKey, &quantity_},
      {kQXProductCategoryKey, &category_},
      {kQXProductPriceKey, &price_},
      {kQXProductUnitPriceATIKey, &priceATI_},
      {kQXProductUnitDiscountATIKey, &discountATI_},
      {kQXProductUnitPriceTFKey, &priceTF_},
      {kQXProductUnitDiscountTFKey, &discountTF_},
      {kQXProductTrademark, &trademark_},
      {kQXProductURLPage, &URLPage_},
      {kQXProductURLPicture, &URLPicture_},
      {kQXProductRating, &rating_},
      {kQXProductInStock, &inStock_},
  };
  for (const auto& [key, value] : fixedFields) {
    if (*value) dictionary.addData(key, *value);
  }
  for (const auto& [key, value] : customProperties_)
    dictionary.addData(key, value);
  return dictionary;
}

std::string QXProduct::flattenedKey(std::string_view prefix, std::string_view fieldKey,
                                    int32_t index) {
  const std::string number = std::to_string(index);
  std::string key;
  key.reserve(prefix.size() + fieldKey.size() + number.size() + 4);
  key.append(prefix).append("[").append(fieldKey).append("][").append(number).append("]");
  return key;
}

void QXProduct::flattenInto(QXDynamicStore& store, std::string_view prefix, int32_t index) const {
  dictionaryValue().forEach([&](std::string_view key, std::string_view value) {
    store.addData(flattenedKey(prefix, key, index), std::string(value));
  });
}
