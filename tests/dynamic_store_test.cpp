#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/QXDynamicStore.h"

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

Entries entriesOf(const QXDynamicStore& store) {
  Entries entries;
  store.forEach([&](std::string_view k, std::string_view v) {
    entries.emplace_back(std::string(k), std::string(v));
  });
  return entries;
}

const std::string kNulKey("a\0b", 3);
const std::string kInvalidUtf8("\xC3\x28\xFF\xFE", 4);

TEST(DynamicStoreOrder, KeysStayInFirstWriteOrderAndRewritesKeepTheirPlace) {
  QXDynamicStore store;
  store.addData("b", std::string("1"));
  store.addData("a", std::string("2"));
  store.addData("c", std::string("3"));
  store.addData("b", std::string("4"));
  EXPECT_EQ(entriesOf(store), (Entries{{"b", "4"}, {"a", "2"}, {"c", "3"}}));
  EXPECT_EQ(store.orderedKeys(), (std::vector<std::string>{"b", "a", "c"}));
}

TEST(DynamicStoreOrder, ARemovedKeyWrittenAgainGoesToTheEnd) {
  QXDynamicStore store;
  store.addData("a", std::string("1"));
  store.addData("b", std::string("2"));
  EXPECT_EQ(store.removeData("a"), std::optional<std::string>("1"));
  EXPECT_EQ(store.removeData("a"), std::nullopt);
  store.addData("a", std::string("3"));
  EXPECT_EQ(entriesOf(store), (Entries{{"b", "2"}, {"a", "3"}}));
}

TEST(DynamicStoreOrder, MatchesAReferenceModelThroughRandomWritesAndRemovals) {
  // Enough removals to force many compactions and index rebuilds.
  std::mt19937 random(7);
  QXDynamicStore store;
  Entries model;
  for (int step = 0; step < 20000; ++step) {
    const std::string key = "k" + std::to_string(random() % 300);
    auto it = std::find_if(model.begin(), model.end(), [&](auto& e) { return e.first == key; });
    if (random() % 3 == 0) {
      const auto removed = store.removeData(key);
      ASSERT_EQ(removed.has_value(), it != model.end());
      if (it != model.end()) {
        ASSERT_EQ(*removed, it->second);
        model.erase(it);
      }
    } else {
      const std::string value = std::to_string(step);
      store.addData(key, value);
      if (it != model.end()) {
        it->second = value;
      } else {
        model.emplace_back(key, value);
      }
    }
  }
  EXPECT_EQ(entriesOf(store), model);
  for (const auto& [key, value] : model)
    EXPECT_EQ(store.getData(key), value);
  EXPECT_EQ(store.getData("absent"), std::nullopt);
}

TEST(DynamicStoreValues, AnAbsentValueRemovesTheKey) {
  QXDynamicStore store;
  store.addData("a", std::string("1"));
  store.addData("a", std::nullopt);
  EXPECT_EQ(store.getData("a"), std::nullopt);
  EXPECT_EQ(store.count(), 0u);
  store.addData("never", std::nullopt);
  EXPECT_TRUE(store.empty());
}

TEST(DynamicStoreValues, AnyBytesAreStoredAndReturnedUnchanged) {
  QXDynamicStore store;
  const std::string megabyte(1 << 20, '\x01');
  store.addData("", std::string(""));
  store.addData(kNulKey, kInvalidUtf8);
  store.addData(megabyte, megabyte);
  EXPECT_EQ(store.getData(""), std::optional<std::string>(""));
  EXPECT_EQ(store.getData(kNulKey), kInvalidUtf8);
  EXPECT_EQ(store.getData("a"), std::nullopt);  // NUL is not a terminator
  EXPECT_EQ(store.getData(megabyte), megabyte);
  EXPECT_EQ(store.orderedKeys(), (std::vector<std::string>{"", kNulKey, megabyte}));
}

TEST(DynamicStoreMerge, MergedEntriesOverwriteInPlaceAndNewOnesFollowInTheirOrder) {
  QXDynamicStore target;
  target.addData("a", std::string("1"));
  target.addData("b", std::string("2"));
  QXDynamicStore source;
  source.addData("c", std::string("3"));
  source.addData("a", std::string("4"));
  target.addData(source);
  EXPECT_EQ(entriesOf(target), (Entries{{"a", "4"}, {"b", "2"}, {"c", "3"}}));
  EXPECT_EQ(entriesOf(source), (Entries{{"c", "3"}, {"a", "4"}}));
}

