// Links the SDK as a host application would, on the fake platform (no file,
// no network): builds the body of a hit and checks that what the host was
// compiled against agrees with the library it runs with.
#include <cstdio>
#include <string>

#include "QXSDK/QXProduct.h"
#include "QXSDK/QXSDKConstants.h"
#include "QXSDK/QXVersion.h"
#include "QXSDK/Quorvex.h"
#include "core/QXNetworkManager.h"
#include "platform/QXFakePlatform.h"

namespace {

bool check(bool condition, const char* what) {
  if (!condition) std::fprintf(stderr, "consumer: %s\n", what);
  return condition;
}

}  // namespace

int main() {
  QXFakePlatform::installNew();
  Quorvex tracker(1, 2);
  tracker.addData("page", std::string("home"));
  QXProduct shoes;
  shoes.setID(std::string("SKU-1"));
  tracker.addData("basket", shoes);
  const std::string body = tracker.getPostData(nullptr);

  bool ok = check(tracker.url() == "https://collect1.quorvex.net/2/", "unexpected collection URL");
  ok &= check(std::string(kQXSDKVersion) == QX_VERSION_STRING,
              "the library's version is not the headers'");
  ok &= check(body.find("QX_QUORVEX_VERSION=" QX_VERSION_STRING) != std::string::npos,
              "the hit does not carry the version");
  ok &= check(body.find("page=home") != std::string::npos, "the hit lost its variable");
  ok &= check(body.find("basket%5Bproduct_id%5D%5B0%5D=SKU-1") != std::string::npos,
              "the hit lost its product");
  ok &= check(QXNetworkManager::sharedInstance().counters().queued == 0,
              "a body was delivered as a hit");
  std::printf("Quorvex %s: %zu bytes of body, %s\n", kQXSDKVersion, body.size(),
              ok ? "linked" : "MISMATCH");
  return ok ? 0 : 1;
}
