#include "vantrix_private.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

// Pools are never destroyed and these tests drop the elements they take on
// purpose, so leak checking says nothing useful about this program.
extern "C" const char *__asan_default_options()
{
    return "detect_leaks=0";
}

TEST(Memory, SmallPoolGrowsByItsStep)
{
    vn_memroot_t *pool = vn_new_memroot(32, 1, 4);
    EXPECT_EQ(pool->size, 1u);
    void *first = vn_mem_get(pool);
    EXPECT_EQ(pool->size, 0u);
    void *second = vn_mem_get(pool);
    EXPECT_EQ(pool->size, 3u); // four allocated at the second take, one handed out
    EXPECT_NE(first, second);
}

TEST(Memory, PoolWithoutIncreaseAndFewElementsStillGrows)
{
    vn_memroot_t *pool = vn_new_memroot(16, 0, 0);
    EXPECT_EQ(pool->num, 1u);
    EXPECT_EQ(pool->size, 1u); // a pool of 0 creates one element
    std::set<void *> taken;
    for (int i = 0; i < 5; i++)
        taken.insert(vn_mem_get(pool));
    EXPECT_EQ(taken.size(), 5u);
}

TEST(Memory, LargePoolAllocatesAWholeStepWhenEmpty)
{
    vn_memroot_t *pool = vn_new_memroot(8, 8192, 1024);
    for (int i = 0; i < 8192; i++)
        vn_mem_get(pool);
    EXPECT_EQ(pool->size, 0u);
    vn_mem_get(pool);
    EXPECT_EQ(pool->size, 1023u);
}

TEST(Memory, ReleaseTrimsAStepMostRecentFirst)
{
    vn_memroot_t *pool = vn_new_memroot(24, 8, 4);
    void *taken[12];
    for (auto &element : taken)
        element = vn_mem_get(pool);
    for (int i = 0; i < 11; i++)
        vn_mem_release(pool, taken[i]);
    EXPECT_EQ(pool->size, 11u);
    vn_mem_release(pool, taken[11]); // free count reaches min + step
    EXPECT_EQ(pool->size, 8u);
    // The four most recently released were freed; the next take is the 8th.
    EXPECT_EQ(vn_mem_get(pool), taken[7]);
}

TEST(Memory, PayloadIsUsableAndReusedLastInFirstOut)
{
    vn_memroot_t *pool = vn_new_memroot(sizeof(double) * 4, 2, 0);
    double *values = static_cast<double *>(vn_mem_get(pool));
    for (int i = 0; i < 4; i++)
        values[i] = i * 1.5;
    vn_mem_release(pool, values);
    EXPECT_EQ(vn_mem_get(pool), values);
}

TEST(Memory, WrappersHandleNullAndZero)
{
    void *block = vn_realloc(nullptr, 10);
    ASSERT_NE(block, nullptr);
    block = vn_realloc(block, 0);
    EXPECT_NE(block, nullptr);
    vn_free(block);
    vn_free(nullptr);
    char *copy = vn_strdup("text");
    EXPECT_STREQ(copy, "text");
    vn_free(copy);
    int *zeros = static_cast<int *>(vn_calloc(4, sizeof(int)));
    EXPECT_EQ(zeros[0] | zeros[1] | zeros[2] | zeros[3], 0);
    vn_free(zeros);
}

TEST(Memory, TaggedBlocksCarryTheirOrigin)
{
    unsigned char *block = static_cast<unsigned char *>(vn_malloc2(4, 'X', "record.cpp", 0x1234));
    const unsigned char *tag = block - 16;
    const unsigned char expected[16] = {0xF6, 0xF7, 0xF8, 0xF9, 'X', 'r', 'e', 'c', 0x12, 0x34, 1, 2, 3, 4, 5, 6};
    EXPECT_EQ(std::memcmp(tag, expected, 16), 0);
    block = static_cast<unsigned char *>(vn_realloc2(block, 64, 'Y', "ab", 1));
    EXPECT_EQ(block[-12], 'Y');
    vn_free2(block);
    EXPECT_EQ(vn_strduplen2(nullptr, 3, 'S', "f", 1), nullptr);
    char *copy = vn_strduplen2("abcdef", 3, 'S', "f", 1);
    EXPECT_STREQ(copy, "abc");
    vn_free2(copy);
}

TEST(MemoryDeathTest, ExhaustionAbortsWithoutAMessage)
{
#ifdef __SANITIZE_ADDRESS__
    const char *silence = ""; // the sanitizer's allocator warns on its own
#else
    const char *silence = "^$";
#endif
    EXPECT_DEATH(vn_malloc(SIZE_MAX / 2), silence);
}
