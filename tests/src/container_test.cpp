// Container records: one field per change of the member list.
#include "record_fields.h"
#include "vantrix_private.h"

#include <gtest/gtest.h>

using vntest::Fields;
using vntest::Record;

TEST(Container, EachChangeHasItsFieldNumber)
{
    Record container(vn_init_container("LIST", 0x1000));
    EXPECT_EQ(container->type, 228);
    EXPECT_EQ(container->flags, 0x1000);
    vn_add_container_symbol(container.data, "A");
    vn_add_container_symbol_and_request(container.data, "B", 7);
    vn_add_container_symbol_and_request(container.data, "C", 0);
    vn_remove_container_symbol(container.data, "D");
    vn_cleardown_container_with_prefix(container.data, "E.");
    vn_add_container_symbol_at_position(container.data, 12, "F");
    EXPECT_EQ(container.fields(), (Fields{{1, "A"}, {3, "B"}, {1, "C"}, {2, "D"}, {4, "E."}, {12, "F"}}));
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(container->fields[i].flags, 0) << "field " << i;
    EXPECT_EQ(container->fields[5].flags, 1) << "a position field is marked";
}
