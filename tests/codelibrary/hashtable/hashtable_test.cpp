// The locked hash table: entries, holds across calls, the removal handshake
// and many threads at once.
#include "vantrix_private.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

// A waiting thread keeps the bucket mutex from its first key comparison until
// it sleeps on the entry, so once it has announced itself from the comparison,
// any further call on that bucket runs only after the thread is waiting.
thread_local std::promise<void> *announce_on_compare;
// Run once by the next comparison on this thread, with the bucket mutex held.
thread_local std::function<void()> run_on_compare;

int announcing_compare(const void *key1, const void *key2)
{
    if (announce_on_compare != nullptr) {
        announce_on_compare->set_value();
        announce_on_compare = nullptr;
    }
    if (run_on_compare) {
        std::function<void()> run = std::move(run_on_compare);
        run_on_compare = nullptr;
        run();
    }
    return std::strcmp(static_cast<const char *>(key1), static_cast<const char *>(key2));
}

// Runs `call` on a new thread and returns once that thread is inside the table.
template <typename Result>
std::future<Result> start_waiter(std::function<Result()> call)
{
    std::promise<void> inside;
    std::future<void> announced = inside.get_future();
    std::future<Result> result = std::async(std::launch::async, [call, &inside] {
        announce_on_compare = &inside;
        return call();
    });
    announced.wait();
    return result;
}

int always_one(const void *)
{
    return 1;
}

struct Record {
    std::vector<std::string> visited;
    std::vector<intptr_t> deallocated;
    std::string stop_at;
    int result = 1;
};

int record_visit(void *context, const void *key, void *)
{
    Record *record = static_cast<Record *>(context);
    record->visited.emplace_back(static_cast<const char *>(key));
    return record->visited.back() == record->stop_at ? -1 : record->result;
}

void record_dealloc(void *context, void *data)
{
    static_cast<Record *>(context)->deallocated.push_back(reinterpret_cast<intptr_t>(data));
}

void *data_of(intptr_t value)
{
    return reinterpret_cast<void *>(value);
}

class HashtableTest : public ::testing::Test {
protected:
    void TearDown() override { tarvelutil_hashtable_delete(table); }
    Record record;
    tarvelutil_hashtable_t *table =
        tarvelutil_hashtable_create(0, nullptr, announcing_compare, record_dealloc, &record, 0);
};

TEST_F(HashtableTest, SizeBelowOneMakes250Buckets)
{
    EXPECT_EQ(table->size, 250);
    tarvelutil_hashtable_t *negative = tarvelutil_hashtable_create(-3, nullptr, nullptr, nullptr, nullptr, 0);
    EXPECT_EQ(negative->size, 250);
    tarvelutil_hashtable_delete(negative);
}

TEST_F(HashtableTest, DefaultsHashAndCompareTheKeyText)
{
    tarvelutil_hashtable_t *plain = tarvelutil_hashtable_create(7, nullptr, nullptr, nullptr, nullptr, 0);
    tarvelutil_hashtable_put(plain, "alpha", data_of(1), 0);
    std::string same = "alpha";
    EXPECT_EQ(tarvelutil_hashtable_get(plain, same.c_str(), 0), data_of(1));
    EXPECT_EQ(tarvelutil_hashtable_get(plain, "beta", 0), nullptr);
    tarvelutil_hashtable_delete(plain);
}

TEST_F(HashtableTest, DuplicatePutsStayAndTheNewestIsFound)
{
    tarvelutil_hashtable_put(table, "k", data_of(1), 1);
    tarvelutil_hashtable_put(table, "k", data_of(2), 1);
    EXPECT_EQ(tarvelutil_hashtable_get_size(table), 2);
    EXPECT_EQ(tarvelutil_hashtable_get(table, "k", 0), data_of(2));
    // One release gives back the read hold on both, so write removes do not wait.
    tarvelutil_hashtable_release(table, "k", 1);
    EXPECT_EQ(tarvelutil_hashtable_remove(table, "k", 2), data_of(2));
    EXPECT_EQ(tarvelutil_hashtable_remove(table, "k", 2), data_of(1));
    EXPECT_EQ(tarvelutil_hashtable_get_size(table), 0);
    EXPECT_TRUE(record.deallocated.empty());
}

