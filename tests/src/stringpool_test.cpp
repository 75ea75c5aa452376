// The string pool: shared copies, counted references, and texts that are
// not the pool's.
#include "vantrix_private.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

// Runs once the option registry and the logs are merged (see stringpool.cpp).

namespace {

std::vector<std::string> messages;

void capture(vn_log_t *, int level, const char *fmt, va_list ap)
{
    char text[512];
    std::vsnprintf(text, sizeof text, fmt, ap);
    messages.push_back(std::to_string(level) + ":" + text);
}

class StringPool : public ::testing::Test {
protected:
    void SetUp() override
    {
        messages.clear();
        init.log = vn_new_level_log("stringpool_test", "/dev/null", nullptr);
        vn_log_set_message_cb(init.log, capture);
        _vn_stringpool_init(&init);
    }
    vn_init_t init{};
};

TEST_F(StringPool, EqualTextsShareOneCopyUntilTheLastRelease)
{
    std::string first = "subject.one", second = "subject.one";
    char *a = vn_stringpool_alloc(first.c_str());
    char *b = vn_stringpool_alloc(second.c_str());
    EXPECT_EQ(a, b);
    EXPECT_NE(a, first.c_str());
    EXPECT_STREQ(a, "subject.one");
    vn_stringpool_release(a);
    EXPECT_EQ(vn_stringpool_alloc("subject.one"), a); // one reference was still out
    vn_stringpool_release(a);
    vn_stringpool_release(a);
    EXPECT_TRUE(messages.empty());
    // All references are back: the text is no longer known.
    vn_stringpool_release("subject.one");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "2:Stringpool passed unknown string value <subject.one>\n");
}

TEST_F(StringPool, AnEqualTextFromElsewhereIsRefusedAndCountsNothing)
{
    char *pooled = vn_stringpool_alloc("name");
    char elsewhere[] = "name";
    vn_stringpool_release(elsewhere);
    ASSERT_EQ(messages.size(), 1u);
    char expected[128];
    std::snprintf(expected, sizeof expected, "2:Stringpool passed string value <name>/%p which isn't part of the pool\n",
                  static_cast<void *>(elsewhere));
    EXPECT_EQ(messages[0], expected);
    EXPECT_EQ(vn_stringpool_alloc("name"), pooled);
    vn_stringpool_release(pooled);
    vn_stringpool_release(pooled);
    EXPECT_EQ(messages.size(), 1u);
}

TEST_F(StringPool, ThreadsTakingAndGivingBackTheSameTextsAgree)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([] {
            for (int round = 0; round < 2000; round++) {
                std::string text = "text" + std::to_string(round % 7);
                char *pooled = vn_stringpool_alloc(text.c_str());
                EXPECT_EQ(text, pooled);
                vn_stringpool_release(pooled);
            }
        });
    }
    for (auto &thread : threads)
        thread.join();
    EXPECT_TRUE(messages.empty());
}

} // namespace

