// The option registry, value conversion and the command line. Every case runs
// in its own process, so the registry starts empty each time.
#include "test_support.h"
#include "vantrix_private.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

class ConfigTest : public testing::Test {
protected:
    void SetUp() override
    {
        vn_config_set_ctx(vn_config_new_ctx());
        parse({}); // messages now name the source "args", line 0
    }

    // Runs the command line and returns what it left for the caller.
    std::vector<std::string> parse(std::vector<std::string> args)
    {
        args.insert(args.begin(), "prog");
        std::vector<char *> argv;
        for (auto &arg : args)
            argv.push_back(arg.data());
        int kept = 0;
        vn_config_parse_args(static_cast<int>(argv.size()), argv.data(), &kept);
        return std::vector<std::string>(argv.begin() + 1, argv.begin() + kept);
    }

    // Applies one setting and returns the messages it wrote.
    std::string set(const char *name, const char *text)
    {
        CaptureStderr();
        vn_config_set_option(name, text);
        return GetCapturedStderr();
    }
};

// ---- command line ----

TEST_F(ConfigTest, CommandLineBooleansLettersAndValues)
{
    static char quiet = 0, verbose = 0;
    static char *file = nullptr;
    static int port = 0;
    vn_config_add_option('q', "quiet", "", VN_CONFIG_BOOL, &quiet);
    vn_config_add_option('v', "verbose", "", VN_CONFIG_BOOL, &verbose);
    vn_config_add_option('f', "file", "", VN_CONFIG_STRING, &file);
    vn_config_add_option(0, "port", "", VN_CONFIG_INT, &port);

    EXPECT_EQ(parse({"--verbose=false", "-fq", "--port=12", "x", "-f", "a.conf", "-z", "-"}),
              (std::vector<std::string>{"x", "-z", "-"}));
    EXPECT_EQ(verbose, 1); // "=value" after a boolean is ignored
    EXPECT_EQ(quiet, 1);   // f is not the last letter of -fq, so only q applies
    EXPECT_EQ(port, 12);
    EXPECT_STREQ(file, "a.conf");

    verbose = quiet = 0;
    parse({"-qv", "--port", "7"});
    EXPECT_EQ(quiet, 1);
    EXPECT_EQ(verbose, 1);
    EXPECT_EQ(port, 7);
}

TEST_F(ConfigTest, ValueOptionLastWithoutValueEndsParsing)
{
    static int port = 5;
    vn_config_add_option('p', "port", "", VN_CONFIG_INT, &port);
    EXPECT_EQ(parse({"keep", "--port"}), std::vector<std::string>{"keep"});
    EXPECT_EQ(parse({"keep", "-p"}), std::vector<std::string>{"keep"});
    EXPECT_EQ(port, 5);
}

TEST_F(ConfigTest, SectionKeywordOnCommandLineConsumesItsValue)
{
    static int inner = 0;
    vn_config_add_section("start-x", "");
    vn_config_add_option(0, "inner", "", VN_CONFIG_INT, &inner);
    vn_config_end_section("end-x", "");
    // The closing keyword takes a value too, so "swallowed" is not left over.
    EXPECT_EQ(parse({"--start-x", "ignored", "--inner", "3", "--end-x", "swallowed", "rest"}),
              std::vector<std::string>{"rest"});
    EXPECT_EQ(inner, 3);
}

struct Peer {
    int id;
    int pad;
    int port;
    char *host;
};

TEST_F(ConfigTest, GroupOpenedOnCommandLineIsClosedAfterThePass)
{
    static Peer *peers = nullptr;
    static int count = 0;
    static Peer templ = {0, 0, 80, nullptr};
    vn_config_add_group("add-peer", "", &peers, &templ, sizeof(Peer), &count);
    vn_config_add_option(0, "port", "", VN_CONFIG_INT, reinterpret_cast<void *>(offsetof(Peer, port)));
    vn_config_end_group("end-peer", "");

    parse({"--add-peer", "--port", "9"});
    ASSERT_EQ(count, 1);
    EXPECT_EQ(peers[0].port, 9);

    // Registered after the pass: a top-level option, not a field.
    static int later = 0;
    vn_config_add_option(0, "later", "", VN_CONFIG_INT, &later);
    EXPECT_EQ(parse({"--later", "4", "--port", "1"}), (std::vector<std::string>{"--port", "1"}));
    EXPECT_EQ(later, 4);
    char buffer[32];
    EXPECT_EQ(_vn_config_get_option_value("port", buffer, sizeof buffer), nullptr);
    EXPECT_EQ(peers[0].port, 9);
}

