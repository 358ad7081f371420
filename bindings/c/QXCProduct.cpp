// The C API's products: a QXProduct behind a handle, its fixed fields
// chosen by number.
#include <optional>
#include <string>

#include "QXSDK/QXProduct.h"
#include "bindings/c/QXCErrors.h"
#include "bindings/c/QXCHandles.h"

namespace {

using Field = std::optional<std::string>;

// The setters and getters of the fixed fields, in the order of the
// QX_PRODUCT_ numbers.
struct FieldAccess {
  void (QXProduct::*set)(Field);
  const Field& (QXProduct::*get)() const;
};
constexpr FieldAccess kFields[] = {
    {&QXProduct::setID, &QXProduct::ID},
    {&QXProduct::setName, &QXProduct::name},
    {&QXProduct::setQuantity, &QXProduct::quantity},
    {&QXProduct::setCategory, &QXProduct::category},
    {&QXProduct::setPrice, &QXProduct::price},
    {&QXProduct::setPriceATI, &QXProduct::priceATI},
    {&QXProduct::setDiscountATI, &QXProduct::discountATI},
    {&QXProduct::setPriceTF, &QXProduct::priceTF},
    {&QXProduct::setDiscountTF, &QXProduct::discountTF},
    {&QXProduct::setTrademark, &QXProduct::trademark},
    {&QXProduct::setURLPage, &QXProduct::URLPage},
    {&QXProduct::setURLPicture, &QXProduct::URLPicture},
    {&QXProduct::setRating, &QXProduct::rating},
    {&QXProduct::setInStock, &QXProduct::inStock},
};
static_assert(sizeof kFields / sizeof kFields[0] == QX_PRODUCT_IN_STOCK + 1,
              "one accessor per QX_PRODUCT_ field");

const FieldAccess& fieldAt(int field) {
  if (field < QX_PRODUCT_ID || field > QX_PRODUCT_IN_STOCK)
    throw QXCError(QX_E_INVALID_ARGUMENT,
                   "field " + std::to_string(field) + " is no QX_PRODUCT_ field");
  return kFields[field];
}

std::shared_ptr<QXCProduct> productOf(const qx_product* handle) {
  return QXCProducts::shared().find(handle, "product");
}

int setField(const qx_product* handle, int field, Field value) {
  auto product = productOf(handle);
  const FieldAccess& access = fieldAt(field);
  std::lock_guard<std::mutex> lock(product->mutex);
  (product->product.*access.set)(std::move(value));
  return QX_OK;
}

}  // namespace

extern "C" {

QX_API qx_product* qx_product_new(void) {
  uintptr_t token = 0;
  QXCRun(__func__, [&] {
    token = QXCProducts::shared().add(std::make_shared<QXCProduct>());
    return QX_OK;
  });
  return QXCHandleOf<qx_product>(token);
}

QX_API void qx_product_free(qx_product* product) {
  QXCRun(__func__, [&] {
    if (product != nullptr && !QXCProducts::shared().remove(product))
      throw QXCError(QX_E_INVALID_HANDLE, "product is not a live product handle");
    return QX_OK;
  });
}

QX_API int qx_product_set(qx_product* product, int field, const char* value) {
  return QXCRun(__func__, [&] { return setField(product, field, QXCText("value", value)); });
}

QX_API int qx_product_set_n(qx_product* product, int field, const char* value, size_t length) {
  return QXCRun(__func__,
                [&] { return setField(product, field, QXCText("value", value, length)); });
}

QX_API int qx_product_unset(qx_product* product, int field) {
  return QXCRun(__func__, [&] { return setField(product, field, std::nullopt); });
}

QX_API int qx_product_get(const qx_product* product, int field, char** value, size_t* length) {
  return QXCRun(__func__, [&] {
    auto object = productOf(product);
    const FieldAccess& access = fieldAt(field);
    QXCRequire(value, "value");
    *value = nullptr;
    std::lock_guard<std::mutex> lock(object->mutex);
    const Field& text = (object->product.*access.get)();
    if (!text) return 0;
    QXCReturnText(*text, value, length);
    return 1;
  });
}

QX_API int qx_product_set_property(qx_product* product, const char* key, const char* value) {
  return QXCRun(__func__, [&] {
    auto object = productOf(product);
    std::string checkedKey = QXCNonEmptyText("key", key);
    std::string checkedValue = QXCText("value", value);
    std::lock_guard<std::mutex> lock(object->mutex);
    object->product.customProperties()[std::move(checkedKey)] = std::move(checkedValue);
    return QX_OK;
  });
}

QX_API int qx_product_set_property_n(qx_product* product, const char* key, size_t key_length,
                                     const char* value, size_t value_length) {
  return QXCRun(__func__, [&] {
    auto object = productOf(product);
    std::string checkedKey = QXCText("key", key, key_length);
    if (checkedKey.empty()) throw QXCError(QX_E_INVALID_ARGUMENT, "key is empty");
    std::string checkedValue = QXCText("value", value, value_length);
    std::lock_guard<std::mutex> lock(object->mutex);
    object->product.customProperties()[std::move(checkedKey)] = std::move(checkedValue);
    return QX_OK;
  });
}

QX_API int qx_product_remove_property(qx_product* product, const char* key) {
  return QXCRun(__func__, [&] {
    auto object = productOf(product);
    const std::string checkedKey = QXCText("key", key);
    std::lock_guard<std::mutex> lock(object->mutex);
    return object->product.customProperties().erase(checkedKey) > 0 ? 1 : 0;
  });
}

}  // extern "C"
