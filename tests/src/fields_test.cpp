#include "test_support.h"
#include "vantrix_private.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace {

// A fresh option registry with the field options, into which configuration
// lines ("keyword value") are applied while the messages are captured.
class Fields : public ::testing::Test {
protected:
    void SetUp() override
    {
        vn_config_set_ctx(vn_config_new_ctx());
        _vn_fields_config_init();
    }

    // Applies each line; returns what went to standard error.
    static std::string read_config(const std::string &text)
    {
        testing::internal::CaptureStderr();
        size_t start = 0;
        for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
            std::string line = text.substr(start, end - start);
            size_t blank = line.find(' ');
            std::string keyword = line.substr(0, blank);
            if (blank == std::string::npos)
                vn_config_set_option(keyword.c_str(), nullptr);
            else
                vn_config_set_option(keyword.c_str(), line.substr(blank + 1).c_str());
        }
        return testing::internal::GetCapturedStderr();
    }

    void start()
    {
        vn_init_t init{};
        _vn_fields_init(&init);
    }
};

TEST_F(Fields, AddFieldLinesFillTheTableAndItsLookups)
{
    EXPECT_EQ(read_config("add-field BID 22\nadd-field ASK -3 type2\nadd-field TOP 65535\nadd-field BOTTOM -65535\n"),
              "");
    ASSERT_EQ(vn_fields_max(), 4);
    EXPECT_EQ(vn_fields_numbyname("BID"), 22);
    EXPECT_EQ(vn_fields_indexbyname("ASK"), 1);
    EXPECT_STREQ(vn_fields_namebynum(-3), "ASK");
    EXPECT_EQ(vn_fields_indexbynum(65535), 2);
    EXPECT_EQ(vn_fields_numbyindex(3), -65535);
    EXPECT_STREQ(vn_fields_namebyindex(0), "BID");
    EXPECT_EQ(vn_fields_getflags(1), 2);
    EXPECT_EQ(vn_fields_getdp(0), -1);
}

TEST_F(Fields, FailedLookupsGiveTheirNotFoundValues)
{
    read_config("add-field BID 22\n");
    EXPECT_EQ(vn_fields_numbyname("NOPE"), INT_MIN);
    EXPECT_EQ(vn_fields_indexbyname(nullptr), INT_MIN);
    EXPECT_EQ(vn_fields_namebynum(23), nullptr);
    EXPECT_EQ(vn_fields_namebynum(65536), nullptr);
    EXPECT_EQ(vn_fields_indexbynum(INT_MIN), INT_MIN);
    for (int index : {1, 131071, 131072, -1}) {
        EXPECT_EQ(vn_fields_numbyindex(index), INT_MIN) << index;
        EXPECT_EQ(vn_fields_namebyindex(index), nullptr) << index;
        EXPECT_EQ(vn_fields_quixnumbyindex(index), nullptr) << index;
        EXPECT_EQ(vn_fields_quixnumlenbyindex(index), 0) << index;
        EXPECT_EQ(vn_fields_getflags(index), 0) << index;
        EXPECT_EQ(vn_fields_getdp(index), -1) << index;
    }
}

TEST_F(Fields, InvalidNumbersAreReportedWithFileAndLine)
{
    std::string messages = read_config("add-field A 65536\nadd-field B -65536\nadd-field C 12x\nadd-field D\n");
    std::string where = std::string(vn_config_get_filename()) + ":" + std::to_string(vn_config_get_linenumber());
    EXPECT_NE(messages.find(where + ": invalid field 'A 65536'\n"), std::string::npos) << messages;
    EXPECT_NE(messages.find(": invalid field 'B -65536'\n"), std::string::npos) << messages;
    EXPECT_NE(messages.find(": invalid field 'C 12x'\n"), std::string::npos) << messages;
    EXPECT_EQ(vn_fields_max(), 0);
}

