#ifndef QUORVEX_BENCH_QXBENCHHIT_H_
#define QUORVEX_BENCH_QXBENCHHIT_H_

#include <memory>
#include <string>

#include "QXSDK/QXProduct.h"
#include "QXSDK/Quorvex.h"
#include "core/QXCoreConstants.h"
#include "platform/QXNotificationCenter.h"

// A center whose only observer of requests does nothing: what execute costs
// without any delivery.
inline std::shared_ptr<QXNotificationCenter> QXQuietBenchCenter() {
  static auto center = [] {
    auto c = QXNotificationCenter::create();
    static int owner;
    c->addObserver(&owner, kQXNotification_HTTPRequest, [](const QXNotification&) {});
    return c;
  }();
  return center;
}

// The variables of a realistic hit, as the benchmarks add them: 15 of the
// application's (a few needing escapes) and a basket of three products.
// `variation` shifts which page each variable names.
inline void QXFillBenchHit(Quorvex& tracker, int variation = 0) {
  static const char* const kPages[] = {"home", "search results", "product/42?ref=mail&x=1",
                                       "checkout"};
  for (int i = 0; i < 15; ++i) {
    tracker.addData("var" + std::to_string(i), std::string(kPages[(i + variation) % 4]));
  }
  for (int p = 0; p < 3; ++p) {
    QXProduct product;
    product.setID("SKU-" + std::to_string(1000 + p));
    product.setName(std::string("Running shoe \"Fast & Light\""));
    product.setQuantity(std::string("1"));
    product.setPrice(std::string("59.90"));
    product.setCategory(std::string("shoes/running"));
    tracker.addData("basket", product);
  }
}

#endif  // QUORVEX_BENCH_QXBENCHHIT_H_