TEST_F(HashtableTest, PutUniqueAddsOnceThenReplaces)
{
    EXPECT_EQ(tarvelutil_hashtable_put_unique(table, "k", data_of(1), 0), nullptr);
    std::string same = "k";
    EXPECT_EQ(tarvelutil_hashtable_put_unique(table, same.c_str(), data_of(2), 2), data_of(1));
    EXPECT_EQ(tarvelutil_hashtable_get_size(table), 1);
    tarvelutil_hashtable_release(table, "k", 2);
    EXPECT_EQ(tarvelutil_hashtable_get(table, "k", 1), data_of(2));
    tarvelutil_hashtable_release(table, "k", 1);
}

TEST_F(HashtableTest, RemoveOfAMissingKeyGivesNull)
{
    EXPECT_EQ(tarvelutil_hashtable_remove(table, "none", 2), nullptr);
    EXPECT_EQ(tarvelutil_hashtable_get(table, "none", 1), nullptr);
}

TEST_F(HashtableTest, ForeachRemovingEveryEntryEmptiesTheTableWithoutDealloc)
{
    for (const char *key : {"a", "b", "c", "d"})
        tarvelutil_hashtable_put(table, key, data_of(1), 0);
    record.result = 0;
    EXPECT_EQ(tarvelutil_hashtable_foreach(table, record_visit, &record, 0), 4);
    EXPECT_EQ(record.visited.size(), 4u);
    EXPECT_EQ(tarvelutil_hashtable_get_size(table), 0);
    EXPECT_EQ(tarvelutil_hashtable_foreach(table, nullptr, nullptr, 0), 0);
    EXPECT_TRUE(record.deallocated.empty());
}

TEST_F(HashtableTest, ForeachStopsAtMinusOneAndGivesItsHoldBack)
{
    tarvelutil_hashtable_t *one = tarvelutil_hashtable_create(1, nullptr, nullptr, nullptr, nullptr, 0);
    for (const char *key : {"a", "b", "c"})
        tarvelutil_hashtable_put(one, key, data_of(1), 0);
    record.stop_at = "b";
    EXPECT_EQ(tarvelutil_hashtable_foreach(one, record_visit, &record, 2), 2);
    EXPECT_EQ(record.visited, (std::vector<std::string>{"c", "b"}));
    EXPECT_EQ(tarvelutil_hashtable_remove(one, "b", 2), data_of(1)); // would wait for a kept hold
    tarvelutil_hashtable_delete(one);
}

TEST_F(HashtableTest, DeleteDeallocatesEachRemainingEntry)
{
    tarvelutil_hashtable_put(table, "a", data_of(1), 0);
    tarvelutil_hashtable_put(table, "b", data_of(2), 1);
    tarvelutil_hashtable_put(table, "a", data_of(3), 0);
    tarvelutil_hashtable_remove(table, "b", 0);
    tarvelutil_hashtable_delete(table);
    std::sort(record.deallocated.begin(), record.deallocated.end());
    EXPECT_EQ(record.deallocated, (std::vector<intptr_t>{1, 3}));
    table = tarvelutil_hashtable_create(1, nullptr, nullptr, nullptr, nullptr, 0);
}

int negative_hash(const void *key)
{
    return -static_cast<int>(std::strlen(static_cast<const char *>(key))) - 1;
}

