#ifndef QUORVEX_CORE_QXSTATUS_H_
#define QUORVEX_CORE_QXSTATUS_H_

#include <string>
#include <utility>

#include "platform/QXExport.h"

// The result of an operation that can fail: OK, or a code with a message.
// Failures travel as values; no exception crosses the library's boundary.
class QX_EXPORT QXStatus {
 public:
  // What went wrong.
  enum class Code {
    kOk,               // nothing
    kCorruption,       // data that is damaged or not what it claims to be
    kInvalidArgument,  // a caller's value out of its range
    kIOError,          // the operating system refused (the message says why)
    kNotSupported,     // a later format, or something this build cannot do
    kTimedOut,         // the time allowed ran out
  };

  // OK.
  QXStatus() = default;
  // OK.
  static QXStatus OK() { return QXStatus(); }
  // Damaged data, and what is wrong with it.
  static QXStatus Corruption(std::string message) {
    return {Code::kCorruption, std::move(message)};
  }
  // A value out of its range, and which.
  static QXStatus InvalidArgument(std::string message) {
    return {Code::kInvalidArgument, std::move(message)};
  }
  // A refusal of the operating system, and its reason.
  static QXStatus IOError(std::string message) { return {Code::kIOError, std::move(message)}; }
  // Something this build cannot do, and what.
  static QXStatus NotSupported(std::string message) {
    return {Code::kNotSupported, std::move(message)};
  }
  // The time allowed ran out, doing what.
  static QXStatus TimedOut(std::string message) { return {Code::kTimedOut, std::move(message)}; }

  // Whether the operation succeeded.
  bool ok() const { return code_ == Code::kOk; }
  // The code; kOk on success.
  Code code() const { return code_; }
  // Whether the code is kCorruption.
  bool isCorruption() const { return code_ == Code::kCorruption; }
  // Whether the code is kIOError.
  bool isIOError() const { return code_ == Code::kIOError; }
  // The message; empty on success.
  const std::string& message() const { return message_; }
  // "OK", or the code's name, ": " and the message.
  std::string toString() const;

 private:
  QXStatus(Code code, std::string message) : code_(code), message_(std::move(message)) {}

  Code code_ = Code::kOk;
  std::string message_;
};

#endif  // QUORVEX_CORE_QXSTATUS_H_
