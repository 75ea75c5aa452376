// Library start-up: process identity, file-name patterns and the fatal-error
// exit path.
#include "vantrix_private.h"

#include <fcntl.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <string>

namespace {

constexpr size_t kExitMessageBytes = 1024;
constexpr size_t kHostNameBytes = 256;
constexpr const char kVersionText[] = "5.2.0";

constexpr size_t kPathBytes = 4096;
constexpr size_t kOptionValueBytes = 4096;

vn_init_t *current_init = nullptr;
pthread_t init_thread;
time_t start_time = 0;
char short_host[kHostNameBytes] = "";

// Set when a fatal error went to the record's exit hook instead of ending the
// process, so that start-up stops there.
bool fatal_handed_over = false;

// Variables of the core options; the registry writes into them.
char *option_config_file = nullptr;
char *option_application_root = nullptr;
char *option_application_name = nullptr;
char *option_runtime_user = nullptr;
double process_usage_period = 10.0;
char *write_config_options = nullptr;
char *get_config_value = nullptr;
char *get_config_macro = nullptr;
int xml_config_format = 50;
char *event_log_name = nullptr;

struct Version {
    int major = 0;
    int minor = 0;
};

// The first two numbers of the version text: up to the first point, then up
// to the second.
Version parse_version()
{
    Version version;
    std::string text(kVersionText);
    size_t first = text.find('.');
    version.major = std::atoi(text.substr(0, first).c_str());
    if (first != std::string::npos) {
        size_t second = text.find('.', first + 1);
        version.minor = std::atoi(text.substr(first + 1, second - first - 1).c_str());
    }
    return version;
}

const Version &library_version()
{
    static const Version version = parse_version();
    return version;
}

// The name patterns and messages use: the record's name once it has one,
// else the configured name. Null when neither is set.
const char *known_app_name()
{
    if (current_init != nullptr && current_init->application_name != nullptr)
        return current_init->application_name;
    return option_application_name;
}

std::string full_host_name()
{
    char host[kHostNameBytes];
    if (gethostname(host, sizeof host) != 0)
        return "unknown";
    host[sizeof host - 1] = '\0';
    return host;
}

// What "%" and `letter` stand for.
std::string pattern_value(char letter)
{
    const char *text = nullptr;
    switch (letter) {
    case 'a':
    case 'n':
        text = known_app_name();
        break;
    case 'r':
        text = current_init ? current_init->application_root : nullptr;
        break;
    case 'd':
        text = current_init ? current_init->log_root : nullptr;
        break;
    case 'h':
        return full_host_name();
    case 'M':
        return std::to_string(library_version().major);
    case 'm':
        return std::to_string(library_version().minor);
    case 'u':
        text = std::getenv("HOME");
        break;
    default:
        break;
    }
    return text ? text : "";
}

} // namespace

const char *vn_get_app_name(void)
{
    return option_application_name ? option_application_name : "NONE";
}

void _vn_get_version(int *major, int *minor)
{
    *major = library_version().major;
    *minor = library_version().minor;
}

char *vn_filename_expand(const char *format, char *buffer, size_t bufsize)
{
    if (bufsize == 0)
        return buffer;
    size_t used = 0;
    auto append = [&](const std::string &text) {
        for (char c : text) {
            if (used + 1 >= bufsize)
                return;
            buffer[used++] = c;
        }
    };
    for (const char *at = format; *at != '\0' && used + 1 < bufsize; at++) {
        if (*at != '%') {
            buffer[used++] = *at;
            continue;
        }
        if (at[1] == '\0')
            break;
        append(pattern_value(*++at));
    }
    buffer[used] = '\0';
    return buffer;
}

void _vn_exit_log(int code, const char *format, ...)
{
    char text[kExitMessageBytes];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (current_init != nullptr && current_init->exit_func != nullptr) {
        fatal_handed_over = true;
        current_init->exit_func(code, text);
        return;
    }
    const char *name = known_app_name();
    std::fprintf(stderr, "%s: %s\n", name ? name : vn_get_app_name(), text);
    std::exit(code);
}

