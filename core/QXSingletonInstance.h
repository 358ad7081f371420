#ifndef QUORVEX_CORE_QXSINGLETONINSTANCE_H_
#define QUORVEX_CORE_QXSINGLETONINSTANCE_H_

#include "core/QXSingleton.h"

// The definition of QXSingleton<T>::sharedInstance(), for the one source file
// of each room that instantiates it explicitly for that room's singletons
// (core/QXCoreSingletons.cpp, QXSDK/QXSDKSingletons.cpp).
template <typename T>
T& QXSingleton<T>::sharedInstance() {
  // An init() that throws leaves nothing behind (the destructor undoes
  // what it did) and the next call tries again.
  static T* const instance = [] {
    T* object = new T();
    try {
      object->init();
    } catch (...) {
      delete object;
      throw;
    }
    return object;
  }();
  return *instance;
}

#endif  // QUORVEX_CORE_QXSINGLETONINSTANCE_H_
