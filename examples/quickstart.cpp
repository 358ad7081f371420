// The README's quick start: two trackers, variables, permanent data and a
// basket of two products.
#include <cstdio>
#include <string>

#include "QXSDK/QXProduct.h"
#include "QXSDK/Quorvex.h"

int main() {
  Quorvex shop(410501, 7);
  Quorvex blog(410502, 1);

  shop.addData("page", std::string("checkout"));
  shop.addPermanentData("user_id", std::string("42"));

  QXProduct shoes;
  shoes.setID(std::string("SKU-1"));
  shoes.setPrice(std::string("59.90"));
  shoes.setQuantity(std::string("1"));
  QXProduct socks;
  socks.setID(std::string("SKU-2"));
  socks.customProperties()["colour"] = "red";
  shop.addData("basket", shoes);
  shop.addData("basket", socks);

  blog.deactivateSDK();

  for (Quorvex* tracker : {&shop, &blog}) {
    std::printf("tracker %d/%d  url %s  activation %d\n", tracker->siteID(), tracker->containerID(),
                tracker->url().c_str(), tracker->enableSDK());
  }
  std::printf("hit variables of %d/%d:\n", shop.siteID(), shop.containerID());
  for (const std::string& key : shop.dynamicStore().orderedKeys()) {
    std::printf("  %s = %s\n", key.c_str(), shop.getData(key).value_or("").c_str());
  }
  return 0;
}
