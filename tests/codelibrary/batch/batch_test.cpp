// The timed batcher driven by a real event loop.
#include "vantrix_private.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace {

constexpr int kEpoll = 1;
constexpr double kShort = 0.01;   // check and batch times that keep the tests quick
constexpr double kNever = 1000.0; // a check that never comes during a test

// What the batcher's callback saw, and what it does on the way.
struct Delivery {
    std::string order;
    tarvelutil_batch_t *batcher = nullptr;
    char add_when = 0;   // on this object, add add_what to the same batcher
    char add_what = 0;
    char stop_on = 0;    // on this object, stop the loop
};

void receive(void *context, void *object)
{
    Delivery *delivery = static_cast<Delivery *>(context);
    char name = static_cast<char>(reinterpret_cast<intptr_t>(object));
    delivery->order += name;
    if (name == delivery->add_when)
        tarvelutil_batch_add(delivery->batcher, reinterpret_cast<void *>(static_cast<intptr_t>(delivery->add_what)));
    if (name == delivery->stop_on)
        vn_stop();
}

void add_objects(tarvelutil_batch_t *batcher, const std::string &names)
{
    for (char name : names)
        tarvelutil_batch_add(batcher, reinterpret_cast<void *>(static_cast<intptr_t>(name)));
}

class Batcher : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(vn_thread_init(kEpoll, 0), 0); }
    Delivery delivery;
};

TEST_F(Batcher, ObjectsFromAnotherThreadArriveInOrderAndACallbackMayAddMore)
{
    delivery.batcher = tarvelutil_batch_create(receive, &delivery, kShort, kShort);
    ASSERT_NE(delivery.batcher, nullptr);
    std::thread adder([&] { add_objects(delivery.batcher, "abc"); });
    adder.join();
    // Added while "a" is delivered: it goes into the next batch.
    delivery.add_when = 'a';
    delivery.add_what = 'd';
    delivery.stop_on = 'd';
    vn_loop();
    EXPECT_EQ(delivery.order, "abcd");
    tarvelutil_batch_delete(delivery.batcher);
}

TEST_F(Batcher, DeleteDeliversTheOpenBatchAtOnceIncludingWhatItsCallbackAdds)
{
    delivery.batcher = tarvelutil_batch_create(receive, &delivery, kShort, kNever);
    add_objects(delivery.batcher, "xy");
    delivery.add_when = 'x';
    delivery.add_what = 'z';
    tarvelutil_batch_delete(delivery.batcher);
    EXPECT_EQ(delivery.order, "xyz");
}

TEST_F(Batcher, DeleteWithNothingCollectedDeliversNothing)
{
    tarvelutil_batch_t *batcher = tarvelutil_batch_create(receive, &delivery, kShort, kNever);
    tarvelutil_batch_delete(batcher);
    EXPECT_EQ(delivery.order, "");
}

int delete_batcher(int, int, void *data)
{
    Delivery *delivery = static_cast<Delivery *>(data);
    tarvelutil_batch_delete(delivery->batcher);
    delivery->order += 'D';
    return 0;
}

TEST_F(Batcher, ClosedBatchIsStillDeliveredAfterTheBatcherIsDeleted)
{
    // The check closes the batch; the delete is due after the check and
    // before the delivery, which happens batch time after the check.
    delivery.batcher = tarvelutil_batch_create(receive, &delivery, 2 * kShort, kShort);
    add_objects(delivery.batcher, "pq");
    vn_add_timed_event(0, 1.5 * kShort, delete_batcher, 0, &delivery);
    delivery.stop_on = 'q';
    vn_loop();
    EXPECT_EQ(delivery.order, "Dpq");
}

TEST(BatcherWithoutLoop, CreateOnAThreadWithoutALoopGivesNull)
{
    std::thread bare([] { EXPECT_EQ(tarvelutil_batch_create(receive, nullptr, 1, 1), nullptr); });
    bare.join();
}

} // namespace
