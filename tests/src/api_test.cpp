// The typed adders: numbers formatted with their field's format for the type,
// and formats that cannot print the value safely add nothing.
#include "record_fields.h"

#include <gtest/gtest.h>

#include <functional>

using vntest::Fields;
using vntest::Record;

namespace {

constexpr int kNoField = 77;
constexpr int kPlaces = 10;
constexpr int kMissingSet = 11;
constexpr int kHex = 12;
constexpr int kLongLong = 13;
constexpr int kNoConversion = 14;
constexpr int kString = 15;
constexpr int kTwoConversions = 16;
constexpr int kStarWidth = 17;
constexpr int kFloatForInt = 18;
constexpr int kPositional = 19;
constexpr int kTrailingPercent = 20;
constexpr int kFormatSlot = 512;
constexpr int kDecimalPlaces = 256;
constexpr int kFormatSet = 1024;

class TypedAdders : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        vntest::start_fields([] {
            vn_fields_add(kPlaces, "PLACES", kDecimalPlaces, 3, nullptr);
            vn_fields_add(kMissingSet, "MISSING", kFormatSet, -1, "no-such-set");
            vn_fields_add(kHex, "HEX", kFormatSlot, 5, "%x");
            vn_fields_add(kLongLong, "LONGLONG", kFormatSlot, 5, "%+lld");
            vn_fields_add(kNoConversion, "FIXED", kFormatSlot, 5, "n/a %%");
            vn_fields_add(kString, "STRING", kFormatSlot, 5, "%s");
            vn_fields_add(kTwoConversions, "TWO", kFormatSlot, 5, "%d%d");
            vn_fields_add(kStarWidth, "STAR", kFormatSlot, 5, "%*d");
            vn_fields_add(kFloatForInt, "FLOAT", kFormatSlot, 5, "%.2f");
            vn_fields_add(kPositional, "POSITIONAL", kFormatSlot, 5, "%1$d");
            vn_fields_add(kTrailingPercent, "TRAILING", kFormatSlot, 5, "%d %");
        });
    }
};

struct TypedCase {
    const char *name;
    std::function<void(vn_data_t *)> add;
    Fields expected;
};

class TypedAdder : public TypedAdders, public ::testing::WithParamInterface<TypedCase> {};

TEST_P(TypedAdder, FormatsWithTheFieldFormat)
{
    Record record(vn_init_data("S", 222, 0));
    GetParam().add(record.data);
    EXPECT_EQ(record.fields(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Record, TypedAdder,
    ::testing::Values(
        TypedCase{"Int8", [](vn_data_t *d) { vn_add_data_int8(d, kNoField, -5); }, {{kNoField, "-5"}}},
        TypedCase{"Int16", [](vn_data_t *d) { vn_add_data_int16(d, kNoField, -300); }, {{kNoField, "-300"}}},
        TypedCase{"Int32Negative", [](vn_data_t *d) { vn_add_data_int32(d, kNoField, -1); }, {{kNoField, "-1"}}},
        TypedCase{
            "Int64", [](vn_data_t *d) { vn_add_data_int64(d, kNoField, -5000000000LL); }, {{kNoField, "-5000000000"}}},
        TypedCase{"Float32", [](vn_data_t *d) { vn_add_data_float32(d, kNoField, 0.1f); }, {{kNoField, "0.1"}}},
        TypedCase{"Float64", [](vn_data_t *d) { vn_add_data_float64(d, kNoField, 0.1); }, {{kNoField, "0.1"}}},
        TypedCase{"DecimalPlaces", [](vn_data_t *d) { vn_add_data_float64(d, kPlaces, 0.1); }, {{kPlaces, "0.100"}}},
        TypedCase{"MissingFormatSet", [](vn_data_t *d) { vn_add_data_int32(d, kMissingSet, 5); }, {}},
        TypedCase{"NumberOutOfRange", [](vn_data_t *d) { vn_add_data_int32(d, 65536, 5); }, {}},
        TypedCase{"Hex", [](vn_data_t *d) { vn_add_data_int32(d, kHex, -1); }, {{kHex, "ffffffff"}}},
        TypedCase{"LongLong", [](vn_data_t *d) { vn_add_data_int32(d, kLongLong, 7); }, {{kLongLong, "+7"}}},
        TypedCase{
            "NoConversion", [](vn_data_t *d) { vn_add_data_int32(d, kNoConversion, 7); }, {{kNoConversion, "n/a %"}}},
        TypedCase{"StringFormat", [](vn_data_t *d) { vn_add_data_int32(d, kString, 7); }, {}},
        TypedCase{"TwoConversions", [](vn_data_t *d) { vn_add_data_int32(d, kTwoConversions, 7); }, {}},
        TypedCase{"StarWidth", [](vn_data_t *d) { vn_add_data_int32(d, kStarWidth, 7); }, {}},
        TypedCase{"FloatFormatForInteger", [](vn_data_t *d) { vn_add_data_int32(d, kFloatForInt, 7); }, {}},
        TypedCase{"Positional", [](vn_data_t *d) { vn_add_data_int32(d, kPositional, 7); }, {}},
        TypedCase{"TrailingPercent", [](vn_data_t *d) { vn_add_data_int32(d, kTrailingPercent, 7); }, {}}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
