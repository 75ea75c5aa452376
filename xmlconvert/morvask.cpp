// morvask: starts the runtime from an adapter's configuration, as the adapter
// would, and writes that configuration out as two XML documents.
#include "vantrix_private.h"

#include <libxml/tree.h>
#include <libxml/xmlsave.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t kFileNameBytes = 4097;
constexpr int kSaveFailed = 1;

// Option variables.
char *xml_config_file = nullptr;
char *xml_fields_file = nullptr;

// Set when a document could not be saved; the tool then fails.
bool save_failed = false;

const xmlChar *text(const char *value)
{
    return reinterpret_cast<const xmlChar *>(value);
}

void *new_doc(const char *version)
{
    return xmlNewDoc(text(version));
}

void free_doc(void *doc)
{
    xmlFreeDoc(static_cast<xmlDocPtr>(doc));
}

void *set_root(void *doc, void *root)
{
    return xmlDocSetRootElement(static_cast<xmlDocPtr>(doc), static_cast<xmlNodePtr>(root));
}

void *add_child(void *parent, void *child)
{
    return xmlAddChild(static_cast<xmlNodePtr>(parent), static_cast<xmlNodePtr>(child));
}

void *new_prop(void *node, const char *name, const char *value)
{
    return xmlNewProp(static_cast<xmlNodePtr>(node), text(name), text(value));
}

void *new_node(void *ns, const char *name)
{
    return xmlNewNode(static_cast<xmlNsPtr>(ns), text(name));
}

// Declares the schema-instance namespace on the root and saves the document
// indented, in UTF-8. A document that cannot be saved is reported by name.
int SaveXMLFile(const char *filename, void *document)
{
    xmlDocPtr doc = static_cast<xmlDocPtr>(document);
    xmlNodePtr root = xmlDocGetRootElement(doc);
    if (root != nullptr)
        xmlNewNs(root, text("http://www.w3.org/2001/XMLSchema-instance"), text("xsi"));
    errno = 0;
    int written = xmlSaveFormatFileEnc(filename, doc, "utf-8", 1);
    if (written < 0) {
        const char *reason = errno != 0 ? std::strerror(errno) : "write failed";
        std::fprintf(stderr, "%s: Cannot save %s: %s\n", vn_get_app_name(), filename, reason);
        save_failed = true;
    }
    return written;
}

// The tool reports failed saves itself, naming the file.
void ignore_library_message(void *, const char *, ...) {}

vn_xml_implementation_t libxml2_table = {
    new_doc, free_doc, set_root, SaveXMLFile, add_child, new_prop, new_node,
};

void register_tool_options()
{
    xml_config_file = vn_strdup("%r/Vantro.xml");
    xml_fields_file = vn_strdup("%r/Fields.xml");
    vn_config_add_option(0, "xml-config-file", "XML config file", VN_CONFIG_STRING, &xml_config_file);
    vn_config_add_option(0, "xml-fields-file", "Fields config file", VN_CONFIG_STRING, &xml_fields_file);
}

} // namespace

int main(int argc, char **argv)
{
    static vn_init_t init = {};
    static char event_log_pattern[] = "%a.log";
    init.logfile = event_log_pattern;

    vn_config_init("morvask.conf", argc, argv);
    register_tool_options();
    vn_config_parse_args(argc, argv, nullptr);
    vn_xmlout_jmx_config_init();
    vn_init(&init, argc, argv);

    xmlIndentTreeOutput = 1;
    xmlSetGenericErrorFunc(nullptr, ignore_library_message);
    vn_xml_set_implementation(&libxml2_table);
    char config_name[kFileNameBytes];
    char fields_name[kFileNameBytes];
    vn_filename_expand(xml_config_file ? xml_config_file : "", config_name, sizeof config_name);
    vn_filename_expand(xml_fields_file ? xml_fields_file : "", fields_name, sizeof fields_name);
    vn_xml_write_config(config_name, fields_name);
    return save_failed ? kSaveFailed : 0;
}
