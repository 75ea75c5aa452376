// Latency chains: events appended to records as adapters pass them on, plain
// and Base64-encoded lists, the start-up check of the fields, and the
// latencyChainManager element written by morvask.
#include "peer_node.h"
#include "test_support.h"
#include "vantrix_private.h"

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

constexpr int kInitTs = 9001;
constexpr int kEvents = 9002;
constexpr int kTimes = 9003;

std::string b64(const void *bytes, size_t len, char letter)
{
    std::vector<char> text(4 * ((len + 2) / 3) + 1);
    vn_base64_encode(text.data(), bytes, len);
    return std::string(1, letter) + text.data();
}

std::string b64_text(const std::string &text)
{
    return b64(text.data(), text.size(), 'k');
}

std::string b64_int64(int64_t value, char letter = 'f')
{
    unsigned char bytes[8];
    for (int i = 0; i < 8; i++)
        bytes[i] = static_cast<unsigned char>(static_cast<uint64_t>(value) >> (56 - 8 * i));
    return b64(bytes, sizeof bytes, letter);
}

std::string b64_double(double value)
{
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return b64_int64(static_cast<int64_t>(bits), 'b');
}

// The value of the last field with the number, or "(none)".
std::string value_of(const vn_data_t *data, int fieldnum)
{
    std::string value = "(none)";
    for (int i = 0; i < data->count; i++) {
        if (data->fields[i].fieldnum == fieldnum) {
            value = data->fields[i].value;
            EXPECT_EQ(static_cast<size_t>(data->fields[i].len), value.size());
        }
    }
    return value;
}

class LatencyChain : public ::testing::Test {
protected:
    void SetUp() override
    {
        vn_config_set_ctx(vn_config_new_ctx());
        _vn_fields_config_init();
        _vn_lty_chain_config_init();
        vn_fields_add(kInitTs, "LTY_INIT_TS", 0, 0, nullptr);
        vn_fields_add(kEvents, "LTY_LIST_EVENT", 0, 0, nullptr);
        vn_fields_add(kTimes, "LTY_LIST_TS", 0, 0, nullptr);
        vn_config_set_option("latency-chain-enable", "");
    }

    void TearDown() override { vn_free_data(record); }

    void start(const char *name, const char *mode = "never")
    {
        vn_config_set_option("latency-chain-name", name);
        vn_config_set_option("latency-chain-base64-mode", mode);
        _vn_lty_chain_init(nullptr);
    }

    vn_data_t *make(const std::vector<std::pair<int, std::string>> &fields)
    {
        record = vn_init_data("SUBJ", 222, 0);
        for (const auto &[num, value] : fields)
            vn_add_data(record, num, value.c_str());
        return record;
    }

    vn_data_t *record = nullptr;
};

TEST_F(LatencyChain, EachAdapterAppendsItsEventsAndOffsets)
{
    start("first");
    make({{kInitTs, "1000"}});
    vn_add_latency_chain(record, 'X', 1500);
    EXPECT_EQ(value_of(record, kEvents), "first_X");
    EXPECT_EQ(value_of(record, kTimes), "500");
    EXPECT_EQ(value_of(record, kInitTs), "1000");
    start("second");
    vn_add_latency_chain(record, 'E', 1700);
    vn_add_latency_chain(record, 'X', 1750);
    EXPECT_EQ(value_of(record, kEvents), "first_X,second_E,second_X");
    EXPECT_EQ(value_of(record, kTimes), "500,700,750");
    vn_add_latency_chain2(record, 'A', 1800, 'B', 1900);
    EXPECT_EQ(value_of(record, kEvents), "first_X,second_E,second_X,second_A,second_B");
    EXPECT_EQ(value_of(record, kTimes), "500,700,750,800,900");
}

TEST_F(LatencyChain, RecordWithoutInitialTimestampIsLeftAlone)
{
    start("a");
    make({{1, "x"}});
    vn_add_latency_chain(record, 'X', 0);
    vn_add_latency_chain2(record, 'E', 5, 'X', 0);
    EXPECT_EQ(record->count, 1);
}

TEST_F(LatencyChain, NowIsUsedForAZeroTime)
{
    start("a");
    int64_t now_ms = static_cast<int64_t>(time(nullptr)) * 1000;
    make({{kInitTs, std::to_string(now_ms - 60000)}});
    vn_add_latency_chain(record, 'X', 0);
    int64_t offset = std::stoll(value_of(record, kTimes));
    EXPECT_GE(offset, 60000 - 1000);
    EXPECT_LT(offset, 60000 + 10000);
}

TEST_F(LatencyChain, LastOccurrenceOfEachFieldWins)
{
    start("a");
    make({{kInitTs, "5"}, {kEvents, "old_X"}, {kInitTs, "1000"}, {kTimes, "1"}, {kEvents, "mid_X"}, {kTimes, "2"}});
    vn_add_latency_chain(record, 'E', 1100);
    EXPECT_EQ(record->fields[4].value, std::string("mid_X,a_E"));
    EXPECT_EQ(record->fields[5].value, std::string("2,100"));
    EXPECT_EQ(record->fields[1].value, std::string("old_X"));
}

