#include "core/QXUserDefaults.h"

#include "platform/QXPlatform.h"

std::optional<std::string> QXUserDefaults::retrieveInfoFromUserDefaults(const std::string& label) {
  QXStandardUserDefaults* defaults = QXPlatform::current().standardUserDefaults();
  if (defaults == nullptr) return std::nullopt;
  return defaults->objectForKey(label);
}

void QXUserDefaults::saveInfoToUserDefaults(const std::string& info, const std::string& label) {
  QXStandardUserDefaults* defaults = QXPlatform::current().standardUserDefaults();
  if (defaults == nullptr) return;
  defaults->setObject(info, label);
}
