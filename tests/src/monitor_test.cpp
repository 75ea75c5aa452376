// The monitoring model: templates and their document, values, forwarding to a
// module's operations table, getters and methods.
#include "vantrix_private.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> document_lines()
{
    char *text = nullptr;
    size_t size = 0;
    FILE *fp = open_memstream(&text, &size);
    vn_monitor_document_templates(fp);
    fclose(fp);
    std::vector<std::string> lines;
    std::istringstream stream(std::string(text, size));
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    free(text);
    return lines;
}

vn_monitor_t *no_value(const char *, const char *, const char *)
{
    return nullptr;
}

// ---- Templates and their document ----

vn_arguments_t kRestartArguments[] = {
    {VN_MONITOR_STRING, "reason", "Why", "Reason|"},
    {VN_MONITOR_LONG | VN_MONITOR_ARGUMENT_FLAG, "delay", "Seconds to wait", nullptr},
    {0, nullptr, nullptr, nullptr},
};

TEST(MonitorTemplates, DocumentListsEveryTemplateAndMemberLineByLine)
{
    _vn_monitor_config_init();
    vn_monitor_start_template("SERVER", "!System|!A server");
    vn_monitor_add_template_member("SERVER", "name", "!Name|!Server name", VN_MONITOR_STRING | VN_MONITOR_KEY,
                                   nullptr, nullptr);
    vn_monitor_add_template_member("SERVER", "peers", "Peer names", 0x62, nullptr, reinterpret_cast<void *>(no_value));
    vn_monitor_add_template_member("SERVER", "restart", "!Restart|!Restart it", 0x102, kRestartArguments, nullptr);
    vn_monitor_add_template_member("SERVER", "all", "Every flag", 0x7ff & ~0x1f, nullptr, nullptr);
    vn_monitor_add_template_relation("SERVER", "owns", "PEER", "!Owns|!Its peers", 1, 2);
    vn_monitor_add_template_subscription("SERVER", "watch", "PEER", "Watched", "one", no_value);
    // A member of a template nobody started starts it without a description.
    vn_monitor_add_template_member("PEER", "up", "Link up", VN_MONITOR_BOOLEAN, nullptr, nullptr);
    vn_monitor_start_template("EMPTY", "No label here");

    std::vector<std::string> expected = {
        "TEMPLATE|SERVER|System||A server",
        "ATTRIBUTE|name|STRING| KEY|Name||Server name",
        "ATTRIBUTE|peers|STRING| ARRAY ACTIVE|||Peer names",
        "METHOD|restart|STRING| METHOD|Restart||Restart it",
        "ARGUMENT|reason|STRING|0|Reason||Why",
        "ARGUMENT|delay|LONG|1|||Seconds to wait",
        "METHOD|all|| ARRAY ACTIVE ACTIVE2 METHOD KEY HIERARCHY|||Every flag",
        "RELATION|owns|PEER||1|2|Owns||Its peers",
        "SUBSCRIPTION|watch|PEER|one|0|0|||Watched",
        "TEMPLATE|PEER|||",
        "ATTRIBUTE|up|BOOLEAN||||Link up",
        "TEMPLATE|EMPTY|||No label here",
    };
    EXPECT_EQ(document_lines(), expected);
}

TEST(MonitorTemplates, LookupsFindTheFirstOfANameAndOptionRegistrationEmptiesTheList)
{
    _vn_monitor_config_init();
    vn_template_t *first = vn_monitor_start_template("T", "first");
    vn_monitor_start_template("T", "second");
    EXPECT_EQ(vnmon_get_template("T"), first);
    EXPECT_EQ(vnmon_get_template("missing"), nullptr);
    vn_monitor_add_template_member("T", "m", "", VN_MONITOR_LONG, nullptr, nullptr);
    ASSERT_EQ(first->num_properties, 1);
    EXPECT_STREQ(first->properties[0].propertyname, "m");
    _vn_monitor_config_init();
    EXPECT_EQ(vnmon_get_template("T"), nullptr);
    EXPECT_TRUE(document_lines().empty());
}

// ---- Values ----