TEST(HashtableHash, NegativeHashStaysInsideTheTable)
{
    tarvelutil_hashtable_t *table = tarvelutil_hashtable_create(3, negative_hash, nullptr, nullptr, nullptr, 0);
    for (const char *key : {"a", "bb", "ccc", "dddd"})
        tarvelutil_hashtable_put(table, key, const_cast<char *>(key), 0);
    for (const char *key : {"a", "bb", "ccc", "dddd"})
        EXPECT_STREQ(static_cast<char *>(tarvelutil_hashtable_get(table, key, 0)), key);
    tarvelutil_hashtable_delete(table);
}

// Keys of one length share a full hash, so a look-up must still compare them.
int length_hash(const void *key)
{
    return static_cast<int>(std::strlen(static_cast<const char *>(key)));
}

int collect_key(void *context, const void *key, void *)
{
    static_cast<std::vector<std::string> *>(context)->emplace_back(static_cast<const char *>(key));
    return 1;
}

// One chain of keys with shared and distinct hashes; removing its newest,
// oldest and middle entries leaves the rest findable, walked newest first.
TEST(HashtableHash, OneChainStaysWholeAsEntriesLeaveAnywhere)
{
    tarvelutil_hashtable_t *table = tarvelutil_hashtable_create(1, length_hash, nullptr, nullptr, nullptr, 0);
    std::vector<std::string> keys = {"a", "b", "cc", "dd", "eee", "f", "gg", "hhhh"};
    for (std::string &key : keys)
        tarvelutil_hashtable_put(table, key.c_str(), key.data(), 0);
    std::vector<std::string> live(keys.rbegin(), keys.rend()); // newest first
    for (std::string gone : {"hhhh", "a", "dd", "f"}) {
        EXPECT_STREQ(static_cast<char *>(tarvelutil_hashtable_remove(table, std::string(gone).c_str(), 2)),
                     gone.c_str());
        live.erase(std::find(live.begin(), live.end(), gone));
        EXPECT_EQ(tarvelutil_hashtable_get(table, gone.c_str(), 0), nullptr) << gone;
        for (const std::string &key : live)
            EXPECT_STREQ(static_cast<char *>(tarvelutil_hashtable_get(table, std::string(key).c_str(), 0)),
                         key.c_str());
        std::vector<std::string> walked;
        EXPECT_EQ(tarvelutil_hashtable_foreach(table, collect_key, &walked, 0), static_cast<int>(live.size()));
        EXPECT_EQ(walked, live);
    }
    tarvelutil_hashtable_delete(table);
}

// Holds across threads.

TEST_F(HashtableTest, WriteGetWaitsForTheReaderAndThenGetsTheData)
{
    tarvelutil_hashtable_put(table, "k", data_of(5), 1);
    auto writer = start_waiter<void *>([this] { return tarvelutil_hashtable_get(table, "k", 2); });
    EXPECT_EQ(tarvelutil_hashtable_get(table, "k", 0), data_of(5)); // the writer is asleep by now
    tarvelutil_hashtable_release(table, "k", 1);
    EXPECT_EQ(writer.get(), data_of(5));
    tarvelutil_hashtable_release(table, "k", 2);
}

TEST_F(HashtableTest, RemovingAnEntryWakesItsWaitersEmptyHanded)
{
    tarvelutil_hashtable_put(table, "k", data_of(5), 2);
    std::vector<std::future<void *>> waiters;
    waiters.push_back(start_waiter<void *>([this] { return tarvelutil_hashtable_get(table, "k", 2); }));
    waiters.push_back(start_waiter<void *>([this] { return tarvelutil_hashtable_get(table, "k", 1); }));
    waiters.push_back(start_waiter<void *>([this] { return tarvelutil_hashtable_put_unique(table, "k", data_of(9), 0); }));
    // put_unique with no hold does not wait: it replaced the data at once.
    EXPECT_EQ(waiters.back().get(), data_of(5));
    waiters.pop_back();
    // Returns only once both waiters have let go of the entry.
    EXPECT_EQ(tarvelutil_hashtable_remove(table, "k", 0), data_of(9));
    for (auto &waiter : waiters)
        EXPECT_EQ(waiter.get(), nullptr);
    EXPECT_EQ(tarvelutil_hashtable_get_size(table), 0);
}