namespace {

// Name, first pass: the name the process will go by when the configuration
// names none. Returns the copy made here, or null when the option was set.
char *name_from_record_or_command(vn_init_t *init, int argc, char **argv)
{
    char *made_here = nullptr;
    if (option_application_name == nullptr) {
        const char *name = init->application_name;
        if (name == nullptr && argc > 0 && argv != nullptr && argv[0] != nullptr) {
            const char *slash = std::strrchr(argv[0], '/');
            name = slash ? slash + 1 : argv[0];
        }
        made_here = option_application_name = vn_strdup(name ? name : "");
    }
    const char *exe = std::strstr(option_application_name, ".exe");
    if (exe != nullptr && exe[4] == '\0') {
        std::string stripped(option_application_name, static_cast<size_t>(exe - option_application_name));
        if (made_here == option_application_name)
            vn_free(made_here);
        made_here = option_application_name = vn_strdup(stripped.c_str());
    }
    // The record's text may be read-only: it gets a shortened copy instead.
    if (init->application_name != nullptr) {
        size_t len = std::strlen(init->application_name);
        if (len >= 4 && std::strcmp(init->application_name + len - 4, ".exe") == 0)
            init->application_name = vn_strdup(std::string(init->application_name, len - 4).c_str());
    }
    return made_here;
}

// Name, second pass, after the files: returns true when the process is named
// from its command.
bool settle_name(vn_init_t *init, const char *made_here)
{
    bool from_command = false;
    if (made_here != nullptr && option_application_name == made_here) {
        if (init->application_name == nullptr) {
            init->application_name = vn_strdup(option_application_name);
            from_command = true;
        }
    } else if (option_application_name != nullptr) {
        // The record keeps its own copy: the registry frees the option's
        // text when it is set again.
        init->application_name = vn_strdup(option_application_name);
    }
    if (option_application_name == nullptr || std::strcmp(option_application_name, init->application_name) != 0) {
        char *copy = vn_strdup(init->application_name);
        vn_free(option_application_name);
        option_application_name = copy;
    }
    return from_command;
}

void remove_one_trailing(char *text, const char *endings)
{
    size_t len = std::strlen(text);
    if (len > 0 && std::strchr(endings, text[len - 1]) != nullptr)
        text[len - 1] = '\0';
}

std::string working_directory()
{
    char cwd[kPathBytes + 1];
    if (getcwd(cwd, sizeof cwd) == nullptr)
        return "";
    return cwd;
}

void settle_root(vn_init_t *init)
{
    if (option_application_root != nullptr && option_application_root[0] != '\0') {
        remove_one_trailing(option_application_root, "/\\");
        if (option_application_root[0] != '/') {
            // Start-up already changed into the root, so the working
            // directory is its absolute form.
            std::string cwd = working_directory();
            vn_free(option_application_root);
            option_application_root = vn_strdup(cwd.c_str());
        }
        init->application_root = vn_strdup(option_application_root);
    }
    if (init->application_root == nullptr) {
        std::string cwd = working_directory();
        init->application_root = vn_strdup(cwd == "/" ? "/tmp" : cwd.c_str());
    }
}

void settle_host_name()
{
    if (gethostname(short_host, sizeof short_host) != 0) {
        std::strcpy(short_host, "host");
        return;
    }
    short_host[sizeof short_host - 1] = '\0';
    char *dot = std::strchr(short_host, '.');
    if (dot != nullptr)
        *dot = '\0';
}

// The user and group `runtime-user` names; false when it names nobody known.
bool runtime_identity(uid_t *user, gid_t *group, bool *has_group)
{
    char *end = nullptr;
    long number = std::strtol(option_runtime_user, &end, 10);
    if (number != 0) {
        *user = static_cast<uid_t>(number);
        struct passwd *entry = getpwuid(*user);
        *has_group = entry != nullptr;
        if (entry != nullptr)
            *group = entry->pw_gid;
        return true;
    }
    struct passwd *entry = getpwnam(option_runtime_user);
    if (entry == nullptr)
        return false;
    *user = entry->pw_uid;
    *group = entry->pw_gid;
    *has_group = true;
    return true;
}

void settle_effective_user()
{
    if (geteuid() == 0 && seteuid(getuid()) != 0)
        return;
    if (option_runtime_user == nullptr)
        return;
    uid_t user = 0;
    gid_t group = 0;
    bool has_group = false;
    if (!runtime_identity(&user, &group, &has_group))
        return;
    uid_t saved_user = geteuid();
    gid_t saved_group = getegid();
    if (seteuid(0) != 0)
        return;
    if (has_group && setegid(group) != 0 && setegid(saved_group) != 0)
        return;
    if (seteuid(user) != 0 && seteuid(saved_user) != 0)
        return;
}

} // namespace

