// Name mapping: add-pattern lines read from a real configuration file, then
// subjects mapped out to the peers' namespace and back.
#include "test_support.h"
#include "vantrix_private.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class NameMapping : public ::testing::Test {
protected:
    void SetUp() override
    {
        vn_config_set_ctx(vn_config_new_ctx());
        _vn_map_config_init();
    }

    void read_config(const std::string &text)
    {
        std::string file = root_.write("map.conf", text);
        testing::internal::CaptureStderr();
        vn_config_parse_file(file.c_str());
        stderr_ = testing::internal::GetCapturedStderr();
    }

    static std::string out(const std::string &name)
    {
        char buf[VN_MAP_BUFFER_BYTES];
        return _vn_map_name(name.c_str(), buf);
    }

    static std::string back(const std::string &name)
    {
        char buf[VN_MAP_BUFFER_BYTES];
        return _vn_map_rev_name(name.c_str(), buf);
    }

    vntest::TempRoot root_;
    std::string stderr_;
};

TEST_F(NameMapping, PrefixPatternMapsBothWaysAndLeavesOthersAlone)
{
    read_config("add-pattern /a/* /b/*\n");
    EXPECT_EQ(stderr_, "");
    EXPECT_EQ(out("/a/x"), "/b/x");
    EXPECT_EQ(back("/b/x"), "/a/x");
    EXPECT_EQ(out("/c/x"), "/c/x");
    EXPECT_EQ(back("/c/x"), "/c/x");
    // The reverse table matches on the output side only.
    EXPECT_EQ(back("/a/x"), "/a/x");
}

TEST_F(NameMapping, EachKindMatchesAndMapsItsOwnParts)
{
    struct Case {
        const char *in;
        const char *out;
        const char *subject;
        const char *mapped; // nullptr: no match, the subject is returned
    };
    const Case cases[] = {
        {"IBM", "ibm.n", "IBM", "ibm.n"},
        {"IBM", "ibm.n", "IBMX", nullptr},
        {"*", "pre.*", "anything", "pre.anything"},
        {"*", "pre.*", "", "pre."},
        {"*.L", "*.LON", "VOD.L", "VOD.LON"},
        {"*.L", "*.LON", "VOD.LX", nullptr},
        {"q/*", "*", "q/abc", "abc"},
        {"a*z", "[*]", "abz", "[b]"},
        {"a*z", "[*]", "az", "[]"},
        {"abc*abc", "<*>", "abcabc", "<>"},
        {"abc*abc", "<*>", "abc", nullptr},  // shorter than both fixed parts
        {"abc*abc", "<*>", "ab", nullptr},
        {"x*y*", "X*Y", "x1y*", "X1Y"},      // the second star is an ordinary character
        {"x*y*", "X*Y", "x1y2", nullptr},
        {"/a/*", "FIXED", "/a/one", "FIXED"}, // a direct output ignores the middle
        {"/a/*", "FIXED", "/a/two", "FIXED"},
    };
    for (const Case &c : cases) {
        SetUp();
        _vn_map_add_pattern(c.in, c.out);
        std::string expected = c.mapped != nullptr ? c.mapped : c.subject;
        EXPECT_EQ(out(c.subject), expected) << c.in << " -> " << c.out << " on " << c.subject;
    }
}

TEST_F(NameMapping, FirstMatchingPatternWinsInConfigurationOrder)
{
    read_config("add-pattern /a/b* ONE*\nadd-pattern /a/* TWO*\n");
    EXPECT_EQ(out("/a/bc"), "ONEc");
    EXPECT_EQ(out("/a/c"), "TWOc");
    EXPECT_EQ(back("ONEc"), "/a/bc");
    EXPECT_EQ(back("TWOc"), "/a/c");
}

TEST_F(NameMapping, PatternLinesWithoutExactlyTwoValuesAddNothing)
{
    read_config("add-pattern /a/*\nadd-pattern /a/* /b/* /c/*\n");
    EXPECT_EQ(stderr_, "");
    EXPECT_EQ(out("/a/x"), "/a/x");
    EXPECT_EQ(back("/b/x"), "/b/x");
}

TEST_F(NameMapping, ResultsAreCutToFitTheBuffer)
{
    std::string long_prefix(5000, 'p');
    _vn_map_add_pattern("s*", (long_prefix + "*").c_str());
    std::string mapped = out(std::string("s").append(10, 'm'));
    EXPECT_EQ(mapped, long_prefix.substr(0, VN_MAP_BUFFER_BYTES - 1));

    SetUp();
    _vn_map_add_pattern("*", "<*>");
    std::string subject(4094, 'x');
    EXPECT_EQ(out(subject), "<" + std::string(4094, 'x'));
    std::string huge(65535, 'y');
    EXPECT_EQ(out(huge).size(), VN_MAP_BUFFER_BYTES - 1u);
}

TEST_F(NameMapping, UnmatchedLongNamesPassThroughUncut)
{
    _vn_map_add_pattern("/a/*", "/b/*");
    std::string huge = "/z/" + std::string(65532, 'q');
    EXPECT_EQ(out(huge), huge);
}

TEST_F(NameMapping, RecordsCarryTheMappedSubject)
{
    _vn_map_add_pattern("/a/*", "/b/*");
    vn_data_t *data = vn_init_data("/a/x", 222, 0);
    EXPECT_STREQ(data->subject, "/b/x");
    vn_set_subject(data, "/a/y");
    EXPECT_STREQ(data->subject, "/b/y");
    vn_free_data(data);
}

} // namespace