TEST(MonitorValues, ScalarsCopyTheirValue)
{
    vn_monitor_t *values[] = {
        vn_monitor_new_double("T", "k", "d", 2.5),      vn_monitor_new_timestamp("T", "k", "t", -7),
        vn_monitor_new_llong("T", "k", "ll", -1LL << 40), vn_monitor_new_ullong("T", "k", "ull", 1ULL << 63),
        vn_monitor_new_long("T", "k", "l", -5),         vn_monitor_new_ulong("T", "k", "ul", 4000000000U),
        vn_monitor_new_short("T", "k", "s", -3),        vn_monitor_new_ushort("T", "k", "us", 65535),
        vn_monitor_new_boolean("T", "k", "b", 42),      vn_monitor_new_string("T", "k", "c", "text"),
    };
    EXPECT_EQ(values[0]->data.d, 2.5);
    EXPECT_EQ(values[1]->data.ll, -7);
    EXPECT_EQ(values[2]->data.ll, -1LL << 40);
    EXPECT_EQ(values[3]->data.ull, 1ULL << 63);
    EXPECT_EQ(values[4]->data.l, -5);
    EXPECT_EQ(values[5]->data.ul, 4000000000U);
    EXPECT_EQ(values[6]->data.s, -3);
    EXPECT_EQ(values[7]->data.us, 65535);
    EXPECT_EQ(values[8]->data.us, 1);
    EXPECT_STREQ(values[9]->data.c, "text");
    const int types[] = {VN_MONITOR_DOUBLE, VN_MONITOR_TIMESTAMP, VN_MONITOR_LLONG, VN_MONITOR_ULLONG,
                         VN_MONITOR_LONG,   VN_MONITOR_ULONG,     VN_MONITOR_SHORT, VN_MONITOR_USHORT,
                         VN_MONITOR_BOOLEAN, VN_MONITOR_STRING};
    const char *names[] = {"d", "t", "ll", "ull", "l", "ul", "s", "us", "b", "c"};
    for (size_t i = 0; i < std::size(values); i++) {
        EXPECT_EQ(values[i]->datatype, types[i]) << names[i];
        EXPECT_STREQ(values[i]->propertyname, names[i]);
        vn_monitor_free(values[i]);
    }
}

TEST(MonitorValues, BooleanArrayStoresZeroOrOneAndGrowsByAppending)
{
    const unsigned char bytes[] = {0, 5, 0};
    vn_monitor_t *value = vn_monitor_new("flags", VN_MONITOR_BOOLEAN | VN_MONITOR_ARRAY, 3, bytes);
    EXPECT_EQ(value->datatype, VN_MONITOR_BOOLEAN | VN_MONITOR_ARRAY);
    const unsigned char yes = 9;
    vn_monitor_add_data(value, &yes);
    ASSERT_EQ(value->data.array.size, 4);
    EXPECT_EQ(std::vector<uint16_t>(value->data.array.data.us, value->data.array.data.us + 4),
              (std::vector<uint16_t>{0, 1, 0, 1}));
    vn_monitor_free(value);
}

TEST(MonitorValues, StringArrayOwnsCopiesOfItsTexts)
{
    char first[] = "alpha";
    const char *texts[] = {first, "beta"};
    vn_monitor_t *value = vn_monitor_new("names", VN_MONITOR_STRING | VN_MONITOR_ARRAY, 2, texts);
    first[0] = 'X';
    vn_monitor_add_data(value, "gamma");
    ASSERT_EQ(value->data.array.size, 3);
    EXPECT_STREQ(value->data.array.data.c[0], "alpha");
    EXPECT_STREQ(value->data.array.data.c[1], "beta");
    EXPECT_STREQ(value->data.array.data.c[2], "gamma");
    vn_monitor_free(value);
}

TEST(MonitorValues, NumberArraysCopyAndAppendTheirElements)
{
    const double numbers[] = {1.5, -2.25};
    vn_monitor_t *doubles = vn_monitor_new("d", VN_MONITOR_DOUBLE | VN_MONITOR_ARRAY, 2, numbers);
    const double more = 8;
    vn_monitor_add_data(doubles, &more);
    ASSERT_EQ(doubles->data.array.size, 3);
    EXPECT_EQ(doubles->data.array.data.d[2], 8);
    vn_monitor_t *shorts = vn_monitor_new_array("s", VN_MONITOR_SHORT);
    for (int16_t n : {int16_t{-1}, int16_t{300}})
        vn_monitor_add_data(shorts, &n);
    ASSERT_EQ(shorts->data.array.size, 2);
    EXPECT_EQ(shorts->data.array.data.s[1], 300);
    vn_monitor_free(doubles);
    vn_monitor_free(shorts);
}

TEST(MonitorValues, BinaryCopiesBytesButTakesNoAppends)
{
    const unsigned char bytes[] = {1, 2, 3, 4, 5};
    vn_monitor_t *value = vn_monitor_new("blob", VN_MONITOR_BINARY | VN_MONITOR_ARRAY, 5, bytes);
    vn_monitor_add_data(value, bytes);
    ASSERT_EQ(value->data.array.size, 5);
    EXPECT_EQ(value->data.array.data.b[4], 5);
    vn_monitor_t *scalar = vn_monitor_new("none", VN_MONITOR_BINARY, 5, bytes);
    EXPECT_EQ(scalar->data.array.data.ptr, nullptr);
    vn_monitor_free(value);
    vn_monitor_free(scalar);
}

