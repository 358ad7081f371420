// quorvex body and quorvex send, run as the built program.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "QXSDK/QXSDKConstants.h"
#include "delivery_support.h"
#include "support/TestSupport.h"
#include "tools/collector/QXCollector.h"

namespace {

using namespace std::chrono_literals;

class QuorvexToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef QUORVEX_TOOL_PATH
    GTEST_SKIP() << "the quorvex tool is not built in this configuration";
#endif
    qxtest::bypassProxiesForLoopback();
  }

  // Runs `quorvex <arguments>` to its end with its data in this test's
  // directory; returns the exit status.
  int run(std::vector<std::string> arguments) {
#ifdef QUORVEX_TOOL_PATH
    arguments.insert(arguments.begin() + 1, {"--data-dir", directory.file("data")});
    arguments.insert(arguments.begin(), QUORVEX_TOOL_PATH);
#endif
    tool = std::make_unique<qxtest::ChildProcess>(arguments, std::vector<std::string>{});
    return tool->wait(30s).value_or(-1);
  }

  std::vector<std::string> outputLines() const {
    std::vector<std::string> lines;
    std::istringstream in(tool->out());
    for (std::string line; std::getline(in, line);)
      lines.push_back(line);
    return lines;
  }

  qxtest::TempDirectory directory;
  std::unique_ptr<qxtest::ChildProcess> tool;
};

TEST_F(QuorvexToolTest, BodyPrintsOneBodyPerHitWithEverySourceInIt) {
  ASSERT_EQ(run({"body", "--hits", "2", "--app-version", "2.0", "--permanent", "user=42", "--app",
                 "event=buy", "--product", "basket:product_id=A1,colour=red", "page=a&b"}),
            0)
      << tool->err();
  const auto bodies = outputLines();
  ASSERT_EQ(bodies.size(), 2u);
  for (const std::string& body : bodies) {
    EXPECT_EQ(qxtest::fieldOf(body, "page"), "a&b");
    EXPECT_EQ(qxtest::fieldOf(body, "user"), "42");
    EXPECT_EQ(qxtest::fieldOf(body, "event"), "buy");
    EXPECT_EQ(qxtest::fieldOf(body, "basket[product_id][0]"), "A1");
    EXPECT_EQ(qxtest::fieldOf(body, "basket[colour][0]"), "red");
    EXPECT_EQ(qxtest::fieldOf(body, "QX_QUORVEX_VERSION"), kQXSDKVersion);
  }
  EXPECT_EQ(qxtest::fieldOf(bodies[0], "QX_FIRST_EXECUTE"), "TRUE");
  EXPECT_EQ(qxtest::fieldOf(bodies[1], "QX_FIRST_EXECUTE"), "FALSE");
  EXPECT_EQ(bodies[0].find("page=a%26b"), bodies[0].find("page="));
}

TEST_F(QuorvexToolTest, TheApplicationLocaleAndScreenComeFromTheFlags) {
  ASSERT_EQ(run({"body", "--locale", "fr_FR", "--screen", "390x844", "--bundle-id", "com.example",
                 "--app-name", "Shop", "--app-build", "77", "page=x"}),
            0)
      << tool->err();
  const auto bodies = outputLines();
  ASSERT_EQ(bodies.size(), 1u);
  const std::pair<const char*, const char*> expected[] = {
      {"QX_LANGUAGE", "fr_FR"},
      {"QX_LANGUAGE_GA", "fr-FR"},
      {"QX_CURRENCY_CODE", "EUR"},
      {"QX_SCREEN", "390x844"},
      {"QX_BUNDLE_IDENTIFIER", "com.example"},
      {"QX_APPLICATION_NAME", "Shop"},
      {"QX_APPLICATION_BUILD", "77"},
  };
  for (const auto& [name, value] : expected) {
    EXPECT_EQ(qxtest::fieldOf(bodies[0], name), value) << name;
  }
}

TEST_F(QuorvexToolTest, ADeactivatedTrackerMakesOnlyConsentHits) {
  ASSERT_EQ(run({"body", "--deactivate", "page=x"}), 0) << tool->err();
  EXPECT_TRUE(outputLines().empty());
  ASSERT_EQ(run({"body", "--deactivate", "--consent", "page=x"}), 0) << tool->err();
  const auto bodies = outputLines();
  ASSERT_EQ(bodies.size(), 1u);
  EXPECT_EQ(qxtest::fieldOf(bodies[0], "CONSENT_HIT"), "1");
  EXPECT_EQ(qxtest::fieldOf(bodies[0], "page"), std::nullopt);
}

TEST_F(QuorvexToolTest, SendDeliversEveryHitAndSucceedsOnlyThen) {
  QXCollector collector;
  ASSERT_TRUE(collector.start().ok());
  ASSERT_EQ(run({"send", "--url", collector.url("/7/"), "--hits", "3", "page=home"}), 0)
      << tool->err();
  EXPECT_NE(tool->out().find("3 hits executed, 3 delivered"), std::string::npos) << tool->out();
  const auto requests = collector.requests();
  ASSERT_EQ(requests.size(), 3u);
  for (const auto& request : requests) {
    EXPECT_EQ(request.target, "/7/");
    EXPECT_EQ(qxtest::fieldOf(request.body, "page"), "home");
  }

  QXCollector::Options refusing;
  refusing.status = 400;
  QXCollector refusingCollector(refusing);
  ASSERT_TRUE(refusingCollector.start().ok());
  EXPECT_EQ(run({"send", "--url", refusingCollector.url("/7/"), "page=home"}), 1);
  EXPECT_NE(tool->out().find("1 dropped"), std::string::npos) << tool->out();
}

TEST_F(QuorvexToolTest, SendGivesUpAfterItsTimeoutWhenNothingAnswers) {
  const std::string url = "http://127.0.0.1:" + std::to_string(qxtest::closedPort()) + "/7/";
  EXPECT_EQ(run({"send", "--url", url, "--timeout", "1", "page=home"}), 1);
  EXPECT_NE(tool->out().find("1 waiting"), std::string::npos) << tool->out();
}

TEST_F(QuorvexToolTest, BadOptionsGiveOneLineAndStatusTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {"body", "--bogus"},          {"body", "--hits"},
      {"body", "--hits", "0"},      {"body", "--site", "12x"},
      {"body", "--product", "A1"},  {"body", "no-equals-sign"},
      {"body", "--timeout", "3"},   {"send", "--timeout", "-1"},
      {"send", "--log-level", "9"}, {"body", "--permanent", "novalue"},
      {"body", "--screen", "390"},  {"body", "--screen", "-1x5"},
  };
  for (const auto& arguments : cases) {
    EXPECT_EQ(run(arguments), 2) << arguments[1];
    EXPECT_EQ(std::count(tool->err().begin(), tool->err().end(), '\n'), 1) << tool->err();
    EXPECT_TRUE(tool->out().empty());
  }
}

}  // namespace
