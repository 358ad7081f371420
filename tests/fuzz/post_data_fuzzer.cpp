// The body builder on arbitrary keys, values, prefixes and products: up to
// four stores (the last one a QXAppVars with a basket) are merged and
// rendered, and the body must read back, field by field, as exactly the
// merged entries in their order ("#" gone from the names only). No input may
// crash, lose an entry or let one field's bytes be read as another's.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "QXSDK/QXAppVars.h"
#include "QXSDK/QXPostData.h"
#include "QXSDK/QXProduct.h"
#include "core/QXDynamicStore.h"
#include "tools/collector/QXFormFields.h"

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

void require(bool condition) {
  if (!condition) std::abort();
}

// Last write wins, in the place of the first.
void mergeInto(Entries& merged, const QXDynamicStore& store) {
  store.forEach([&](std::string_view key, std::string_view value) {
    auto at = std::find_if(merged.begin(), merged.end(),
                           [&](const auto& entry) { return entry.first == key; });
    if (at == merged.end()) {
      merged.emplace_back(std::string(key), std::string(value));
    } else {
      at->second = std::string(value);
    }
  });
}

// The body's fields, decoded; each must hold exactly one "=" and none may
// be empty, else a key or value was written unencoded.
Entries parse(const std::string& body) {
  size_t fields = 0;
  QXForEachEncodedField(body, [&](std::string_view, std::string_view value) {
    ++fields;
    require(value.find('=') == std::string_view::npos);
  });
  require(static_cast<size_t>(std::count(body.begin(), body.end(), '=')) == fields);
  require(body.empty() ||
          static_cast<size_t>(std::count(body.begin(), body.end(), '&')) + 1 == fields);
  return QXDecodedFormFields(body);
}

QXProduct product(FuzzedDataProvider& input) {
  QXProduct product;
  void (QXProduct::*const setters[])(std::optional<std::string>) = {
      &QXProduct::setID,       &QXProduct::setName,       &QXProduct::setQuantity,
      &QXProduct::setCategory, &QXProduct::setPrice,      &QXProduct::setPriceATI,
      &QXProduct::setPriceTF,  &QXProduct::setURLPicture, &QXProduct::setInStock,
  };
  for (auto setter : setters) {
    if (input.ConsumeBool()) (product.*setter)(input.ConsumeRandomLengthString(16));
  }
  for (int n = input.ConsumeIntegralInRange(0, 3); n > 0; --n) {
    std::string key =
        input.ConsumeBool() ? std::string("product_id") : input.ConsumeRandomLengthString(12);
    product.customProperties()[key] = input.ConsumeRandomLengthString(12);
  }
  return product;
}

// Every entry of every product is in the store under its flattened key and
// the product's position; within one list no two of them collide.
void checkBasket(const QXAppVars& appVars, const std::string& prefix,
                 const std::vector<QXProduct>& basket) {
  size_t entries = 0;
  for (size_t i = 0; i < basket.size(); ++i) {
    basket[i].dictionaryValue().forEach([&](std::string_view key, std::string_view value) {
      const std::string flattened =
          prefix + "[" + std::string(key) + "][" + std::to_string(i) + "]";
      require(appVars.getData(flattened) == std::string(value));
      ++entries;
    });
  }
  require(appVars.dynamicStore()->count() == entries);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  std::vector<QXDynamicStore> stores(input.ConsumeIntegralInRange(0, 3));
  for (QXDynamicStore& store : stores) {
    for (int n = input.ConsumeIntegralInRange(0, 24); n > 0; --n) {
      std::string key = input.ConsumeRandomLengthString(24);
      store.addData(key, input.ConsumeRandomLengthString(48));
    }
  }
  QXAppVars appVars;
  const std::string prefix = input.ConsumeRandomLengthString(16);
  std::vector<QXProduct> basket(input.ConsumeIntegralInRange(0, 4));
  for (QXProduct& item : basket)
    item = product(input);
  appVars.addData(prefix, basket);
  checkBasket(appVars, prefix, basket);

  QXPostData postData;
  Entries merged;
  for (const QXDynamicStore& store : stores) {
    postData.insertStore(store);
    mergeInto(merged, store);
  }
  postData.insertStore(appVars.dynamicStore());
  mergeInto(merged, *appVars.dynamicStore());
  for (auto& [key, value] : merged)
    key.erase(std::remove(key.begin(), key.end(), '#'), key.end());

  const std::string body = postData.getParameters();
  require(body.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                 "0123456789-._~%&=") == std::string::npos);
  require(parse(body) == merged);
  require(postData.getParameters() == body);
  return 0;
}
