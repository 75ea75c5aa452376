// Library start-up: process identity, file-name patterns and the fatal-error
// exit path.
#include "vantrix_private.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr size_t kExitMessageBytes = 1024;
constexpr size_t kHostNameBytes = 256;
constexpr const char kVersionText[] = "5.2.0";

vn_init_t *current_init = nullptr;

// Variables of the identity options; the registry writes into them.
char *option_application_name = nullptr;

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
        current_init->exit_func(code, text);
        return;
    }
    const char *name = known_app_name();
    std::fprintf(stderr, "%s: %s\n", name ? name : vn_get_app_name(), text);
    std::exit(code);
}
