// Links the SDK as a host application would and creates a tracker.
#include <cstdio>

#include "QXSDK/QXSDKConstants.h"
#include "QXSDK/Quorvex.h"

int main() {
  Quorvex tracker(1, 2);
  std::printf("Quorvex %s: %s\n", kQXSDKVersion, tracker.url().c_str());
  return tracker.url() == "https://collect1.quorvex.net/2/" ? 0 : 1;
}
