// The C API's log: the threshold and a sink that is a C function.
#include <string>

#include "bindings/c/QXCErrors.h"
#include "core/QXLogger.h"

namespace {

constexpr int kQuietestThreshold = 5;  // above every level: nothing is written

}  // namespace

extern "C" {

QX_API int qx_log_set_threshold(int level) {
  return QXCRun(__func__, [&] {
    if (level < 0 || level > kQuietestThreshold)
      throw QXCError(QX_E_INVALID_ARGUMENT, "level is not from 0 to 5");
    QXLogger::sharedInstance().setThreshold(level);
    return QX_OK;
  });
}

QX_API int qx_log_threshold(void) {
  return QXCRun(__func__, [] { return QXLogger::sharedInstance().threshold(); });
}

QX_API int qx_log_set_sink(qx_log_sink sink, void* user_data) {
  return QXCRun(__func__, [&] {
    // The logger's replacement waits for the sink it replaces, so that the
    // host may free its user data once this returns. A closure, not the
    // function itself: std::function would export the type information of
    // a plain function pointer's type.
    if (sink == nullptr) {
      QXLogger::sharedInstance().setSink(nullptr);
    } else {
      QXLogger::sharedInstance().setSink([sink, user_data](int level, const std::string& message) {
        sink(level, message.c_str(), message.size(), user_data);
      });
    }
    return QX_OK;
  });
}

}  // extern "C"
