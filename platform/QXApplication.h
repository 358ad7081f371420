#ifndef QUORVEX_PLATFORM_QXAPPLICATION_H_
#define QUORVEX_PLATFORM_QXAPPLICATION_H_

#include "platform/QXExport.h"

// The application's transitions between foreground and background. A host
// application calls these from its own life-cycle handlers (on its main
// thread, as a mobile platform would); each posts the platform's notification
// on the default notification center, on the calling thread, with no sender
// and no user information.

QX_EXPORT extern const char* const UIApplicationDidEnterBackgroundNotification;
QX_EXPORT extern const char* const UIApplicationWillEnterForegroundNotification;

class QX_EXPORT QXApplication {
 public:
  static void didEnterBackground();
  static void willEnterForeground();
};

#endif  // QUORVEX_PLATFORM_QXAPPLICATION_H_
