#ifndef QUORVEX_BINDINGS_C_QXCSTRUCTS_H_
#define QUORVEX_BINDINGS_C_QXCSTRUCTS_H_

// The C API's structures that may grow start with their size, as the caller
// was compiled with it. A caller built against an older header passes a
// smaller one, a newer header a larger one; these read and write what both
// sides know. `oldestSize` is the size of the structure's first version,
// the least a caller can pass.

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>

#include "bindings/c/QXCErrors.h"

// The caller's structure: the fields it has, the others as `defaults` has
// them. Fields past this library's that are not 0 are features it lacks:
// QX_E_NOT_SUPPORTED.
template <typename Struct>
Struct QXCReadSized(const Struct* in, const Struct& defaults, size_t oldestSize, const char* name) {
  QXCRequire(in, name);
  const size_t size = in->size;
  if (size < oldestSize) {
    throw QXCError(QX_E_INVALID_ARGUMENT, std::string(name) + "->size is " + std::to_string(size) +
                                              ", less than any version's");
  }
  const auto* bytes = reinterpret_cast<const unsigned char*>(in);
  if (size > sizeof(Struct) &&
      std::any_of(bytes + sizeof(Struct), bytes + size, [](unsigned char b) { return b != 0; })) {
    throw QXCError(QX_E_NOT_SUPPORTED,
                   std::string(name) + " sets fields that this version of the library lacks");
  }
  Struct result = defaults;
  std::memcpy(&result, in, std::min(size, sizeof(Struct)));
  result.size = sizeof(Struct);
  return result;
}

// Writes `value` into the caller's structure up to its size; fields past
// this library's become 0. The caller's size stays.
template <typename Struct>
void QXCWriteSized(Struct* out, Struct value, size_t oldestSize, const char* name) {
  QXCRequire(out, name);
  const size_t size = out->size;
  if (size < oldestSize) {
    throw QXCError(QX_E_INVALID_ARGUMENT, std::string(name) + "->size is " + std::to_string(size) +
                                              ", less than any version's");
  }
  value.size = size;
  auto* bytes = reinterpret_cast<unsigned char*>(out);
  std::memcpy(bytes, &value, std::min(size, sizeof(Struct)));
  if (size > sizeof(Struct)) std::memset(bytes + sizeof(Struct), 0, size - sizeof(Struct));
}

#endif  // QUORVEX_BINDINGS_C_QXCSTRUCTS_H_