TEST_F(LatencyChain, EncodedTimestampsAndListsPerMode)
{
    struct Case {
        const char *what;
        const char *mode;
        std::vector<std::pair<int, std::string>> fields;
        std::string init, events, times;
    } cases[] = {
        {"detect rewrites the timestamp, lists stay plain", "detect", {{kInitTs, b64_int64(1000)}}, "1000", "n_E", "500"},
        {"unsigned letter", "detect", {{kInitTs, b64_int64(1000, 'j')}}, "1000", "n_E", "500"},
        {"float64 letter", "detect", {{kInitTs, b64_double(1000.9)}}, "1000", "n_E", "500"},
        {"unknown letter reads 0", "detect", {{kInitTs, b64_int64(1000, 'z')}}, "0", "n_E", "1500"},
        {"plain stays plain under detect", "detect", {{kInitTs, "1000"}, {kEvents, "a_X"}, {kTimes, "3"}}, "1000",
         "a_X,n_E", "3,500"},
        {"encode alone keeps plain lists", "encode", {{kInitTs, "1000"}}, "1000", "n_E", "500"},
        {"detect and encode keep the timestamp and encode new lists", "6", {{kInitTs, b64_int64(1000)}},
         b64_int64(1000), b64_text("n_E"), b64_text("500")},
        {"encoded lists are extended and encoded again", "5",
         {{kInitTs, b64_int64(1000)}, {kEvents, b64_text("a_X")}, {kTimes, b64_text("7")}}, b64_int64(1000),
         b64_text("a_X,n_E"), b64_text("7,500")},
        {"encoded lists are decoded without the encode bit", "detect",
         {{kInitTs, "1000"}, {kEvents, b64_text("a_X")}, {kTimes, b64_text("7")}}, "1000", "a_X,n_E", "7,500"},
    };
    for (const Case &c : cases) {
        start("n", c.mode);
        vn_free_data(record);
        make(c.fields);
        vn_add_latency_chain(record, 'E', 1500);
        EXPECT_EQ(value_of(record, kInitTs), c.init) << c.what;
        EXPECT_EQ(value_of(record, kEvents), c.events) << c.what;
        EXPECT_EQ(value_of(record, kTimes), c.times) << c.what;
    }
}

TEST_F(LatencyChain, FloatTimestampsOutsideTheRangeReadAsZero)
{
    for (double wild : {std::nan(""), std::numeric_limits<double>::infinity(), -1e300, 9.3e18}) {
        start("n", "detect");
        vn_free_data(record);
        make({{kInitTs, b64_double(wild)}});
        vn_add_latency_chain(record, 'E', 1500);
        EXPECT_EQ(value_of(record, kInitTs), "0") << wild;
        EXPECT_EQ(value_of(record, kTimes), "1500") << wild;
    }
}

TEST_F(LatencyChain, LongNamesAndListsAreKeptWhole)
{
    std::string name(300, 'n');
    start(name.c_str());
    std::string events;
    for (int i = 0; i < 400; i++)
        events.append(i ? "," : "").append("adapter").append(std::to_string(i)).append("_X");
    make({{kInitTs, "1000"}, {kEvents, events}});
    vn_add_latency_chain2(record, 'E', 1001, 'X', 1002);
    std::string expanded(255, 'n');
    EXPECT_EQ(value_of(record, kEvents), events + "," + expanded + "_E," + expanded + "_X");
    EXPECT_EQ(value_of(record, kTimes), "1,2");
}

TEST_F(LatencyChain, MissingFieldSwitchesChainsOff)
{
    vn_config_set_option("latency-chain-list-ts-field", "NOT_A_FIELD");
    EXPECT_TRUE(vn_latency_chain_enable());
    start("a");
    EXPECT_FALSE(vn_latency_chain_enable());
    EXPECT_STREQ(vn_latency_chain_list_ts_field(), "NOT_A_FIELD");
}

TEST_F(LatencyChain, ModeBitsAreReadOneByOne)
{
    start("a", "6");
    EXPECT_EQ(vn_latency_chain_base64_decode(), 0);
    EXPECT_NE(vn_latency_chain_base64_detect(), 0);
    EXPECT_NE(vn_latency_chain_base64_encode(), 0);
}

// ---- The exported element ----