TEST_F(HashtableTest, PutUniqueWaitingOnARemovedEntryAddsANewOne)
{
    tarvelutil_hashtable_put(table, "k", data_of(5), 1);
    auto putter = start_waiter<void *>([this] { return tarvelutil_hashtable_put_unique(table, "k", data_of(6), 2); });
    EXPECT_EQ(tarvelutil_hashtable_remove(table, "k", 0), data_of(5));
    EXPECT_EQ(putter.get(), nullptr);
    EXPECT_EQ(tarvelutil_hashtable_get(table, "k", 0), data_of(6));
    tarvelutil_hashtable_release(table, "k", 2);
}

TEST_F(HashtableTest, WriteRemoveWaitsUntilTheReadHoldIsReleased)
{
    tarvelutil_hashtable_put(table, "k", data_of(5), 1);
    auto remover = start_waiter<void *>([this] { return tarvelutil_hashtable_remove(table, "k", 2); });
    EXPECT_EQ(tarvelutil_hashtable_get(table, "k", 0), data_of(5)); // still there: the remover waits
    tarvelutil_hashtable_release(table, "k", 1);
    EXPECT_EQ(remover.get(), data_of(5));
    EXPECT_EQ(tarvelutil_hashtable_get(table, "k", 0), nullptr);
}

// A hold given back through its entry wakes whoever sleeps on it, and one
// given back between a waiter's look-up and its sleep is not missed either.
TEST_F(HashtableTest, HeldWriteReleaseWakesASleepingWaiterOfEitherKind)
{
    for (int flags : {1, 2}) {
        void *held = nullptr;
        int hash = _tarvelutil_hashtable_hash(table, "k");
        _tarvelutil_hashtable_put_hashed(table, "k", hash, data_of(5), 0, &held);
        ASSERT_NE(held, nullptr);
        ASSERT_EQ(_tarvelutil_hashtable_get_hashed(table, "k", hash, 2), data_of(5));
        auto waiter = start_waiter<void *>([this, flags] { return tarvelutil_hashtable_get(table, "k", flags); });
        EXPECT_EQ(tarvelutil_hashtable_get(table, "k", 0), data_of(5)); // the waiter is asleep by now
        _tarvelutil_hashtable_release_held(table, held, 2);
        EXPECT_EQ(waiter.get(), data_of(5)) << flags;
        tarvelutil_hashtable_release(table, "k", flags);
        EXPECT_EQ(tarvelutil_hashtable_remove(table, "k", 2), data_of(5)); // nothing is held any more
    }
}

TEST_F(HashtableTest, HeldWriteReleaseBetweenAWaitersLookUpAndItsSleep)
{
    void *held = nullptr;
    _tarvelutil_hashtable_put_hashed(table, "k", _tarvelutil_hashtable_hash(table, "k"), data_of(5), 2, &held);
    ASSERT_NE(held, nullptr);
    // The waiter has found the held entry and keeps the bucket mutex: the
    // holder gives the hold back then, without that mutex.
    run_on_compare = [this, held] { _tarvelutil_hashtable_release_held(table, held, 2); };
    EXPECT_EQ(tarvelutil_hashtable_get(table, "k", 2), data_of(5));
    tarvelutil_hashtable_release(table, "k", 2);
    EXPECT_EQ(tarvelutil_hashtable_remove(table, "k", 2), data_of(5));
}

