#ifndef QUORVEX_BINDINGS_C_QXCPLATFORM_H_
#define QUORVEX_BINDINGS_C_QXCPLATFORM_H_

// The moment after which the C API no longer installs a platform: the
// first call that makes the SDK read it (a tracker, the delivery, an
// application transition). Objects that have read the platform keep what
// they read, so a later install would only half apply; it is refused
// instead. The moment is the platform's own (platform/QXPlatformUse.h),
// which the C++ API's start marks too. Thread-safe.

// Called by every function that may read the platform, before it does.
void QXCStartSDK() noexcept;

#endif  // QUORVEX_BINDINGS_C_QXCPLATFORM_H_
