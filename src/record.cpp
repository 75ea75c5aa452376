// The data record's life and the by-name adders: the record every update,
// image, no-data notice and status rides in.
#include "vantrix_private.h"

#include <cstdarg>
#include <cstdio>

namespace {

constexpr size_t kRecordFmtBytes = 1024;

// Adds through `add` when the name is in the field table; the number or INT_MIN.
template <class Add> int add_by_name(const char *name, Add add)
{
    int fieldnum = vn_fields_numbyname(name);
    if (fieldnum != INT_MIN)
        add(fieldnum);
    return fieldnum;
}

} // namespace

// Records carry subjects in the peers' namespace.
vn_data_t *vn_init_data(const char *subject, uint16_t type, uint16_t flags)
{
    char mapped[VN_MAP_BUFFER_BYTES];
    return vn_new_datapkt(_vn_map_name(subject, mapped), type, flags);
}

void vn_set_subject(vn_data_t *data, const char *subject)
{
    // Copied before the old one is freed: the new subject may be the old one.
    char mapped[VN_MAP_BUFFER_BYTES];
    char *copy = subject != nullptr ? vn_strdup(_vn_map_name(subject, mapped)) : nullptr;
    vn_free(data->subject);
    data->subject = copy;
}

void vn_free_data(vn_data_t *data)
{
    vn_free_datapkt(data);
}

void _vn_record_config_init(void) {}

int vn_add_record_str(vn_data_t *data, const char *name, const char *value)
{
    return add_by_name(name, [&](int fieldnum) { vn_datapkt_add_field(data, fieldnum, value); });
}

int vn_add_record_fmt(vn_data_t *data, const char *name, const char *format, ...)
{
    char text[kRecordFmtBytes];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return add_by_name(name, [&](int fieldnum) { vn_datapkt_add_field(data, fieldnum, text); });
}

int vn_add_record_float(vn_data_t *data, const char *name, double value)
{
    return add_by_name(name, [&](int fieldnum) { vn_add_data_float64(data, fieldnum, value); });
}

int vn_add_record_char(vn_data_t *data, const char *name, char value)
{
    return add_by_name(name, [&](int fieldnum) { vn_add_data_char(data, fieldnum, value); });
}

int vn_add_record_int(vn_data_t *data, const char *name, int value)
{
    return add_by_name(name, [&](int fieldnum) { vn_add_data_int32(data, fieldnum, value); });
}