TEST(DynamicStoreMerge, MergingAStoreIntoItselfChangesNothing) {
  QXDynamicStore store;
  store.addData("a", std::string("1"));
  store.addData("b", std::string("2"));
  store.addData(store);
  EXPECT_EQ(entriesOf(store), (Entries{{"a", "1"}, {"b", "2"}}));
}

TEST(DynamicStoreMerge, CopiesAreIndependent) {
  QXDynamicStore original;
  original.addData("a", std::string("1"));
  QXDynamicStore copy = original;
  copy.addData("a", std::string("2"));
  copy.addData("b", std::string("3"));
  EXPECT_EQ(original.getData("a"), "1");
  EXPECT_EQ(original.count(), 1u);
  QXDynamicStore moved = std::move(copy);
  EXPECT_EQ(entriesOf(moved), (Entries{{"a", "2"}, {"b", "3"}}));
}

TEST(DynamicStoreDescription, DebugDescriptionEscapesWhatCouldForgeALogLine) {
  QXDynamicStore store;
  store.addData("page\n[Quorvex] ERROR forged", std::string("a\"b\\c\x01 caf\xC3\xA9"));
  store.addData(kNulKey, kInvalidUtf8);
  const std::string text = store.debugDescription();
  EXPECT_EQ(text,
            "{\n"
            "    \"page\\x0A[Quorvex] ERROR forged\" = \"a\\\"b\\\\c\\x01 caf\xC3\xA9\";\n"
            "    \"a\\x00b\" = \"\\xC3(\\xFF\\xFE\";\n"
            "}");
  EXPECT_EQ(QXDynamicStore().description(), "{\n}");
}

TEST(DynamicStoreArchive, RoundTripKeepsEveryEntryItsBytesAndItsPlace) {
  QXDynamicStore store;
  store.addData("z", std::string("last written first"));
  store.addData(kNulKey, kInvalidUtf8);
  store.addData("", std::string(""));
  store.addData("big", std::string(100000, 'x'));
  QXDynamicStore decoded;
  decoded.addData("stale", std::string("replaced"));
  ASSERT_TRUE(QXDynamicStore::unarchive(store.archivedData(), &decoded).ok());
  EXPECT_EQ(entriesOf(decoded), entriesOf(store));
  EXPECT_TRUE(decoded == store);
}

TEST(DynamicStoreArchive, MalformedArchivesAreRefusedAndLeaveTheTargetUntouched) {
  QXDynamicStore store;
  store.addData("key", std::string("value"));
  store.addData("second", std::string("entry"));
  const std::string good = store.archivedData();

  std::string wrongVersion = good;
  wrongVersion[4] = 9;
  std::string hugeCount = good;
  for (int i = 6; i < 14; ++i)
    hugeCount[i] = '\xFF';
  std::string hugeKeyLength = good;
  for (int i = 14; i < 22; ++i)
    hugeKeyLength[i] = '\x7F';
  QXDynamicStore twice;
  twice.addData("k", std::string("v"));
  std::string duplicate = twice.archivedData();
  duplicate[6] = 2;
  duplicate += duplicate.substr(14);

  const std::vector<std::pair<const char*, std::string>> cases = {
      {"empty", ""},
      {"garbage", "not an archive at all"},
      {"truncated", good.substr(0, good.size() - 1)},
      {"trailing bytes", good + "x"},
      {"wrong version", wrongVersion},
      {"huge count", hugeCount},
      {"huge key length", hugeKeyLength},
      {"duplicate key", duplicate},
  };
  for (const auto& [name, bytes] : cases) {
    QXDynamicStore target;
    target.addData("kept", std::string("yes"));
    const QXStatus status = QXDynamicStore::unarchive(bytes, &target);
    EXPECT_TRUE(status.isCorruption()) << name << ": " << status.toString();
    EXPECT_EQ(entriesOf(target), (Entries{{"kept", "yes"}})) << name;
  }
  // Every prefix of a good archive is refused, none crashes.
  for (size_t length = 0; length < good.size(); ++length) {
    QXDynamicStore target;
    EXPECT_FALSE(QXDynamicStore::unarchive(good.substr(0, length), &target).ok()) << length;
  }
}

}  // namespace
