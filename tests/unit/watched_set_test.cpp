// The main loop's set of watched descriptors.
#include <gtest/gtest.h>

#include <sys/select.h>

#include "daemon/watched_set.h"

namespace {

TEST(WatchedSet, HighestFollowsAddsAndRemovals) {
    WatchedSet set;
    EXPECT_EQ(set.highest(), -1);
    for (int fd : {3, 7, 5})
        ASSERT_TRUE(set.add(fd));
    EXPECT_EQ(set.highest(), 7);
    set.remove(3);
    EXPECT_EQ(set.highest(), 7);
    set.remove(7);
    EXPECT_EQ(set.highest(), 5);  // lowered over the gap at 6
    EXPECT_FALSE(set.contains(7));
    EXPECT_TRUE(set.contains(5));
    set.remove(9);  // not a member: nothing changes
    set.remove(-1);
    set.remove(FD_SETSIZE);
    EXPECT_EQ(set.highest(), 5);
    set.remove(5);
    EXPECT_EQ(set.highest(), -1);
    EXPECT_FALSE(set.contains(5));
    ASSERT_TRUE(set.add(0));
    EXPECT_EQ(set.highest(), 0);
    set.remove(0);
    EXPECT_EQ(set.highest(), -1);
}

TEST(WatchedSet, AddingTwiceThenRemovingOnceEmptiesIt) {
    WatchedSet set;
    set.add(4);
    set.add(4);
    set.remove(4);
    EXPECT_FALSE(set.contains(4));
    EXPECT_EQ(set.highest(), -1);
}

TEST(WatchedSet, RefusesWhatSelectCannotWatch) {
    WatchedSet set;
    EXPECT_FALSE(WatchedSet::fits(-1));
    EXPECT_TRUE(WatchedSet::fits(0));
    EXPECT_TRUE(WatchedSet::fits(FD_SETSIZE - 1));
    EXPECT_FALSE(WatchedSet::fits(FD_SETSIZE));
    EXPECT_FALSE(set.add(-1));
    EXPECT_FALSE(set.add(FD_SETSIZE));
    EXPECT_FALSE(set.add(1 << 20));
    EXPECT_EQ(set.highest(), -1);
    EXPECT_FALSE(set.contains(-1));
    EXPECT_FALSE(set.contains(FD_SETSIZE));
    ASSERT_TRUE(set.add(FD_SETSIZE - 1));
    EXPECT_EQ(set.highest(), FD_SETSIZE - 1);
}

}  // namespace
