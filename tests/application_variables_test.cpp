#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "QXSDK/QXPredefinedVariables.h"
#include "QXSDK/QXSDKConstants.h"
#include "QXSDK/predefined/QXApplicationVariables.h"
#include "platform/QXFakePlatform.h"

namespace {

// Launches of the application, each running the registry's whole
// initialisation again over the same persisted defaults.
class ApplicationVariablesTest : public ::testing::Test {
 protected:
  void SetUp() override { platform = QXFakePlatform::installNew(); }

  void launch(std::optional<std::string> version) {
    platform->setInfoDictionaryValue(kQXBundleShortVersionStringKey, std::move(version));
    platform->advanceSeconds(3600);
    if (!launched_) {
      launched_ = true;
      QXPredefinedVariables::sharedInstance();
    } else {
      QXPredefinedVariables::sharedInstance().reinit();
    }
  }
  std::string get(const char* key) {
    return QXPredefinedVariables::sharedInstance().getData(key).value_or("<absent>");
  }
  std::string nowMs() {
    return std::to_string(static_cast<uint64_t>(platform->secondsSince1970()) * 1000);
  }

  std::shared_ptr<QXFakePlatform> platform;

 private:
  bool launched_ = false;
};

TEST_F(ApplicationVariablesTest, TheVersionHistoryFollowsTheSequenceAABBAndNone) {
  struct Launch {
    std::optional<std::string> version;
    const char* firstVisitFlag;
    const char* previous;
    bool newFirstVisitTime;  // this launch is the first of its version
  };
  const Launch launches[] = {{"A", "TRUE", "0", true},
                             {"A", "FALSE", "0", false},
                             {"B", "FALSE", "A", true},
                             {"B", "FALSE", "A", false},
                             {std::nullopt, "FALSE", "A", false}};
  std::string firstVisitOfVersion;
  for (size_t i = 0; i < std::size(launches); ++i) {
    const Launch& l = launches[i];
    launch(l.version);
    if (l.newFirstVisitTime) firstVisitOfVersion = nowMs();
    SCOPED_TRACE("launch " + std::to_string(i + 1));
    EXPECT_EQ(get(kQXPredefinedVariable_ApplicationVersion), l.version.value_or(""));
    EXPECT_EQ(get(kQXPredefinedVariable_IsFirstVisit), l.firstVisitFlag);
    EXPECT_EQ(get(kQXPredefinedVariable_ApplicationPreviousVersion), l.previous);
    EXPECT_EQ(get(kQXPredefinedVariable_CurVersionFirstVisitMs), firstVisitOfVersion);
  }
}

TEST_F(ApplicationVariablesTest, AnApplicationWithoutVersionIsAFirstVisitAtEveryLaunch) {
  for (const std::optional<std::string>& version : {std::optional<std::string>(), {""}, {}}) {
    launch(version);
    EXPECT_EQ(get(kQXPredefinedVariable_IsFirstVisit), "TRUE");
    EXPECT_EQ(get(kQXPredefinedVariable_ApplicationVersion), "");
    EXPECT_EQ(get(kQXPredefinedVariable_CurVersionFirstVisitMs), "<absent>");
    EXPECT_EQ(get(kQXPredefinedVariable_ApplicationPreviousVersion), "0");
  }
  EXPECT_EQ(
      platform->standardUserDefaults()->objectForKey(kQXPredefinedVariable_ApplicationVersion),
      std::nullopt);
}

TEST_F(ApplicationVariablesTest, BundleValuesAreTheBundlesAndAMissingBuildIsNotWritten) {
  QXDynamicStore store;
  QXApplicationVariables steps(store, *platform);
  platform->setInfoDictionaryValue(kQXBundleVersionKey, std::nullopt);
  platform->setBundleIdentifier(std::nullopt);
  platform->setInfoDictionaryValue(kQXBundleNameKey, std::string());
  steps.setApplicationBuild();
  steps.setBundleIdentifier();
  steps.setApplicationName();
  EXPECT_EQ(store.getData(kQXPredefinedVariable_ApplicationBuild), std::nullopt);
  EXPECT_EQ(store.getData(kQXPredefinedVariable_BundleID), std::nullopt);
  EXPECT_EQ(store.getData(kQXPredefinedVariable_ApplicationName), "");

  platform->setInfoDictionaryValue(kQXBundleVersionKey, std::string("4711"));
  platform->setBundleIdentifier(std::string("com.example.shop"));
  steps.setApplicationBuild();
  steps.setBundleIdentifier();
  EXPECT_EQ(store.getData(kQXPredefinedVariable_ApplicationBuild), "4711");
  EXPECT_EQ(store.getData(kQXPredefinedVariable_BundleID), "com.example.shop");
}

}  // namespace
