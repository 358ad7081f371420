#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "QXSDK/QXAppVars.h"
#include "QXSDK/QXPostData.h"
#include "QXSDK/QXProduct.h"
#include "QXSDK/QXSDKConstants.h"
#include "bindings/c/quorvex.h"
#include "core/QXDynamicStore.h"
#include "tools/collector/QXFormFields.h"

namespace {

using Keys = std::vector<std::string>;

QXProduct productWithID(const std::string& id) {
  QXProduct product;
  product.setID(id);
  return product;
}

// ---------------------------------------------------------------------------
// The store operations, products and description.

class AppVarsTest : public ::testing::Test {
 protected:
  static Keys keysOf(const QXAppVars& appVars) { return appVars.dynamicStore()->orderedKeys(); }
};

TEST_F(AppVarsTest, StartsEmptyOrWithEveryEntryOfTheDictionary) {
  EXPECT_TRUE(QXAppVars().dynamicStore()->empty());
  const QXAppVars appVars(std::map<std::string, std::string>{{"b", "2"}, {"#a#", ""}});
  EXPECT_EQ(appVars.getData("#a#"), "");
  EXPECT_EQ(appVars.getData("b"), "2");
  EXPECT_EQ(appVars.dynamicStore()->count(), 2u);
}

TEST_F(AppVarsTest, StoreOperationsReachTheStoreAndANullStoreChangesNothing) {
  QXAppVars appVars;
  appVars.addData("k", std::string("1"));
  QXDynamicStore other;
  other.addData("k", std::string("2"));
  other.addData("m", std::string("3"));
  appVars.addData(&other);
  appVars.addData(nullptr);
  EXPECT_EQ(keysOf(appVars), (Keys{"k", "m"}));
  EXPECT_EQ(appVars.getData("k"), "2");
  EXPECT_EQ(appVars.removeData("k"), "2");
  EXPECT_EQ(appVars.removeData("k"), std::nullopt);
  appVars.addData("m", std::nullopt);
  EXPECT_EQ(appVars.getData("m"), std::nullopt);
  appVars.addData("n", std::string("4"));
  appVars.clearData();
  EXPECT_TRUE(appVars.dynamicStore()->empty());
}

TEST_F(AppVarsTest, ProductsAreFlattenedUnderTheirPositionsInTheList) {
  QXAppVars appVars;
  QXProduct second = productWithID("B2");
  second.setQuantity(std::string("3"));
  appVars.addData("basket", std::vector<QXProduct>{productWithID("A1"), second});
  EXPECT_EQ(keysOf(appVars), (Keys{"basket[product_id][0]", "basket[product_id][1]",
                                   "basket[product_quantity][1]"}));
  EXPECT_EQ(appVars.getData("basket[product_id][0]"), "A1");
  EXPECT_EQ(appVars.getData("basket[product_id][1]"), "B2");
  EXPECT_EQ(appVars.getData("basket[product_quantity][1]"), "3");
}

TEST_F(AppVarsTest, AnEmptyProductTakesItsIndexAndAnEmptyListAddsNothing) {
  QXAppVars appVars;
  appVars.addData("basket", std::vector<QXProduct>{});
  EXPECT_TRUE(appVars.dynamicStore()->empty());
  appVars.addData("basket", std::vector<QXProduct>{QXProduct(), productWithID("B2")});
  EXPECT_EQ(keysOf(appVars), (Keys{"basket[product_id][1]"}));
}

TEST_F(AppVarsTest, ACustomPropertyShadowsTheFixedFieldOfItsKeyOrAddsItsOwn) {
  QXProduct product = productWithID("A1");
  product.customProperties()["product_id"] = "X";
  product.customProperties()["colour"] = "red";
  QXAppVars appVars;
  appVars.addData("basket", std::vector<QXProduct>{product});
  EXPECT_EQ(keysOf(appVars), (Keys{"basket[product_id][0]", "basket[colour][0]"}));
  EXPECT_EQ(appVars.getData("basket[product_id][0]"), "X");
}

TEST_F(AppVarsTest, EveryCallNumbersFromZeroAndRewritesWhatIsThere) {
  QXAppVars appVars;
  appVars.addData("basket", std::vector<QXProduct>{productWithID("A1"), productWithID("B2")});
  appVars.addData("basket", std::vector<QXProduct>{productWithID("C3")});
  EXPECT_EQ(keysOf(appVars), (Keys{"basket[product_id][0]", "basket[product_id][1]"}));
  EXPECT_EQ(appVars.getData("basket[product_id][0]"), "C3");
}

// Products of arbitrary bytes under a prefix of arbitrary bytes reach the
// body whole: each flattened entry is one field that reads back exactly.
TEST_F(AppVarsTest, ProductEntriesOfAnyBytesReachTheBodyAsFieldsOfTheirOwn) {
  const std::string prefix("b&a=s#k[e]t\0%", 13);
  QXProduct product;
  product.setName(std::string("a&b=c#d+e%f\xFF", 12));
  product.customProperties()[std::string("k]\0[=&", 6)] = "v&w";
  QXAppVars appVars;
  appVars.addData(prefix, std::vector<QXProduct>{QXProduct(), product});
  QXPostData postData;
  postData.insertStore(appVars.dynamicStore());
  const std::string body = postData.getParameters();
  EXPECT_EQ(
      QXDecodedFormFields(body),
      (std::vector<QXFormField>{
          {std::string("b&a=sk[e]t\0%[product_name][1]", 29), std::string("a&b=c#d+e%f\xFF", 12)},
          {std::string("b&a=sk[e]t\0%[k]\0[=&][1]", 23), std::string("v&w")}}));
}

TEST_F(AppVarsTest, DescriptionIsOneQuotedLinePerEntryInKeyOrderThenAnEmptyLine) {
  QXAppVars appVars;
  EXPECT_EQ(appVars.description(), "{\n\n");
  appVars.addData("#b#", std::string("1"));
  appVars.addData("a", std::string("x \"y\""));
  EXPECT_EQ(appVars.description(), "{\n\t\"#b#\" = \"1\"\n\t\"a\" = \"x \"y\"\"\n\n");
}

TEST_F(AppVarsTest, AConsentHitIsAnyValueUnderThePublicKey) {
  QXAppVars appVars;
  EXPECT_FALSE(appVars.isConsentHit());
  appVars.setConsentHit(true);
  EXPECT_TRUE(appVars.isConsentHit());
  EXPECT_EQ(appVars.getData(kQXConsentHitKey), "1");
  EXPECT_STREQ(kQXConsentHitKey, "#CONSENT_HIT#");
  EXPECT_STREQ(kQXConsentHitKey, QX_CONSENT_HIT_KEY);  // the C API's name
  appVars.setConsentHit(false);
  EXPECT_FALSE(appVars.isConsentHit());
  EXPECT_EQ(appVars.getData(kQXConsentHitKey), std::nullopt);
  // A value the application put there itself counts, an empty one too.
  appVars.addData(kQXConsentHitKey, std::string(""));
  EXPECT_TRUE(appVars.isConsentHit());
}

TEST_F(AppVarsTest, WithoutAStoreEveryOperationDoesNothing) {
  QXAppVars appVars;
  appVars.setDynamicStore(nullptr);
  QXDynamicStore other;
  other.addData("k", std::string("1"));
  appVars.addData(&other);
  appVars.addData("k", std::string("1"));
  appVars.addData("basket", std::vector<QXProduct>{productWithID("A1")});
  appVars.setConsentHit(true);
  EXPECT_FALSE(appVars.isConsentHit());
  appVars.clearData();
  EXPECT_EQ(appVars.dynamicStore(), nullptr);
  EXPECT_EQ(appVars.getData("k"), std::nullopt);
  EXPECT_EQ(appVars.removeData("k"), std::nullopt);
  EXPECT_EQ(appVars.description(), "{\n\n");
  QXPostData postData;
  postData.insertStore(appVars.dynamicStore());
  EXPECT_EQ(postData.getParameters(), "");
}

// ---------------------------------------------------------------------------
// The archive.

class AppVarsArchiveTest : public ::testing::Test {
 protected:
  // The archive format written out by hand, so that the tests do not trust
  // the code they check.
  struct Entry {
    std::string key;
    std::string value;
  };
  static std::string archive(uint16_t version, uint16_t readableBy,
                             const std::vector<Entry>& entries) {
    std::string body;
    put(body, entries.size(), 4);
    for (const Entry& entry : entries) {
      put(body, entry.key.size(), 2);
      body += entry.key;
      put(body, entry.value.size(), 8);
      body += entry.value;
    }
    return withHeader(version, readableBy, body);
  }
  static std::string withHeader(uint16_t version, uint16_t readableBy, const std::string& body) {
    std::string head = "QXAV";
    put(head, version, 2);
    put(head, readableBy, 2);
    std::string out = head;
    put(out, crc32(head + body), 4);  // covers everything but itself
    return out + body;
  }
  static void put(std::string& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
      out.push_back(static_cast<char>(value >> (8 * i)));
  }
  static uint32_t crc32(const std::string& data) {
    uint32_t crc = 0xFFFFFFFF;
    for (unsigned char byte : data) {
      crc ^= byte;
      for (int k = 0; k < 8; ++k)
        crc = (crc >> 1) ^ (0xEDB88320 & (0u - (crc & 1)));
    }
    return ~crc;
  }

