// The tracker table's subject hash: families of subjects as feeds name them
// spread evenly over the default 16,384 buckets, whichever byte varies.
#include "data_services.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr int kBuckets = 16384;
constexpr int kSubjects = 255 * 255; // about four a bucket

struct Family {
    const char *name;
    std::function<std::string(int)> subject;
};

std::string printed(const char *format, int value)
{
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// Two bytes that vary (1 to 255 each, every pair once as `value` goes
// through the subjects), set into a fixed text at the given offsets.
std::string with_bytes(std::string text, size_t first, size_t second, int value)
{
    text[first] = static_cast<char>(value % 255 + 1);
    text[second] = static_cast<char>(value / 255 + 1);
    return text;
}

TEST(SubjectHash, FamiliesOfSubjectsFillTheDefaultBucketsEvenly)
{
    const Family families[] = {
        {"numbered suffix", [](int i) { return printed("/bench/S%06d", i); }},
        {"number inside", [](int i) { return printed("EQ.%05d.LAST.PRICE", i); }},
        // The last byte of each 8-byte word varies: a mixer that moves high
        // bits only upwards would put these in a few buckets.
        {"last byte of words", [](int i) { return with_bytes("ABCDEFGHIJKLMNOPQR", 7, 15, i); }},
        {"first byte of words", [](int i) { return with_bytes("ABCDEFGHIJKLMNOPQR", 0, 8, i); }},
        {"short tails", [](int i) { return with_bytes("/x/ab", 3, 4, i); }},
    };
    // The hash this processor uses, and the one of processors without CRC32C.
    for (auto hash_of : {advmap_subject_hash, advmap_subject_hash_portable}) {
        for (const Family &family : families) {
            std::vector<int> load(kBuckets);
            for (int i = 0; i < kSubjects; i++) {
                std::string subject = family.subject(i);
                int hash = hash_of(subject.c_str());
                ASSERT_GE(hash, 0) << family.name;
                load[static_cast<size_t>(hash % kBuckets)]++;
            }
            // Four a bucket at random leaves about 1.8 % empty and none above 15.
            int empty = static_cast<int>(std::count(load.begin(), load.end(), 0));
            EXPECT_LT(empty, kBuckets * 4 / 100) << family.name;
            EXPECT_LE(*std::max_element(load.begin(), load.end()), 20) << family.name;
        }
    }
}

TEST(SubjectHash, EqualTextsHashAlikeWhereverTheyLie)
{
    for (auto hash_of : {advmap_subject_hash, advmap_subject_hash_portable}) {
        std::string stored = "/bench/EQ.VNTX.LAST";
        char buffer[64] = "xx/bench/EQ.VNTX.LAST";
        EXPECT_EQ(hash_of(stored.c_str()), hash_of(buffer + 2));
        EXPECT_NE(hash_of("/bench/EQ.VNTX.LAST"), hash_of("/bench/EQ.VNTX.LASU"));
        EXPECT_GE(hash_of(""), 0);
    }
}

} // namespace
