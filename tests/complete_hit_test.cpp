#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "QXSDK/QXPredefinedVariables.h"
#include "QXSDK/QXSDKConstants.h"
#include "QXSDK/Quorvex.h"
#include "core/QXNetworkManager.h"
#include "platform/QXFakePlatform.h"
#include "support/TestSupport.h"

namespace {

// The field name of a predefined variable: its key without the "#"s.
std::string field(const char* key) {
  const std::string k = key;
  return k.substr(1, k.size() - 2);
}

class CompleteHitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform = QXFakePlatform::installNew();
    requests = std::make_unique<qxtest::NotificationRecorder>(QXNotificationCenter::defaultCenter(),
                                                              kQXNotification_HTTPRequest);
  }
  std::string hit(Quorvex& tracker) {
    tracker.addData("page", std::string("home"));
    tracker.sendData();
    return requests->received().back().userInfo->at(kQXUserInfo_POSTData);
  }

  std::shared_ptr<QXFakePlatform> platform;
  std::unique_ptr<qxtest::NotificationRecorder> requests;
};

TEST_F(CompleteHitTest, TheFirstHitOfANewInstallationCarriesEveryPredefinedField) {
  Quorvex tracker(410501, 7);
  std::set<std::string> fields;
  for (const auto& [name, value] : qxtest::parseBody(hit(tracker))) {
    if (name.rfind("QX_", 0) == 0) fields.insert(name);
  }
  // Among them the device, locale and application fields, which no other
  // step writes.
  const char* const launchSteps[] = {kQXPredefinedVariable_Charset,
                                     kQXPredefinedVariable_ScreenResolution,
                                     kQXPredefinedVariable_Model,
                                     kQXPredefinedVariable_SystemVersion,
                                     kQXPredefinedVariable_SystemName,
                                     kQXPredefinedVariable_Language,
                                     kQXPredefinedVariable_LanguageCS,
                                     kQXPredefinedVariable_LanguageGA,
                                     kQXPredefinedVariable_IP,
                                     kQXPredefinedVariable_BundleID,
                                     kQXPredefinedVariable_ApplicationName,
                                     kQXPredefinedVariable_ApplicationBuild,
                                     kQXPredefinedVariable_ApplicationVersion,
                                     kQXPredefinedVariable_CurVersionFirstVisitMs,
                                     kQXPredefinedVariable_JailBroken,
                                     kQXPredefinedVariable_Device,
                                     kQXPredefinedVariable_ModelAndVersion,
                                     kQXPredefinedVariable_CurrencyCode,
                                     kQXPredefinedVariable_CurrencySymbol};
  for (const char* key : launchSteps) {
    EXPECT_EQ(fields.count(field(key)), 1u) << field(key) << " is missing";
  }
  EXPECT_EQ(fields.size(), 66u);
}

TEST_F(CompleteHitTest, WhateverThePlatformAnswersTheBodyStaysWellFormed) {
  const std::string huge(1 << 20, 'v');
  struct Case {
    const char* what;
    std::function<void(QXFakePlatform&)> set;
    const char* key;
    std::string expected;  // what the hit says under `key`
  };
  const Case cases[] = {
      {"machine that is not UTF-8", [](QXFakePlatform& p) { p.setMachine("\xFF\xFEx"); },
       kQXPredefinedVariable_Device, "\xEF\xBF\xBD\xEF\xBF\xBDx"},
      {"locale of bytes", [](QXFakePlatform& p) { p.setLocaleIdentifier("\xC3(_\xFF&=#"); },
       kQXPredefinedVariable_LanguageGA, "\xC3(-\xFF&=#"},
      {"empty bundle values",
       [](QXFakePlatform& p) {
         p.setBundleIdentifier(std::string());
         p.setInfoDictionaryValue(kQXBundleNameKey, std::string());
       },
       kQXPredefinedVariable_BundleID, ""},
      {"1 MB bundle values",
       [&](QXFakePlatform& p) {
         p.setBundleIdentifier(huge);
         p.setInfoDictionaryValue(kQXBundleShortVersionStringKey, huge);
         p.setInfoDictionaryValue(kQXBundleVersionKey, huge);
       },
       kQXPredefinedVariable_ApplicationVersion, huge},
      {"empty device texts", [](QXFakePlatform& p) { p.setDevice(QXDeviceInfo{}); },
       kQXPredefinedVariable_ModelAndVersion, ""},
      {"screen of NaN",
       [](QXFakePlatform& p) {
         p.setScreen(QXScreenBounds{std::nan(""), -1e300});
       },
       kQXPredefinedVariable_ScreenResolution, "0x-2147483648"},
      {"interface listing fails", [](QXFakePlatform& p) { p.setInterfaceListingFails(true); },
       kQXPredefinedVariable_IP, ""}};
  Quorvex tracker(1, 2);
  // Megabytes of bundle values make hits larger than delivery takes by
  // default; what is checked here is the body.
  QXDeliveryOptions options = QXNetworkManager::sharedInstance().options();
  options.maxHitBytes = 16 * 1024 * 1024;
  QXNetworkManager::sharedInstance().setOptions(options);
  for (const Case& c : cases) {
    c.set(*platform);
    QXPredefinedVariables::sharedInstance().reinit();
    const std::string body = hit(tracker);
    // Only unreserved characters, escapes and the two separators; every
    // field one name and one value.
    EXPECT_EQ(body.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                     "0123456789-._~%&="),
              std::string::npos)
        << c.what;
    EXPECT_TRUE(qxtest::everyFieldIsOneNameAndOneValue(body)) << c.what;
    EXPECT_EQ(qxtest::fieldOf(body, field(c.key)), c.expected) << c.what;
  }
}

}  // namespace
