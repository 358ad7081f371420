#ifndef QUORVEX_CORE_QXSINGLETON_H_
#define QUORVEX_CORE_QXSINGLETON_H_

#include "platform/QXExport.h"

// Base of the process-wide singletons. sharedInstance() creates the object
// and sends it init() exactly once per process, also when several threads
// ask at the same moment (they wait for the first to finish); later calls
// return the same object. The object is never destroyed, so it stays usable
// while the process exits, whatever the order of static destruction.
//
// sharedInstance() is defined in the library only, once for each singleton
// class (core/QXSingletonInstance.h): were it inline, a host linking the
// shared library would make an object of its own next to the library's.
//
// T must be default-constructible by QXSingleton<T> and have an init().
// init() must not call T::sharedInstance() on the same thread.
template <typename T>
class QX_EXPORT QXSingleton {
 public:
  // The one object of T, created and initialised by the first call.
  static T& sharedInstance();

  QXSingleton(const QXSingleton&) = delete;
  QXSingleton& operator=(const QXSingleton&) = delete;

 protected:
  QXSingleton() = default;
  ~QXSingleton() = default;

  // The base initialisation of a singleton. Nothing can fail here; derived
  // classes keep the test of its result so that their own steps stay in
  // their documented order.
  bool initSingleton() { return true; }
};

#endif  // QUORVEX_CORE_QXSINGLETON_H_
