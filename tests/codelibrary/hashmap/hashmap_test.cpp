// The growing hash map: growth, step-wise migration, lookups across both
// tables, walks, and the name=value reader.
#include "vantrix_private.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Keys are decimal numbers hashed to their value, so the bucket of each key is known.
int number_hash(const void *key)
{
    return std::atoi(static_cast<const char *>(key));
}

std::vector<std::string> numbers(int count)
{
    std::vector<std::string> keys;
    for (int i = 0; i < count; i++)
        keys.push_back(std::to_string(i));
    return keys;
}

void *data_of(intptr_t value)
{
    return reinterpret_cast<void *>(value);
}

struct Walk {
    std::vector<std::string> keys;
    std::vector<intptr_t> deallocated;
    int result = 1;
};

int record_visit(void *context, const void *key, void *)
{
    Walk *walk = static_cast<Walk *>(context);
    walk->keys.emplace_back(static_cast<const char *>(key));
    return walk->result;
}

void record_dealloc(void *context, void *data)
{
    static_cast<Walk *>(context)->deallocated.push_back(reinterpret_cast<intptr_t>(data));
}

// A map of 250 buckets just past its first growth: 501 keys, 100 old buckets moved.
class GrownMap : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (int i = 0; i < 501; i++)
            tarvelutil_hashmap_put(map, keys[i].c_str(), data_of(i + 1), 0);
    }
    void TearDown() override { tarvelutil_hashmap_delete(map); }
    void expect_all_found()
    {
        for (int i = 0; i < tarvelutil_hashmap_get_size(map); i++)
            ASSERT_EQ(tarvelutil_hashmap_get(map, keys[i].c_str(), 0), data_of(i + 1)) << keys[i];
    }
    Walk walk;
    std::vector<std::string> keys = numbers(503);
    tarvelutil_hashmap_t *map = tarvelutil_hashmap_create(250, number_hash, nullptr, record_dealloc, &walk, 0);
};

TEST_F(GrownMap, GrowsAtTheFirstPutPastTheFillAndMigratesInSteps)
{
    EXPECT_EQ(map->size, 500);
    EXPECT_EQ(map->size2, 250);
    EXPECT_EQ(map->migrated, 100);
    expect_all_found();
    tarvelutil_hashmap_put(map, keys[501].c_str(), data_of(502), 0);
    EXPECT_EQ(map->migrated, 200);
    expect_all_found();
    tarvelutil_hashmap_put(map, keys[502].c_str(), data_of(503), 0);
    EXPECT_EQ(map->size2, 0);
    EXPECT_EQ(map->migrated, 0);
    EXPECT_EQ(map->table2, nullptr);
    EXPECT_EQ(tarvelutil_hashmap_get_size(map), 503);
    expect_all_found();
}

TEST_F(GrownMap, KeyNotYetMovedIsReachedByEveryLookup)
{
    const char *unmoved = keys[150].c_str(); // old bucket 150, past the 100 moved
    std::string same = "150";
    walk.result = 2;
    EXPECT_EQ(tarvelutil_hashmap_find_foreach(map, same.c_str(), record_visit, &walk, 0), 1);
    EXPECT_EQ(walk.keys, (std::vector<std::string>{"150"}));
    EXPECT_EQ(tarvelutil_hashmap_put_unique(map, same.c_str(), data_of(1000), 0), data_of(151));
    EXPECT_EQ(tarvelutil_hashmap_get(map, unmoved, 0), data_of(1000));
    EXPECT_EQ(tarvelutil_hashmap_get_size(map), 501);
    EXPECT_EQ(tarvelutil_hashmap_remove(map, unmoved, 0), data_of(1000));
    EXPECT_EQ(tarvelutil_hashmap_get(map, unmoved, 0), nullptr);
    EXPECT_EQ(tarvelutil_hashmap_get_size(map), 500);
    EXPECT_TRUE(walk.deallocated.empty());
}

TEST_F(GrownMap, ForeachVisitsEveryEntryOnceDuringMigration)
{
    EXPECT_EQ(tarvelutil_hashmap_foreach(map, record_visit, &walk, 0), 501);
    std::sort(walk.keys.begin(), walk.keys.end());
    std::vector<std::string> expected(keys.begin(), keys.begin() + 501);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(walk.keys, expected);
}

TEST_F(GrownMap, ForeachRemovesOnZeroAndStopsOnMinusOne)
{
    walk.result = 0;
    EXPECT_EQ(tarvelutil_hashmap_foreach(map, record_visit, &walk, 0), 501);
    EXPECT_EQ(tarvelutil_hashmap_get_size(map), 0);
    EXPECT_TRUE(walk.deallocated.empty());
    tarvelutil_hashmap_put(map, "1", data_of(1), 0);
    tarvelutil_hashmap_put(map, "2", data_of(2), 0);
    walk.result = -1;
    EXPECT_EQ(tarvelutil_hashmap_foreach(map, record_visit, &walk, 0), 1);
    EXPECT_EQ(tarvelutil_hashmap_get_size(map), 2);
}

TEST_F(GrownMap, DeleteDeallocatesEntriesOfBothTables)
{
    tarvelutil_hashmap_delete(map);
    EXPECT_EQ(walk.deallocated.size(), 501u);
    map = tarvelutil_hashmap_create(0, nullptr, nullptr, nullptr, nullptr, 0);
    EXPECT_EQ(map->size, 250);
}