const char *vn_get_hostname(void)
{
    return short_host;
}

struct _vn_log *vn_get_event_log(void)
{
    return current_init ? current_init->log : nullptr;
}

pthread_t vn_main_thread(void)
{
    return init_thread;
}

int _vn_xml_config_format(void)
{
    return xml_config_format;
}

void _vn_format_uptime(time_t seconds, char *buffer, size_t bufsize)
{
    long minutes = (static_cast<long>(seconds) + 59) / 60;
    long hours = minutes / 60;
    minutes %= 60;
    long days = hours / 24;
    hours %= 24;
    if (days != 0)
        std::snprintf(buffer, bufsize, "up %ld days, %02ld:%02ld", days, hours, minutes);
    else
        std::snprintf(buffer, bufsize, "up %02ld:%02ld", hours, minutes);
}

namespace {


// Sub-second samples would only keep the init thread's loop busy.
double process_usage_period_min = 1.0;

vn_config_enum_t xml_config_format_enum[] = {
    {"4.4", 44, nullptr},
    {"5.0", 50, nullptr},
    {nullptr, 0, nullptr},
};

// Kept in the program file so that the build can be identified from it.
[[gnu::used]] const char *const build_identification[] = {
    "VANTRIX_VERSION         5.2.0",
    "VANTRIX_BUILD           253251",
    "VANTRIX_CONF_CPU        x86_64",
    "VANTRIX_CONF_VENDOR     pc",
    "VANTRIX_CONF_OS         linux-EL5-gnu",
    "VANTRIX_COMPILE_NOTE    Release",
    "VANTRIX_COMPILE_OPTION  ON  - VN_THREADS",
    "VANTRIX_COMPILE_OPTION  ON  - VN_MT_THREADS",
    "VANTRIX_COMPILE_OPTION  ON  - OPENSSL",
    "VANTRIX_COMPILE_OPTION  OFF - DEBUG_MEMCHECK",
    "VANTRIX_COMPILE_DATE    " __DATE__ " " __TIME__,
};
char os_text[] = "linux-EL5-gnu";
char *os_test_value = os_text;

void reopen_closed_standard_descriptors()
{
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1)
            continue;
        int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}

void register_core_options(const char *file)
{
    vn_free(option_config_file);
    option_config_file = vn_strdup(file ? file : "vantrix.conf");
    vn_config_add_option('f', "config-file", "Main config file", VN_CONFIG_FILE, &option_config_file);
    vn_config_add_option('r', "application-root", "Application Root", VN_CONFIG_STRING, &option_application_root);
    vn_config_add_option('n', "application-name", "Application Name", VN_CONFIG_STRING, &option_application_name);
    vn_config_add_option(0, "runtime-user", "The user to run as", VN_CONFIG_STRING, &option_runtime_user);
    vn_config_add_bounded_option(0, "process-usage-period", "!Monitoring|!Period over which to calculate load",
                                 VN_CONFIG_DOUBLE, &process_usage_period, &process_usage_period_min, nullptr);
    vn_config_add_option(0, "write-config-options", "!Private|!Write config options to file", VN_CONFIG_STRING | VN_CONFIG_PRIVATE,
                         &write_config_options);
    vn_config_add_option(0, "get-config-value", "!Private|!Get the value of a configuration option", VN_CONFIG_STRING,
                         &get_config_value);
    vn_config_add_option(0, "get-config-macro", "!Private|!Get the value of a configuration macro", VN_CONFIG_STRING,
                         &get_config_macro);
    vn_config_add_option_enum(0, "xml-config-format", "!Private|!Set the format version for XML translation",
                              VN_CONFIG_INT, &xml_config_format, xml_config_format_enum);
}

