#include "core/QXStatus.h"

std::string QXStatus::toString() const {
  const char* name = "OK";
  switch (code_) {
    case Code::kOk:
      return name;
    case Code::kCorruption:
      name = "Corruption";
      break;
    case Code::kInvalidArgument:
      name = "Invalid argument";
      break;
    case Code::kIOError:
      name = "IO error";
      break;
    case Code::kNotSupported:
      name = "Not supported";
      break;
    case Code::kTimedOut:
      name = "Timed out";
      break;
  }
  return std::string(name) + ": " + message_;
}
