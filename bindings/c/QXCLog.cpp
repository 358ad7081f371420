// The C API's log: the threshold and a sink that is a C function.
#include <string>

#include "bindings/c/QXCCallbackSlot.h"
#include "bindings/c/QXCErrors.h"
#include "core/QXLogger.h"

namespace {

constexpr int kQuietestThreshold = 5;  // above every level: nothing is written

// Never destroyed: the SDK's threads may log during exit.
QXCCallbackSlot& sinkSlot() {
  static QXCCallbackSlot* slot = new QXCCallbackSlot();
  return *slot;
}

void writeToSink(int level, const std::string& message) {
  const bool written = sinkSlot().call([&](const QXCCallbackSlot::Callback& sink) {
    reinterpret_cast<qx_log_sink>(sink.function)(level, message.c_str(), message.size(),
                                                 sink.userData);
  });
  // Between the removal of a sink and the logger's return to standard
  // error, a message still goes somewhere.
  if (!written) QXLogger::writeToStandardError(level, message);
}

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
    QXLogger& logger = QXLogger::sharedInstance();
    if (sink != nullptr) {
      sinkSlot().set({reinterpret_cast<QXCCallbackSlot::Function>(sink), user_data});
      // A closure, not the function itself: std::function would export
      // the type information of a plain function pointer's type.
      logger.setSink([](int level, const std::string& message) { writeToSink(level, message); });
    } else {
      logger.setSink(nullptr);
      sinkSlot().set({});
    }
    return QX_OK;
  });
}

}  // extern "C"
