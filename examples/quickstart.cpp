// quickstart.cpp: one tracker, one hit, delivered to the collector named on
// the command line, such as quorvex collect's http://127.0.0.1:8080/7/.
#include <chrono>
#include <cstdio>
#include <string>

#include "QXSDK/QXAppVars.h"
#include "QXSDK/QXProduct.h"
#include "QXSDK/Quorvex.h"
#include "core/QXNetworkManager.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s COLLECTOR-URL\n", argv[0]);
    return 2;
  }
  Quorvex tracker(410501, 7);  // site ID, container ID
  // Without setUrl, hits go to the production collector of site 410501.
  tracker.setUrl(argv[1]);

  // Permanent data goes with every hit of this tracker.
  tracker.addPermanentData("user_id", std::string("42"));

  // Variables of the next hit; a product becomes basket[product_id][0], ...
  tracker.addData("page", std::string("checkout"));
  QXProduct shoes;
  shoes.setID(std::string("SKU-1"));
  shoes.setPrice(std::string("59.90"));
  tracker.addData("basket", shoes);

  // The hit: merged with the SDK's own variables, stored in the outbox, and
  // delivered by a thread of the SDK. It clears the hit's variables.
  QXAppVars appVars;
  appVars.addData("event", std::string("purchase"));
  tracker.execute(appVars);

  // Waits at most 5 s for the delivery; an application need not wait.
  QXNetworkManager& delivery = QXNetworkManager::sharedInstance();
  const bool delivered = delivery.flush(std::chrono::seconds(5));
  std::printf("%s, %llu sent\n", delivered ? "delivered" : "not delivered",
              static_cast<unsigned long long>(delivery.counters().sent));
  return delivered ? 0 : 1;
}
