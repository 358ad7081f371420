#ifndef QUORVEX_QXSDK_QXSDKINITIALISATION_H_
#define QUORVEX_QXSDK_QXSDKINITIALISATION_H_

#include "platform/QXExport.h"

// The start-up object that every tracker creates. Creating it brings up the
// core, makes sure the application-state singleton and then the
// predefined-variable registry exist (each is created once per process), and
// copies the core's variables into the registry (at every creation). Never
// throws: a failure is said at level 4, and the next creation tries again.
class QX_EXPORT QXSDKInitialisation {
 public:
  QXSDKInitialisation() noexcept;

 private:
  static void initialise();
};

#endif  // QUORVEX_QXSDK_QXSDKINITIALISATION_H_
