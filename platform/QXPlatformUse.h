#ifndef QUORVEX_PLATFORM_QXPLATFORMUSE_H_
#define QUORVEX_PLATFORM_QXPLATFORMUSE_H_

// Private to the SDK: never included by a public header.
//
// The moment after which installing another platform can only half apply:
// the first time the SDK reads the platform for state that it keeps for the
// life of the process (the core's start with the first tracker, the network
// manager with its outbox in the data directory, the C API's first tracker,
// delivery call or application transition). Objects made before it keep what
// they read; later readings go to the new platform.
//
// Once in use, QXPlatform::install() still installs, and says in one line at
// level 4 what it cannot change any more; the C API refuses instead
// (QX_E_STATE), through QXInstallPlatformBeforeUse(). Thread-safe: an
// install and the moment of use never overlap, so the first reader reads the
// platform installed before it or none.

#include <memory>

#include "platform/QXPlatform.h"

// Marks the platform in use, for good. Called before the reading.
void QXMarkPlatformInUse() noexcept;
bool QXIsPlatformInUse() noexcept;

// Installs `platform` unless the platform is in use; false then, and
// nothing installed.
bool QXInstallPlatformBeforeUse(std::shared_ptr<QXPlatform> platform);

#endif  // QUORVEX_PLATFORM_QXPLATFORMUSE_H_
