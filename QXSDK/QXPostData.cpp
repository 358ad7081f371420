#include "QXSDK/QXPostData.h"

#include <exception>

#include "core/QXLogger.h"
#include "core/QXURLEncodedString.h"

QXPostData::QXPostData() = default;

void QXPostData::insertStore(const QXDynamicStore* store) {
  if (store == nullptr) return;
  dynamicStore_.addData(*store);
}

std::string QXPostData::getParameters() const {
  std::string body;
  try {
    bool first = true;
    std::string name;
    dynamicStore_.forEach([&](std::string_view key, std::string_view value) {
      if (!first) body.push_back('&');
      first = false;
      name.clear();
      for (char c : key) {
        if (c != '#') name.push_back(c);
      }
      QXAppendURLEncoded(body, name);
      body.push_back('=');
      QXAppendURLEncoded(body, value);
    });
  } catch (const std::exception& error) {
    QXLogger::sharedInstance().logMessage(
        "Error encoding parameters: " + dynamicStore_.description(), 4);
    QXLogger::sharedInstance().logMessage(std::string("Error encoding parameters: ") + error.what(),
                                          4);
  } catch (...) {
    QXLogger::sharedInstance().logMessage(
        "Error encoding parameters: " + dynamicStore_.description(), 4);
    QXLogger::sharedInstance().logMessage("Error encoding parameters: unknown exception", 4);
  }
  return body;
}