TEST(MonitorValues, AppendingToAScalarLeavesItAlone)
{
    vn_monitor_t *value = vn_monitor_new_long("T", "k", "n", 17);
    const int32_t more = 99;
    vn_monitor_add_data(value, &more);
    EXPECT_EQ(value->datatype, VN_MONITOR_LONG);
    EXPECT_EQ(value->data.l, 17);
    vn_monitor_free(value);
}

TEST(MonitorValues, EmptyArraysAndNullsAreSafe)
{
    vn_monitor_t *empty = vn_monitor_new("e", VN_MONITOR_LONG | VN_MONITOR_ARRAY, 0, nullptr);
    EXPECT_EQ(empty->data.array.size, 0);
    vn_monitor_free(empty);
    vn_monitor_free(nullptr);
    vn_monitor_free_data(nullptr);
}

// ---- Forwarding to a module ----

// What the test module was handed.
std::vector<std::string> module_calls;
int activations = 0;

std::string joined(std::initializer_list<const char *> words)
{
    std::string text;
    for (const char *word : words)
        text += std::string(text.empty() ? "" : " ") + (word != nullptr ? word : "(null)");
    return text;
}

int module_new_template(const char *name, vn_template_t *tmpl)
{
    module_calls.push_back(joined({"template", name, tmpl->templatename}));
    return 0;
}

int module_update(const char *tmpl, const char *key, vn_monitor_t *value)
{
    module_calls.push_back(joined({"update", tmpl, key, value->propertyname}) + " " + std::to_string(value->data.l));
    vn_monitor_free(value); // the module owns what it is given
    return 0;
}

int module_create(const char *tmpl, const char *key, const char *brief, const char *description)
{
    module_calls.push_back(joined({"create", tmpl, key, brief, description}));
    return 0;
}

int module_delete(const char *tmpl, const char *key)
{
    module_calls.push_back(joined({"delete", tmpl, key}));
    return 0;
}

int module_add_relation(const char *tmpl, const char *key, const char *property, const char *target)
{
    module_calls.push_back(joined({"add-relation", tmpl, key, property, target}));
    return 0;
}

int module_del_relation(const char *tmpl, const char *key, const char *property, const char *target)
{
    module_calls.push_back(joined({"del-relation", tmpl, key, property, target}));
    return 0;
}

int module_activate()
{
    activations++;
    return 0;
}

int module_add_subscription(const char *tmpl, const char *key, const char *property, const char *value)
{
    module_calls.push_back(joined({"add-subscription", tmpl, key, property, value}));
    return 0;
}

int module_del_subscription(const char *tmpl, const char *key, const char *property, const char *value)
{
    module_calls.push_back(joined({"del-subscription", tmpl, key, property, value}));
    return 0;
}

TEST(MonitorModule, WithoutAModuleEveryCallIsANoOpAndUpdatesAreFreed)
{
    vn_monitor_start_template("T", "");
    vn_monitor_end_template("T");
    vn_monitor_create_group("T", "k", "brief", "description");
    vn_monitor_update("T", "k", vn_monitor_new_array("list", VN_MONITOR_STRING)); // freed: no leak
    vn_monitor_update_string("T", "k", "name", "value");
    vn_monitor_add_relation("T", "k", "p", "t");
    vn_monitor_delete_group("T", "k");
    _vn_monitor_activate();
    SUCCEED();
}

TEST(MonitorModule, CallsReachTheModulesOperationsUnchanged)
{
    vn_monitor_funcs_t *funcs = _vn_monitor_funcs();
    *funcs = {nullptr,           module_new_template,     module_update,          module_create,
              module_delete,     module_add_relation,     module_del_relation,    module_activate,
              module_add_subscription, module_del_subscription};
    vn_monitor_start_template("PEER", "");
    vn_monitor_end_template("PEER");
    vn_monitor_end_template("UNKNOWN");
    vn_monitor_create_group("PEER", "p1", "Peer", "A peer");
    vn_monitor_update_long("PEER", "p1", "count", 12);
    vn_monitor_add_relation("PEER", "p1", "owns", "p2");
    vn_monitor_del_relation("PEER", "p1", "owns", "p2");
    vn_monitor_add_subscription("PEER", "p1", "watch", "s1");
    vn_monitor_del_subscription("PEER", "p1", "watch", "s1");
    vn_monitor_delete_group("PEER", "p1");
    EXPECT_EQ(module_calls, (std::vector<std::string>{
                                "template PEER PEER",
                                "create PEER p1 Peer A peer",
                                "update PEER p1 count 12",
                                "add-relation PEER p1 owns p2",
                                "del-relation PEER p1 owns p2",
                                "add-subscription PEER p1 watch s1",
                                "del-subscription PEER p1 watch s1",
                                "delete PEER p1",
                            }));
    _vn_monitor_activate();
    _vn_monitor_activate();
    EXPECT_EQ(activations, 1);
}

