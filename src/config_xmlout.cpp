// The configuration as XML documents, built through a table of tree
// operations that the application installs.
#include "vantrix_private.h"

#include <cstdio>
#include <span>

namespace {

// Until an application installs its table every operation is empty, so module
// writers run harmlessly.
vn_xml_implementation_t def = {};
vn_xml_implementation_t *xml = &def;

constexpr int kNoPort = -1;

// Variables of the management options.
int rmi_registry_port = kNoPort;
int rmi_client_port = kNoPort;
char *rmi_server_hostname = nullptr;

void add_jmx_manager(void *doc, void *root)
{
    (void)doc;
    if (rmi_registry_port == kNoPort)
        return;
    void *node = _vn_xmlNewNode(nullptr, "jmxManager");
    _vn_xmlAddChild(root, node);
    char number[16];
    _vn_xmlNewProp(node, "enable", "true");
    std::snprintf(number, sizeof number, "%d", rmi_registry_port);
    _vn_xmlNewProp(node, "rmiRegistryPort", number);
    _vn_xmlNewProp(node, "root", vn_get_app_name());
    if (rmi_client_port != kNoPort) {
        std::snprintf(number, sizeof number, "%d", rmi_client_port);
        _vn_xmlNewProp(node, "rmiClientPort", number);
    }
}

// Each module adds its own part, in this order.
using module_writer = void (*)(void *doc, void *root);
const module_writer config_writers[] = {
    _vn_log_write_xml,
    _vn_udpsignal_write_xml,
    _vn_log_packet_write_xml,
    _vn_lty_chain_write_xml,
    _vn_map_write_xml,
    _vn_peer_write_xml,
    add_jmx_manager,
};

const module_writer fields_writers[] = {
    _vn_fields_write_xml,
};

// A new document with an empty root element of `root_name`; the writers fill
// it, then it is saved and freed.
void write_document(const char *filename, const char *root_name, std::span<const module_writer> writers)
{
    void *doc = _vn_xmlNewDoc("1.0");
    void *root = _vn_xmlNewNode(nullptr, root_name);
    _vn_xmlDocSetRootElement(doc, root);
    for (module_writer writer : writers)
        writer(doc, root);
    _vn_xmlSaveFile(filename, doc);
    _vn_xmlFreeDoc(doc);
}

} // namespace

void vn_xml_set_implementation(vn_xml_implementation_t *table)
{
    xml = table;
}

void *_vn_xmlNewDoc(const char *version)
{
    return xml->xmlNewDoc ? xml->xmlNewDoc(version) : nullptr;
}

void _vn_xmlFreeDoc(void *doc)
{
    if (xml->xmlFreeDoc)
        xml->xmlFreeDoc(doc);
}

void *_vn_xmlDocSetRootElement(void *doc, void *root)
{
    return xml->xmlDocSetRootElement ? xml->xmlDocSetRootElement(doc, root) : nullptr;
}

int _vn_xmlSaveFile(const char *filename, void *doc)
{
    return xml->xmlSaveFile ? xml->xmlSaveFile(filename, doc) : -1;
}

void *_vn_xmlAddChild(void *parent, void *child)
{
    return xml->xmlAddChild ? xml->xmlAddChild(parent, child) : nullptr;
}

void *_vn_xmlNewProp(void *node, const char *name, const char *value)
{
    return xml->xmlNewProp ? xml->xmlNewProp(node, name, value) : nullptr;
}

void *_vn_xmlNewNode(void *ns, const char *name)
{
    return xml->xmlNewNode ? xml->xmlNewNode(ns, name) : nullptr;
}

void vn_xmlout_jmx_config_init(void)
{
    vn_config_add_option(0, "rmi-registry-port", "Port for the RMI registry", VN_CONFIG_INT, &rmi_registry_port);
    vn_config_add_option(0, "rmi-client-port", "Port for the RMI registry", VN_CONFIG_INT, &rmi_client_port);
    vn_config_add_option(0, "rmi-server-hostname", "RMI server host name", VN_CONFIG_STRING, &rmi_server_hostname);
}

void vn_xml_write_config(const char *config_file, const char *fields_file)
{
    if (config_file != nullptr)
        write_document(config_file, "vantro", config_writers);
    if (fields_file != nullptr)
        write_document(fields_file, "fieldManager", fields_writers);
}
