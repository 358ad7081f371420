#include "QXSDK/QXSDKInitialisation.h"

#include "core/QXCoreInitialisation.h"

QXSDKInitialisation::QXSDKInitialisation() {
  // Initialises the core; the object itself is not needed afterwards.
  QXCoreInitialisation initialisation;
  (void)initialisation;
}