// ---- Getters and methods ----

std::string getter_seen;

vn_monitor_t *answer_getter(const char *tmpl, const char *key, const char *property)
{
    getter_seen = joined({tmpl, key, property});
    return vn_monitor_new_long(tmpl, key, property, 42);
}

std::vector<std::string> method_words;

vn_monitor_t *echo_method(const char *tmpl, const char *key, const char *property, int argc, char **argv)
{
    method_words.assign(argv, argv + argc);
    return vn_monitor_new_string(tmpl, key, property, joined({tmpl, key}).c_str());
}

class MonitorCalls : public ::testing::Test {
protected:
    void SetUp() override
    {
        _vn_monitor_config_init();
        vn_monitor_add_template_member("T", "getter", "", VN_MONITOR_LONG | VN_MONITOR_ACTIVE, nullptr,
                                       reinterpret_cast<void *>(answer_getter));
        vn_monitor_add_template_member("T", "live", "", VN_MONITOR_LONG | VN_MONITOR_ACTIVE2, nullptr, &live);
        vn_monitor_add_template_member("T", "plain", "", VN_MONITOR_LONG, nullptr, &live);
        vn_monitor_add_template_member("T", "bare", "", VN_MONITOR_LONG | VN_MONITOR_ACTIVE, nullptr, nullptr);
        vn_monitor_add_template_subscription("T", "sub", "U", "", nullptr, answer_getter);
        vn_monitor_add_template_member("T", "echo", "", VN_MONITOR_STRING | VN_MONITOR_METHOD, nullptr,
                                       reinterpret_cast<void *>(echo_method));
        vn_monitor_add_template_member("T", "nocallback", "", VN_MONITOR_METHOD, nullptr, nullptr);
    }
    int32_t live = 7;
};

TEST_F(MonitorCalls, GettersAndLiveVariablesGiveFreshValues)
{
    vn_monitor_t *got = vnmon_get_active("T", "k1", "getter");
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->data.l, 42);
    EXPECT_EQ(getter_seen, "T k1 getter");
    vn_monitor_free(got);

    live = 11;
    got = vnmon_get_active("T", "k1", "live");
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->datatype, VN_MONITOR_LONG);
    EXPECT_STREQ(got->propertyname, "live");
    EXPECT_EQ(got->data.l, 11);
    vn_monitor_free(got);

    got = vnmon_get_active("T", "k2", "sub");
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(getter_seen, "T k2 sub");
    vn_monitor_free(got);
}

TEST_F(MonitorCalls, MethodGetsItsNameAndArguments)
{
    char *argv[] = {const_cast<char *>("echo"), const_cast<char *>("one"), const_cast<char *>("two")};
    vn_monitor_t *got = vnmon_call_method("T", "k", "echo", 3, argv);
    ASSERT_NE(got, nullptr);
    EXPECT_STREQ(got->data.c, "T k");
    EXPECT_EQ(method_words, (std::vector<std::string>{"echo", "one", "two"}));
    vn_monitor_free(got);
}

TEST_F(MonitorCalls, MissingTargetsGiveNull)
{
    struct Case {
        const char *tmpl;
        const char *property;
        bool method;
    };
    const Case cases[] = {
        {"T", "plain", false},       // a plain attribute has no getter
        {"T", "bare", false},        // ACTIVE without a getter
        {"T", "echo", false},        // a method is not a getter
        {"T", "missing", false},     {"U", "getter", false},
        {"T", "nocallback", true},   // a method without a callback
        {"T", "getter", true},       // a getter is not a method
        {"T", "missing", true},      {"U", "echo", true},
    };
    for (const Case &c : cases) {
        vn_monitor_t *got = c.method ? vnmon_call_method(c.tmpl, "k", c.property, 0, nullptr)
                                     : vnmon_get_active(c.tmpl, "k", c.property);
        EXPECT_EQ(got, nullptr) << c.tmpl << "." << c.property << (c.method ? " method" : " getter");
        vn_monitor_free(got);
    }
}

} // namespace
