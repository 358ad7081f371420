// The README's quick start: the program it shows is examples/quickstart.cpp
// byte for byte, and that program, built as a host builds it, delivers its
// hit with every variable it set to the collector it is given.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "delivery_support.h"
#include "support/TestSupport.h"
#include "tools/collector/QXCollector.h"

namespace {

using namespace std::chrono_literals;

// The first ```cpp block after the heading `heading` of a Markdown text,
// without its fences; empty when there is none.
std::string codeBlockAfter(const std::string& markdown, const std::string& heading) {
  const size_t section = markdown.find("\n" + heading + "\n");
  if (section == std::string::npos) return std::string();
  const std::string open = "\n```cpp\n";
  const size_t start = markdown.find(open, section);
  const size_t next = markdown.find("\n## ", section + 1);
  if (start == std::string::npos || (next != std::string::npos && start > next)) return {};
  const size_t end = markdown.find("\n```\n", start + open.size());
  if (end == std::string::npos) return std::string();
  return markdown.substr(start + open.size(), end + 1 - start - open.size());
}

TEST(QuickstartTest, TheReadmeShowsExamplesQuickstartCppWhole) {
  const std::string readme = qxtest::readFile(QUORVEX_SOURCE_DIR "/README.md");
  const std::string program = qxtest::readFile(QUORVEX_SOURCE_DIR "/examples/quickstart.cpp");
  ASSERT_FALSE(program.empty());
  EXPECT_EQ(codeBlockAfter(readme, "## Quick start"), program);
}

TEST(QuickstartTest, ItsHitArrivesWithEveryVariableItSet) {
#ifndef QUORVEX_QUICKSTART_PATH
  GTEST_SKIP() << "the examples are not built in this configuration";
#else
  qxtest::bypassProxiesForLoopback();
  QXCollector collector;
  ASSERT_TRUE(collector.start().ok());
  qxtest::TempDirectory home;
  // The default data directory is the user's: HOME points into the test's.
  qxtest::ChildProcess run({QUORVEX_QUICKSTART_PATH, collector.url("/7/")},
                           {"HOME=" + home.path(), "XDG_DATA_HOME="});
  ASSERT_EQ(run.wait(30s), 0) << run.err();
  EXPECT_EQ(run.out(), "delivered, 1 sent\n");
  const auto requests = collector.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].target, "/7/");
  const std::vector<std::pair<const char*, const char*> > expected = {
      {"page", "checkout"},
      {"user_id", "42"},
      {"basket[product_id][0]", "SKU-1"},
      {"basket[product_price][0]", "59.90"},
      {"event", "purchase"},
      {"QX_FIRST_EXECUTE", "TRUE"},
  };
  for (const auto& [name, value] : expected) {
    EXPECT_EQ(qxtest::fieldOf(requests[0].body, name), value) << name;
  }

  qxtest::ChildProcess usage({QUORVEX_QUICKSTART_PATH}, {});
  EXPECT_EQ(usage.wait(30s), 2);
#endif
}

}  // namespace