// ---- value conversion ----

TEST_F(ConfigTest, IntegerBelowMinimumIsClamped)
{
    static int workers = 5;
    static int min = 1, max = 10;
    vn_config_add_bounded_option(0, "workers", "", VN_CONFIG_INT, &workers, &min, &max);
    std::string messages = set("workers", "0");
    EXPECT_EQ(workers, 1);
    EXPECT_EQ(messages, "args:0 'workers' value 0 is below minimum (1) - setting to minimum\n");
    set("workers", "99");
    EXPECT_EQ(workers, 10);
}

TEST_F(ConfigTest, IntegerThatDoesNotFit32BitsIsRefused)
{
    static int port = 5;
    vn_config_add_option(0, "port", "", VN_CONFIG_INT, &port);
    EXPECT_EQ(set("port", "4294967297"), "args:0 invalid integer value: 'port' = '4294967297'\n");
    EXPECT_EQ(port, 5);
}

const vn_config_enum_t kStrict[] = {{"a", 1, nullptr}, {"b", 2, nullptr}, {nullptr, 0, nullptr}};
const vn_config_enum_t kFlags[] = {{"a", 1, nullptr}, {"b", 2, nullptr}, {"c", 4, nullptr}, {nullptr, 0, nullptr}};

TEST_F(ConfigTest, StrictEnumerationRefusesOtherValuesAndModifiers)
{
    static int mode = 2;
    vn_config_add_option_enum(0, "mode", "", VN_CONFIG_INT | VN_CONFIG_STRICT, &mode, kStrict);
    EXPECT_EQ(set("mode", "3"), "args:0 'mode' value 3 failed to match an enumerated value\n"
                                "args:0 invalid integer value: 'mode' = '3'\n");
    EXPECT_EQ(mode, 2);
    EXPECT_EQ(set("mode", "a|b"), "args:0 Found unexpected modifier ('|') for strict enumerated type\n"
                                  "args:0 invalid integer value: 'mode' = 'a|b'\n");
    EXPECT_EQ(mode, 2);
    set("mode", "a");
    EXPECT_EQ(mode, 1);
}

TEST_F(ConfigTest, EnumerationNamesCombineThroughModifiers)
{
    struct Case {
        const char *text;
        int expected;
        const char *messages;
    } cases[] = {
        {"a|b+c", 7, ""},
        {"a", 1, ""},
        {"c&b", 0, ""},
        {"a,c", 5, ""},
        {"x", 0, "args:0 invalid integer value: 'flags' = 'x'\n"},
        {"0x10", 16, ""},
    };
    static int flags = -1;
    vn_config_add_option_enum(0, "flags", "", VN_CONFIG_INT, &flags, kFlags);
    for (const Case &c : cases) {
        EXPECT_EQ(set("flags", c.text), c.messages) << c.text;
        EXPECT_EQ(flags, c.expected) << c.text;
    }
    EXPECT_EQ(vn_config_get_enum("b|c", kFlags), 6);
    EXPECT_EQ(vn_config_get_enum("010", kFlags), 8);
    EXPECT_EQ(vn_config_get_enum("nope", nullptr), 0);
}

TEST_F(ConfigTest, StringsCharactersAndDoubles)
{
    static char *name = nullptr;
    static char letter = 'z';
    static double ratio = 0;
    static double low = 0.5;
    vn_config_add_option(0, "name", "", VN_CONFIG_STRING, &name);
    vn_config_add_option(0, "letter", "", VN_CONFIG_CHAR, &letter);
    vn_config_add_bounded_option(0, "ratio", "", VN_CONFIG_DOUBLE, &ratio, &low, nullptr);

    set("name", "a  b");
    EXPECT_STREQ(name, "a b");
    set("name", "\"a  b\"");
    EXPECT_STREQ(name, "a  b");
    EXPECT_EQ(set("name", "\"\""), "args:0 Potential dubious configuration value: 'name' = '\"\"'\n");
    EXPECT_STREQ(name, "");

    set("letter", "\\101");
    EXPECT_EQ(letter, 65);
    set("letter", "\\x42");
    EXPECT_EQ(letter, 0x42);
    EXPECT_EQ(set("letter", "ab"), "");
    EXPECT_EQ(letter, 0x42);
    set("letter", "q");
    EXPECT_EQ(letter, 'q');

    EXPECT_EQ(set("ratio", "0.25"), "args:0 'ratio' value 0.250000 is below minimum (0.500000) - setting to minimum\n");
    EXPECT_EQ(ratio, 0.5);
    set("ratio", "2.5");
    EXPECT_EQ(ratio, 2.5);
    EXPECT_EQ(set("ratio", "fast"), "args:0 invalid float value: 'ratio' = 'fast'\n");
    EXPECT_EQ(ratio, 2.5);
}

