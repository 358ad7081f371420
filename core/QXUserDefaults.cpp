#include "core/QXUserDefaults.h"

#include "platform/QXPlatform.h"

std::optional<std::string> QXUserDefaults::retrieveInfoFromUserDefaults(const std::string& label) {
  return retrieveInfoFromUserDefaults(label, QXPlatform::current());
}

void QXUserDefaults::saveInfoToUserDefaults(const std::string& info, const std::string& label) {
  saveInfoToUserDefaults(info, label, QXPlatform::current());
}

std::optional<std::string> QXUserDefaults::retrieveInfoFromUserDefaults(const std::string& label,
                                                                        QXPlatform& platform) {
  QXStandardUserDefaults* defaults = platform.standardUserDefaults();
  if (defaults == nullptr) return std::nullopt;
  return defaults->objectForKey(label);
}

void QXUserDefaults::saveInfoToUserDefaults(const std::string& info, const std::string& label,
                                            QXPlatform& platform) {
  QXStandardUserDefaults* defaults = platform.standardUserDefaults();
  if (defaults == nullptr) return;
  defaults->setObject(info, label);
}