std::vector<std::pair<std::string, std::string>> manager_attributes(const std::string &path)
{
    std::vector<std::pair<std::string, std::string>> result;
    xmlDocPtr doc = xmlReadFile(path.c_str(), nullptr, 0);
    if (doc == nullptr)
        return result;
    for (xmlNodePtr node = xmlDocGetRootElement(doc)->children; node != nullptr; node = node->next) {
        if (node->type != XML_ELEMENT_NODE || std::string(reinterpret_cast<const char *>(node->name)) != "latencyChainManager")
            continue;
        for (xmlAttrPtr attr = node->properties; attr != nullptr; attr = attr->next) {
            xmlChar *value = xmlNodeListGetString(doc, attr->children, 1);
            result.emplace_back(reinterpret_cast<const char *>(attr->name), reinterpret_cast<const char *>(value));
            xmlFree(value);
        }
        result.emplace_back("(element)", "");
    }
    xmlFreeDoc(doc);
    return result;
}

TEST(LatencyChainXml, MorvaskWritesTheManagerWithTheModesName)
{
    const std::string fields = "add-field LTY_INIT_TS 9001\nadd-field LTY_LIST_EVENT 9002\nadd-field TS 9003\n";
    struct Case {
        std::string conf;
        std::vector<std::pair<std::string, std::string>> expected;
    } cases[] = {
        {fields + "latency-chain-enable\nlatency-chain-list-ts-field TS\nlatency-chain-base64-mode encode\n",
         {{"InitialTimeStampField", "LTY_INIT_TS"},
          {"TimeStampListField", "TS"},
          {"EventListField", "LTY_LIST_EVENT"},
          {"Base64", "encode"},
          {"(element)", ""}}},
        // No single name stands for a combined mode.
        {fields + "latency-chain-enable\nlatency-chain-list-ts-field TS\nlatency-chain-base64-mode 5\n",
         {{"InitialTimeStampField", "LTY_INIT_TS"},
          {"TimeStampListField", "TS"},
          {"EventListField", "LTY_LIST_EVENT"},
          {"(element)", ""}}},
        {fields + "latency-chain-list-ts-field TS\n", {}},
        {fields + "latency-chain-enable\n", {}}, // LTY_LIST_TS is not a field
    };
    for (const Case &c : cases) {
        vntest::TempRoot root;
        root.write("morvask.conf", "application-name feed\n" + c.conf);
        vntest::RunResult result = vntest::run_morvask({"--application-root", root.path()}, root.path());
        ASSERT_EQ(result.exit_code, 0) << result.err;
        EXPECT_EQ(manager_attributes(root.file("Vantro.xml")), c.expected) << c.conf;
    }
}

TEST(LatencyChainStart, NameIsExpandedWithTheApplicationAndShortHostName)
{
    vntest::TempRoot root;
    root.write("app.conf", "application-name feed\nlatency-chain-name %a@%h.%n\n");
    ASSERT_GE(vntest::start_runtime("feed", root.file("app.conf"), root.path()), 0);
    EXPECT_EQ(vn_latency_chain_name(), "feed@" + std::string(vn_get_hostname()) + ".feed");
    EXPECT_EQ(std::string(vn_get_hostname()).find('.'), std::string::npos);
}

// ---- Between two adapters ----

// "9002=a,b" -> "a,b" from a node's update report.
std::string field_in(const std::string &line, int number)
{
    std::string key = " " + std::to_string(number) + "=";
    size_t at = line.find(key);
    if (at == std::string::npos)
        return "";
    size_t start = at + key.size();
    return line.substr(start, line.find(' ', start) - start);
}

TEST(LatencyChainLink, SenderStampsXAndReceiverStampsEWithTheReadTime)
{
    const std::string chains = "add-field LTY_INIT_TS 9001\nadd-field LTY_LIST_EVENT 9002\n"
                               "add-field LTY_LIST_TS 9003\nlatency-chain-enable\n";
    vntest::Node alpha;
    int port = vntest::start_listening(alpha, [&](int listen) {
        return vntest::node_conf(10, "alpha-node", listen, vntest::accept_peer("beta", 20)) + chains +
               "latency-chain-name alpha\n";
    });
    ASSERT_GT(port, 0);
    vntest::Node beta(vntest::node_conf(20, "beta-node", 0, vntest::connect_peer("alpha", 10, port)) + chains +
                      "latency-chain-name beta\n");
    ASSERT_TRUE(beta.start());
    ASSERT_TRUE(alpha.expect("up 0 20"));
    ASSERT_TRUE(beta.expect("up 0 10"));
    int64_t born = static_cast<int64_t>(time(nullptr)) * 1000 - 5000;
    alpha.command("send CHAIN 9001=" + std::to_string(born));
    std::string line;
    ASSERT_TRUE(beta.expect("update 0 CHAIN", &line));
    EXPECT_EQ(field_in(line, 9002), "alpha_X,beta_E") << line;
    std::string times = field_in(line, 9003);
    size_t comma = times.find(',');
    ASSERT_NE(comma, std::string::npos) << line;
    int64_t sent = std::stoll(times.substr(0, comma));
    int64_t received = std::stoll(times.substr(comma + 1));
    EXPECT_GE(sent, 5000);
    EXPECT_GE(received, sent);
}

} // namespace