// A walk that waited on an entry removed meanwhile carries on behind it.
TEST(HashtableForeach, WalkGoesOnPastAnEntryRemovedWhileItWaited)
{
    tarvelutil_hashtable_t *table = tarvelutil_hashtable_create(1, always_one, nullptr, nullptr, nullptr, 0);
    for (const char *key : {"a", "b", "c"}) // the chain is c, b, a
        tarvelutil_hashtable_put(table, key, data_of(1), 0);
    tarvelutil_hashtable_get(table, "b", 2);
    struct Walk {
        std::promise<void> at_first;
        std::vector<std::string> visited;
    } walk;
    std::future<void> at_first = walk.at_first.get_future();
    auto walker = std::async(std::launch::async, [&] {
        return tarvelutil_hashtable_foreach(
            table,
            [](void *context, const void *key, void *) {
                Walk *walk = static_cast<Walk *>(context);
                walk->visited.emplace_back(static_cast<const char *>(key));
                if (walk->visited.size() == 1)
                    walk->at_first.set_value(); // the walker keeps the bucket until it waits on b
                return 1;
            },
            &walk, 1);
    });
    at_first.wait();
    EXPECT_EQ(tarvelutil_hashtable_remove(table, "b", 0), data_of(1));
    EXPECT_EQ(walker.get(), 3);
    EXPECT_EQ(walk.visited, (std::vector<std::string>{"c", "a"}));
    tarvelutil_hashtable_delete(table);
}

// Write holds make read-modify-write of the data exclusive across threads,
// while readers, walkers and churn on other keys run alongside.
TEST(HashtableThreads, WriteHoldsSerialiseUpdates)
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 2000;
    const char *keys[] = {"k0", "k1", "k2"};
    tarvelutil_hashtable_t *table = tarvelutil_hashtable_create(2, nullptr, nullptr, nullptr, nullptr, 0);
    long counters[3] = {0, 0, 0};
    void *entries[3];
    for (int i = 0; i < 3; i++)
        _tarvelutil_hashtable_put_hashed(table, keys[i], _tarvelutil_hashtable_hash(table, keys[i]), &counters[i], 0,
                                         &entries[i]);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            // Half the writers give their holds back through the entry,
            // mostly without the bucket mutex.
            bool by_entry = t % 2 == 1;
            for (int round = 0; round < kRounds; round++) {
                int k = (t + round) % 3;
                const char *key = keys[k];
                long *counter = static_cast<long *>(
                    _tarvelutil_hashtable_get_hashed(table, key, _tarvelutil_hashtable_hash(table, key), 2));
                ++*counter;
                if (by_entry)
                    _tarvelutil_hashtable_release_held(table, entries[k], 2);
                else
                    tarvelutil_hashtable_release(table, key, 2);
            }
        });
    }
    threads.emplace_back([&] {
        for (int round = 0; round < kRounds; round++) {
            long *counter = static_cast<long *>(tarvelutil_hashtable_get(table, keys[round % 3], 1));
            EXPECT_GE(*counter, 0);
            tarvelutil_hashtable_release(table, keys[round % 3], 1);
        }
    });
    threads.emplace_back([&] {
        for (int round = 0; round < kRounds / 10; round++) {
            tarvelutil_hashtable_foreach(
                table,
                [](void *, const void *, void *data) {
                    EXPECT_GE(*static_cast<long *>(data), 0); // read under a read hold
                    return 1;
                },
                nullptr, 1);
        }
    });
    threads.emplace_back([&] {
        long churn_value = 0;
        std::vector<std::string> names;
        for (int i = 0; i < 50; i++)
            names.push_back("churn" + std::to_string(i));
        for (int round = 0; round < kRounds; round++) {
            const std::string &name = names[round % names.size()];
            if (tarvelutil_hashtable_put_unique(table, name.c_str(), &churn_value, 2) == nullptr)
                tarvelutil_hashtable_remove(table, name.c_str(), 0);
            else
                tarvelutil_hashtable_release(table, name.c_str(), 2);
        }
    });
    for (auto &thread : threads)
        thread.join();
    EXPECT_EQ(counters[0] + counters[1] + counters[2], long(kThreads) * kRounds);
    EXPECT_EQ(tarvelutil_hashtable_get_size(table), 3);
    tarvelutil_hashtable_delete(table);
}

} // namespace
