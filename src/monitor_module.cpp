// The loadable monitoring module: its options, loading through dlopen and
// "monitor_init", activation when the init thread's loop starts, the server
// types, and the UDP word "monitor-method" that runs a monitoring method.
//
// Loading, the SERVERTYPE template and the UDP word are set up on the init
// thread during start-up. Server types may be added from any thread, so their
// lists are guarded by server_type_mutex; activation runs once, under
// std::call_once.
#include "monitor.h"

#include <dlfcn.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr int kLevelNotify = 4;
constexpr int kLevelWarn = 5;
constexpr int kConfigExitCode = 1;
constexpr int kMethodWords = 6; // the word, user, password, template, key, method
constexpr const char *kServerTypeTemplate = "SERVERTYPE";
constexpr const char *kSingleton = "SINGLETON";

char *c_monitor_moddir = nullptr;
char *c_monitor_module = nullptr;
vn_init_t *start_record = nullptr;
void *module_handle = nullptr;
std::once_flag activation;

std::mutex server_type_mutex;
// Never destroyed: types may be published until the very end of the process.
std::vector<std::string> &server_types = *new std::vector<std::string>;
std::vector<std::string> &server_roots = *new std::vector<std::string>;

vn_log_t *event_log()
{
    return start_record != nullptr ? start_record->log : nullptr;
}

const char *application_name()
{
    if (start_record != nullptr && start_record->application_name != nullptr)
        return start_record->application_name;
    return vn_get_app_name();
}

// Only a leading "%r" is expanded: the rest of the directory is used as given.
void expand_module_directory(vn_init_t *init)
{
    if (c_monitor_moddir == nullptr || strncmp(c_monitor_moddir, "%r", 2) != 0)
        return;
    std::string directory = std::string(init->application_root != nullptr ? init->application_root : "") +
                            (c_monitor_moddir + 2);
    vn_free(c_monitor_moddir);
    c_monitor_moddir = vn_strdup(directory.c_str());
}

std::string module_path()
{
    if (c_monitor_module[0] == '/')
        return c_monitor_module;
    return std::string(c_monitor_moddir != nullptr ? c_monitor_moddir : "") + "/" + c_monitor_module;
}

const char *loader_error()
{
    const char *text = dlerror();
    return text != nullptr ? text : "";
}

// The module reads its own configuration, if any, in a context of its own, so
// the process's options are left as they are.
void call_module_init(vn_init_t *init, vn_monitor_init_t monitor_init)
{
    vn_config_ctx_t *previous = vn_config_set_ctx(vn_config_new_ctx());
    vn_monitor_funcs_t *funcs = _vn_monitor_funcs();
    if (monitor_init(application_name(), c_monitor_module, init->log, funcs) != 0)
        *funcs = vn_monitor_funcs_t{};
    vn_config_free_ctx(vn_config_set_ctx(previous));
}

// False when start-up must stop here (the failure went to the exit hook).
bool load_module(vn_init_t *init)
{
    std::string path = module_path();
    module_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module_handle == nullptr) {
        _vn_exit_log(kConfigExitCode, "Error opening monitor module %s", c_monitor_module);
        return false;
    }
    void *entry = dlsym(module_handle, "monitor_init");
    if (entry == nullptr) {
        _vn_exit_log(kConfigExitCode, "Error opening monitor module %s/ (%s)\n",
                     c_monitor_moddir != nullptr ? c_monitor_moddir : "", loader_error());
        return false;
    }
    call_module_init(init, reinterpret_cast<vn_monitor_init_t>(entry));
    return true;
}

void declare_server_type_template()
{
    vn_monitor_start_template(kServerTypeTemplate, "!System|!Type of server");
    vn_monitor_add_template_member(kServerTypeTemplate, "server-type", "Server Type",
                                   VN_MONITOR_STRING | VN_MONITOR_ARRAY, nullptr, nullptr);
    vn_monitor_add_template_member(kServerTypeTemplate, "root", "Root Suffix", VN_MONITOR_STRING | VN_MONITOR_ARRAY,
                                   nullptr, nullptr);
    vn_monitor_end_template(kServerTypeTemplate);
    vn_monitor_create_group(kServerTypeTemplate, kSingleton, "Server Type", "Information about the Server Type");
}