TEST_F(ConfigTest, ArraysGrowByTheirWords)
{
    static double *values = static_cast<double *>(vn_malloc(2 * sizeof(double)));
    values[0] = 10;
    values[1] = 20;
    static int count = 2;
    static char **names = nullptr;
    static int name_count = 0;
    vn_config_add_array_option("values", "", VN_CONFIG_DOUBLE, &values, &count);
    vn_config_add_array_option("names", "", VN_CONFIG_STRING, &names, &name_count);

    EXPECT_EQ(set("values", "1 x 3"), "args:0 invalid float value: 'values' = 'x'\n");
    ASSERT_EQ(count, 5);
    EXPECT_EQ(values[0], 10);
    EXPECT_EQ(values[2], 1);
    EXPECT_EQ(values[4], 3);

    set("names", "one 'two words'");
    set("names", "three");
    ASSERT_EQ(name_count, 3);
    EXPECT_STREQ(names[1], "two words");
    EXPECT_STREQ(names[2], "three");
}

TEST_F(ConfigTest, DeprecatedOptionIsReportedOnEverySetting)
{
    static int old = 0;
    vn_config_add_option(0, "old", "!Label|!Use new instead", VN_CONFIG_INT | VN_CONFIG_DEPRECATED, &old);
    EXPECT_EQ(set("old", "3"), "args:0 Option old is deprecated: Use new instead\n");
    EXPECT_EQ(old, 3);
}

// ---- registry ----

TEST_F(ConfigTest, HelpLabelIsSplitOff)
{
    static char *label = nullptr;
    EXPECT_STREQ(_vn_parse_help_string("!Monitoring|!Period", &label), "Period");
    EXPECT_STREQ(label, "Monitoring|");
    vn_free(label);
    EXPECT_STREQ(_vn_parse_help_string("!no second", &label), "!no second");
    EXPECT_EQ(label, nullptr);
}

struct Service {
    int id;
    int pad;
    int timeout; // offset 8
    int group_count;
    struct Source *groups;
    char *name;
};
struct Source {
    int weight;
    int pad;
};

TEST_F(ConfigTest, GroupFieldsWriteIntoTheRecordBeingFilled)
{
    static Service *services = nullptr;
    static int count = 0;
    static Service templ = {};
    templ.timeout = 30;
    templ.name = vn_strdup("default");
    static Source source_templ = {1, 0};
    static int global_timeout = 0;
    vn_config_add_option(0, "timeout", "", VN_CONFIG_INT, &global_timeout);
    vn_config_add_group("add-service", "", &services, &templ, sizeof(Service), &count);
    vn_config_add_option(0, "timeout", "", VN_CONFIG_INT, reinterpret_cast<void *>(offsetof(Service, timeout)));
    vn_config_add_option(0, "name", "", VN_CONFIG_STRING, reinterpret_cast<void *>(offsetof(Service, name)));
    vn_config_add_group("add-source", "", reinterpret_cast<void *>(offsetof(Service, groups)), &source_templ,
                        sizeof(Source), reinterpret_cast<int *>(offsetof(Service, group_count)));
    vn_config_add_option(0, "weight", "", VN_CONFIG_INT, reinterpret_cast<void *>(offsetof(Source, weight)));
    vn_config_end_group("end-source", "");
    vn_config_end_group("end-service", "");
    ASSERT_EQ(offsetof(Service, timeout), 8u);

    parse({"--add-service", "--timeout", "5", "--name", "first", "--add-source", "--weight", "7", "--end-source",
           "--add-source", "--end-source", "--end-service", "--add-service", "--end-service", "--timeout", "9"});
    ASSERT_EQ(count, 2);
    EXPECT_EQ(services[0].timeout, 5);
    EXPECT_EQ(services[1].timeout, 30);
    EXPECT_EQ(global_timeout, 9);
    EXPECT_STREQ(services[0].name, "first");
    EXPECT_STREQ(services[1].name, "default");
    EXPECT_STREQ(templ.name, "default"); // each record owns its copy of the template's text
    EXPECT_NE(services[1].name, templ.name);
    ASSERT_EQ(services[0].group_count, 2);
    EXPECT_EQ(services[0].groups[0].weight, 7);
    EXPECT_EQ(services[0].groups[1].weight, 1);
    EXPECT_EQ(services[1].group_count, 0);
}

