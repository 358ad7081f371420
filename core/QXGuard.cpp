#include "core/QXGuard.h"

#include <exception>
#include <string>

#include "core/QXLogger.h"

const char* QXCurrentExceptionText() noexcept {
  try {
    throw;
  } catch (const std::exception& error) {
    return error.what();
  } catch (...) {
    return "an exception that is no std::exception";
  }
}

void QXReportAbandoned(const char* operation) noexcept {
  const char* what = QXCurrentExceptionText();
  try {
    QXLogger::sharedInstance().logMessage(std::string(operation) + " was abandoned: " + what, 4);
  } catch (...) {
    // Not even the line could be built: memory is out, and the caller has
    // dropped what it could not finish.
  }
}
