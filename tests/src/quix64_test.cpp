#include "vantrix_private.h"

#include <gtest/gtest.h>

namespace {

TEST(Quix64, DigitsCoverTheAlphabetInOrder)
{
    std::string digits;
    for (int i = 0; i < 64; i++)
        digits += vn_quix64_map(i);
    EXPECT_EQ(digits, "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz-_");
    EXPECT_EQ(vn_quix64_hi(64 * 10 + 63), 'A');
    EXPECT_EQ(vn_quix64_lo(64 * 10 + 63), '_');
    EXPECT_EQ(vn_quix64_hi(4095), '_');
}

TEST(Quix64, ValuesOutsideTheTablesGiveNoDigit)
{
    for (int value : {-1, 64, INT_MIN})
        EXPECT_EQ(vn_quix64_map(value), '\0') << value;
    for (int value : {-1, 4096, INT_MAX}) {
        EXPECT_EQ(vn_quix64_hi(value), '\0') << value;
        EXPECT_EQ(vn_quix64_lo(value), '\0') << value;
    }
}

TEST(Quix64, DecodesDigitStrings)
{
    const struct {
        const char *text;
        int value;
    } cases[] = {
        {"", 0}, {"1", 1}, {"10", 64}, {"100", 4096}, {"__", 4095}, {"1+", -1}, {" 1", -1},
        {"\xC3\xA9", -1}, {"1_____", 2147483647}, // INT_MAX
        {"2000000", -1}, // above INT_MAX
    };
    for (const auto &c : cases)
        EXPECT_EQ(vn_quix64_decode(c.text), c.value) << c.text;
}

} // namespace