TEST_F(ConfigTest, FieldOfAGroupOpenedWithoutRecordIsIgnored)
{
    static Peer *peers = nullptr;
    static int count = 0;
    static Peer templ = {0, 0, 80, nullptr};
    vn_config_add_group("add-peer", "", &peers, &templ, sizeof(Peer), &count);
    option_t *port = nullptr;
    vn_config_add_option(0, "port", "", VN_CONFIG_INT, reinterpret_cast<void *>(offsetof(Peer, port)));
    port = _vn_config_find_option("port");
    vn_config_end_group("end-peer", "");
    option_t *add = _vn_config_find_option("add-peer");

    set_value(add, nullptr, 0);
    set_value(port, "1", 0);
    // Opened while only checking (an inactive line): the earlier record must not change.
    set_value(add, nullptr, 1);
    CaptureStderr();
    set_value(port, "2", 0);
    EXPECT_EQ(GetCapturedStderr(), "args:0 No record for group add-peer - ignoring port\n");
    ASSERT_EQ(count, 1);
    EXPECT_EQ(peers[0].port, 1);
}

TEST_F(ConfigTest, FirstRegisteredNameWinsUntilItIsDeleted)
{
    static char *first = vn_strdup("one");
    static char *second = nullptr;
    vn_config_add_option(0, "name", "", VN_CONFIG_STRING, &first);
    vn_config_add_option(0, "name", "", VN_CONFIG_STRING, &second);
    set("name", "x");
    EXPECT_STREQ(first, "x");
    EXPECT_EQ(second, nullptr);

    vn_config_del_option("name");
    EXPECT_EQ(first, nullptr); // the value is freed with the option
    set("name", "y");
    EXPECT_STREQ(second, "y");
    EXPECT_EQ(_vn_config_find_option("name")->def, nullptr); // registered without text: no default
    vn_config_del_option("no-such-option");
}

TEST_F(ConfigTest, OptionValuesAreFormattedByType)
{
    static char flag = 1;
    static int number = -4;
    static double ratio = 0.5;
    static char *text = nullptr;
    static char letter = 'k';
    static int *list = nullptr;
    static int list_count = 0;
    vn_config_add_option(0, "flag", "", VN_CONFIG_BOOL, &flag);
    vn_config_add_option(0, "number", "", VN_CONFIG_INT, &number);
    vn_config_add_option(0, "ratio", "", VN_CONFIG_DOUBLE, &ratio);
    vn_config_add_option(0, "text", "", VN_CONFIG_STRING, &text);
    vn_config_add_option(0, "letter", "", VN_CONFIG_CHAR, &letter);
    vn_config_add_array_option("list", "", VN_CONFIG_INT, &list, &list_count);
    struct Case {
        const char *name;
        const char *expected;
    } cases[] = {{"flag", "1"}, {"number", "-4"}, {"ratio", "0.5"}, {"text", ""}, {"letter", "k"}};
    char buffer[16];
    for (const Case &c : cases) {
        ASSERT_NE(_vn_config_get_option_value(c.name, buffer, sizeof buffer), nullptr) << c.name;
        EXPECT_STREQ(buffer, c.expected) << c.name;
    }
    EXPECT_EQ(_vn_config_get_option_value("list", buffer, sizeof buffer), nullptr);
    EXPECT_EQ(_vn_config_get_option_value("nosuch", buffer, sizeof buffer), nullptr);
}

TEST_F(ConfigTest, UnknownOptionNamesTheOpenGroupAndCutsLongNames)
{
    static Peer *peers = nullptr;
    static int count = 0;
    vn_config_add_group("add-peer", "", &peers, nullptr, sizeof(Peer), &count);
    vn_config_end_group("end-peer", "");
    CaptureStderr();
    unknown_option(std::string(60, 'x').c_str());
    set_value(_vn_config_find_option("add-peer"), nullptr, 0);
    unknown_option("colour");
    EXPECT_EQ(GetCapturedStderr(), "args:0 Unknown option: " + std::string(50, 'x') +
                                       "...\n"
                                       "args:0 Unknown option: add-peer:colour\n");
}

} // namespace

