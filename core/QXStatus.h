#ifndef QUORVEX_CORE_QXSTATUS_H_
#define QUORVEX_CORE_QXSTATUS_H_

#include <string>
#include <utility>

#include "platform/QXExport.h"

// The result of an operation that can fail: OK, or a code with a message.
// Failures travel as values; no exception crosses the library's boundary.
class QX_EXPORT QXStatus {
 public:
  enum class Code { kOk, kCorruption, kInvalidArgument, kIOError, kNotSupported, kTimedOut };

  QXStatus() = default;
  static QXStatus OK() { return QXStatus(); }
  static QXStatus Corruption(std::string message) {
    return {Code::kCorruption, std::move(message)};
  }
  static QXStatus InvalidArgument(std::string message) {
    return {Code::kInvalidArgument, std::move(message)};
  }
  static QXStatus IOError(std::string message) { return {Code::kIOError, std::move(message)}; }
  static QXStatus NotSupported(std::string message) {
    return {Code::kNotSupported, std::move(message)};
  }
  static QXStatus TimedOut(std::string message) { return {Code::kTimedOut, std::move(message)}; }

  bool ok() const { return code_ == Code::kOk; }
  Code code() const { return code_; }
  bool isCorruption() const { return code_ == Code::kCorruption; }
  bool isIOError() const { return code_ == Code::kIOError; }
  const std::string& message() const { return message_; }
  // "OK", or the code's name, ": " and the message.
  std::string toString() const;

 private:
  QXStatus(Code code, std::string message) : code_(code), message_(std::move(message)) {}

  Code code_ = Code::kOk;
  std::string message_;
};

#endif  // QUORVEX_CORE_QXSTATUS_H_
