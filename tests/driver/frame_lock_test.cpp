// The frame lock: tried by commands, waited for by readouts, released by
// whichever thread ends the transfer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "driver/frame_lock.h"

namespace {

TEST(FrameLock, TryLockFailsWhileHeld) {
    FrameLock lock;
    EXPECT_FALSE(lock.is_locked());
    EXPECT_TRUE(lock.try_lock());
    EXPECT_TRUE(lock.is_locked());
    EXPECT_FALSE(lock.try_lock());
    lock.unlock();
    EXPECT_TRUE(lock.try_lock());
    lock.unlock();
}

TEST(FrameLock, AnotherThreadReleasesAndAWaiterGetsIt) {
    FrameLock lock;
    lock.lock();
    std::atomic<bool> acquired{false};
    std::thread waiter([&] {
        lock.lock();
        acquired = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(acquired);
    std::thread releaser([&] { lock.unlock(); });
    releaser.join();
    waiter.join();
    EXPECT_TRUE(acquired);
    EXPECT_TRUE(lock.is_locked());  // now held by the waiter
    lock.unlock();
}

}  // namespace
