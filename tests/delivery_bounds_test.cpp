#include <gtest/gtest.h>

#include <string>

#include "core/network/QXDeliveryBounds.h"

namespace {

constexpr uint64_t kNone = QXDeliveryBounds::kNoLimit;

// How the bounds are shared out between the journal's backlog (the newest
// hits) and the outbox: the journal's oldest records past the bounds are
// left out, and the outbox keeps what the journal leaves.
TEST(DeliveryBoundsTest, TheNewestHitsKeepTheirShareAndTheOldestAreLeftOut) {
  struct Case {
    const char* what;
    size_t maxHits;
    uint64_t maxBytes;
    QXHitJournal::Backlog journal;
    QXDeliveryBounds::Share expected;
  };
  const Case cases[] = {
      {"nothing waits", 100, 1000, {0, 0}, {0, 0, 100, 1000}},
      {"the journal holds some", 100, 1000, {30, 300}, {0, 0, 70, 700}},
      {"the journal holds all the bounds allow", 100, 1000, {100, 1000}, {0, 0, 0, 0}},
      {"past the count", 100, 1000000, {150, 1500}, {50, 0, 0, 1000000 - 1500}},
      {"past the bytes", 100, 1000, {40, 1600}, {0, 600, 60, 0}},
      {"past both", 10, 100, {40, 1600}, {30, 1500, 0, 0}},
      {"no bound in bytes", 100, kNone, {30, 1ull << 40}, {0, 0, 70, kNone}},
  };
  for (const Case& c : cases) {
    const QXDeliveryBounds::Share share = QXDeliveryBounds::share(c.maxHits, c.maxBytes, c.journal);
    EXPECT_EQ(share.skipRecords, c.expected.skipRecords) << c.what;
    EXPECT_EQ(share.skipBytes, c.expected.skipBytes) << c.what;
    EXPECT_EQ(share.outboxHits, c.expected.outboxHits) << c.what;
    EXPECT_EQ(share.outboxBytes, c.expected.outboxBytes) << c.what;
  }
}

// The files' room is shared out so that what the bound allows of hits is
// most of it, for the bounds a host may pick.
TEST(DeliveryBoundsTest, TheDatabaseHasMostOfTheBoundAndTheJournalSmallSegments) {
  for (const uint64_t bound : {1ull << 20, 8ull << 20, 32ull << 20, 1ull << 30}) {
    QXDeliveryOptions options;
    options.maxQueuedBytes = bound;
    const uint64_t segment = QXDeliveryBounds::segmentBytes(options);
    const uint64_t room = QXDeliveryBounds::databaseRoom(options);
    EXPECT_LE(segment, 512u * 1024) << bound;
    EXPECT_LE(3 * segment + QXDeliveryBounds::logLimit(options) + room, bound / 10 * 9 + 1)
        << bound;
    EXPECT_GE(room, bound / 2) << bound;
  }
}

}  // namespace
