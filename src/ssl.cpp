// SSL set-up: finding certificate, key and CA files.
#include "vantrix_private.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr size_t kPathBytes = 4096;
constexpr int kLevelCrit = 2;
constexpr int kToStderr = 0x100;
constexpr int kSslExitCode = 8;

vn_log_t *event_log = nullptr;

bool is_regular_file(const char *name)
{
    struct stat info;
    return stat(name, &info) == 0 && S_ISREG(info.st_mode);
}

// Expands and resolves `name` into `resolved`; true when it is a regular file.
bool resolve_regular(const char *name, char *resolved)
{
    char expanded[kPathBytes];
    vn_filename_expand(name, expanded, sizeof expanded);
    return vn_filename_resolve(expanded, resolved, kPathBytes) == 0 && is_regular_file(resolved);
}

} // namespace

extern "C" {

const char *vn_ssl_find_file(const char *name, const char *message, int kind, const char *key_id)
{
    thread_local char resolved[kPathBytes];
    if (name == nullptr)
        name = "";
    if (resolve_regular(name, resolved))
        return resolved;
    std::string under_etc = std::string("etc/") + name;
    if (resolve_regular(under_etc.c_str(), resolved))
        return resolved;
    char expanded[kPathBytes];
    vn_filename_expand(name, expanded, sizeof expanded);
    switch (kind) {
    case 0:
        vn_log(event_log, kLevelCrit | kToStderr, "Could not locate http file <%s>\n", expanded);
        break;
    case 1:
        vn_log(event_log, kLevelCrit | kToStderr, "Could not locate key file <%s> for add-sigkey/key-id <%s>\n",
               expanded, key_id != nullptr ? key_id : "unknown");
        break;
    default:
        vn_log(event_log, kLevelCrit | kToStderr, "Could not locate ssl file <%s>\n", expanded);
        break;
    }
    fprintf(stderr, "%s: %s: %s\n", vn_get_app_name(), message != nullptr ? message : "", name);
    exit(kSslExitCode);
}

} // extern "C"
