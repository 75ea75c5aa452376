// The locked queue: ends, waits, callbacks and many threads at once.
#include "vantrix_private.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

void *item(intptr_t value)
{
    return reinterpret_cast<void *>(value);
}

intptr_t value_of(void *data)
{
    return reinterpret_cast<intptr_t>(data);
}

// Records what the callbacks saw.
struct Calls {
    std::vector<intptr_t> deleted;
    std::vector<int> trigger_counts;
    std::vector<intptr_t> visited;
    int stop_at = 0;  // foreach returns -1 at this item
    int remove_all = 0;
};

void record_delete(void *context, void *data)
{
    static_cast<Calls *>(context)->deleted.push_back(value_of(data));
}

void record_trigger(void *context, tarvelutil_queue_t *queue, int count)
{
    // The queue is still locked: the count must already include the push.
    EXPECT_EQ(count, tarvelutil_queue_count(queue));
    static_cast<Calls *>(context)->trigger_counts.push_back(count);
}

int visit(void *context, const void *key, void *data)
{
    Calls *calls = static_cast<Calls *>(context);
    EXPECT_EQ(key, nullptr);
    calls->visited.push_back(value_of(data));
    if (value_of(data) == calls->stop_at)
        return -1;
    return calls->remove_all ? 0 : 1;
}

class QueueTest : public ::testing::Test {
protected:
    void TearDown() override { tarvelutil_queue_delete(queue); }
    std::vector<intptr_t> drain_front()
    {
        std::vector<intptr_t> out;
        while (void *data = tarvelutil_queue_pop_front(queue))
            out.push_back(value_of(data));
        return out;
    }
    Calls calls;
    tarvelutil_queue_t *queue = tarvelutil_queue_create(record_delete, record_trigger, &calls);
};

TEST_F(QueueTest, PushesAtBothEndsKeepOrder)
{
    tarvelutil_queue_push_back(queue, item(3));
    tarvelutil_queue_push_front(queue, item(2));
    tarvelutil_queue_push_back_quiet(queue, item(4));
    tarvelutil_queue_push_front_quiet(queue, item(1));
    EXPECT_EQ(tarvelutil_queue_count(queue), 4);
    EXPECT_EQ(value_of(tarvelutil_queue_pop_back(queue)), 4);
    EXPECT_EQ(drain_front(), (std::vector<intptr_t>{1, 2, 3}));
    EXPECT_EQ(tarvelutil_queue_count(queue), 0);
}

TEST_F(QueueTest, PeeksLeaveTheItemInPlace)
{
    tarvelutil_queue_push_back(queue, item(1));
    tarvelutil_queue_push_back(queue, item(2));
    EXPECT_EQ(value_of(tarvelutil_queue_peek_back(queue)), 2);
    EXPECT_EQ(value_of(tarvelutil_queue_peek_front(queue)), 1);
    EXPECT_EQ(value_of(tarvelutil_queue_peek_back_wait(queue, 1)), 2);
    EXPECT_EQ(value_of(tarvelutil_queue_peek_front_wait(queue, 0)), 1);
    EXPECT_EQ(tarvelutil_queue_count(queue), 2);
}

TEST_F(QueueTest, TakersOnAnEmptyQueueGiveNull)
{
    EXPECT_EQ(tarvelutil_queue_pop_front(queue), nullptr);
    EXPECT_EQ(tarvelutil_queue_pop_back(queue), nullptr);
    EXPECT_EQ(tarvelutil_queue_peek_front(queue), nullptr);
    EXPECT_EQ(tarvelutil_queue_peek_back(queue), nullptr);
    EXPECT_EQ(tarvelutil_queue_pop_front_wait(queue, -1), nullptr);
    EXPECT_EQ(tarvelutil_queue_pop_back_wait(queue, 1), nullptr);
}

TEST_F(QueueTest, OnlyLoudPushesCallTheTriggerWithTheNewCount)
{
    tarvelutil_queue_push_back(queue, item(1));
    tarvelutil_queue_push_back_quiet(queue, item(2));
    tarvelutil_queue_push_front(queue, item(3));
    tarvelutil_queue_push_front_quiet(queue, item(4));
    EXPECT_EQ(calls.trigger_counts, (std::vector<int>{1, 3}));
}

