// The object image cache store: typing by first record, images, deltas in
// each mode, page sizes, and the comparison messages.
#include "record_fields.h"
#include "vantrix_private.h"

#include <gtest/gtest.h>

#include <string>

using vntest::Fields;
using vntest::Record;

namespace {

class Cache : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(tarvelutil_vncache_init(nullptr), 0); }
    void TearDown() override { tarvelutil_vncache_delete(object); }

    void make(tarvelutil_vncache_delta_mode mode) { object = tarvelutil_vncache_create_withmode("OBJ", mode); }
    void update(vn_data_t *data)
    {
        tarvelutil_vncache_update(object, data);
        vn_free_data(data);
    }
    Fields image() { return Record(tarvelutil_vncache_retrieve(object)).fields(); }
    Fields delta() { return Record(tarvelutil_vncache_get_delta(object)).fields(); }

    tarvelutil_vncache_t *object = nullptr;
};

vn_data_t *record_of(uint16_t flags, const Fields &fields)
{
    vn_data_t *data = vn_init_data("OBJ", 222, flags);
    for (const auto &[number, value] : fields)
        vn_add_data(data, number, value.c_str());
    return data;
}

vn_data_t *page_rows(const Fields &rows)
{
    vn_data_t *data = vn_init_page("OBJ", 0, 0, nullptr, 0);
    for (const auto &[number, value] : rows)
        vn_add_data(data, number, value.c_str());
    return data;
}

vn_data_t *page_image(int rows, int cols)
{
    return vn_init_page("OBJ", rows, cols, nullptr, 0x1000);
}

// The image fields of a page of blank rows.
Fields blank_page(int rows, int cols, const char *type)
{
    Fields out{{(cols << 8) + rows, type}};
    for (int i = 0; i < rows; i++)
        out.emplace_back(i, std::string(cols, ' '));
    return out;
}

} // namespace

/* Typing */

TEST_F(Cache, FirstRecordFixesTheTypeAndOthersAreIgnored)
{
    make(VNCACHE_DELTA_NONE);
    EXPECT_EQ(object->type, 200);
    EXPECT_EQ(tarvelutil_vncache_retrieve(object), nullptr);
    update(record_of(0, {{5, "a"}}));
    EXPECT_EQ(object->type, 222);
    update(page_rows({{0, "row"}}));
    EXPECT_EQ(object->type, 222);
    EXPECT_EQ(image(), (Fields{{5, "a"}}));
}

TEST_F(Cache, TypeWithoutAStoreLeavesAnObjectThatAnswersNothing)
{
    make(VNCACHE_DELTA_FIELDS);
    vn_data_t *container = vn_init_container("OBJ", 0);
    vn_add_container_symbol(container, "A");
    update(container);
    EXPECT_EQ(object->type, 228);
    update(record_of(0, {{5, "a"}}));
    EXPECT_EQ(object->type, 228);
    EXPECT_EQ(tarvelutil_vncache_retrieve(object), nullptr);
    EXPECT_EQ(tarvelutil_vncache_get_delta(object), nullptr);
}

TEST_F(Cache, UntypedRecordLeavesTheObjectUntyped)
{
    make(VNCACHE_DELTA_NONE);
    update(vn_init_data("OBJ", 200, 0));
    EXPECT_EQ(object->type, 200);
    update(record_of(0, {{1, "x"}}));
    EXPECT_EQ(image(), (Fields{{1, "x"}}));
}

TEST_F(Cache, RegisteredTableServesItsType)
{
    static int created = 0;
    cachefuncs_t counting = _tarvelutil_cache_record_funcs;
    counting.create = [](tarvelutil_vncache_t *obj) {
        created++;
        _tarvelutil_cache_record_funcs.create(obj);
    };
    _tarvelutil_cache_register_funcs(230, &counting);
    make(VNCACHE_DELTA_NONE);
    update(vn_init_permission("OBJ", "KEY", 0));
    EXPECT_EQ(created, 1);
    EXPECT_EQ(image(), (Fields{{1, "KEY"}}));
    tarvelutil_vncache_delete(object);
    object = nullptr;
    _tarvelutil_cache_register_funcs(230, nullptr);
}

/* Record store */

