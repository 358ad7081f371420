#include "platform/QXApplication.h"

#include "platform/QXNotificationCenter.h"

const char* const UIApplicationDidEnterBackgroundNotification =
    "UIApplicationDidEnterBackgroundNotification";
const char* const UIApplicationWillEnterForegroundNotification =
    "UIApplicationWillEnterForegroundNotification";

void QXApplication::didEnterBackground() {
  QXNotificationCenter::defaultCenter()->postNotification(
      QXNotification::notificationWithName(UIApplicationDidEnterBackgroundNotification, nullptr));
}

void QXApplication::willEnterForeground() {
  QXNotificationCenter::defaultCenter()->postNotification(
      QXNotification::notificationWithName(UIApplicationWillEnterForegroundNotification, nullptr));
}
