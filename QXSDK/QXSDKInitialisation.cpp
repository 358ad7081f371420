#include "QXSDK/QXSDKInitialisation.h"

#include "QXSDK/QXPredefinedVariables.h"
#include "QXSDK/QXState.h"
#include "core/QXCoreInitialisation.h"
#include "core/QXCoreVariables.h"
#include "core/QXGuard.h"

QXSDKInitialisation::QXSDKInitialisation() noexcept {
  // What fails here is tried again by the next creation; a tracker meanwhile
  // refuses the hits it cannot build.
  QXGuarded("Initialising the SDK", [] { initialise(); });
}

void QXSDKInitialisation::initialise() {
  {
    QXCoreInitialisation core;  // initialises the core; not needed afterwards
    (void)core;
  }
  QXState::sharedInstance();
  QXPredefinedVariables& registry = QXPredefinedVariables::sharedInstance();
  registry.addData(&QXCoreVariables::sharedInstance().dynamicStore());
}