TEST_F(Cache, RecordImageIsSortedAndReplacesTheOldOne)
{
    make(VNCACHE_DELTA_NONE);
    update(record_of(0, {{9, "old"}, {2, "two"}}));
    update(record_of(0x1000, {{3, "c"}, {1, "a"}, {2, "b"}, {1, "A"}}));
    Record got(tarvelutil_vncache_retrieve(object));
    EXPECT_EQ(got->flags, 0x1030);
    EXPECT_EQ(got->type, 222);
    EXPECT_STREQ(got->subject, "OBJ");
    EXPECT_EQ(got.fields(), (Fields{{1, "A"}, {2, "b"}, {3, "c"}}));
    EXPECT_EQ(tarvelutil_vncache_get_delta(object), nullptr) << "no delta kept without a delta mode";
}

struct DeltaCase {
    tarvelutil_vncache_delta_mode mode;
    Fields second_delta;
};

class RecordDelta : public Cache, public ::testing::WithParamInterface<DeltaCase> {};

TEST_P(RecordDelta, SameValueTwice)
{
    make(GetParam().mode);
    update(record_of(0, {{5, "v"}, {6, "w"}}));
    Record first(tarvelutil_vncache_get_delta(object));
    EXPECT_EQ(first->flags, 0x30);
    EXPECT_EQ(first.fields(), (Fields{{5, "v"}, {6, "w"}}));
    update(record_of(0, {{5, "v"}, {6, "changed"}}));
    EXPECT_EQ(delta(), GetParam().second_delta);
    EXPECT_EQ(tarvelutil_vncache_get_delta(object), nullptr) << "a delta is taken once";
}

INSTANTIATE_TEST_SUITE_P(Modes, RecordDelta,
                         ::testing::Values(DeltaCase{VNCACHE_DELTA_FIELDS, {{5, "v"}, {6, "changed"}}},
                                           DeltaCase{VNCACHE_DELTA_VALUE, {{6, "changed"}}}));

/* Page store */

TEST_F(Cache, PageRowTextMakesADefaultPageAndADeltaOfTheRun)
{
    make(VNCACHE_DELTA_FIELDS);
    update(page_rows({{0x0502, "AB"}}));
    EXPECT_EQ(object->type, 221);
    Record got(tarvelutil_vncache_get_delta(object));
    EXPECT_EQ(got->flags, 0x30);
    EXPECT_EQ(got.fields(), (Fields{{0x0502, "AB"}}));
    EXPECT_EQ(tarvelutil_vncache_get_delta(object), nullptr);

    Fields expected = blank_page(25, 80, "25");
    expected[3].second.replace(5, 2, "AB");
    Record whole(tarvelutil_vncache_retrieve(object));
    EXPECT_EQ(whole->flags, 0x1030);
    EXPECT_EQ(whole.fields(), expected);
}

TEST_F(Cache, PageRowTextIsClippedToThePage)
{
    make(VNCACHE_DELTA_VALUE);
    update(page_rows({{(78 << 8) | 1, "ABCDE"}, {(80 << 8) | 1, "X"}, {25, "Y"}, {-1, "Z"}}));
    Fields expected = blank_page(25, 80, "25");
    expected[2].second.replace(78, 2, "AB");
    EXPECT_EQ(image(), expected);
    EXPECT_EQ(delta(), (Fields{{(78 << 8) | 1, "AB"}}));
}

TEST_F(Cache, DeltaHasOneFieldPerRunOfChanges)
{
    make(VNCACHE_DELTA_FIELDS);
    update(page_rows({{0x0000, "ab"}, {0x0500, "cd"}, {0x0300, "x"}, {0x0004, "z"}}));
    EXPECT_EQ(delta(), (Fields{{0x0000, "ab"}, {0x0300, "x"}, {0x0500, "cd"}, {0x0004, "z"}}));
}

TEST_F(Cache, SameSizeImageClearsRowsAndKeepsPageFields)
{
    make(VNCACHE_DELTA_FIELDS);
    vn_data_t *first = page_rows({{0x0001, "text"}});
    vn_add_page_field(first, 1, "kept");
    update(first);
    ASSERT_NE(Record(tarvelutil_vncache_get_delta(object)).data, nullptr);
    vn_data_t *next = page_image(25, 80);
    vn_add_page_field(next, 1, "new");
    update(next);

    Fields expected = blank_page(25, 80, "25");
    expected.emplace_back(0xC001, "new");
    EXPECT_EQ(image(), expected);
    EXPECT_EQ(delta(), (Fields{{0xC001, "new"}})) << "clearing rows of the same size is no change to send";
}

