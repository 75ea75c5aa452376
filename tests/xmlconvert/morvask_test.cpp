// End-to-end runs of the built morvask on small application roots.
#include "test_support.h"

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <string>
#include <utility>
#include <vector>

using vntest::RunResult;
using vntest::TempRoot;
using vntest::run_morvask;

namespace {

using Attributes = std::vector<std::pair<std::string, std::string>>;

// One parsed document, freed on destruction.
class Document {
public:
    explicit Document(const std::string &path) : doc_(xmlReadFile(path.c_str(), nullptr, 0)) {}
    ~Document() { xmlFreeDoc(doc_); }
    Document(const Document &) = delete;
    Document &operator=(const Document &) = delete;

    bool ok() const { return doc_ != nullptr; }
    xmlNodePtr root() const { return xmlDocGetRootElement(doc_); }

    // The first child element of the root named `name`, or null.
    xmlNodePtr child(const std::string &name) const
    {
        for (xmlNodePtr node = root()->children; node != nullptr; node = node->next) {
            if (node->type == XML_ELEMENT_NODE && name == reinterpret_cast<const char *>(node->name))
                return node;
        }
        return nullptr;
    }

private:
    xmlDocPtr doc_;
};

Attributes attributes(xmlNodePtr node)
{
    Attributes result;
    for (xmlAttrPtr attr = node->properties; attr != nullptr; attr = attr->next) {
        xmlChar *value = xmlNodeListGetString(node->doc, attr->children, 1);
        result.emplace_back(reinterpret_cast<const char *>(attr->name), reinterpret_cast<const char *>(value));
        xmlFree(value);
    }
    return result;
}

const Attributes kFullJmxManager = {
    {"enable", "true"}, {"rmiRegistryPort", "1099"}, {"root", "feed"}, {"rmiClientPort", "1100"}};

// The jmxManager element of the configuration document at `path`.
void expect_jmx_manager(const std::string &path, const Attributes &expected)
{
    Document config(path);
    ASSERT_TRUE(config.ok()) << path;
    xmlNodePtr jmx = config.child("jmxManager");
    ASSERT_NE(jmx, nullptr) << path;
    EXPECT_EQ(attributes(jmx), expected);
}

std::string name_of(xmlNodePtr node)
{
    return reinterpret_cast<const char *>(node->name);
}

// Runs morvask on `root` with its morvask.conf holding `conf`.
RunResult run_on(const TempRoot &root, const std::string &conf, std::vector<std::string> extra = {})
{
    root.write("morvask.conf", conf);
    std::vector<std::string> args{"--application-root", root.path()};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_morvask(args, root.path());
}

} // namespace

TEST(Morvask, WritesBothDocumentsUnderTheRoot)
{
    TempRoot root;
    RunResult result = run_on(root, "application-name feed\n");
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.err, "");

    Document config(root.file("Vantro.xml"));
    ASSERT_TRUE(config.ok());
    EXPECT_EQ(name_of(config.root()), "vantro");
    ASSERT_NE(config.root()->nsDef, nullptr);
    EXPECT_STREQ(reinterpret_cast<const char *>(config.root()->nsDef->prefix), "xsi");
    EXPECT_STREQ(reinterpret_cast<const char *>(config.root()->nsDef->href),
                 "http://www.w3.org/2001/XMLSchema-instance");
    EXPECT_EQ(config.child("jmxManager"), nullptr);

    Document fields(root.file("Fields.xml"));
    ASSERT_TRUE(fields.ok());
    EXPECT_EQ(name_of(fields.root()), "fieldManager");
    EXPECT_NE(root.read("Vantro.xml").find("encoding=\"utf-8\""), std::string::npos);
}

TEST(Morvask, JmxManagerCarriesItsAttributesInOrder)
{
    struct Case {
        std::vector<std::string> args;
        Attributes expected;
    } cases[] = {
        {{"-n", "feed", "--rmi-registry-port", "1099"},
         {{"enable", "true"}, {"rmiRegistryPort", "1099"}, {"root", "feed"}}},
        {{"-n", "feed", "--rmi-registry-port", "1099", "--rmi-client-port", "1100"},
         {{"enable", "true"}, {"rmiRegistryPort", "1099"}, {"root", "feed"}, {"rmiClientPort", "1100"}}},
    };
    for (const Case &c : cases) {
        TempRoot root;
        RunResult result = run_on(root, "", c.args);
        ASSERT_EQ(result.exit_code, 0) << result.err;
        Document config(root.file("Vantro.xml"));
        ASSERT_TRUE(config.ok());
        xmlNodePtr jmx = config.child("jmxManager");
        ASSERT_NE(jmx, nullptr) << c.args.size();
        EXPECT_EQ(attributes(jmx), c.expected) << c.args.size();
    }
}

