#ifndef QUORVEX_PLATFORM_QXCOMPONENTREGISTRY_H_
#define QUORVEX_PLATFORM_QXCOMPONENTREGISTRY_H_

#include <string>

#include "platform/QXExport.h"

// Optional components announce themselves here by name, the way a class is
// found by name at run time on platforms that have such a registry. A
// component library typically registers itself from a static initialiser:
//
//   static const bool registered = QXComponentRegistry::add("QXMobilePrivacy");
//
// Thread-safe; names are compared byte for byte.
class QX_EXPORT QXComponentRegistry {
 public:
  // Announces the component `name`; true, so that a static initialiser can
  // hold the result.
  static bool add(const std::string& name);
  // Withdraws the component `name`.
  static void remove(const std::string& name);
  // Whether a component `name` has been announced and not withdrawn.
  static bool contains(const std::string& name);
};

#endif  // QUORVEX_PLATFORM_QXCOMPONENTREGISTRY_H_