TEST_F(Cache, NewSizeImageRebuildsRowsAndSendsThemWhole)
{
    make(VNCACHE_DELTA_FIELDS);
    update(page_rows({{0x0001, "text"}}));
    EXPECT_NE(Record(tarvelutil_vncache_get_delta(object)).data, nullptr);
    update(page_image(14, 64));
    Fields expected = blank_page(14, 64, "218");
    EXPECT_EQ(image(), expected);
    expected.erase(expected.begin());
    EXPECT_EQ(delta(), expected) << "the delta carries every row of the new page";
}

TEST_F(Cache, EmptyPageDropsRowTextUntilAnImageGivesItRows)
{
    make(VNCACHE_DELTA_FIELDS);
    vn_data_t *empty = vn_init_page("OBJ", 0, 0, "0", 0x1000);
    update(empty);
    update(page_rows({{0x0000, "lost"}, {0x0A05, "lost"}}));
    EXPECT_EQ(image(), (Fields{{0, "0"}}));
    EXPECT_EQ(tarvelutil_vncache_get_delta(object), nullptr);

    update(page_image(2, 4));
    update(page_rows({{0x0101, "abcdef"}}));
    EXPECT_EQ(image(), (Fields{{0x0402, "25"}, {0, "    "}, {1, " abc"}}));
}

TEST_F(Cache, ImageWithoutFieldsIsIgnored)
{
    make(VNCACHE_DELTA_NONE);
    update(page_rows({{0, "keep"}}));
    update(vn_init_data("OBJ", 221, 0x1000));
    EXPECT_EQ(image()[1].second.substr(0, 4), "keep");
}

TEST_F(Cache, PageFieldsUpdateInPlace)
{
    make(VNCACHE_DELTA_VALUE);
    vn_data_t *data = page_rows({});
    vn_add_page_field(data, 2, "b");
    vn_add_page_field(data, 1, "a");
    vn_add_page_field(data, 2, "B");
    update(data);
    EXPECT_EQ(delta(), (Fields{{0xC002, "B"}, {0xC001, "a"}}));
    Fields got = image();
    EXPECT_EQ(Fields(got.end() - 2, got.end()), (Fields{{0xC002, "B"}, {0xC001, "a"}}));
}

/* Comparisons */

struct CompareCase {
    const char *name;
    Fields expected_fields;
    Fields got_fields;
    uint16_t expected_flags;
    uint16_t got_flags;
    const char *got_subject;
    int (*compare)(const vn_data_t *, const vn_data_t *, char *, size_t);
    int result;
    const char *message;
};

class CompareRecords : public ::testing::TestWithParam<CompareCase> {};

TEST_P(CompareRecords, GivesTheFirstDifference)
{
    const CompareCase &c = GetParam();
    Record expected(record_of(c.expected_flags, c.expected_fields));
    Record got(record_of(c.got_flags, c.got_fields));
    vn_set_subject(got.data, c.got_subject);
    char text[128] = "";
    EXPECT_EQ(c.compare(expected.data, got.data, text, sizeof text), c.result);
    EXPECT_STREQ(text, c.message);
}

const auto ordered = tarvelutil_vncache_compare_vndata;
const auto out_of_order = tarvelutil_vncache_compare_vndata_out_of_order;
const auto present = tarvelutil_vncache_compare_vndata_present;

