// Permission records: a subject and its keys, each in field 1.
#include "record_fields.h"
#include "vantrix_private.h"

#include <gtest/gtest.h>

using vntest::Fields;
using vntest::Record;

TEST(Permission, KeyIsAddedOnlyWhenGiven)
{
    Record without(vn_init_permission("USER", nullptr, 0));
    EXPECT_EQ(without->type, 230);
    EXPECT_EQ(without->count, 0);

    Record with(vn_init_permission("USER", "K1", 0x1000));
    vn_add_permission_key(with.data, "K2");
    EXPECT_EQ(with->flags, 0x1000);
    EXPECT_EQ(with.fields(), (Fields{{1, "K1"}, {1, "K2"}}));
}
