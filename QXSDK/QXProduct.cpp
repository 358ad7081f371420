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