INSTANTIATE_TEST_SUITE_P(
    Cache, CompareRecords,
    ::testing::Values(
        CompareCase{"Equal", {{1, "a"}}, {{1, "a"}}, 0, 0, "OBJ", ordered, 0, ""},
        CompareCase{"Name", {}, {}, 0, 0, "OTHER", ordered, 1, "Got name <OTHER> expected <OBJ>"},
        CompareCase{"Count", {{1, "a"}}, {}, 0, 0, "OBJ", ordered, 1, "Got 0 fields expected 1"},
        CompareCase{"Flags", {}, {}, 0x30, 0x1030, "OBJ", ordered, 1, "Got flags 4144 expected 48"},
        CompareCase{"Number",
                    {{1, "a"}, {2, "b"}},
                    {{1, "a"}, {3, "b"}},
                    0,
                    0,
                    "OBJ",
                    ordered,
                    1,
                    "Field #1. Got fieldnum 3 expected 2\n"},
        CompareCase{"Value", {{1, "a"}}, {{1, "z"}}, 0, 0, "OBJ", ordered, 1, "Field #0. Got value <z> expected <a>\n"},
        CompareCase{"AnyOrder", {{1, "a"}, {2, "b"}}, {{2, "b"}, {1, "a"}}, 0, 0, "OBJ", out_of_order, 0, ""},
        CompareCase{
            "AnyOrderCount", {{1, "a"}}, {{1, "a"}, {2, "b"}}, 0, 0, "OBJ", out_of_order, 1, "Got 2 fields expected 1"},
        CompareCase{"PresentAmongMore", {{1, "a"}}, {{2, "b"}, {1, "a"}}, 0, 0x30, "OBJ", present, 0, ""},
        CompareCase{"PresentFlags", {}, {}, 0x30, 0x1030, "OBJ", present, 1, "Got flags 4144 expected 48"},
        CompareCase{"Missing", {{4, "d"}}, {{1, "a"}}, 0, 0, "OBJ", present, 1, "Expected fieldnum 4 not found\n"},
        CompareCase{"FirstOfItsNumber",
                    {{1, "a"}},
                    {{1, "z"}, {1, "a"}},
                    0,
                    0,
                    "OBJ",
                    present,
                    1,
                    "Fieldnum 1. Got value <z> expected <a>\n"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(CompareRecords, MissingRecordsAndSmallBuffers)
{
    Record some(record_of(0, {}));
    char text[8];
    EXPECT_EQ(tarvelutil_vncache_compare_vndata(nullptr, some.data, text, sizeof text), 1);
    EXPECT_STREQ(text, "No expe") << "the message is cut to the buffer";
    EXPECT_EQ(tarvelutil_vncache_compare_vndata_present(some.data, nullptr, nullptr, 0), 1);
}

TEST_F(Cache, CompareObjects)
{
    make(VNCACHE_DELTA_NONE);
    tarvelutil_vncache_t *other = tarvelutil_vncache_create_withmode("OBJ", VNCACHE_DELTA_FIELDS);
    char text[256] = "";
    EXPECT_EQ(tarvelutil_vncache_compare(object, other, text, sizeof text), 0) << "two untyped objects";

    update(page_rows({{0x0003, "x"}}));
    EXPECT_EQ(tarvelutil_vncache_compare(object, other, text, sizeof text), 1);
    EXPECT_STREQ(text, "Expected to get type 221 got 200\n");

    vn_data_t *data = page_rows({{0x0003, "y"}});
    tarvelutil_vncache_update(other, data);
    vn_free_data(data);
    EXPECT_EQ(tarvelutil_vncache_compare(object, other, text, sizeof text), 1);
    EXPECT_STREQ(
        text, ("Row 3 Expected value <x" + std::string(79, ' ') + ">, we got <y" + std::string(79, ' ') + ">").c_str());

    data = page_image(14, 64);
    tarvelutil_vncache_update(other, data);
    vn_free_data(data);
    EXPECT_EQ(tarvelutil_vncache_compare(object, other, text, sizeof text), 1);
    EXPECT_STREQ(text, "Expected depth was 25, we got 14");
    tarvelutil_vncache_delete(other);

    other = tarvelutil_vncache_create_withmode("NAME", VNCACHE_DELTA_NONE);
    EXPECT_EQ(tarvelutil_vncache_compare(object, other, text, sizeof text), 1);
    EXPECT_STREQ(text, "Expected to get name <OBJ> got <NAME>\n");
    EXPECT_EQ(tarvelutil_vncache_compare(nullptr, other, text, sizeof text), 1);
    EXPECT_STREQ(text, "No expected data supplied");
    tarvelutil_vncache_delete(other);
}

TEST_F(Cache, CompareRecordObjectsByTheirImages)
{
    make(VNCACHE_DELTA_NONE);
    tarvelutil_vncache_t *other = tarvelutil_vncache_create_withmode("OBJ", VNCACHE_DELTA_VALUE);
    update(record_of(0, {{2, "b"}, {1, "a"}}));
    vn_data_t *data = record_of(0x1000, {{1, "a"}, {2, "c"}});
    tarvelutil_vncache_update(other, data);
    vn_free_data(data);
    char text[128] = "";
    EXPECT_EQ(tarvelutil_vncache_compare(object, other, text, sizeof text), 1);
    EXPECT_STREQ(text, "Field #1. Got value <c> expected <b>\n");
    tarvelutil_vncache_delete(other);
}

TEST(CacheUpdateField, ReplacesTheFirstOfItsNumberOrAdds)
{
    Record data(record_of(0, {{1, "a"}, {1, "b"}}));
    EXPECT_EQ(_tarvelutil_cache_update_field(data.data, 1, "longer"), 1);
    EXPECT_EQ(_tarvelutil_cache_update_field(data.data, 2, "new"), 0);
    EXPECT_EQ(data.fields(), (Fields{{1, "longer"}, {1, "b"}, {2, "new"}}));
    EXPECT_EQ(data->fields[0].len, 6);
}
