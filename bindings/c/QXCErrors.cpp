#include "bindings/c/QXCErrors.h"

#include <cstdlib>
#include <cstring>

#include "platform/QXUTF8.h"

namespace {

constexpr size_t kMessageCapacity = 512;

// Plain bytes: no constructor or destructor runs for a thread's buffer.
thread_local char tLastError[kMessageCapacity];
thread_local int tLastErrorCode = QX_OK;

// Appends `text` to the buffer at `*used`, cut before a UTF-8 sequence that
// would not fit whole.
void append(std::string_view text, size_t* used) noexcept {
  size_t room = kMessageCapacity - 1 - *used;
  if (text.size() > room) {
    while (room > 0 && (static_cast<unsigned char>(text[room]) & 0xC0) == 0x80)
      --room;
    text = text.substr(0, room);
  }
  std::memcpy(tLastError + *used, text.data(), text.size());
  *used += text.size();
}

std::string describeLength(size_t length) {
  return std::to_string(length) + " bytes, more than QX_MAX_TEXT_LENGTH";
}

std::string checked(const char* name, std::string_view text) {
  if (text.size() > QX_MAX_TEXT_LENGTH)
    throw QXCError(QX_E_TOO_LARGE, std::string(name) + " has " + describeLength(text.size()));
  const size_t invalid = QXFirstInvalidUTF8(text);
  if (invalid != std::string_view::npos) {
    throw QXCError(QX_E_ENCODING,
                   std::string(name) + " is not UTF-8 (byte " + std::to_string(invalid) + ")");
  }
  return std::string(text);
}

}  // namespace

int QXCFail(int code, const char* function, std::string_view message) noexcept {
  size_t used = 0;
  append(function, &used);
  append(": ", &used);
  append(message, &used);
  tLastError[used] = '\0';
  tLastErrorCode = code;
  return code;
}

void QXCSucceed() noexcept {
  tLastError[0] = '\0';
  tLastErrorCode = QX_OK;
}

const char* QXCLastError() noexcept {
  return tLastError;
}

std::string QXCText(const char* name, const char* text) {
  QXCRequire(text, name);
  // Bounded, so that a string without its NUL is not read to the end of
  // memory when it is longer than any the SDK takes.
  const size_t length = ::strnlen(text, QX_MAX_TEXT_LENGTH + 1);
  if (length > QX_MAX_TEXT_LENGTH) {
    throw QXCError(QX_E_TOO_LARGE, std::string(name) + " is longer than QX_MAX_TEXT_LENGTH");
  }
  return checked(name, std::string_view(text, length));
}

std::string QXCText(const char* name, const char* text, size_t length) {
  if (text == nullptr && length == 0) return std::string();
  QXCRequire(text, name);
  if (length > QX_MAX_TEXT_LENGTH)
    throw QXCError(QX_E_TOO_LARGE, std::string(name) + " has " + describeLength(length));
  return checked(name, std::string_view(text, length));
}

std::string QXCNonEmptyText(const char* name, const char* text) {
  std::string checkedText = QXCText(name, text);
  if (checkedText.empty()) throw QXCError(QX_E_INVALID_ARGUMENT, std::string(name) + " is empty");
  return checkedText;
}

void QXCReturnText(std::string_view text, char** out, size_t* length) {
  QXCRequire(out, "the result pointer");
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy == nullptr) throw std::bad_alloc();
  if (!text.empty()) std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  *out = copy;
  if (length != nullptr) *length = text.size();
}

void QXCRequire(const void* pointer, const char* name) {
  if (pointer == nullptr) throw QXCError(QX_E_INVALID_ARGUMENT, std::string(name) + " is NULL");
}

extern "C" {

QX_API const char* qx_last_error(void) {
  return QXCLastError();
}

QX_API int qx_last_error_code(void) {
  return tLastErrorCode;
}

QX_API const char* qx_strerror(int code) {
  switch (code) {
    case QX_OK:
      return "QX_OK";
    case QX_E_INVALID_ARGUMENT:
      return "QX_E_INVALID_ARGUMENT";
    case QX_E_INVALID_HANDLE:
      return "QX_E_INVALID_HANDLE";
    case QX_E_ENCODING:
      return "QX_E_ENCODING";
    case QX_E_TOO_LARGE:
      return "QX_E_TOO_LARGE";
    case QX_E_NO_MEMORY:
      return "QX_E_NO_MEMORY";
    case QX_E_BAD_URL:
      return "QX_E_BAD_URL";
    case QX_E_STATE:
      return "QX_E_STATE";
    case QX_E_CORRUPT:
      return "QX_E_CORRUPT";
    case QX_E_NOT_SUPPORTED:
      return "QX_E_NOT_SUPPORTED";
    case QX_E_INTERNAL:
      return "QX_E_INTERNAL";
    default:
      return code > 0 ? "a positive result" : "an unknown error code";
  }
}

}  // extern "C"
