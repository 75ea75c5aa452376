#include "vantrix_private.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Record {
    vn_data_t *data = vn_new_datapkt("subject", 222, 0);
    ~Record() { vn_free_datapkt(data); }
    std::string value(int index = 0) const { return data->fields[index].value; }
};

std::string encode(const std::string &bytes)
{
    std::vector<char> buf(4 * ((bytes.size() + 2) / 3) + 1, '#');
    size_t written = vn_base64_encode(buf.data(), bytes.data(), bytes.size());
    EXPECT_EQ(written, buf.size());
    return buf.data();
}

std::string decode(const std::string &text)
{
    std::vector<unsigned char> buf(3 * (text.size() / 4) + 1, '#');
    size_t decoded = vn_base64_decode(text.c_str(), buf.data());
    EXPECT_EQ(buf[3 * (text.size() / 4)], 0) << "decoded bytes are terminated";
    return std::string(reinterpret_cast<char *>(buf.data()), decoded);
}

TEST(Base64, EncodesEveryRemainderLength)
{
    const struct {
        std::string bytes, text;
    } cases[] = {
        {"", ""}, {"\xFF", "/w=="}, {"ab", "YWI="}, {"abc", "YWJj"}, {"abcd", "YWJjZA=="},
        {std::string("\0\0\0", 3), "AAAA"}, {"\xFB\xFF\xBF", "+/+/"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(encode(c.bytes), c.text);
}

TEST(Base64, DecodesCountingOnlyWholeGroups)
{
    const struct {
        std::string text, bytes;
    } cases[] = {
        {"YWJj", "abc"}, {"/w==", "\xFF"}, {"YWI=", "ab"}, {"YWJ", ""}, {"", ""},
        {"YWJjZ", "abc"},                    // a trailing partial group is ignored
        {"!!!!", std::string("\0\0\0", 3)}, // characters outside the alphabet read as 0
        {"\xC3\xA9\xFF\x80", std::string("\0\0\0", 3)},
    };
    for (const auto &c : cases)
        EXPECT_EQ(decode(c.text), c.bytes) << c.text;
}

TEST(Base64, RoundTripsEveryByteValue)
{
    std::string bytes;
    for (int i = 0; i < 256; i++)
        bytes += static_cast<char>(i);
    for (size_t len = 0; len <= bytes.size(); len += 37)
        EXPECT_EQ(decode(encode(bytes.substr(0, len))), bytes.substr(0, len));
}

TEST(Binary, AddersWriteLetterAndBigEndianBase64)
{
    Record r;
    vn_add_binary_int32(r.data, 1, 1);
    vn_add_binary_int16(r.data, 2, 1);
    vn_add_binary_time(r.data, 3, 1);
    vn_add_binary_uint8(r.data, 4, 255);
    vn_add_binary_string(r.data, 5, "abc");
    vn_add_binary_opaque(r.data, 6, "\x00\xFF", 2);
    vn_add_binary(r.data, 7, "abc", 3, 'z');
    vn_add_binary_timeval(r.data, 8, timeval{1, 2});
    vn_add_binary_int8(r.data, 9, -1);
    ASSERT_EQ(r.data->count, 9);
    EXPECT_EQ(r.value(0), "eAAAAAQ==");
    EXPECT_EQ(r.value(1), "dAAE=");
    EXPECT_EQ(r.value(2), "mAAAAAQAAAAA="); // 00 00 00 01 00 00 00 00
    EXPECT_EQ(r.value(3), "g/w==");
    EXPECT_EQ(r.value(4), "kYWJj");
    EXPECT_EQ(r.value(5), "lAP8=");
    EXPECT_EQ(r.value(6), "zYWJj");
    EXPECT_EQ(r.value(7), "oAAAAAQAAAAI="); // 00 00 00 01 00 00 00 02
    EXPECT_EQ(r.value(8), "c/w==");
    EXPECT_EQ(r.data->fields[8].fieldnum, 9);
}

TEST(Binary, PrefixOfAnyLengthIsCopiedBeforeTheLetter)
{
    Record r;
    vn_add_binary2_uint8(r.data, "XY", 2, 1, 255);
    std::string long_prefix(1000, 'p');
    vn_add_binary2_float64(r.data, long_prefix.data(), long_prefix.size(), 2, 1.5);
    vn_add_binary2_string(r.data, long_prefix.data(), long_prefix.size(), 3, "abc");
    vn_add_binary2_opaque(r.data, "P", 1, 4, "ab", 2);
    EXPECT_EQ(r.value(0), "XYg/w==");
    EXPECT_EQ(r.value(1), long_prefix + "bP/gAAAAAAAA=");
    EXPECT_EQ(r.value(2), long_prefix + "kYWJj");
    EXPECT_EQ(r.value(3), "PlYWI=");
}

TEST(Binary, ReadersReturnWhatTheAddersWrote)
{
    Record r;
    vn_add_binary_float32(r.data, 1, -2.5f);
    vn_add_binary_float64(r.data, 1, 0.1);
    vn_add_binary_int8(r.data, 1, -128);
    vn_add_binary_int16(r.data, 1, -2);
    vn_add_binary_int32(r.data, 1, INT32_MIN);
    vn_add_binary_int64(r.data, 1, -3);
    vn_add_binary_uint8(r.data, 1, 200);
    vn_add_binary_uint16(r.data, 1, 65535);
    vn_add_binary_uint32(r.data, 1, 4000000000u);
    vn_add_binary_uint64(r.data, 1, UINT64_MAX - 1);
    vn_add_binary_time_millis(r.data, 1, -5);
    auto text = [&](int i) { return r.data->fields[i].value + 1; };
    EXPECT_EQ(vn_get_binary_float32(text(0)), -2.5f);
    EXPECT_EQ(vn_get_binary_float64(text(1)), 0.1);
    EXPECT_EQ(vn_get_binary_int8(text(2)), -128);
    EXPECT_EQ(vn_get_binary_int16(text(3)), -2);
    EXPECT_EQ(vn_get_binary_int32(text(4)), INT32_MIN);
    EXPECT_EQ(vn_get_binary_int64(text(5)), -3);
    EXPECT_EQ(vn_get_binary_uint8(text(6)), 200);
    EXPECT_EQ(vn_get_binary_uint16(text(7)), 65535);
    EXPECT_EQ(vn_get_binary_uint32(text(8)), 4000000000u);
    EXPECT_EQ(vn_get_binary_uint64(text(9)), UINT64_MAX - 1);
    EXPECT_EQ(vn_get_binary_int64(text(10)), -5);
}

TEST(Binary, ReadersStayInsideTheirBufferWhateverTheText)
{
    EXPECT_EQ(vn_get_binary_int32("AAAAAQ=="), 1);
    EXPECT_EQ(vn_get_binary_int8("/w=="), -1);
    // Longer texts give their first bytes; shorter ones read missing bytes as 0.
    std::string long_text = "AAAAAQ" + std::string(10000, 'A');
    EXPECT_EQ(vn_get_binary_int32(long_text.c_str()), 1);
    EXPECT_EQ(vn_get_binary_uint64(std::string(500, '/').c_str()), UINT64_MAX);
    EXPECT_EQ(vn_get_binary_uint64("AAAB"), 0x0000010000000000u);
    EXPECT_EQ(vn_get_binary_uint64("AAA"), 0u);
    EXPECT_EQ(vn_get_binary_uint64(""), 0u);
    EXPECT_EQ(vn_get_binary_uint16("\xFF\xFF\xFF\xFF"), 0u);
}

} // namespace
