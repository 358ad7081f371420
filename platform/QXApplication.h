#ifndef QUORVEX_PLATFORM_QXAPPLICATION_H_
#define QUORVEX_PLATFORM_QXAPPLICATION_H_

#include "platform/QXExport.h"

// The application's transitions between foreground and background. A host
// application calls these from its own life-cycle handlers (on its main
// thread, as a mobile platform would); each posts the platform's notification
// on the default notification center, on the calling thread, with no sender
// and no user information.

// The names of the two notifications, as the collection service's mobile
// platforms name them.
QX_EXPORT extern const char* const UIApplicationDidEnterBackgroundNotification;
QX_EXPORT extern const char* const UIApplicationWillEnterForegroundNotification;

// The application's transitions, posted by the host (see the file).
class QX_EXPORT QXApplication {
 public:
  // The application has gone to background: delivery pauses (unless
  // running in background is enabled) and background time is counted.
  static void didEnterBackground();
  // The application is coming back to foreground: delivery goes on, and a
  // stay in background of more than 30 minutes starts a new session.
  static void willEnterForeground();
};

#endif  // QUORVEX_PLATFORM_QXAPPLICATION_H_