namespace {

TEST_F(ConfigTest, CollectedMessagesGoToTheLogOnceAndAreThenDropped)
{
    vntest::TempRoot root;
    _vn_log_config_init();
    vn_config_set_option("log-dir", root.file("var").c_str());
    static vn_init_t record{};
    static char app[] = "configtest";
    record.application_name = app;
    _vn_log_init(&record);
    vn_log_t *log = vn_new_level_log("config", "config.log", nullptr);
    ASSERT_NE(log, nullptr);

    _vn_config_log_errors(nullptr); // without a log the messages are kept
    unknown_option("first");
    vn_config_add_error_message("second\n");
    _vn_config_log_errors(log);
    _vn_config_log_errors(log);
    std::string text = root.read("var/config.log");
    EXPECT_NE(text.find("CONFIG: args:0 Unknown option: first\n"), std::string::npos) << text;
    EXPECT_NE(text.find("CONFIG: second\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("first", text.find("first") + 1), std::string::npos) << text;

    // Freeing a context writes what was collected since to the event log and
    // drops the context's variables (the leak checker sees them go).
    record.log = log;
    _vn_config_init(&record);
    vn_config_ctx_t *context = _vn_config_get_ctx();
    context->macro = _vn_config_macro_ctx_create();
    _vn_config_macro_store_var(context->macro, "kept", "value");
    vn_config_add_error_message("third\n");
    vn_config_free_ctx(context);
    EXPECT_NE(root.read("var/config.log").find("CONFIG: third\n"), std::string::npos);
    vn_free_log(log);
}

} // namespace

// ---- option documentation and listings ----

namespace {

struct Link {
    int weight;
    char *peer;
};

// Module variables at namespace scope keep what the registry stores reachable.
char doc_verbose = 1;
double doc_period = 10;
char *doc_secret = nullptr;
char *doc_title = nullptr;
int doc_level = 2;
double doc_ratio = 0.5;
char doc_sep = 0;
int doc_sizes[1];
int doc_size_count = 0;
Link *doc_links = nullptr;
int doc_link_count = 0;
Link doc_link_template = {50, nullptr};
int doc_hidden = 0;
int doc_inner = 3;

const vn_config_enum_t kLevels[] = {
    {"low", 1.9, "!Levels|!The lowest"}, {"mid", 2, "Middle"}, {"high", 3, nullptr}, {nullptr, 0, nullptr}};
const vn_config_enum_t kRatios[] = {{"half", 0.5, ""}, {nullptr, 0, nullptr}};

void ignore_words(const char *, int, char **) {}

// Registers one option of each kind the documentation distinguishes.
void register_documented_options()
{
    vn_config_add_option('v', "verbose-config", "Report all messages for config files being loaded",
                         VN_CONFIG_BOOL, &doc_verbose);
    vn_config_add_option(0, "process-usage-period", "!Monitoring|!Period over which to calculate load",
                         VN_CONFIG_DOUBLE, &doc_period);
    vn_config_add_option(0, "write-config-options", "!Private|!Write config options to file",
                         VN_CONFIG_STRING | VN_CONFIG_PRIVATE, &doc_secret);
    vn_config_add_option('t', "title", "Title", VN_CONFIG_STRING, &doc_title);
    int low = 1, high = 9;
    vn_config_add_bounded_option_enum('l', "level", "Level", VN_CONFIG_INT | VN_CONFIG_STRICT | VN_CONFIG_DEPRECATED,
                                      &doc_level, kLevels, &low, &high);
    double floor = 0.25;
    vn_config_add_bounded_option_enum(0, "ratio", "Ratio", VN_CONFIG_DOUBLE, &doc_ratio, kRatios, &floor, nullptr);
    vn_config_add_option(0, "separator", "", VN_CONFIG_CHAR, &doc_sep);
    vn_config_add_option(0, "run", "Runs", VN_CONFIG_FUNCTION, reinterpret_cast<void *>(ignore_words));
    vn_config_add_bounded_array_option("size", "Sizes", VN_CONFIG_INT, doc_sizes, &doc_size_count, nullptr, &high);
    vn_config_add_group("add-link", "!Links|!A link", &doc_links, &doc_link_template, sizeof(Link),
                        &doc_link_count);
    vn_config_add_option(0, "weight", "Weight", VN_CONFIG_INT, reinterpret_cast<void *>(offsetof(Link, weight)));
    vn_config_end_group("end-link", "End of a link");
    vn_config_add_group("add-hidden", "", nullptr, nullptr, sizeof(int), nullptr);
    vn_config_add_option(0, "hidden", "", VN_CONFIG_INT, &doc_hidden);
    vn_config_end_group("end-hidden", "");
    _vn_config_find_option("add-hidden")->type |= VN_CONFIG_PRIVATE;
    vn_config_add_section("start-area", "Area");
    vn_config_add_option(0, "inner", "Inner", VN_CONFIG_INT, &doc_inner);
    vn_config_end_section("end-area", "");
}

std::string document()
{
    char *text = nullptr;
    size_t size = 0;
    FILE *stream = open_memstream(&text, &size);
    vn_config_document_options(stream);
    fclose(stream);
    std::string rows(text, size);
    free(text);
    return rows;
}

} // namespace

TEST_F(ConfigTest, DocumentationWritesOneRowPerOptionGroupAndEnumeration)
{
    register_documented_options();
    parse({"--title", "now", "--add-link", "--weight", "7"}); // records never change the documented defaults
    vn_free(doc_title); // a string with no value documents empty
    doc_title = nullptr;
    EXPECT_EQ(document(),
              "option|v|verbose-config|Boolean|0|0|FALSE|||||Report all messages for config files being loaded\n"
              "option||process-usage-period|Floating Point Value|0|0|10.000000|||Monitoring||Period over which "
              "to calculate load\n"
              "option|t|title|String|0|0||||||Title\n"
              "option|l|level|Integer|1|1|2|1|9|||Level\n"
              "enum|low|1|Levels||The lowest\n"
              "enum|mid|2|||Middle\n"
              "enum|high|3|||\n"
              "option||ratio|Floating Point Value|0|0|0.500000|0.250000||||Ratio\n"
              "enum|half|0.500000|||\n"
              "option||separator|Character|0|0||||||\n"
              "option||run|Function|0|0||||||Runs\n"
              "option||size|Integer Array|0|0|||9|||Sizes\n"
              "group|add-link|Start of group|Links||A link\n"
              "option||weight|Integer|0|0|50|||||Weight\n"
              "endgroup||end-link|End of group|0|0||||||End of a link\n"
              "section|start-area|Start of section|||Area\n"
              "option||inner|Integer|0|0|3|||||Inner\n"
              "endsection||end-area|End of section|0|0||||||\n");
    EXPECT_EQ(doc_links[0].weight, 7);
}

TEST_F(ConfigTest, ListingsShowTheVisibleOptionsAndTheirValues)
{
    using namespace std::string_literals;
    register_documented_options();
    vn_config_add_group("add-old", "!Deprecated|!Old links", nullptr, nullptr, sizeof(int), nullptr);
    vn_config_add_option(0, "old-weight", "", VN_CONFIG_INT, &doc_hidden);
    vn_config_end_group("end-old", "");
    doc_level = 5;
    testing::internal::CaptureStdout();
    vn_config_list_options();
    std::string options = testing::internal::GetCapturedStdout();
    EXPECT_EQ(options,
              "-v,--verbose-config         (bool)    Report all messages for config files being loaded\n"
              "   --process-usage-period   (float)   Period over which to calculate load\n"
              "-t,--title                  (string)  Title\n"
              "   --ratio                  (float)   Ratio\n"
              "   --separator              (char)    \n"
              "   --size                   (int arr) Sizes\n"
              "   add-link                  (group)   A link\n"
              "         weight                 (integer) Weight\n"
              "   end-link                  (end grp) End of a link\n"
              "   start-area                (section) Area\n"
              "         inner                  (integer) Inner\n"
              "   end-area                  (end sect)\n");

    testing::internal::CaptureStdout();
    vn_config_list_values();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "verbose-config (1 - 1)\n"
              "process-usage-period (10 - 10)\n"
              "write-config-options (NULL - NULL)\n"
              "title (NULL - NULL)\n"
              "level (5 - 2)\n"
              "ratio (0.5 - 0.5)\n"
              "separator (\0 - \0)\n"s); // a character 0 is printed as it is
}