// Each module's option registration, in this fixed order.
void (*const config_hooks[])() = {
    _vn_apidotnet_config_init,
    _vn_callbacks_config_init,
    _vn_event_config_init,
    _vn_log_config_init,
    _vn_fields_config_init,
    _vn_quix64_config_init,
    _vn_daemon_config_init,
    _vn_cache_config_init,
    _vn_msgq_config_init,
    _vn_peer_config_init,
    _vn_map_config_init,
    _vn_replay_config_init,
    _vn_delay_config_init,
    _vn_advmap_config_init,
    _vn_ssl_config_init,
    _vn_monitor_config_init,
    _vn_udpsignal_config_init,
    _vn_jvm_config_init,
    _vn_lty_chain_config_init,
    _vn_signature_config_init,
    _vn_record_config_init,
    _vn_page_config_init,
    _vn_stringpool_config_init,
};

void change_to_application_root()
{
    if (option_application_root == nullptr || option_application_root[0] == '\0')
        return;
    remove_one_trailing(option_application_root, "/");
    if (chdir(option_application_root) != 0) {
        // Reported by the later steps that need the root.
    }
}

} // namespace

void vn_config_init(const char *file, int argc, char **argv)
{
    reopen_closed_standard_descriptors();
    start_time = time(nullptr);
    _vn_exit_signals_install();
    vn_config_set_ctx(vn_config_new_ctx());
    register_core_options(file);
    _vn_config_config_init();
    vn_config_parse_args(argc, argv, nullptr);
    vn_config_add_search("");
    vn_config_add_search("etc/");
    change_to_application_root();
    for (auto hook : config_hooks)
        hook();
}

