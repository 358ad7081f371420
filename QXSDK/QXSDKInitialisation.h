#ifndef QUORVEX_QXSDK_QXSDKINITIALISATION_H_
#define QUORVEX_QXSDK_QXSDKINITIALISATION_H_

// The start-up object that every tracker creates: it brings up the core.
class QXSDKInitialisation {
 public:
  QXSDKInitialisation();
};

#endif  // QUORVEX_QXSDK_QXSDKINITIALISATION_H_
