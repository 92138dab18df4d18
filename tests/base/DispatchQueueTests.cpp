#include "DispatchQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

using nexdir::DispatchQueue;

TEST(DispatchQueue, RunsTasksOneAtATimeInSubmissionOrder) {
    std::vector<int> order;
    std::atomic<int> running{0};
    bool overlapped = false;
    {
        DispatchQueue queue("test.order");
        for (int i = 0; i < 200; ++i) {
            queue.async([&, i] {
                if (running.fetch_add(1) != 0) {
                    overlapped = true;
                }
                order.push_back(i);
                running.fetch_sub(1);
            });
        }
    }
    ASSERT_EQ(order.size(), 200u);
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(order[size_t(i)], i);
    }
    EXPECT_FALSE(overlapped);
}

TEST(DispatchQueue, SyncReturnsValuesRethrowsAndRunsInlineOnItsOwnQueue) {
    DispatchQueue queue("test.sync");
    EXPECT_EQ(queue.sync([] { return 42; }), 42);
    EXPECT_THROW(queue.sync([]() -> int { throw std::runtime_error("boom"); }), std::runtime_error);

    EXPECT_FALSE(queue.isCurrent());
    // A sync from a task of the same queue would wait for itself; it must run inline.
    bool innerRan = queue.sync([&] {
        EXPECT_TRUE(queue.isCurrent());
        return queue.sync([&] { return queue.isCurrent(); });
    });
    EXPECT_TRUE(innerRan);
}

TEST(DispatchQueue, TimedTasksRunInDeadlineOrderAndNotBeforeTheirTime) {
    DispatchQueue queue("test.timed");
    std::vector<int> order;
    auto start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration firstDelay{};
    queue.asyncAfter(0.10, [&] { order.push_back(2); });
    queue.asyncAfter(0.05, [&] {
        firstDelay = std::chrono::steady_clock::now() - start;
        order.push_back(1);
    });
    queue.async([&] { order.push_back(0); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    queue.sync([] {});
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    EXPECT_GE(firstDelay, std::chrono::milliseconds(50));
}

TEST(DispatchQueue, DestructionRunsQueuedTasksAndDropsFutureOnes) {
    std::atomic<int> ran{0};
    std::atomic<bool> futureRan{false};
    {
        DispatchQueue queue("test.shutdown");
        queue.async([&] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); });
        for (int i = 0; i < 10; ++i) {
            queue.async([&] { ran++; });
        }
        queue.asyncAfter(60, [&] { futureRan = true; });
    }
    EXPECT_EQ(ran.load(), 10);
    EXPECT_FALSE(futureRan.load());
}

TEST(DispatchQueue, AFailingTaskDoesNotStopTheQueue) {
    DispatchQueue queue("test.failure");
    queue.async([] { throw std::runtime_error("task failure"); });
    EXPECT_EQ(queue.sync([] { return 7; }), 7);
}