namespace {

// The three options that print something and end the process before any
// module starts.
void answer_print_and_exit_options()
{
    if (write_config_options != nullptr) {
        FILE *file = std::fopen(write_config_options, "w");
        if (file == nullptr) {
            std::fprintf(stderr, "Couldn't open option file: %s\n", write_config_options);
            std::exit(1);
        }
        vn_config_document_options(file);
        // A document that could not be written whole is a failure, not a success.
        bool written = std::ferror(file) == 0;
        written = std::fclose(file) == 0 && written;
        std::exit(written ? 0 : 1);
    }
    if (get_config_value != nullptr) {
        char value[kOptionValueBytes];
        if (_vn_config_get_option_value(get_config_value, value, sizeof value) == nullptr) {
            std::fprintf(stderr, "Unknown configuration option: %s\n", get_config_value);
            std::exit(1);
        }
        std::printf("%s\n", value);
        std::exit(0);
    }
    if (get_config_macro != nullptr) {
        // Without a configuration file read there is no variable context.
        const char *value = _vn_config_macro_get_var(_vn_config_get_macro_context(), get_config_macro);
        if (value == nullptr) {
            std::fprintf(stderr, "Unknown configuration macro: %s\n", get_config_macro);
            std::exit(1);
        }
        std::printf("%s\n", value);
        std::exit(0);
    }
}

// The record's own log file, else `event-log` unless the process is named
// from its command; such a process runs without an event log.
void create_event_log(vn_init_t *init, bool named_from_command, vn_log_message_cb eventlog_cb)
{
    if (init->log != nullptr)
        return;
    const char *pattern = init->logfile;
    if (pattern == nullptr && !named_from_command)
        pattern = event_log_name;
    if (pattern == nullptr)
        return;
    init->log = vn_new_level_log("event_log", pattern, nullptr);
    if (init->log != nullptr) {
        vn_log_set_message_cb(init->log, eventlog_cb);
        return;
    }
    // Names the file that was tried, whichever option gave it.
    char *tried = vn_log_filename(pattern);
    _vn_exit_log(2, "Cannot create event_log: %s\n", tried);
    vn_free(tried);
}

struct CpuSample {
    bool taken = false;
    double wall = 0;
    double user = 0;
    double system = 0;
};

// The process figures the CPU timer keeps up to date.
struct ProcessFigures {
    double user_total = 0;
    double system_total = 0;
    double cpu_usage = 0;
    char uptime[50] = "";
};

constexpr const char *kSingleton = "SINGLETON";
constexpr const char *kLibraryVersion = "5.2.0";
constexpr const char *kBuildNumber = "253251";
constexpr int64_t kBuildTimeMillis = 1363012840000LL;
constexpr size_t kTemplateNameBytes = 256;
char system_template[kTemplateNameBytes] = "";
char vantrix_template[kTemplateNameBytes] = "";

CpuSample previous_sample;
ProcessFigures figures;
int processor_count = 1;

double seconds_of(const struct timeval &tv)
{
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

int sample_cpu(int, int, void *)
{
    struct timeval now;
    gettimeofday(&now, nullptr);
    struct rusage usage;
    if (getrusage(RUSAGE_SELF, &usage) == 0) {
        double user = seconds_of(usage.ru_utime);
        double system = seconds_of(usage.ru_stime);
        figures.user_total = user;
        figures.system_total = system;
        vn_monitor_update_double(system_template, kSingleton, "user-cputime-total", user);
        vn_monitor_update_double(system_template, kSingleton, "system-cputime-total", system);
        vn_monitor_update_double(system_template, kSingleton, "cputime-total", user + system);
        double wall = seconds_of(now);
        if (previous_sample.taken && wall > previous_sample.wall) {
            double used = (user - previous_sample.user) + (system - previous_sample.system);
            figures.cpu_usage = (used < 0 ? 0 : used) * 100 / (processor_count * (wall - previous_sample.wall));
            vn_monitor_update_double(system_template, kSingleton, "cpu-usage", figures.cpu_usage);
        }
        previous_sample = {true, wall, user, system};
    }
    _vn_format_uptime(now.tv_sec - start_time, figures.uptime, sizeof figures.uptime);
    vn_monitor_update_string(system_template, kSingleton, "process-uptime", figures.uptime);
    return 1;
}

void start_cpu_timer()
{
    sample_cpu(0, 0, nullptr);
    vn_add_timed_event(0, process_usage_period, sample_cpu, 0, nullptr);
    processor_count = vn_num_cpus(0);
    if (processor_count < 1)
        processor_count = 1;
}

// The process's own monitoring: the system and library templates, each
// with one "SINGLETON" group.
struct TemplateMember {
    const char *name;
    const char *label;
    int typeflags;
    void *ptr;
};

vn_monitor_t *shutdown_method(const char *, const char *, const char *, int, char **)
{
    std::exit(0);
}

vn_monitor_t *memory_usage_getter(const char *, const char *, const char *property)
{
    long size_kb = _vn_get_process_size();
    if (size_kb < 0)
        return vn_monitor_new(property, VN_MONITOR_STRING, 0, "Can't determine process size");
    char text[64];
    std::snprintf(text, sizeof text, "%d kB", static_cast<int>(size_kb));
    return vn_monitor_new(property, VN_MONITOR_STRING, 0, text);
}

void declare_template(const char *name, const char *help, const TemplateMember *members, size_t count,
                      const char *brief, const char *description)
{
    vn_monitor_start_template(name, help);
    for (size_t i = 0; i < count; i++)
        vn_monitor_add_template_member(name, members[i].name, members[i].label, members[i].typeflags, nullptr,
                                       members[i].ptr);
    vn_monitor_end_template(name);
    vn_monitor_create_group(name, kSingleton, brief, description);
}

void declare_process_templates(vn_init_t *init, bool, vn_log_message_cb)
{
    const char *name = init->application_name != nullptr ? init->application_name : "";
    std::snprintf(system_template, sizeof system_template, "%s.server.system", name);
    std::snprintf(vantrix_template, sizeof vantrix_template, "%s.server.vantrix", name);
    const TemplateMember system_members[] = {
        {"current-directory", "Run Directory", VN_MONITOR_STRING, nullptr},
        {"process-uptime", "Process Uptime", VN_MONITOR_STRING, nullptr},
        {"process-start-time", "Process Start Time", VN_MONITOR_TIMESTAMP, nullptr},
        {"process-id", "Process ID", VN_MONITOR_LONG, nullptr},
        {"user-cputime-total", "User CPU Time Used", VN_MONITOR_DOUBLE, nullptr},
        {"system-cputime-total", "System CPU Time Used", VN_MONITOR_DOUBLE, nullptr},
        {"cputime-total", "Total CPU Time Used", VN_MONITOR_DOUBLE, nullptr},
        {"cpu-usage", "Average Recent CPU%", VN_MONITOR_DOUBLE, nullptr},
        {"shutdown", "Shutdown Process!", VN_MONITOR_STRING | VN_MONITOR_METHOD, reinterpret_cast<void *>(shutdown_method)},
        {"memory-usage", "Memory Usage", VN_MONITOR_STRING | VN_MONITOR_ACTIVE,
         reinterpret_cast<void *>(memory_usage_getter)},
        {"hostname", "Hostname", VN_MONITOR_STRING, nullptr},
        {"addresses", "IP Address(es)", VN_MONITOR_STRING | VN_MONITOR_ARRAY, nullptr},
    };
    const TemplateMember vantrix_members[] = {
        {"vantrix-version", "VNTK Library Version", VN_MONITOR_STRING, nullptr},
        {"vantrix-build-number", "VNTK Build Number", VN_MONITOR_STRING, nullptr},
        {"vantrix-build-time", "VNTK Build Time", VN_MONITOR_TIMESTAMP, nullptr},
    };
    declare_template(system_template, "!System|!System information", system_members, std::size(system_members),
                     "System", "System information about this process");
    declare_template(vantrix_template, "!System|!Vantro information", vantrix_members, std::size(vantrix_members),
                     "Vantro", "Top level information about this Vantro");
}

void publish_addresses()
{
    int count = 0;
    char **addresses = vn_get_addresses(&count);
    vn_monitor_t *value = vn_monitor_new_array("addresses", VN_MONITOR_STRING);
    for (int i = 0; i < count; i++) {
        vn_monitor_add_data(value, addresses[i]);
        vn_free(addresses[i]);
    }
    vn_free(addresses);
    vn_monitor_update(system_template, kSingleton, value);
}

void publish_process_figures(vn_init_t *init)
{
    vn_monitor_update_string(system_template, kSingleton, "hostname", short_host);
    publish_addresses();
    vn_monitor_update_string(system_template, kSingleton, "current-directory",
                             init->application_root != nullptr ? init->application_root : "");
    vn_monitor_update_long(system_template, kSingleton, "process-id", static_cast<int32_t>(getpid()));
    vn_monitor_update_timestamp(system_template, kSingleton, "process-start-time",
                                static_cast<int64_t>(start_time) * 1000);
    vn_monitor_update_string(vantrix_template, kSingleton, "vantrix-version", kLibraryVersion);
    vn_monitor_update_string(vantrix_template, kSingleton, "vantrix-build-number", kBuildNumber);
    vn_monitor_update_timestamp(vantrix_template, kSingleton, "vantrix-build-time", kBuildTimeMillis);
}

// Each module's start, in this fixed order.
struct StartStep {
    void (*run)(vn_init_t *init, bool named_from_command, vn_log_message_cb eventlog_cb);
};

const StartStep start_steps[] = {
    {[](vn_init_t *init, bool, vn_log_message_cb) { _vn_stringpool_init(init); }},
    {[](vn_init_t *init, bool, vn_log_message_cb) { _vn_compat_init(init); }},
    {[](vn_init_t *init, bool, vn_log_message_cb) { _vn_event_init(init); }},
    {[](vn_init_t *init, bool, vn_log_message_cb) { _vn_event_thread_init(init, 0, 0); }},
    {[](vn_init_t *init, bool, vn_log_message_cb) { _vn_daemon_init(init); }},
    {[](vn_init_t *init, bool, vn_log_message_cb) { _vn_log_init(init); }},
    {[](vn_init_t *init, bool, vn_log_message_cb) { _vn_fields_init(init); }},
    {create_event_log},
    {[](vn_init_t *init, bool, vn_log_message_cb) { _vn_ssl_init(init); }},
    {[](vn_init_t *init, bool, vn_log_message_cb) { _vn_signature_init(init); }},
    {[](vn_init_t *init, bool, vn_log_message_cb) { _vn_udpsignal_init(init); }},
    {[](vn_init_t *init, bool, vn_log_message_cb) { _vn_jvm_init(init); }},
    {[](vn_init_t *init, bool, vn_log_message_cb) { _vn_monitor_init(init); }},
    {[](vn_init_t *init, bool, vn_log_message_cb) { _vn_config_init(init); }},
    {[](vn_init_t *init, bool, vn_log_message_cb) { _vn_container_init(init); }},
    {[](vn_init_t *init, bool, vn_log_message_cb) { _vn_permission_init(init); }},
    {declare_process_templates},
    {[](vn_init_t *init, bool, vn_log_message_cb) { _vn_log_monitor_config(init); }},
    {[](vn_init_t *init, bool, vn_log_message_cb) { _vn_replay_init(init); }},
    {[](vn_init_t *init, bool, vn_log_message_cb) { _vn_cache_init(init); }},
    {[](vn_init_t *init, bool, vn_log_message_cb) { _vn_msgq_init(init); }},
    {[](vn_init_t *init, bool, vn_log_message_cb) { _vn_peer_init(init); }},
    {[](vn_init_t *init, bool, vn_log_message_cb) { _vn_map_init(init); }},
    {[](vn_init_t *init, bool, vn_log_message_cb) { _vn_delay_init(init); }},
    {[](vn_init_t *init, bool, vn_log_message_cb) { _vn_callbacks_init(init); }},
    {[](vn_init_t *init, bool, vn_log_message_cb) { _vn_advmap_init(init); }},
    {[](vn_init_t *init, bool, vn_log_message_cb) { _vn_binary_init(init); }},
    {[](vn_init_t *init, bool, vn_log_message_cb) { _vn_lty_chain_init(init); }},
};

} // namespace

int vn_init(vn_init_t *init, int argc, char **argv)
{
    return _vn_init2(init, argc, argv, nullptr);
}

int _vn_init2(vn_init_t *init, int argc, char **argv, vn_log_message_cb eventlog_cb)
{
    current_init = init;
    init_thread = pthread_self();
    fatal_handed_over = false;
    vn_free(event_log_name);
    event_log_name = vn_strdup("event-%a.log");
    vn_config_add_option(0, "event-log", "Event Log filename", VN_CONFIG_STRING, &event_log_name);
    vn_config_set_test("application", &option_application_name);
    vn_config_set_test("os", &os_test_value);
    char *made_here = name_from_record_or_command(init, argc, argv);
    settle_host_name();
    static char *host_test_value = short_host;
    vn_config_set_test("host", &host_test_value);
    vn_config_parse_files();
    int kept = argc;
    vn_config_parse_args(argc, argv, &kept);
    answer_print_and_exit_options();
    settle_effective_user();
    bool named_from_command = settle_name(init, made_here);
    settle_root(init);
    // A step that handed a fatal error to the record's exit hook ends
    // start-up: the steps after it rely on what it failed to make.
    for (const StartStep &step : start_steps) {
        step.run(init, named_from_command, eventlog_cb);
        if (fatal_handed_over)
            return -1;
    }
    if (init->log != nullptr)
        _vn_config_log_errors(init->log);
    publish_process_figures(init);
    start_cpu_timer();
    (void)build_identification[0];
    return kept;
}