TEST(Morvask, CommandLineWinsOverTheFileAndNamesTheConfigDocument)
{
    TempRoot root;
    root.write("work/.keep", "");
    std::string work = root.file("work");
    root.write("morvask.conf", "application-name feed\nrmi-registry-port 1099\n");
    RunResult result = run_morvask({"--application-root", root.path(), "--xml-config-file", "out.xml",
                                    "--rmi-registry-port", "2000"},
                                   work);
    ASSERT_EQ(result.exit_code, 0) << result.err;
    // The tool has changed into the root, so a relative name lands there.
    Document config(root.file("out.xml"));
    ASSERT_TRUE(config.ok());
    xmlNodePtr jmx = config.child("jmxManager");
    ASSERT_NE(jmx, nullptr);
    EXPECT_EQ(attributes(jmx)[1], std::make_pair(std::string("rmiRegistryPort"), std::string("2000")));
    EXPECT_TRUE(root.exists("Fields.xml"));
    EXPECT_FALSE(root.exists("Vantro.xml"));
}

TEST(Morvask, RelativeRootWithTrailingSlashIsMadeAbsolute)
{
    TempRoot top;
    top.write("app/morvask.conf", "application-name feed\n");
    top.write("app/var/.keep", "");
    RunResult result = run_morvask({"--application-root", "app/"}, top.path());
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_TRUE(top.exists("app/Vantro.xml"));
    EXPECT_TRUE(top.exists("app/Fields.xml"));
}

TEST(Morvask, ConfigurationAndMacrosDriveTheDocument)
{
    TempRoot root;
    root.write("etc/ports.conf", "rmi-client-port ${CLIENT}\n");
    RunResult result = run_on(root,
                              "application-name feed\n"
                              "define SITE london\n"
                              "define CLIENT 1100\n"
                              "defmacro registry(port)\n"
                              "rmi-registry-port ${port}\n"
                              "endmacro\n"
                              "if ${SITE} == london\n"
                              "registry(1099)\n"
                              "else\n"
                              "registry(2099)\n"
                              "endif\n"
                              "include-file etc/ports.conf\n");
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.err, "");
    expect_jmx_manager(root.file("Vantro.xml"), kFullJmxManager);
}

TEST(Morvask, PrintAndExitOptionsAnswerBeforeAnyDocument)
{
    struct Case {
        std::vector<std::string> args;
        int exit_code;
        std::string out;
        std::string err;
    } cases[] = {
        {{"--get-config-value", "rmi-registry-port"}, 0, "1099\n", ""},
        {{"--get-config-value", "application-name"}, 0, "feed\n", ""},
        {{"--get-config-value", "no-such-option"}, 1, "", "Unknown configuration option: no-such-option\n"},
        {{"--get-config-macro", "SITE"}, 0, "london\n", ""},
        {{"--get-config-macro", "UNDEFINED"}, 0, "\n", "args:7 Undefined variable: 'UNDEFINED'; assuming empty string\n"},
    };
    for (const Case &c : cases) {
        TempRoot root;
        std::vector<std::string> args = {"-n", "feed", "--rmi-registry-port", "1099"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunResult result = run_on(root, "define SITE london\n", args);
        EXPECT_EQ(result.exit_code, c.exit_code) << c.args[0];
        EXPECT_EQ(result.out, c.out) << c.args[0];
        EXPECT_EQ(result.err, c.err) << c.args[0];
        EXPECT_FALSE(root.exists("Vantro.xml")) << c.args[0];
    }
}

TEST(Morvask, MacroQueryWithoutAnyConfigurationFileFails)
{
    TempRoot root;
    RunResult result = run_morvask({"--application-root", root.path(), "--get-config-macro", "SITE"}, root.path());
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err, "Unknown configuration macro: SITE\n");
}

TEST(Morvask, DocumentThatCannotBeSavedIsReportedAndFails)
{
    TempRoot root;
    RunResult result = run_on(root, "", {"-n", "feed", "--xml-config-file", "missing/Vantro.xml"});
    EXPECT_NE(result.exit_code, 0);
    EXPECT_NE(result.err.find("feed: Cannot save missing/Vantro.xml: "), std::string::npos) << result.err;
    EXPECT_TRUE(root.exists("Fields.xml")); // the other document is still written
}

TEST(Morvask, DaemonModeWithAnUnreachableRootEndsWithCodeFour)
{
    TempRoot top;
    RunResult result = run_morvask({"-d", "--application-root", "/nonexistent/feed", "-n", "feed"}, top.path());
    EXPECT_EQ(result.exit_code, 4);
    EXPECT_EQ(result.err, "feed: Cannot change to application root /nonexistent/feed: No such file or directory\n\n");
}

