#include "QXSDK/QXSDKInitialisation.h"

#include "QXSDK/QXPredefinedVariables.h"
#include "QXSDK/QXState.h"
#include "core/QXCoreInitialisation.h"
#include "core/QXCoreVariables.h"

QXSDKInitialisation::QXSDKInitialisation() {
  {
    QXCoreInitialisation core;  // initialises the core; not needed afterwards
    (void)core;
  }
  QXState::sharedInstance();
  QXPredefinedVariables& registry = QXPredefinedVariables::sharedInstance();
  registry.addData(&QXCoreVariables::sharedInstance().dynamicStore());
}