TEST_F(Fields, SameNameAndNumberTwiceAddsNothing)
{
    EXPECT_EQ(vn_fields_add(5, "X", 0, -1, nullptr), 0);
    EXPECT_EQ(vn_fields_add(5, "X", 256, 3, nullptr), 0);
    EXPECT_EQ(vn_fields_max(), 1);
    EXPECT_EQ(vn_fields_getdp(0), -1) << "later flags are ignored";
}

TEST_F(Fields, ClashingNamesAndNumbersAreReportedAndKeptApart)
{
    std::string messages = read_config("add-field X 5\nadd-field X 6\nadd-field Y 5\n");
    std::string where = std::string(vn_config_get_filename()) + ":" + std::to_string(vn_config_get_linenumber());
    EXPECT_NE(messages.find(where + " Field <X> fieldnumber is already defined at " + where + " index 0"),
              std::string::npos)
        << messages;
    EXPECT_NE(messages.find(where + " Field <Y>, fieldnumber 5 is already defined as <X> at " + where),
              std::string::npos)
        << messages;
    EXPECT_EQ(vn_fields_max(), 3);
    EXPECT_EQ(vn_fields_numbyname("X"), 5) << "the older entry is found first";
    EXPECT_STREQ(vn_fields_namebynum(5), "Y") << "the newer entry takes the number";
    EXPECT_STREQ(vn_fields_namebynum(6), "X");
}

TEST_F(Fields, AutomaticNumbersStartAt65535)
{
    EXPECT_EQ(vn_fields_numbyindex(vn_fields_add(INT_MIN, "A0", 0, -1, nullptr)), 65535);
    for (int i = 1; i < 100; i++)
        vn_fields_add(INT_MIN, vntest::numbered("A", i).c_str(), 0, -1, nullptr);
    EXPECT_EQ(vn_fields_numbyindex(1), 65536);
    EXPECT_EQ(vn_fields_numbyindex(99), 65634);
    EXPECT_EQ(vn_fields_numbyindex(vn_fields_add(INT_MIN, "B", 0, -1, nullptr)), 65635);
    EXPECT_EQ(vn_fields_numbyindex(vn_fields_add(INT_MIN, "C", 0, -1, nullptr)), 65635);
    EXPECT_EQ(vn_fields_add(70000, "D", 0, -1, nullptr), INT_MIN) << "only automatic numbers lie above 65535";
}

TEST_F(Fields, QuixCodesFollowTheIndex)
{
    for (int i = 0; i < 4096; i++)
        vn_fields_add(i, vntest::numbered("F", i).c_str(), 0, -1, nullptr);
    const struct {
        int index;
        const char *code;
    } cases[] = {{0, "1"}, {62, "_"}, {63, "10"}, {4095, "100"}};
    for (const auto &c : cases) {
        EXPECT_STREQ(vn_fields_quixnumbyindex(c.index), c.code);
        EXPECT_EQ(vn_fields_quixnumlenbyindex(c.index), static_cast<int>(std::strlen(c.code)));
        EXPECT_EQ(vn_quix64_decode(c.code), c.index + 1);
    }
}

TEST_F(Fields, TheTableHolds131072Fields)
{
    for (int i = 0; i < 131071; i++)
        ASSERT_EQ(vn_fields_add(i - 65535, vntest::numbered("F", i).c_str(), 0, -1, nullptr), i);
    EXPECT_EQ(vn_fields_add(INT_MIN, "LAST", 0, -1, nullptr), 131071);
    EXPECT_EQ(vn_fields_add(1, "ONE-TOO-MANY", 0, -1, nullptr), INT_MIN);
    EXPECT_STREQ(vn_fields_quixnumbyindex(131071), "W00");
    std::string messages = read_config("add-field MORE 7\n");
    EXPECT_NE(messages.find("Failed to add field 'MORE' 7\n"), std::string::npos) << messages;
}