TEST(Morvask, ProcessUsagePeriodIsBoundedAboveZero)
{
    TempRoot root;
    RunResult result = run_on(root, "", {"--process-usage-period", "0", "--get-config-value", "process-usage-period"});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.out, "1\n");
    EXPECT_NE(result.err.find("args:3 'process-usage-period' value 0.000000 is below minimum (1.000000)"),
              std::string::npos)
        << result.err;
}

TEST(Morvask, ConfigurationMessagesGoToTheEventLog)
{
    TempRoot root;
    RunResult result = run_on(root, "", {"-n", "feed", "--process-usage-period", "-5"});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    std::string log = root.read("var/feed.log");
    EXPECT_NE(log.find(": CONFIG: args:5 'process-usage-period' value -5.000000 is below minimum"), std::string::npos)
        << log;
}

TEST(Morvask, MissingVarDirectoryEndsStartUpWithCodeTwo)
{
    TempRoot top;
    top.write("app/morvask.conf", "");
    std::string app = top.file("app");
    RunResult result = run_morvask({"--application-root", app, "-n", "feed"}, top.path());
    EXPECT_EQ(result.exit_code, 2);
    EXPECT_EQ(result.err, "feed: Cannot create event_log: " + app + "/var/feed.log\n\n");
    EXPECT_FALSE(top.exists("app/Vantro.xml"));
}

TEST(Morvask, BundledExampleIsReadWithoutAConfigurationMessage)
{
    TempRoot root;
    std::string example = std::string(VANTRIX_SOURCE_DIR) + "/examples/root/";
    root.write("morvask.conf", vntest::read_file(example + "morvask.conf"));
    root.write("etc/feed-daemon.conf", vntest::read_file(example + "etc/feed-daemon.conf"));
    RunResult result = run_morvask({"--application-root", root.path()}, root.path());
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.err, ""); // every configuration problem is also written here
    expect_jmx_manager(root.file("Vantro.xml"), kFullJmxManager);
    Document fields(root.file("Fields.xml"));
    ASSERT_TRUE(fields.ok());
    EXPECT_NE(fields.root()->children, nullptr);
}

TEST(Morvask, FieldsDocumentListsEveryDefinedFieldInOrder)
{
    TempRoot root;
    RunResult result = run_on(root, "application-name feed\n"
                                    "add-field BID 22\n"
                                    "add-field ASK 25 dp 4\n"
                                    "add-field BROKEN twelve\n"
                                    "add-field NEGATIVE -7\n");
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_NE(result.err.find("morvask.conf:4"), std::string::npos) << result.err; // the bad number

    Document fields(root.file("Fields.xml"));
    ASSERT_TRUE(fields.ok());
    std::vector<Attributes> listed;
    for (xmlNodePtr node = fields.root()->children; node != nullptr; node = node->next)
        if (node->type == XML_ELEMENT_NODE && name_of(node) == "field")
            listed.push_back(attributes(node));
    std::vector<Attributes> expected = {
        {{"name", "BID"}, {"number", "22"}},
        {{"name", "ASK"}, {"number", "25"}},
        {{"name", "NEGATIVE"}, {"number", "-7"}},
    };
    EXPECT_EQ(listed, expected);
}

TEST(Morvask, WriteConfigOptionsDocumentsEveryPublicOptionAndExits)
{
    TempRoot root;
    RunResult result = run_on(root, "application-name feed\n", {"--write-config-options", root.file("options.txt")});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_FALSE(root.exists("Vantro.xml")); // it exits before any module starts
    std::string rows = root.read("options.txt");
    EXPECT_NE(rows.find("option|v|verbose-config|Boolean|0|0|FALSE|||||Report all messages for config files being "
                        "loaded\n"),
              std::string::npos)
        << rows;
    EXPECT_NE(rows.find("option||process-usage-period|Floating Point Value|0|0|10.000000|1.000000||Monitoring||"),
              std::string::npos)
        << rows;
    EXPECT_NE(rows.find("option||xml-config-file|String|"), std::string::npos);
    EXPECT_NE(rows.find("group|add-field-format|Start of group|"), std::string::npos);
    EXPECT_EQ(rows.find("write-config-options"), std::string::npos); // private

    RunResult unopenable = run_on(root, "", {"--write-config-options", root.file("missing/dir/options.txt")});
    EXPECT_EQ(unopenable.exit_code, 1);
    EXPECT_NE(unopenable.err.find("Couldn't open option file: " + root.file("missing/dir/options.txt")),
              std::string::npos)
        << unopenable.err;
}
