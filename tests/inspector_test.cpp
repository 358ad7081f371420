// The inspector's pieces without threads: the bounded history, the JSON the
// page receives, and the page's files built into the binary.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/collector/QXHitHistory.h"
#include "tools/collector/QXHitJSON.h"
#include "tools/collector/QXPageAssets.h"

namespace {

QXCollector::Request hit(const std::string& body, const std::string& identifier = "") {
  QXCollector::Request request;
  request.method = "POST";
  request.target = "/7/";
  request.body = body;
  if (!identifier.empty()) request.headers.emplace_back("x-quorvex-hit-id", identifier);
  return request;
}

std::vector<std::string> bodies(const std::vector<QXRecordedHit>& hits) {
  std::vector<std::string> out;
  for (const QXRecordedHit& h : hits)
    out.push_back(h.body);
  return out;
}

TEST(HitHistory, KeepsTheLastHitsInOrderAndCountsTheOlderOnesDropped) {
  QXHitHistory history(3);
  for (int n = 0; n < 5; ++n)
    EXPECT_EQ(history.append(hit("n=" + std::to_string(n)), 1000 + n), static_cast<uint64_t>(n));
  std::vector<QXRecordedHit> copied;
  const QXHitHistory::Window window = history.copySince(0, 100, copied);
  EXPECT_EQ(window.first, 2u);
  EXPECT_EQ(window.next, 5u);
  EXPECT_EQ(history.dropped(), 2u);
  EXPECT_EQ(bodies(copied), (std::vector<std::string>{"n=2", "n=3", "n=4"}));
  EXPECT_EQ(copied[0].sequence, 2u);
  EXPECT_EQ(copied[0].receivedMs, 1002);
}

TEST(HitHistory, CopiesFromASequenceNumberAtMostTheLimit) {
  QXHitHistory history(10);
  for (int n = 0; n < 6; ++n)
    history.append(hit("n=" + std::to_string(n)), 0);
  std::vector<QXRecordedHit> copied(9);  // more than is copied: replaced, not appended to
  struct Case {
    uint64_t from;
    size_t limit;
    std::vector<std::string> expected;
  };
  for (const Case& c : std::vector<Case>{{2, 2, {"n=2", "n=3"}},
                                         {4, 10, {"n=4", "n=5"}},
                                         {6, 10, {}},
                                         {99, 10, {}},
                                         {0, 0, {}}}) {
    history.copySince(c.from, c.limit, copied);
    EXPECT_EQ(bodies(copied), c.expected) << c.from << " " << c.limit;
  }
}

TEST(HitHistory, KeepsTheMethodTargetAndHitIdentifierOfEachHit) {
  QXHitHistory history(2);
  history.append(hit("a=1", "ABC-7"), 0);
  history.append(hit("a=2"), 0);
  std::vector<QXRecordedHit> copied;
  history.copySince(0, 10, copied);
  ASSERT_EQ(copied.size(), 2u);
  EXPECT_EQ(copied[0].method, "POST");
  EXPECT_EQ(copied[0].target, "/7/");
  EXPECT_EQ(copied[0].identifier, "ABC-7");
  EXPECT_EQ(copied[1].identifier, "");
}

TEST(HitHistory, ABoundInBytesDropsTheOldestButKeepsTheNewestHowEverLarge) {
  QXHitHistory history(100, 10);
  history.append(hit("aaaa"), 0);
  history.append(hit("bbbb"), 0);
  history.append(hit("cccc"), 0);  // 12 bytes: the first goes
  std::vector<QXRecordedHit> copied;
  EXPECT_EQ(history.copySince(0, 10, copied).first, 1u);
  EXPECT_EQ(bodies(copied), (std::vector<std::string>{"bbbb", "cccc"}));
  history.append(hit(std::string(50, 'x')), 0);
  history.copySince(0, 10, copied);
  EXPECT_EQ(bodies(copied), (std::vector<std::string>{std::string(50, 'x')}));
  EXPECT_EQ(history.dropped(), 3u);
}

std::string json(const std::string& text) {
  std::string out;
  QXAppendJSONString(out, text);
  return out;
}

TEST(HitJSON, TextBecomesAJSONStringOfValidUTF8WithControlsEscaped) {
  struct Case {
    const char* name;
    std::string bytes;
    std::string expected;
  };
  for (const Case& c : std::vector<Case>{
           {"plain", "page=home", "\"page=home\""},
           {"quote and backslash", "a\"b\\c", "\"a\\\"b\\\\c\""},
           {"line break, tab, NUL, DEL", std::string("a\nb\tc\0d\x7f", 8),
            "\"a\\u000ab\\u0009c\\u0000d\\u007f\""},
           {"markup stays text", "<script>x</script>", "\"<script>x</script>\""},
           {"two, three and four bytes", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80",
            "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\""},
           {"bidi override kept as a character", "\xe2\x80\xae", "\"\xe2\x80\xae\""},
           {"lone continuation byte", "a\x80z", "\"a\\ufffdz\""},
           {"overlong slash", "\xc0\xaf", "\"\\ufffd\\ufffd\""},
           {"overlong three bytes", "\xe0\x80\xaf", "\"\\ufffd\\ufffd\\ufffd\""},
           {"surrogate", "\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\""},
           {"past U+10FFFF", "\xf4\x90\x80\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\""},
           {"truncated at the end", "\xe2\x82", "\"\\ufffd\\ufffd\""},
           {"lead byte before ASCII", "\xc3(", "\"\\ufffd(\""},
       }) {
    EXPECT_EQ(json(c.bytes), c.expected) << c.name;
  }
}

TEST(HitJSON, AHitCarriesItsRequestRawBodyAndFieldsDecodedInOrder) {
  QXRecordedHit recorded;
  recorded.sequence = 12;
  recorded.receivedMs = 1796680238615;
  recorded.method = "POST";
  recorded.target = "/7/";
  recorded.identifier = "ID-1";
  recorded.body = "page=a+b&basket%5Bproduct_id%5D%5B0%5D=%3Cimg%3E&page=again&flag";
  std::string out;
  QXAppendHitJSON(out, recorded);
  EXPECT_EQ(out,
            "{\"seq\":12,\"time\":1796680238615,\"method\":\"POST\",\"path\":\"/7/\","
            "\"id\":\"ID-1\",\"size\":64,"
            "\"body\":\"page=a+b&basket%5Bproduct_id%5D%5B0%5D=%3Cimg%3E&page=again&flag\","
            "\"fields\":[[\"page\",\"a b\"],[\"basket[product_id][0]\",\"<img>\"],"
            "[\"page\",\"again\"],[\"flag\",\"\"]]}");
}

TEST(HitJSON, DecodedBytesThatAreNotTextCannotBreakTheLine) {
  QXRecordedHit recorded;
  recorded.body = "a=%0A%0D%FF&%00=1";
  std::string out;
  QXAppendHitJSON(out, recorded);
  EXPECT_EQ(out.find('\n'), std::string::npos);
  EXPECT_NE(out.find("[\"a\",\"\\u000a\\u000d\\ufffd\"],[\"\\u0000\",\"1\"]"), std::string::npos)
      << out;
}

TEST(PageAssets, ThePageLoadsOnlyItsOwnScriptAndStyleSheetServedBesideIt) {
  const QXPageAsset* page = QXFindPageAsset("/");
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(page->contentType, "text/html; charset=utf-8");
  const std::string html(page->bytes);
  EXPECT_NE(html.find("<script src=\"/inspector.js\""), std::string::npos);
  EXPECT_NE(html.find("<link rel=\"stylesheet\" href=\"/inspector.css\">"), std::string::npos);
  EXPECT_EQ(html.find("<script>"), std::string::npos) << "no inline script";
  EXPECT_EQ(html.find("style="), std::string::npos) << "no inline style";
  EXPECT_EQ(html.find("//"), std::string::npos) << "nothing from elsewhere";

  const QXPageAsset* script = QXFindPageAsset("/inspector.js");
  ASSERT_NE(script, nullptr);
  EXPECT_EQ(script->contentType, "text/javascript; charset=utf-8");
  EXPECT_EQ(std::string(script->bytes).find("innerHTML"), std::string::npos);
  const QXPageAsset* style = QXFindPageAsset("/inspector.css");
  ASSERT_NE(style, nullptr);
  EXPECT_EQ(style->contentType, "text/css; charset=utf-8");
  EXPECT_EQ(std::string(style->bytes).find("url("), std::string::npos);

  EXPECT_EQ(QXFindPageAsset("/inspector.html"), nullptr);
  EXPECT_EQ(QXFindPageAsset("/missing.js"), nullptr);
  EXPECT_EQ(QXFindPageAsset(""), nullptr);
}

}  // namespace
