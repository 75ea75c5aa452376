// A real monitoring module for the tests: it records every call it gets, one
// line each, in the file named by VANTRIX_MONITOR_RECORD, and fails its start
// when VANTRIX_MONITOR_FAIL_INIT is set.
#include "vantrix_extra.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace {

std::mutex record_mutex;

void record(const std::string &line)
{
    const char *name = std::getenv("VANTRIX_MONITOR_RECORD");
    if (name == nullptr)
        return;
    std::lock_guard<std::mutex> lock(record_mutex);
    FILE *file = std::fopen(name, "a");
    if (file == nullptr)
        return;
    std::fprintf(file, "%s\n", line.c_str());
    std::fclose(file);
}

std::string text_of(const char *text)
{
    return text != nullptr ? text : "(null)";
}

std::string element_text(int code, const vn_array_t &array, int32_t i)
{
    switch (code) {
    case VN_MONITOR_STRING: return text_of(array.data.c[i]);
    case VN_MONITOR_BINARY: return std::to_string(array.data.b[i]);
    case VN_MONITOR_SHORT: return std::to_string(array.data.s[i]);
    case VN_MONITOR_USHORT:
    case VN_MONITOR_BOOLEAN: return std::to_string(array.data.us[i]);
    case VN_MONITOR_LONG: return std::to_string(array.data.l[i]);
    case VN_MONITOR_ULONG: return std::to_string(array.data.ul[i]);
    case VN_MONITOR_DOUBLE: return std::to_string(array.data.d[i]);
    default: return std::to_string(array.data.ll[i]);
    }
}

// Texts and numbers as text; arrays comma-separated in brackets.
std::string value_text(const vn_monitor_t *value)
{
    int code = value->datatype & VN_MONITOR_TYPE_MASK;
    if ((value->datatype & VN_MONITOR_ARRAY) != 0) {
        std::string text = "[";
        for (int32_t i = 0; i < value->data.array.size; i++) {
            if (i > 0)
                text += ",";
            text += element_text(code, value->data.array, i);
        }
        return text + "]";
    }
    switch (code) {
    case VN_MONITOR_STRING: return text_of(value->data.c);
    case VN_MONITOR_DOUBLE: return std::to_string(value->data.d);
    case VN_MONITOR_USHORT:
    case VN_MONITOR_BOOLEAN: return std::to_string(value->data.us);
    case VN_MONITOR_ULONG: return std::to_string(value->data.ul);
    case VN_MONITOR_LONG: return std::to_string(value->data.l);
    default: return std::to_string(value->data.ll);
    }
}

int new_template(const char *name, vn_template_t *tmpl)
{
    record("template " + text_of(name) + " " + std::to_string(tmpl->num_properties));
    return 0;
}

int update(const char *tmpl, const char *key, vn_monitor_t *value)
{
    record("update " + text_of(tmpl) + " " + text_of(key) + " " + text_of(value->propertyname) + " " +
           value_text(value));
    vn_monitor_free(value);
    return 0;
}

int create(const char *tmpl, const char *key, const char *brief, const char *description)
{
    record("create " + text_of(tmpl) + " " + text_of(key) + " " + text_of(brief) + " | " + text_of(description));
    return 0;
}

int activate()
{
    record("activate");
    return 0;
}

} // namespace

extern "C" int monitor_init(const char *app_name, const char *module_name, vn_log_t *log, vn_monitor_funcs_t *funcs)
{
    record("init " + text_of(app_name) + " " + text_of(module_name) + (log != nullptr ? " log" : " no-log"));
    funcs->monitor_new_template = new_template;
    funcs->monitor_update = update;
    funcs->monitor_create = create;
    funcs->monitor_activate = activate;
    return std::getenv("VANTRIX_MONITOR_FAIL_INIT") != nullptr ? 1 : 0;
}
