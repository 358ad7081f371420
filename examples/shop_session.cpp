// An example host application that lives a short session and tracks it:
// screen views, a basket of two products, permanent data, a consent hit
// while tracking is switched off, and a stay in background.
//
//   shop_session <collection URL> <data directory>
//
// The hits go to the collection URL (a development collector in the main
// job); the SDK's state and outbox live in the data directory.
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "QXSDK/QXAppVars.h"
#include "QXSDK/QXProduct.h"
#include "QXSDK/Quorvex.h"
#include "core/QXNetworkManager.h"
#include "platform/QXApplication.h"
#include "platform/QXLinuxPlatform.h"

namespace {

void screenView(Quorvex& tracker, const std::string& page) {
  tracker.addData("page", page);
  tracker.addData("event", std::string("screen_view"));
  tracker.sendData();
  std::printf("  screen view   %s\n", page.c_str());
}

QXProduct product(const std::string& id, const std::string& name, const std::string& price) {
  QXProduct p;
  p.setID(id);
  p.setName(name);
  p.setPrice(price);
  p.setQuantity(std::string("1"));
  return p;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <collection URL> <data directory>\n", argv[0]);
    return 2;
  }
  // Describe the application and choose where the SDK keeps its files
  // before the first tracker exists.
  QXLinuxPlatform::Options options;
  options.dataDirectory = argv[2];
  options.bundleIdentifier = "com.example.shop";
  options.infoDictionary[kQXBundleNameKey] = "Example Shop";
  options.infoDictionary[kQXBundleShortVersionStringKey] = "2.3.0";
  options.infoDictionary[kQXBundleVersionKey] = "230";
  options.screen = QXScreenBounds{390, 844};
  QXPlatform::install(std::make_shared<QXLinuxPlatform>(options));

  Quorvex tracker(410501, 7);
  tracker.setUrl(argv[1]);  // the development collector instead of the service
  tracker.addPermanentData("user_id", std::string("42"));
  tracker.addPermanentData("plan", std::string("premium"));
  std::printf("session of %s (site %d, container %d)\n", tracker.url().c_str(), tracker.siteID(),
              tracker.containerID());

  screenView(tracker, "home");
  screenView(tracker, "shoes/running");

  tracker.addData("basket", product("SKU-1042", "Trail runner \"Fast & Light\"", "89.90"));
  tracker.addData("basket", product("SKU-2001", "Socks, 3 pairs", "12.50"));
  tracker.addData("event", std::string("add_to_cart"));
  tracker.sendData();
  std::printf("  basket        2 products\n");

  // The user opts out: ordinary hits are dropped, a consent hit still goes.
  tracker.deactivateSDK();
  screenView(tracker, "privacy settings (dropped)");
  tracker.clearData();
  QXAppVars consent;
  consent.setConsentHit(true);
  consent.addData("consent", std::string("opt-out"));
  tracker.execute(consent);
  std::printf("  consent hit   opt-out\n");
  tracker.activateSDK();

  // A stay in background: the hit made there waits in the outbox until the
  // application is back in foreground.
  QXApplication::didEnterBackground();
  tracker.addData("event", std::string("background_refresh"));
  tracker.sendData();
  std::printf("  in background one hit queued\n");
  QXApplication::willEnterForeground();

  screenView(tracker, "checkout");

  QXNetworkManager& network = QXNetworkManager::sharedInstance();
  const bool delivered = network.flush(std::chrono::seconds(10));
  const QXDeliveryCounters counters = network.counters();
  std::printf("delivery: %llu queued, %llu sent, %llu retried, %llu dropped, %zu pending%s\n",
              static_cast<unsigned long long>(counters.queued),
              static_cast<unsigned long long>(counters.sent),
              static_cast<unsigned long long>(counters.retried),
              static_cast<unsigned long long>(counters.dropped), counters.pending,
              delivered ? "" : " (not all delivered in time)");
  return delivered ? 0 : 1;
}
