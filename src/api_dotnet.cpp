// Plain calls for wrappers written in managed languages: record accessors,
// the peer count, logging, and a start-up that hands the event log's messages
// to the wrapper's callback.
//
// The callback and the kept log are set once on the init thread before the
// runtime starts any thread; the message hook then runs on whichever thread
// logs.
#include "vantrix_private.h"

#include <climits>
#include <cstdarg>
#include <cstdio>

namespace {

constexpr size_t kMessageBytes = 32768;
constexpr int kFlagsMask = 0xFFFF;
constexpr const char *kDiscardedLog = "/dev/null";

vn_dotnet_message_cb message_cb = nullptr;
vn_log_t *dotnet_log = nullptr;

void message_handler(vn_log_t *, int level, const char *fmt, va_list ap)
{
    if (message_cb == nullptr)
        return;
    char text[kMessageBytes];
    std::vsnprintf(text, sizeof text, fmt, ap);
    message_cb(level, text);
}

bool has_index(const vn_data_t *data, int index)
{
    return index >= 0 && index < data->count;
}

} // namespace

extern "C" {

void _vn_apidotnet_config_init(void)
{
}

const char *vn_get_subject(vn_data_t *data)
{
    return data->subject;
}

void vn_set_flags(vn_data_t *data, int flags)
{
    data->flags = static_cast<uint16_t>(flags & kFlagsMask);
}

int vn_get_flags(vn_data_t *data)
{
    return data->flags;
}

int vn_get_type(vn_data_t *data)
{
    return data->type;
}

int vn_get_num_fields(vn_data_t *data)
{
    return data->count;
}

const char *vn_get_fieldvalue_atindex(vn_data_t *data, int index)
{
    return has_index(data, index) ? data->fields[index].value : nullptr;
}

int vn_get_fieldnumber_atindex(vn_data_t *data, int index)
{
    return has_index(data, index) ? data->fields[index].fieldnum : INT_MIN;
}

int vn_get_fieldflags_atindex(vn_data_t *data, int index)
{
    return has_index(data, index) ? data->fields[index].flags : 0;
}

int vn_get_num_peers(void)
{
    return vn_num_peers;
}

void vn_add_data_with_flags(vn_data_t *data, int fieldnum, const char *value, int flags)
{
    vn_datapkt_add_field_with_flags(data, fieldnum, value, static_cast<uint16_t>(flags & kFlagsMask));
}

void vn_log_dotnet(int level, const char *text)
{
    vn_log(dotnet_log, level, "%s\n", text != nullptr ? text : "");
}

int vn_init_dotnet(vn_init_t *init, int argc, char **argv, vn_dotnet_message_cb callback)
{
    message_cb = callback;
    // The runtime keeps its start-up record for the life of the process.
    auto *copy = static_cast<vn_init_t *>(vn_calloc(1, sizeof(vn_init_t)));
    *copy = *init;
    if (init->logfile != nullptr)
        copy->logfile = vn_strdup(kDiscardedLog);
    copy->application_name = init->application_name != nullptr ? vn_strdup(init->application_name) : nullptr;
    int result = _vn_init2(copy, argc, argv, message_handler);
    dotnet_log = copy->log;
    init->log = copy->log;
    return result;
}

} // extern "C"