// Entries put after a growth are newer than those still waiting in the old
// table; moving the old ones must not put them in front.
TEST(HashmapDuplicates, NewestEqualKeyStaysFirstAcrossGrowth)
{
    tarvelutil_hashmap_t *map = tarvelutil_hashmap_create(1, nullptr, nullptr, nullptr, nullptr, 0);
    tarvelutil_hashmap_put(map, "k", data_of(1), 0);
    tarvelutil_hashmap_put(map, "k", data_of(2), 0);
    tarvelutil_hashmap_put(map, "k", data_of(3), 0); // grows to 2 buckets and moves the one old bucket
    EXPECT_EQ(map->size, 2);
    EXPECT_EQ(tarvelutil_hashmap_get(map, "k", 0), data_of(3));
    tarvelutil_hashmap_put(map, "k", data_of(4), 0);
    tarvelutil_hashmap_put(map, "k", data_of(5), 0); // grows to 4
    tarvelutil_hashmap_put(map, "k", data_of(6), 0);
    for (intptr_t newest = 6; newest >= 1; newest--)
        EXPECT_EQ(tarvelutil_hashmap_remove(map, "k", 0), data_of(newest));
    tarvelutil_hashmap_delete(map);
}

TEST(HashmapFindForeach, VisitsOnlyEqualKeysAndNothingWithoutAFunction)
{
    tarvelutil_hashmap_t *map = tarvelutil_hashmap_create(1, nullptr, nullptr, nullptr, nullptr, 0);
    for (const char *key : {"a", "b", "a", "c", "a"})
        tarvelutil_hashmap_put(map, key, data_of(1), 0);
    Walk walk;
    EXPECT_EQ(tarvelutil_hashmap_find_foreach(map, "a", nullptr, nullptr, 0), 0);
    walk.result = 0;
    EXPECT_EQ(tarvelutil_hashmap_find_foreach(map, "a", record_visit, &walk, 0), 3);
    EXPECT_EQ(walk.keys, (std::vector<std::string>{"a", "a", "a"}));
    EXPECT_EQ(tarvelutil_hashmap_get_size(map), 2);
    EXPECT_EQ(tarvelutil_hashmap_get(map, "a", 0), nullptr);
    tarvelutil_hashmap_delete(map);
}

TEST(HashmapTuning, SettingsShapeGrowthAndNonsenseIsIgnored)
{
    tarvelutil_hashmap_set_fill_factor(0);
    tarvelutil_hashmap_set_grow_factor(1);
    tarvelutil_hashmap_set_migrate_num(-4);
    tarvelutil_hashmap_set_fill_factor(1);
    tarvelutil_hashmap_set_grow_factor(3);
    tarvelutil_hashmap_set_migrate_num(1);
    std::vector<std::string> keys = numbers(3);
    tarvelutil_hashmap_t *map = tarvelutil_hashmap_create(2, number_hash, nullptr, nullptr, nullptr, 0);
    for (const auto &key : keys)
        tarvelutil_hashmap_put(map, key.c_str(), data_of(1), 0);
    EXPECT_EQ(map->size, 6);
    EXPECT_EQ(map->size2, 2);
    EXPECT_EQ(map->migrated, 1);
    tarvelutil_hashmap_delete(map);
}

int negative_hash(const void *key)
{
    return -number_hash(key) - 1;
}

TEST(HashmapHash, NegativeHashStaysInsideTheTable)
{
    std::vector<std::string> keys = numbers(40);
    tarvelutil_hashmap_t *map = tarvelutil_hashmap_create(3, negative_hash, nullptr, nullptr, nullptr, 0);
    for (size_t i = 0; i < keys.size(); i++)
        tarvelutil_hashmap_put(map, keys[i].c_str(), data_of(i + 1), 0);
    for (size_t i = 0; i < keys.size(); i++)
        EXPECT_EQ(tarvelutil_hashmap_get(map, keys[i].c_str(), 0), data_of(i + 1));
    tarvelutil_hashmap_delete(map);
}

// Decodes %XX escapes in place.
size_t percent_decode(const char *in, size_t, char *out, size_t)
{
    size_t written = 0;
    for (size_t i = 0; in[i] != '\0'; i++) {
        if (in[i] == '%' && std::strlen(in + i) >= 3) {
            out[written++] = static_cast<char>(std::strtol(std::string(in + i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out[written++] = in[i];
        }
    }
    out[written] = '\0';
    return written;
}

TEST(HashmapStringToHashmap, PutsDecodedNameValuePairsAndSkipsTheRest)
{
    char text[] = "a=1&b%21=x%20y=z&junk&&c=";
    tarvelutil_hashmap_t *map = tarvelutil_hashmap_create(0, nullptr, nullptr, nullptr, nullptr, 0);
    tarvelutil_hashmap_stringtohashmap(text, '&', map, percent_decode);
    EXPECT_EQ(tarvelutil_hashmap_get_size(map), 3);
    EXPECT_STREQ(static_cast<char *>(tarvelutil_hashmap_get(map, "a", 0)), "1");
    EXPECT_STREQ(static_cast<char *>(tarvelutil_hashmap_get(map, "b!", 0)), "x y=z");
    EXPECT_STREQ(static_cast<char *>(tarvelutil_hashmap_get(map, "c", 0)), "");
    tarvelutil_hashmap_stringtohashmap(nullptr, '&', map, percent_decode);
    EXPECT_EQ(tarvelutil_hashmap_get_size(map), 3);
    tarvelutil_hashmap_delete(map);
}

} // namespace
