// Page records: the size field, row addresses and page fields.
#include "record_fields.h"
#include "vantrix_private.h"

#include <gtest/gtest.h>

using vntest::Fields;
using vntest::Record;

struct PageCase {
    int rows;
    int cols;
    const char *type;
    uint16_t flags;
    Fields expected;
};

class InitPage : public ::testing::TestWithParam<PageCase> {};

TEST_P(InitPage, AddsTheSizeFieldOnlyToImages)
{
    const PageCase &c = GetParam();
    Record page(vn_init_page("PAGE", c.rows, c.cols, c.type, c.flags));
    EXPECT_STREQ(page->subject, "PAGE");
    EXPECT_EQ(page->type, 221);
    EXPECT_EQ(page->flags, c.flags);
    EXPECT_EQ(page.fields(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Page, InitPage,
                         ::testing::Values(PageCase{14, 64, nullptr, 0, {}},
                                           PageCase{14, 64, nullptr, 0x1000, {{0x400E, "218"}}},
                                           PageCase{25, 80, nullptr, 0x1030, {{0x5019, "25"}}},
                                           PageCase{14, 64, "7", 0x1000, {{0x400E, "7"}}}));

TEST(Page, RowsAndPageFieldsHaveTheirOwnNumbers)
{
    Record page(vn_init_page("PAGE", 25, 80, nullptr, 0));
    vn_add_page_row(page.data, 3, 10, "text");
    vn_add_page_row(page.data, 0, 0, "top");
    vn_add_page_field(page.data, 17, "field");
    EXPECT_EQ(page.fields(), (Fields{{0x0A03, "text"}, {0, "top"}, {0xC011, "field"}}));
}

TEST(Page, PageFieldByNameNeedsAKnownName)
{
    vntest::start_fields([] { vn_fields_add(5, "TITLE", 0, -1, nullptr); });
    Record page(vn_init_page("PAGE", 25, 80, nullptr, 0));
    vn_add_page_field_by_name(page.data, "TITLE", "t");
    vn_add_page_field_by_name(page.data, "NONE", "n");
    EXPECT_EQ(page.fields(), (Fields{{0xC005, "t"}}));
}
