// The data record's life and its plain and formatted adders.
#include "record_fields.h"
#include "vantrix_private.h"

#include <gtest/gtest.h>

#include <string>

using vntest::Fields;
using vntest::Record;

TEST(Record, NewRecordHoldsACopyOfTheSubjectAndNothingElse)
{
    std::string subject = "EQ.ABC";
    Record record(vn_init_data(subject.c_str(), 222, 0x1000));
    subject[0] = 'X';
    EXPECT_STREQ(record->subject, "EQ.ABC");
    EXPECT_EQ(record->type, 222);
    EXPECT_EQ(record->flags, 0x1000);
    EXPECT_EQ(record->seq, 0);
    EXPECT_EQ(record->count, 0);
    EXPECT_EQ(record->fields, nullptr);
    EXPECT_EQ(record->time, 0);
}

TEST(Record, SetSubjectReplacesTheSubjectEvenWithItself)
{
    Record record(vn_init_data("OLD", 222, 0));
    vn_set_subject(record.data, "NEW");
    EXPECT_STREQ(record->subject, "NEW");
    // The old subject is freed only after the new one is copied.
    vn_set_subject(record.data, record->subject);
    EXPECT_STREQ(record->subject, "NEW");
}

TEST(Record, PlainAddersKeepOrderAndRepeatedNumbers)
{
    Record record(vn_init_data("S", 222, 0));
    vn_add_data(record.data, 5, "five");
    vn_add_data_str(record.data, -7, "");
    vn_add_data_char(record.data, 5, 'x');
    vn_add_data_char(record.data, 8, '\0');
    vn_add_data_fmt(record.data, 9, "%d-%s", 42, "z");
    EXPECT_EQ(record.fields(), (Fields{{5, "five"}, {-7, ""}, {5, "x"}, {8, ""}, {9, "42-z"}}));
    EXPECT_EQ(record->fields[3].len, 0);
    EXPECT_EQ(record->fields[4].len, 4);
}

TEST(Record, FormattedValueIsCutTo255Characters)
{
    Record record(vn_init_data("S", 222, 0));
    std::string long_text(300, 'q');
    vn_add_data_fmt(record.data, 1, "%s", long_text.c_str());
    EXPECT_EQ(record.fields(), (Fields{{1, std::string(255, 'q')}}));
}

class ByName : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        vntest::start_fields([] { vn_fields_add(22, "BID", 0, -1, nullptr); });
    }
};

TEST_F(ByName, KnownNamesAddAndReturnTheirNumber)
{
    Record record(vn_init_data("S", 222, 0));
    EXPECT_EQ(vn_add_record_str(record.data, "BID", "text"), 22);
    EXPECT_EQ(vn_add_record_fmt(record.data, "BID", "%s-%d", "a", 1), 22);
    EXPECT_EQ(vn_add_record_float(record.data, "BID", 2.5), 22);
    EXPECT_EQ(vn_add_record_char(record.data, "BID", 'c'), 22);
    EXPECT_EQ(vn_add_record_int(record.data, "BID", -7), 22);
    EXPECT_EQ(record.fields(), (Fields{{22, "text"}, {22, "a-1"}, {22, "2.5"}, {22, "c"}, {22, "-7"}}));
}

TEST_F(ByName, UnknownNamesAddNothing)
{
    Record record(vn_init_data("S", 222, 0));
    EXPECT_EQ(vn_add_record_str(record.data, "ASK", "text"), INT_MIN);
    EXPECT_EQ(vn_add_record_fmt(record.data, "ASK", "%d", 1), INT_MIN);
    EXPECT_EQ(vn_add_record_float(record.data, "ASK", 1.0), INT_MIN);
    EXPECT_EQ(vn_add_record_char(record.data, "ASK", 'c'), INT_MIN);
    EXPECT_EQ(vn_add_record_int(record.data, "ASK", 1), INT_MIN);
    EXPECT_EQ(record->count, 0);
}

TEST_F(ByName, FormattedValueIsCutTo1023Characters)
{
    Record record(vn_init_data("S", 222, 0));
    std::string long_text(1100, 'q');
    vn_add_record_fmt(record.data, "BID", "%s", long_text.c_str());
    EXPECT_EQ(record.fields(), (Fields{{22, std::string(1023, 'q')}}));
}
