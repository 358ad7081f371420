#ifndef QUORVEX_QXSDK_PREDEFINED_QXAPPLICATIONVARIABLES_H_
#define QUORVEX_QXSDK_PREDEFINED_QXAPPLICATIONVARIABLES_H_

#include "core/QXDynamicStore.h"

class QXPlatform;

// The launch steps that describe the host application: bundle identifier,
// name, build, and its version with the history of versions across launches.
//
// A step object over the registry's store and the platform (its bundle and
// information dictionary, and the user defaults that keep three labels named
// after the predefined variables: "#QX_APPLICATION_VERSION#",
// "#QX_APPLICATION_PREVIOUS_VERSION#" and "#QX_VERSION_FIRST_VISIT_MS#").
// It holds references only and writes with the store's own lock.
class QXApplicationVariables {
 public:
  QXApplicationVariables(QXDynamicStore& store, QXPlatform& platform)
      : store_(store), platform_(platform) {}

  // "#QX_APPLICATION_BUILD#": "CFBundleVersion"; nothing without one.
  void setApplicationBuild();
  // "#QX_BUNDLE_IDENTIFIER#" and "#QX_APPLICATION_NAME#" ("CFBundleName"),
  // as the bundle gives them.
  void setBundleIdentifier();
  void setApplicationName();

  // The version history. The current version is "CFBundleShortVersionString"
  // ("" without one). A launch with a version persists it; the first launch
  // with a version, and the first after a change of version, also persist
  // its time in milliseconds as the version's first visit, and a change
  // persists the version it replaced as the previous one. The store gets the
  // current version, the persisted first visit and the persisted previous
  // version (the last two only when there is one).
  void initApplicationVersion();

 private:
  QXDynamicStore& store_;
  QXPlatform& platform_;
};

#endif  // QUORVEX_QXSDK_PREDEFINED_QXAPPLICATIONVARIABLES_H_
