// The tracker when things fail under it: memory running out anywhere on the
// way of a hit or of a tracker's creation, a platform reading that throws.
// Nothing reaches the host; a hit goes out whole or is refused and counted.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "QXSDK/QXAppVars.h"
#include "QXSDK/QXPredefinedVariables.h"
#include "QXSDK/QXSDKConstants.h"
#include "QXSDK/Quorvex.h"
#include "core/QXCoreConstants.h"
#include "core/QXNetworkManager.h"
#include "platform/QXFakePlatform.h"
#include "support/AllocationFailure.h"
#include "support/TestSupport.h"

namespace {

using qxtest::AllocationFailure;

std::set<std::string> fieldNames(const std::string& body) {
  std::set<std::string> names;
  for (const auto& [name, value] : qxtest::parseBody(body))
    names.insert(name);
  return names;
}

class TrackerFailureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QXFakePlatform::installNew();
    tracker_.emplace(7, 9, center_);
    center_->addObserver(this, kQXNotification_HTTPRequest, [this](const QXNotification& n) {
      AllocationFailure::Pause pause;
      bodies_.push_back(n.userInfo->at(kQXUserInfo_POSTData));
    });
    QXNetworkManager::sharedInstance().setOutcomeCallback([this](const QXHitOutcome& outcome) {
      AllocationFailure::Pause pause;
      refusals_.push_back(outcome.reason);
    });
    appVars_.addData("page", std::string("home é&="));
    fill(*tracker_);
    tracker_->execute(appVars_);
    ASSERT_EQ(bodies_.size(), 1u);
    fullFields_ = fieldNames(bodies_[0]);
    bodies_.clear();
  }
  void TearDown() override {
    QXNetworkManager::sharedInstance().setOutcomeCallback(nullptr);
    center_->removeObserver(this);
  }

  // Variables, permanent data and a product: every store of the body.
  static void fill(Quorvex& tracker) {
    tracker.addData("#hit#", std::string("value"));
    tracker.addPermanentData("#permanent#", std::string("kept"));
    QXProduct product;
    product.setID(std::string("sku-1"));
    product.setPrice(std::string("9.90"));
    tracker.addData("product", product);
  }

  uint64_t dropped() const { return QXNetworkManager::sharedInstance().counters().dropped; }

  // Runs `hit` with the n-th allocation failing, for every n until a run
  // meets no failure. Each run either hands over one whole body or refuses
  // the hit and counts it; nothing of the hit stays for the next one.
  // Returns how many runs refused their hit.
  int failEachAllocationOf(Quorvex& tracker, bool keepFailing) {
    int refused = 0;
    for (long n = 0;; ++n) {
      EXPECT_LT(n, 100000) << "the hit never completed";
      if (n >= 100000) break;
      fill(tracker);
      bodies_.clear();
      refusals_.clear();
      const uint64_t droppedBefore = dropped();
      std::optional<qxtest::LogCapture> log;
      if (!keepFailing) log.emplace();
      AllocationFailure::armAfter(n, keepFailing);
      tracker.execute(appVars_);
      AllocationFailure::disarm();
      const bool failed = AllocationFailure::failures() > 0;
      const uint64_t droppedNow = dropped() - droppedBefore;

      if (!bodies_.empty()) {
        EXPECT_EQ(bodies_.size(), 1u) << "allocation " << n;
        EXPECT_EQ(fieldNames(bodies_[0]), fullFields_) << "allocation " << n;
        EXPECT_EQ(droppedNow, 0u) << "allocation " << n;
      } else {
        EXPECT_TRUE(failed) << "allocation " << n;
        EXPECT_EQ(droppedNow, 1u) << "allocation " << n;
        ++refused;
        if (log) {
          // Told once, with what happened, and without the hit's data.
          const auto errors = log->messagesAt(4);
          EXPECT_FALSE(errors.empty()) << "allocation " << n;
          size_t refusalLines = 0;
          for (const std::string& line : errors) {
            if (line.rfind("A hit was refused: ", 0) == 0) ++refusalLines;
            EXPECT_EQ(line.find("value"), std::string::npos) << line;
          }
          EXPECT_EQ(refusalLines, 1u) << "allocation " << n;
          EXPECT_EQ(refusals_.size(), 1u) << "allocation " << n;
        }
      }
      EXPECT_EQ(tracker.getData("#hit#"), std::nullopt) << "allocation " << n;
      EXPECT_EQ(tracker.numberOfProducts(), 0) << "allocation " << n;
      if (!failed) break;
    }
    return refused;
  }

  std::shared_ptr<QXNotificationCenter> center_ = QXNotificationCenter::create();
  std::optional<Quorvex> tracker_;
  QXAppVars appVars_;
  std::vector<std::string> bodies_;
  std::vector<std::string> refusals_;
  std::set<std::string> fullFields_;
};

TEST_F(TrackerFailureTest, AHitUnderAllocationFailureGoesOutWholeOrIsRefusedAndCounted) {
  for (const bool keepFailing : {false, true}) {
    SCOPED_TRACE(keepFailing ? "every allocation from the n-th fails" : "the n-th fails");
    EXPECT_GT(failEachAllocationOf(*tracker_, keepFailing), 0);
  }
}

// The host's own `new` is not the tracker's to guard; what the tracker
// allocates while it is created is.
TEST_F(TrackerFailureTest, ATrackerCreatedUnderAllocationFailureRefusesOrSendsItsHits) {
  int halfCreated = 0;
  for (long n = 0;; ++n) {
    ASSERT_LT(n, 100000) << "the creation never completed";
    std::optional<Quorvex> tracker;
    AllocationFailure::armAfter(n, /*keepFailing=*/false);
    tracker.emplace(7, 9, center_);
    AllocationFailure::disarm();
    const bool failed = AllocationFailure::failures() > 0;
    if (tracker->senderDelegate() == nullptr) {
      ++halfCreated;
      const uint64_t before = dropped();
      bodies_.clear();
      tracker->execute(appVars_);
      EXPECT_TRUE(bodies_.empty());
      EXPECT_EQ(dropped() - before, 1u) << "allocation " << n;
    }
    if (!failed) break;
  }
  EXPECT_GT(halfCreated, 0);
}

// A platform that throws from one reading costs the variables of that
// reading's step, and nothing else: the registry is initialised, the other
// steps ran, and the error is said at level 4.
class ScreenlessPlatform : public QXFakePlatform {
 public:
  std::optional<QXScreenBounds> mainScreenBounds() override {
    throw std::runtime_error("no display server");
  }
};

TEST(TrackerPlatformFailureTest, AReadingThatThrowsCostsOnlyItsOwnVariables) {
  QXPlatform::install(std::make_shared<ScreenlessPlatform>());
  qxtest::LogCapture log;
  auto center = QXNotificationCenter::create();
  qxtest::NotificationRecorder requests(center, kQXNotification_HTTPRequest);
  Quorvex tracker(7, 9, center);
  // Initialised again, in case an earlier test of this process did it first.
  QXPredefinedVariables& registry = *QXPredefinedVariables::sharedInstance().reinit();
  EXPECT_EQ(registry.getData(kQXPredefinedVariable_ScreenResolution), std::nullopt);
  EXPECT_TRUE(registry.getData(kQXPredefinedVariable_Model).has_value());
  EXPECT_TRUE(registry.getData(kQXPredefinedVariable_CurrencyCode).has_value());
  EXPECT_TRUE(log.contains(4, "setLocalScreen was abandoned: no display server"))
      << ::testing::PrintToString(log.messagesAt(4));
  tracker.sendData();
  EXPECT_EQ(requests.count(), 1u);
}

}  // namespace
