#include "EventInbox.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

using namespace nexdir;

namespace {
FileSystemEvent event(const std::string& path, uint32_t flags, uint64_t id) {
    return {path, flags, id};
}
} // namespace

TEST(EventInbox, CoalescesByFlagsAndPathAndHandsOutOldestFirst) {
    EventInbox inbox(10);
    EXPECT_TRUE(inbox.receive({event("/a", 0, 5), event("/b", 0, 3)}));
    EXPECT_FALSE(inbox.receive({event("/a", 0, 9)})) << "one drain at a time";
    // The same path with other flags is another entry; an identifier of 0 stays 0.
    inbox.receive({event("/a", EventFlags::itemIsDir | EventFlags::itemInodeMetaMod, 0),
                   event("/a", EventFlags::itemIsDir | EventFlags::itemInodeMetaMod, 12)});
    EXPECT_EQ(inbox.pendingCount(), 3);
    auto batch = inbox.take();
    ASSERT_TRUE(batch);
    ASSERT_EQ(batch->size(), 3u);
    EXPECT_EQ((*batch)[0], event("/a", EventFlags::itemIsDir | EventFlags::itemInodeMetaMod, 0));
    EXPECT_EQ((*batch)[1], event("/b", 0, 3));
    EXPECT_EQ((*batch)[2], event("/a", 0, 9));
    EXPECT_EQ(inbox.oldestAge(), 0);
    // The drain ends when it finds nothing; the next batch schedules another.
    EXPECT_FALSE(inbox.take());
    EXPECT_TRUE(inbox.receive({}));
    EXPECT_FALSE(inbox.take());
}

TEST(EventInbox, PastItsLimitEverythingHeldBecomesOneMarker) {
    EventInbox inbox(2);
    inbox.receive({event("/a", 0, 1), event("/b", EventFlags::itemIsDir, 2)});
    // A key already held merges even when the inbox is full.
    inbox.receive({event("/a", 0, 3)});
    EXPECT_EQ(inbox.pendingCount(), 2);
    // A folder left unwatched is no change: the marker does not pass for such a notice.
    inbox.receive(
        {event("/u", EventFlags::folderUnwatched, 4), event("/c", EventFlags::historyDone, 4)});
    EXPECT_EQ(inbox.pendingCount(), 1);
    // After the overflow: flags only.
    inbox.receive(
        {event("/d", EventFlags::kernelDropped, 5), event("/e", EventFlags::folderUnwatched, 6)});
    auto marker = inbox.take();
    ASSERT_TRUE(marker);
    ASSERT_EQ(marker->size(), 1u);
    EXPECT_EQ((*marker)[0].path, "/");
    EXPECT_EQ((*marker)[0].id, 0u);
    EXPECT_EQ((*marker)[0].flags, EventFlags::mustScanSubDirs | EventFlags::userDropped |
                                      EventFlags::itemIsDir | EventFlags::historyDone |
                                      EventFlags::kernelDropped);
    EXPECT_TRUE((*marker)[0].isBufferDrop());
    EXPECT_FALSE((*marker)[0].isUnwatchedNotice());
    EXPECT_FALSE(inbox.take());
    EXPECT_GE(test::logCount("event inbox overflow limit=2; recovery required"), 1u);

    EventInbox smallest(0); // taken as 1
    smallest.receive({event("/a", 0, 1), event("/b", 0, 2)});
    EXPECT_EQ(smallest.take()->front().path, "/");
}

TEST(EventInbox, CaughtUpOnlyOnceHistoryIsApplied) {
    EventInbox inbox(10);
    EXPECT_FALSE(inbox.isCaughtUp());
    inbox.receive({event("/a", 0, 1)});
    auto batch = inbox.take();
    inbox.applied(*batch);
    EXPECT_FALSE(inbox.take());
    EXPECT_FALSE(inbox.isCaughtUp()) << "no history-done event applied yet";
    inbox.receive({event("/", EventFlags::historyDone, 2)});
    EXPECT_FALSE(inbox.isCaughtUp()) << "scheduled";
    inbox.applied(*inbox.take());
    EXPECT_FALSE(inbox.take());
    EXPECT_TRUE(inbox.isCaughtUp());

    inbox.receive({event("/b", 0, 3)});
    inbox.invalidate();
    EXPECT_FALSE(inbox.isActive());
    EXPECT_FALSE(inbox.isCaughtUp());
    EXPECT_FALSE(inbox.receive({event("/c", 0, 4)}));
    EXPECT_FALSE(inbox.take());
    EXPECT_EQ(inbox.pendingCount(), 0);
}
