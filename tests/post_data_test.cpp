#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "QXSDK/QXPostData.h"
#include "core/QXDynamicStore.h"
#include "support/TestSupport.h"

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

class PostDataTest : public ::testing::Test {
 protected:
  static QXDynamicStore storeOf(const Entries& entries) {
    QXDynamicStore store;
    for (const auto& [key, value] : entries)
      store.addData(key, value);
    return store;
  }

  static std::string render(const std::vector<Entries>& stores) {
    QXPostData postData;
    for (const Entries& entries : stores)
      postData.insertStore(storeOf(entries));
    return postData.getParameters();
  }
};

TEST_F(PostDataTest, RendersTheWorkedHitByteForByte) {
  EXPECT_EQ(
      render(
          {{{"#QX_EMPTY#", ""}, {"#QX_RAND#", "4711"}, {"page", "home"}, {"#QX_LANGUAGE#", "en"}}}),
      "QX_EMPTY=&QX_RAND=4711&page=home&QX_LANGUAGE=en");
}

TEST_F(PostDataTest, AnEmptyStoreGivesAnEmptyBodyAndLogsNothing) {
  qxtest::LogCapture log;
  QXPostData postData;
  postData.insertStore(nullptr);
  postData.insertStore(QXDynamicStore());
  EXPECT_EQ(postData.getParameters(), "");
  EXPECT_TRUE(log.entries().empty());
}

TEST_F(PostDataTest, EveryEntryIsAFieldWithItsEqualsSignAndNoStraySeparator) {
  EXPECT_EQ(render({{{"a", "b"}}}), "a=b");
  EXPECT_EQ(render({{{"name", ""}}}), "name=");
  EXPECT_EQ(render({{{"", "x"}}}), "=x");
  EXPECT_EQ(render({{{"#", "v"}, {"k", ""}}}), "=v&k=");
}

TEST_F(PostDataTest, HashesLeaveNamesWhereverTheyStandButNeverValues) {
  EXPECT_EQ(render({{{"#QX_RAND#", "1"}, {"a#b", "2"}, {"##c##", "#QX_EMPTY#"}}}),
            "QX_RAND=1&ab=2&c=%23QX_EMPTY%23");
  // Two keys that differ only in their "#"s stay two fields of one name.
  EXPECT_EQ(render({{{"#page#", "1"}, {"page", "2"}}}), "page=1&page=2");
}

TEST_F(PostDataTest, NoKeyOrValueHasAMeaningOfItsOwn) {
  EXPECT_EQ(render({{{"#QX_EMPTY_VARIABLE_REMOVE_EQUAL#", ""}, {"basket[product_id][0]", "A1"}}}),
            "QX_EMPTY_VARIABLE_REMOVE_EQUAL=&basket%5Bproduct_id%5D%5B0%5D=A1");
}

TEST_F(PostDataTest, SeparatorsInsideNamesAndValuesAreEncoded) {
  EXPECT_EQ(render({{{"a&b=c", "x=y&z"}, {"sp ace+", std::string("%\0\xFF", 3)}}}),
            "a%26b%3Dc=x%3Dy%26z&sp%20ace%2B=%25%00%FF");
}

TEST_F(PostDataTest, TheLaterStoreWinsAndARewrittenKeyKeepsItsFirstPlace) {
  EXPECT_EQ(render({{{"z", "1"}, {"a", "2"}}, {}, {{"m", "3"}, {"z", "9"}}}), "z=9&a=2&m=3");
}

TEST_F(PostDataTest, RenderingTwiceGivesTheSameBodyAndLeavesTheStoreAsItWas) {
  QXPostData postData;
  postData.insertStore(storeOf({{"#b#", "1 2"}, {"a", "&"}}));
  const QXDynamicStore before = postData.dynamicStore();
  const std::string body = postData.getParameters();
  EXPECT_EQ(postData.getParameters(), body);
  EXPECT_EQ(postData.dynamicStore(), before);
}

// Stores of arbitrary bytes, keys shared between them, rendered and read
// back: every merged entry comes back once, in order, with its exact bytes,
// and nothing else does.
TEST_F(PostDataTest, AnyBytesComeBackFieldByFieldFromTheBody) {
  std::mt19937 random(20241207);
  const std::string alphabet = std::string("#&=+% aZ09-._~/?[]\0", 19) + "\xFF\xC3\xA9\x80\n";
  auto text = [&](size_t maxLength) {
    std::string result(random() % (maxLength + 1), '\0');
    for (char& c : result)
      c = alphabet[random() % alphabet.size()];
    return result;
  };
  for (int round = 0; round < 300; ++round) {
    std::vector<std::string> keyPool(1 + random() % 12);
    for (std::string& key : keyPool)
      key = text(6);
    std::vector<Entries> stores(random() % 5);
    Entries merged;  // the expected entries, last write wins in place
    for (Entries& store : stores) {
      for (size_t n = random() % 10; n > 0; --n) {
        const std::string key = keyPool[random() % keyPool.size()];
        const std::string value = text(12);
        store.emplace_back(key, value);
      }
      for (const auto& written : store) {
        auto at = std::find_if(merged.begin(), merged.end(),
                               [&](const auto& entry) { return entry.first == written.first; });
        if (at == merged.end()) {
          merged.push_back(written);
        } else {
          at->second = written.second;
        }
      }
    }
    Entries expected;
    for (auto [key, value] : merged) {
      key.erase(std::remove(key.begin(), key.end(), '#'), key.end());
      expected.emplace_back(key, value);
    }
    const std::string body = render(stores);
    ASSERT_EQ(body.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                     "0123456789-._~%&="),
              std::string::npos)
        << body;
    ASSERT_TRUE(qxtest::everyFieldIsOneNameAndOneValue(body)) << body;
    ASSERT_EQ(qxtest::parseBody(body), expected) << "round " << round << ": " << body;
  }
}

}  // namespace