  static QXDynamicStore sampleStore() {
    QXDynamicStore store;
    store.addData("#QX_RAND#", std::string("4711"));
    store.addData("removed", std::string("x"));
    store.addData(std::string("k\0y", 3), std::string("\xFF\xFE invalid UTF-8", 16));
    store.addData("", std::string(""));
    store.addData("long", std::string(100000, 'v'));
    store.removeData("removed");
    store.addData("#QX_RAND#", std::string("4712"));  // keeps its place
    return store;
  }

  // Decodes `bytes`, expecting a refusal that leaves the target as it was.
  static QXStatus refusal(const std::string& bytes) {
    auto sentinel = std::make_unique<QXAppVars>();
    QXAppVars* const before = sentinel.get();
    const QXStatus status = QXAppVars::decode(bytes, &sentinel);
    EXPECT_EQ(sentinel.get(), before);
    EXPECT_TRUE(sentinel->dynamicStore()->empty());
    return status;
  }
};

TEST_F(AppVarsArchiveTest, ARoundTripKeepsEveryEntryItsBytesAndItsPlace) {
  QXAppVars original;
  original.addData(sampleStore());
  std::unique_ptr<QXAppVars> restored;
  ASSERT_TRUE(QXAppVars::decode(original.encode(), &restored).ok());
  ASSERT_NE(restored->dynamicStore(), nullptr);
  EXPECT_EQ(*restored->dynamicStore(), *original.dynamicStore());
  EXPECT_EQ(restored->dynamicStore()->orderedKeys(), original.dynamicStore()->orderedKeys());
}

TEST_F(AppVarsArchiveTest, TheArchiveIsTheDocumentedLayout) {
  QXAppVars appVars;
  appVars.addData("page", std::string("home"));
  EXPECT_EQ(appVars.encode(),
            archive(1, 1, {{"dynamicStore", appVars.dynamicStore()->archivedData()}}));
}

TEST_F(AppVarsArchiveTest, AnArchiveWithoutAStoreGivesAnObjectWithoutOne) {
  QXAppVars withoutStore;
  withoutStore.setDynamicStore(nullptr);
  EXPECT_EQ(withoutStore.encode(), archive(1, 1, {}));
  std::unique_ptr<QXAppVars> restored;
  ASSERT_TRUE(QXAppVars::decode(archive(1, 1, {{"other", "x"}}), &restored).ok());
  EXPECT_EQ(restored->dynamicStore(), nullptr);
  EXPECT_EQ(restored->getData("other"), std::nullopt);
}

TEST_F(AppVarsArchiveTest, ALaterFormatReadableByThisOneIsReadAndItsNewEntriesSkipped) {
  const QXDynamicStore store = sampleStore();
  std::unique_ptr<QXAppVars> restored;
  const QXStatus status = QXAppVars::decode(
      archive(7, 1, {{"addedLater", "1"}, {"dynamicStore", store.archivedData()}, {"z", ""}}),
      &restored);
  ASSERT_TRUE(status.ok()) << status.toString();
  EXPECT_EQ(*restored->dynamicStore(), store);
}

TEST_F(AppVarsArchiveTest, ALaterFormatThatNeedsANewerReaderIsRefused) {
  const QXStatus status = refusal(archive(2, 2, {{"dynamicStore", sampleStore().archivedData()}}));
  EXPECT_EQ(status.code(), QXStatus::Code::kNotSupported);
  EXPECT_NE(status.message().find("needs a reader of format 2"), std::string::npos)
      << status.message();
}

TEST_F(AppVarsArchiveTest, EveryTruncationAndEveryFlippedBitIsRefused) {
  QXAppVars appVars;
  appVars.addData("#QX_RAND#", std::string("4711"));
  appVars.addData(std::string("k\0", 2), std::string("\xFF", 1));
  const std::string good = appVars.encode();
  for (size_t size = 0; size < good.size(); ++size)
    EXPECT_FALSE(refusal(good.substr(0, size)).ok()) << size;
  for (size_t bit = 0; bit < 8 * good.size(); ++bit) {
    std::string bad = good;
    bad[bit / 8] = static_cast<char>(bad[bit / 8] ^ (1 << (bit % 8)));
    EXPECT_FALSE(refusal(bad).ok()) << "bit " << bit;
  }
}

// Well-formed enough to pass the checksum, wrong in what it says.
TEST_F(AppVarsArchiveTest, ArchivesThatLieAboutTheirContentsAreRefused) {
  const std::string store = sampleStore().archivedData();
  std::string hugeCount;
  put(hugeCount, 0xFFFFFFFF, 4);
  std::string hugeValue;
  put(hugeValue, 1, 4);
  put(hugeValue, 12, 2);
  hugeValue += "dynamicStore";
  put(hugeValue, UINT64_MAX, 8);
  const std::string cases[] = {
      "",
      "garbage that is not an archive at all",
      withHeader(1, 1, hugeCount),
      withHeader(1, 1, hugeValue + store),
      withHeader(0, 0, archive(1, 1, {}).substr(12)),
      withHeader(1, 2, archive(1, 1, {}).substr(12)),
      withHeader(1, 1, archive(1, 1, {{"dynamicStore", store}}).substr(12) + "x"),
      archive(1, 1, {{"dynamicStore", store}, {"dynamicStore", store}}),
      archive(1, 1, {{"dynamicStore", store.substr(0, store.size() - 1)}}),
      archive(1, 1, {{"dynamicStore", "QXDS not a store"}}),
  };
  for (const std::string& bytes : cases) {
    const QXStatus status = refusal(bytes);
    EXPECT_FALSE(status.ok());
    EXPECT_EQ(status.message().rfind("QXAppVars archive: ", 0), 0u) << status.message();
  }
}

}  // namespace