TEST_F(QueueTest, WaitingTakersGetAnItemPushedByAnotherThread)
{
    // Loud and quiet pushes both wake waiters: an unlimited pop and a limited peek.
    for (bool quiet : {false, true}) {
        intptr_t popped = 0, peeked = 0;
        std::thread popper([&] { popped = value_of(tarvelutil_queue_pop_front_wait(queue, 0)); });
        (quiet ? tarvelutil_queue_push_back_quiet : tarvelutil_queue_push_back)(queue, item(7));
        popper.join();
        std::thread peeker([&] { peeked = value_of(tarvelutil_queue_peek_back_wait(queue, 60)); });
        (quiet ? tarvelutil_queue_push_front_quiet : tarvelutil_queue_push_front)(queue, item(8));
        peeker.join();
        EXPECT_EQ(popped, 7);
        EXPECT_EQ(peeked, 8);
        EXPECT_EQ(value_of(tarvelutil_queue_pop_front(queue)), 8);
    }
}

TEST_F(QueueTest, ForeachRemovingEveryItemEmptiesTheQueueWithoutDeleting)
{
    for (intptr_t i = 1; i <= 3; i++)
        tarvelutil_queue_push_back(queue, item(i));
    calls.remove_all = 1;
    EXPECT_EQ(tarvelutil_queue_foreach(queue, visit, &calls), 3);
    EXPECT_EQ(calls.visited, (std::vector<intptr_t>{1, 2, 3}));
    EXPECT_EQ(tarvelutil_queue_count(queue), 0);
    EXPECT_EQ(tarvelutil_queue_pop_front(queue), nullptr);
    EXPECT_TRUE(calls.deleted.empty());
}

TEST_F(QueueTest, ForeachStopsAtMinusOneCountingTheStoppingItem)
{
    for (intptr_t i = 1; i <= 4; i++)
        tarvelutil_queue_push_back(queue, item(i));
    calls.stop_at = 2;
    EXPECT_EQ(tarvelutil_queue_foreach(queue, visit, &calls), 2);
    EXPECT_EQ(tarvelutil_queue_foreach(queue, nullptr, nullptr), 4);
    EXPECT_EQ(tarvelutil_queue_count(queue), 4);
}

TEST_F(QueueTest, ClearDeletesEveryItemFrontFirst)
{
    for (intptr_t i = 1; i <= 3; i++)
        tarvelutil_queue_push_back(queue, item(i));
    tarvelutil_queue_clear(queue);
    EXPECT_EQ(calls.deleted, (std::vector<intptr_t>{1, 2, 3}));
    EXPECT_EQ(tarvelutil_queue_count(queue), 0);
    tarvelutil_queue_push_back(queue, item(4)); // left for delete in TearDown
}

TEST(QueueDelete, DeleteDisposesOfRemainingItems)
{
    Calls calls;
    tarvelutil_queue_t *queue = tarvelutil_queue_create(record_delete, nullptr, &calls);
    tarvelutil_queue_push_back(queue, item(5));
    tarvelutil_queue_push_front(queue, item(6));
    tarvelutil_queue_delete(queue);
    EXPECT_EQ(calls.deleted, (std::vector<intptr_t>{6, 5}));
}

// Producers and consumers at both ends: every item is taken exactly once.
TEST(QueueThreads, EveryItemIsTakenExactlyOnce)
{
    constexpr int kProducers = 4;
    constexpr int kPerProducer = 2000;
    tarvelutil_queue_t *queue = tarvelutil_queue_create(nullptr, nullptr, nullptr);
    std::vector<std::vector<intptr_t>> taken(kProducers);
    std::vector<std::thread> threads;
    for (int p = 0; p < kProducers; p++) {
        threads.emplace_back([queue, p] {
            for (intptr_t i = 1; i <= kPerProducer; i++) {
                intptr_t value = p * kPerProducer + i;
                if (i % 2)
                    tarvelutil_queue_push_back(queue, item(value));
                else
                    tarvelutil_queue_push_front_quiet(queue, item(value));
            }
        });
        threads.emplace_back([queue, p, &taken] {
            for (int i = 0; i < kPerProducer; i++) {
                void *data = p % 2 ? tarvelutil_queue_pop_front_wait(queue, 0) : tarvelutil_queue_pop_back_wait(queue, 0);
                taken[p].push_back(value_of(data));
            }
        });
    }
    for (auto &thread : threads)
        thread.join();
    std::vector<intptr_t> all;
    for (auto &part : taken)
        all.insert(all.end(), part.begin(), part.end());
    std::sort(all.begin(), all.end());
    ASSERT_EQ(all.size(), size_t(kProducers * kPerProducer));
    for (size_t i = 0; i < all.size(); i++)
        ASSERT_EQ(all[i], intptr_t(i + 1));
    EXPECT_EQ(tarvelutil_queue_count(queue), 0);
    tarvelutil_queue_delete(queue);
}

} // namespace
