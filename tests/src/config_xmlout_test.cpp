#include "vantrix_private.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A table that records every call and hands out numbered fake objects.
std::vector<std::string> calls;
int next_object = 0;

void *fake_object()
{
    return reinterpret_cast<void *>(static_cast<uintptr_t>(++next_object));
}

vn_xml_implementation_t recording = {
    [](const char *version) { calls.push_back(std::string("doc ") + version); return fake_object(); },
    [](void *) { calls.push_back("free"); },
    [](void *, void *) { calls.push_back("root"); return static_cast<void *>(nullptr); },
    [](const char *file, void *) { calls.push_back(std::string("save ") + file); return 10; },
    [](void *, void *child) { calls.push_back("child"); return child; },
    [](void *, const char *name, const char *value) {
        calls.push_back(std::string("prop ") + name + "=" + value);
        return fake_object();
    },
    [](void *, const char *name) { calls.push_back(std::string("node ") + name); return fake_object(); },
};

} // namespace

TEST(XmlOut, WrappersDoNothingBeforeATableIsInstalled)
{
    EXPECT_EQ(_vn_xmlNewDoc("1.0"), nullptr);
    EXPECT_EQ(_vn_xmlNewNode(nullptr, "vantro"), nullptr);
    EXPECT_EQ(_vn_xmlDocSetRootElement(nullptr, nullptr), nullptr);
    EXPECT_EQ(_vn_xmlAddChild(nullptr, nullptr), nullptr);
    EXPECT_EQ(_vn_xmlNewProp(nullptr, "a", "b"), nullptr);
    EXPECT_EQ(_vn_xmlSaveFile("out.xml", nullptr), -1);
    _vn_xmlFreeDoc(nullptr);
    vn_xml_write_config("out.xml", "fields.xml"); // harmless without a table
}

TEST(XmlOut, OnlyTheNamedDocumentsAreWritten)
{
    vn_xml_set_implementation(&recording);
    vn_xml_write_config(nullptr, "fields.xml");
    std::vector<std::string> expected = {"doc 1.0", "node fieldManager", "root", "save fields.xml", "free"};
    EXPECT_EQ(calls, expected);
    calls.clear();
    vn_xml_write_config(nullptr, nullptr);
    EXPECT_TRUE(calls.empty());
}

TEST(XmlOut, MainDocumentHasNoJmxManagerWithoutARegistryPort)
{
    vn_xml_set_implementation(&recording);
    vn_xml_write_config("Vantro.xml", nullptr);
    // Without peers the root still carries the peer module's own attributes.
    std::vector<std::string> expected = {"doc 1.0",           "node vantro",     "root", "prop id=0",
                                         "prop appName=NONE", "save Vantro.xml", "free"};
    EXPECT_EQ(calls, expected);
}
