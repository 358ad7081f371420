#ifndef QUORVEX_CORE_QXLOGGER_H_
#define QUORVEX_CORE_QXLOGGER_H_

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "platform/QXExport.h"

// The SDK's log. Levels:
//   0 the data of each hit        1 activation, deactivation, background sending
//   2 creation messages           3 conversion warnings and dropped hits
//   4 errors
// A message is written when its level is at or above the threshold, which is
// 3 by default: hit data (level 0) is never written unless the host asks for
// it. Messages go to the sink, standard error by default. Thread-safe; the
// sink may be called from several threads at once (the SDK's own threads
// among them) and must not log itself.
//
// The sink must not throw. If it does, the exception is caught here, the
// message is lost, and the first time is told once on standard error; the
// SDK goes on. Logging never throws.
//
// Replacing the sink waits for it: setSink() returns once every message
// being written to the sink it replaced has been, on every thread, so that
// what the old sink uses may then be freed. From inside the sink itself it
// does not wait (it would wait for itself).
class QX_EXPORT QXLogger {
 public:
  // Where messages go: called with the level and the message (no line
  // break at its end), on the thread that logs.
  using Sink = std::function<void(int level, const std::string& message)>;
  // The threshold of a new process: warnings and errors.
  static constexpr int kDefaultThreshold = 3;

  // The process's logger; never destroyed, so usable during exit.
  static QXLogger& sharedInstance();

  // Writes `message` at `level` to the sink when the level is at or above
  // the threshold.
  void logMessage(const std::string& message, int level) noexcept;
  // Whether a message of `level` would be written; lets callers skip building
  // an expensive message.
  bool isLoggable(int level) const { return level >= threshold_.load(std::memory_order_relaxed); }

  // The lowest level written: 0 writes everything, hit data included; 5
  // nothing.
  void setThreshold(int level) { threshold_.store(level, std::memory_order_relaxed); }
  // The lowest level written.
  int threshold() const { return threshold_.load(std::memory_order_relaxed); }
  // Null restores standard error. Returns once the sink it replaced is no
  // longer running on any thread, except when called from inside that sink.
  // When there is no memory for the new sink, the one in place stays and
  // says so at level 4.
  void setSink(Sink sink) noexcept;

  // Writes "[Quorvex] <LEVEL> message" to standard error.
  static void writeToStandardError(int level, const std::string& message) noexcept;

 private:
  friend struct QXLoggerFork;
  struct SinkSlot;

  QXLogger();
  ~QXLogger();
  void sinkThrew(const char* what) noexcept;

  std::atomic<int> threshold_{kDefaultThreshold};
  // Constant after construction; the slot's sink is null for standard error.
  const std::unique_ptr<SinkSlot> sink_;
  std::atomic<bool> sinkThrewBefore_{false};
};

#endif  // QUORVEX_CORE_QXLOGGER_H_