vn_monitor_t *text_array(const char *name, const std::vector<std::string> &texts)
{
    vn_monitor_t *value = vn_monitor_new_array(name, VN_MONITOR_STRING);
    for (const std::string &text : texts)
        vn_monitor_add_data(value, text.c_str());
    return value;
}

std::string joined_arguments(int argc, char **argv)
{
    std::string text;
    for (int i = kMethodWords; i < argc; i++)
        text.append("<").append(argv[i]).append(">");
    return text;
}

} // namespace

extern "C" {

void _vn_monitor_config_init(void)
{
    monitor_clear_templates();
    vn_free(c_monitor_moddir);
    c_monitor_moddir = vn_strdup("%r/lib");
    vn_config_add_option(0, "monitor-moddir", "!Monitoring|!Monitor Module Directory", VN_CONFIG_STRING,
                         &c_monitor_moddir);
    vn_config_add_option(0, "monitor-plugin", "!Monitoring|!Use monitor-module instead",
                         VN_CONFIG_STRING | VN_CONFIG_DEPRECATED, &c_monitor_module);
    vn_config_add_option(0, "monitor-module", "!Monitoring|!Module to load", VN_CONFIG_STRING, &c_monitor_module);
    monitor_auth_config_init();
}

void _vn_monitor_init(vn_init_t *init)
{
    start_record = init;
    monitor_auth_init(init != nullptr ? init->log : nullptr);
    vn_add_udp_event("monitor-method", _vn_monitor_udp_method, 0, nullptr);
    if (init == nullptr || c_monitor_module == nullptr)
        return;
    expand_module_directory(init);
    if (!load_module(init))
        return;
    declare_server_type_template();
}

void _vn_monitor_activate(void)
{
    std::call_once(activation, [] {
        bool untyped;
        {
            std::lock_guard<std::mutex> lock(server_type_mutex);
            untyped = server_types.empty();
        }
        if (untyped)
            vn_monitor_add_server_type("vantrix", nullptr);
        vn_monitor_funcs_t *funcs = _vn_monitor_funcs();
        if (funcs->monitor_activate != nullptr)
            funcs->monitor_activate();
    });
}

const char *vn_monitor_module_name(void)
{
    return c_monitor_module;
}

void vn_monitor_add_server_type(const char *type, const char *root)
{
    vn_monitor_t *types;
    vn_monitor_t *roots;
    {
        std::lock_guard<std::mutex> lock(server_type_mutex);
        server_types.emplace_back(type != nullptr ? type : "");
        server_roots.emplace_back(root != nullptr ? root : application_name());
        types = text_array("server-type", server_types);
        roots = text_array("root", server_roots);
    }
    vn_monitor_update(kServerTypeTemplate, kSingleton, types);
    vn_monitor_update(kServerTypeTemplate, kSingleton, roots);
}

int _vn_monitor_udp_method(int argc, char **argv, int, void *)
{
    if (argc < kMethodWords || argv == nullptr) {
        vn_log(event_log(), kLevelWarn, "Too few (%d) arguments given for monitor-method udp command\n", argc);
        return 1;
    }
    // The sender of a command is not known: the port is meant for local use.
    char address[] = "127.0.0.1";
    vn_monauth_t auth{argv[1], argv[2], address};
    if (vnmon_authenticate(&auth) != 1)
        return 1;
    const char *template_name = argv[3];
    const char *key = argv[4];
    const char *method = argv[5];
    std::vector<char *> words(argv + kMethodWords - 1, argv + argc);
    words.push_back(nullptr);
    std::string arguments = joined_arguments(argc, argv);
    vn_log(event_log(), kLevelNotify, "UDP calling method <%s>.<%s>.<%s> with arguments {%s}\n", template_name, key,
           method, arguments.c_str());
    vn_monitor_t *value = vnmon_call_method(template_name, key, method, argc - (kMethodWords - 1), words.data());
    if (value == nullptr)
        vn_log(event_log(), kLevelNotify, "UDP could not execute method <%s>.<%s>.<%s> with arguments: {%s}\n",
               template_name, key, method, arguments.c_str());
    vn_monitor_free(value);
    return 1;
}

} // extern "C"
