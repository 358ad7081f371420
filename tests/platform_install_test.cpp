// Installing the platform after the SDK has started reading it: the C++ API
// installs and says once what it cannot change any more, the C API refuses,
// and both count the same moment, whichever API started the SDK. Each case
// runs in a process of its own, so each starts before that moment.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "QXSDK/Quorvex.h"
#include "bindings/c/quorvex.h"
#include "core/QXNetworkManager.h"
#include "platform/QXFakePlatform.h"
#include "platform/QXPlatformLog.h"
#include "support/TestSupport.h"

namespace {

constexpr const char* kLateInstall = "QXPlatform::install after the first tracker";

class PlatformInstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    first = QXFakePlatform::installNew();
    first->setDataDirectory(directory.path());
    QXSetPlatformErrorSink([this](const std::string& message) {
      std::lock_guard<std::mutex> lock(mutex);
      reports.push_back(message);
    });
  }
  void TearDown() override { QXSetPlatformErrorSink(nullptr); }

  // Reports reach this sink until the core starts, the log at level 4 after
  // (the core connects the platform's reports to it).
  std::vector<std::string> lateInstallReports() {
    std::vector<std::string> all = log.messagesAt(4);
    {
      std::lock_guard<std::mutex> lock(mutex);
      all.insert(all.end(), reports.begin(), reports.end());
    }
    std::vector<std::string> late;
    for (const std::string& report : all) {
      if (report.find(kLateInstall) != std::string::npos) late.push_back(report);
    }
    return late;
  }

  qxtest::TempDirectory directory;
  qxtest::LogCapture log;
  std::shared_ptr<QXFakePlatform> first;
  std::mutex mutex;
  std::vector<std::string> reports;
};

TEST_F(PlatformInstallTest, InstallingAgainBeforeTheSDKStartsSaysNothing) {
  QXFakePlatform::installNew();
  EXPECT_TRUE(lateInstallReports().empty());
  EXPECT_EQ(qx_platform_install_linux(directory.path().c_str(), "com.example.app"), QX_OK);
}

// Each way the SDK starts reading the platform, whichever API, then an
// install in each API.
struct Start {
  const char* name;
  void (*start)();
};

const Start kStarts[] = {
    {"a tracker", [] { Quorvex tracker(1, 2); }},
    {"the delivery", [] { QXNetworkManager::sharedInstance().counters(); }},
    {"a C tracker", [] { qx_tracker_free(qx_tracker_new(1, 2)); }},
};

class PlatformInstallStartTest : public PlatformInstallTest,
                                 public ::testing::WithParamInterface<Start> {};

TEST_P(PlatformInstallStartTest, EachStartAloneMakesALaterInstallLate) {
  GetParam().start();
  QXFakePlatform::installNew();
  const std::vector<std::string> late = lateInstallReports();
  ASSERT_EQ(late.size(), 1u);
  EXPECT_NE(late[0].find("the data directory with the outbox"), std::string::npos);
  EXPECT_EQ(qx_platform_install_linux(directory.path().c_str(), "com.example.app"), QX_E_STATE);
  EXPECT_NE(std::string(qx_last_error()).find("before the first tracker"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Starts, PlatformInstallStartTest, ::testing::ValuesIn(kStarts),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           for (char& c : name) {
                             if (c == ' ') c = '_';
                           }
                           return name;
                         });

}  // namespace
