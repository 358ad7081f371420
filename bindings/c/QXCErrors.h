#ifndef QUORVEX_BINDINGS_C_QXCERRORS_H_
#define QUORVEX_BINDINGS_C_QXCERRORS_H_

// How a function of the C API fails: each body runs inside QXCRun, which
// turns what it throws into a result code and this thread's last error,
// so that nothing thrown ever reaches C. Argument checks throw QXCError; the
// SDK's own exceptions (memory running out) are caught the same way.
//
// The last error is a fixed buffer per thread: setting it never allocates,
// so that "out of memory" can still be said.

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>

#include "bindings/c/quorvex.h"
#include "core/QXGuard.h"

// A failure with its code and message; thrown by the checks below.
class QXCError {
 public:
  QXCError(int code, std::string message) : code_(code), message_(std::move(message)) {}
  int code() const { return code_; }
  const std::string& message() const { return message_; }

 private:
  int code_;
  std::string message_;
};

// Sets this thread's last error to "<function>: <message>" (cut to the
// buffer on a character boundary) and returns `code`.
int QXCFail(int code, const char* function, std::string_view message) noexcept;
// Sets it to "".
void QXCSucceed() noexcept;
// The message; never null.
const char* QXCLastError() noexcept;

// Runs `body` (returning an int result, at least 0) for the C function
// `function`: its result on success, else the failure's code with its message.
template <typename Body>
int QXCRun(const char* function, Body&& body) noexcept {
  try {
    const int result = body();
    QXCSucceed();
    return result;
  } catch (const QXCError& error) {
    return QXCFail(error.code(), function, error.message());
  } catch (const std::bad_alloc&) {
    return QXCFail(QX_E_NO_MEMORY, function, "out of memory");
  } catch (...) {
    return QXCFail(QX_E_INTERNAL, function, QXCurrentExceptionText());
  }
}

// A string argument as the SDK keeps it: `text` NUL-terminated, or of
// `length` bytes for the _n functions. Throws QXCError when it is NULL (a
// NULL of length 0 is the empty text), longer than QX_MAX_TEXT_LENGTH or not
// UTF-8; `name` names the argument in the message.
std::string QXCText(const char* name, const char* text);
std::string QXCText(const char* name, const char* text, size_t length);
// The same for a text that must not be empty either (a key, a path).
std::string QXCNonEmptyText(const char* name, const char* text);

// A string handed to the caller through `*out` (and its length through
// `*length` when not null): allocated with malloc, NUL-terminated.
void QXCReturnText(std::string_view text, char** out, size_t* length);
// Throws QXCError(QX_E_INVALID_ARGUMENT) when `pointer` is null.
void QXCRequire(const void* pointer, const char* name);

#endif  // QUORVEX_BINDINGS_C_QXCERRORS_H_
