// getParameters() under allocation failure: the n-th allocation from now
// throws std::bad_alloc, once or from then on.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>

#include "QXSDK/QXPostData.h"
#include "core/QXDynamicStore.h"
#include "core/QXLogger.h"
#include "support/AllocationFailure.h"
#include "support/TestSupport.h"

namespace {

using qxtest::AllocationFailure;

class PostDataAllocationFailureTest : public ::testing::Test {
 protected:
  // Values that triple when encoded and keys of growing length: the body
  // outgrows its first buffer several times on the way.
  PostDataAllocationFailureTest() {
    QXDynamicStore store;
    for (int i = 0; i < 40; ++i) {
      store.addData("#key_" + std::string(static_cast<size_t>(i), 'k') + "#",
                    std::string(static_cast<size_t>(10 + i), '\xFF'));
    }
    postData_.insertStore(store);
    fullBody_ = postData_.getParameters();
  }

  // A cut body is the full body up to the field that failed: its whole
  // fields and, when the failing field was not the first, the "&" already
  // written ahead of it.
  bool isCutBeforeAField(const std::string& body) const {
    if (fullBody_.compare(0, body.size(), body) != 0) return false;
    return body.empty() || body.back() == '&';
  }

  QXPostData postData_;
  std::string fullBody_;
};

TEST_F(PostDataAllocationFailureTest, AFailureAnywhereCutsTheBodyAtAFieldAndLogsTwice) {
  int cutInsideTheBody = 0;
  for (long n = 0;; ++n) {
    ASSERT_LT(n, 10000) << "getParameters never completed";
    qxtest::LogCapture log;
    AllocationFailure::armAfter(n, /*keepFailing=*/false);
    const std::string body = postData_.getParameters();
    AllocationFailure::disarm();
    if (AllocationFailure::failures() == 0) {
      EXPECT_EQ(body, fullBody_);
      EXPECT_TRUE(log.messagesAt(4).empty());
      break;
    }
    ASSERT_LT(body.size(), fullBody_.size()) << "allocation " << n;
    ASSERT_TRUE(isCutBeforeAField(body)) << "allocation " << n << ": " << body;
    if (!body.empty()) ++cutInsideTheBody;
    // The error level says what failed and how large the hit was; its data
    // only goes out at the level of hit data.
    const auto errors = log.messagesAt(4);
    ASSERT_EQ(errors.size(), 2u) << "allocation " << n;
    EXPECT_NE(errors[0].find("a store of 40 entries"), std::string::npos) << errors[0];
    EXPECT_EQ(errors[0].find("\\xFF"), std::string::npos) << errors[0];
    EXPECT_EQ(errors[1], "Error encoding parameters: std::bad_alloc");
    const auto data = log.messagesAt(0);
    ASSERT_EQ(data.size(), 1u) << "allocation " << n;
    EXPECT_NE(data[0].find("\"#key_#\" = \"\\xFF"), std::string::npos) << data[0];
  }
  EXPECT_GT(cutInsideTheBody, 0);
}

TEST_F(PostDataAllocationFailureTest, NothingEscapesWhenLoggingCannotAllocateEither) {
  for (long n = 0;; ++n) {
    ASSERT_LT(n, 10000) << "getParameters never completed";
    qxtest::LogCapture log;
    AllocationFailure::armAfter(n, /*keepFailing=*/true);
    const std::string body = postData_.getParameters();
    AllocationFailure::disarm();
    if (AllocationFailure::failures() == 0) break;
    EXPECT_TRUE(isCutBeforeAField(body)) << body;
    EXPECT_TRUE(log.messagesAt(4).empty());
  }
}

TEST_F(PostDataAllocationFailureTest, ASinkThatThrowsDoesNotLetTheErrorOut) {
  QXLogger::sharedInstance().setSink(
      [](int, const std::string&) { throw std::runtime_error("sink failed"); });
  AllocationFailure::armAfter(0, /*keepFailing=*/false);
  const std::string body = postData_.getParameters();
  AllocationFailure::disarm();
  QXLogger::sharedInstance().setSink(nullptr);
  EXPECT_EQ(AllocationFailure::failures(), 1);
  EXPECT_TRUE(isCutBeforeAField(body));
}

}  // namespace
