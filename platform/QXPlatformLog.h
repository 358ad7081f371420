#ifndef QUORVEX_PLATFORM_QXPLATFORMLOG_H_
#define QUORVEX_PLATFORM_QXPLATFORMLOG_H_

#include <functional>
#include <string>

#include "platform/QXExport.h"

// The platform reports its own failures (an unreadable defaults file, a
// directory that cannot be made) through this hook. The platform knows
// nothing of the core's logger; the core connects the hook to it when it
// starts. Until then, and after a reset to null, messages go to standard error.
// A sink must not throw: if it does, the exception is caught, the message is
// lost and the first time is told on standard error. Reporting never throws.
using QXPlatformErrorSink = std::function<void(const std::string& message)>;

QX_EXPORT void QXSetPlatformErrorSink(QXPlatformErrorSink sink);
QX_EXPORT void QXReportPlatformError(const std::string& message) noexcept;

#endif  // QUORVEX_PLATFORM_QXPLATFORMLOG_H_