TEST_F(Fields, FormatsComeFromFlagsSetsAndTheGlobalOptions)
{
    read_config("fields-int32-fmt %05ld\n"
                "add-field-format\nname money\nfloat64-fmt %.2f\nend-field-format\n"
                "add-field PLAIN 1\n"
                "add-field PRICE 2 dp 3\n"
                "add-field PLACES 3 dp\n"
                "add-field TYPED 4 fmt 5 %x\n"
                "add-field MONEY 5 fmt_id 0 money\n"
                "add-field LOST 6 fmt_id 0 nosuchset\n");
    std::string messages = read_config("add-field WIDE 7 fmt 9 %d\n");
    EXPECT_NE(messages.find("format type 9 is not one of 0 to 6"), std::string::npos) << messages;
    start();
    const struct {
        int num, slot;
        const char *format;
    } cases[] = {
        {1, 2, "%.12g"}, {1, 5, "%05ld"}, {1, 0, nullptr},       // globals, slot 0 untouched
        {2, 1, "%.3f"},  {2, 2, "%.3f"},  {2, 5, "%05ld"},       // decimal places
        {3, 2, "%.12g"},                                         // dp without places keeps the defaults
        {4, 5, "%x"},    {4, 6, "%lld"},                         // one slot of its own
        {5, 2, "%.2f"},  {5, 0, "%p"},    {5, 5, "%05ld"},       // a format set over the globals
        {6, 2, nullptr}, {6, 5, nullptr},                        // a set that is not there
        {7, 6, "%lld"},                                          // a bad slot leaves the globals
        {99, 2, "%.12g"},                                        // no field: the global format
        {65536, 2, nullptr}, {1, 7, nullptr}, {1, -1, nullptr},  // out of range
    };
    for (const auto &c : cases) {
        const char *format = _vn_fields_fmtbynum(c.num, c.slot);
        if (c.format == nullptr)
            EXPECT_EQ(format, nullptr) << c.num << "/" << c.slot;
        else
            EXPECT_STREQ(format, c.format) << c.num << "/" << c.slot;
    }
    EXPECT_EQ(vn_fields_getdp(vn_fields_indexbynum(2)), 3);
}

TEST_F(Fields, FieldsAddedAfterStartUpGetTheGlobalFormats)
{
    read_config("fields-float64-fmt %.4g\n");
    start();
    vn_fields_add(8, "LATE", 0, -1, nullptr);
    EXPECT_STREQ(_vn_fields_fmtbynum(8, 2), "%.4g");
    EXPECT_STREQ(_vn_fields_fmtbynum(8, 3), "%hhd");
}

} // namespace

namespace {

// Records the tree operations the writer makes, as "node field", "prop name=BID", ...
std::vector<std::string> xml_calls;
void *record_new_node(void *, const char *name)
{
    xml_calls.push_back(std::string("node ") + name);
    return &xml_calls;
}
void *record_new_prop(void *, const char *name, const char *value)
{
    xml_calls.push_back(std::string("prop ") + name + "=" + value);
    return &xml_calls;
}
void *record_add_child(void *parent, void *)
{
    xml_calls.push_back(parent == &xml_calls ? "add to root" : "add elsewhere");
    return &xml_calls;
}

TEST_F(Fields, FieldsDocumentHasOneElementPerFieldInIndexOrder)
{
    read_config("add-field BID 22\nadd-field ASK -3\n");
    vn_xml_implementation_t table{};
    table.xmlNewNode = record_new_node;
    table.xmlNewProp = record_new_prop;
    table.xmlAddChild = record_add_child;
    vn_xml_set_implementation(&table);
    _vn_fields_write_xml(nullptr, &xml_calls);
    const std::vector<std::string> expected = {
        "node field", "prop name=BID", "prop number=22", "add to root",
        "node field", "prop name=ASK", "prop number=-3", "add to root",
    };
    EXPECT_EQ(xml_calls, expected);
}

} // namespace
