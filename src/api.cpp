// The value adders of the data record: plain text, printf text, and numbers
// formatted with their field's format for the type.
#include "vantrix_private.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

constexpr size_t kFmtBytes = 256;
constexpr size_t kIntegerBytes = 64;
constexpr size_t kFloatBytes = 128;

// Format slots of the field table.
enum FormatSlot { kFloat32 = 1, kFloat64 = 2, kInt8 = 3, kInt16 = 4, kInt32 = 5, kInt64 = 6 };

// The argument a format's one conversion reads.
enum class ArgKind { None, Int, Long, LongLong, Double, LongDouble, Unusable };

const char *skip_flags_and_width(const char *at)
{
    while (*at != '\0' && std::strchr("-+ #0'", *at) != nullptr)
        at++;
    while (*at >= '0' && *at <= '9')
        at++;
    if (*at == '.') {
        at++;
        while (*at >= '0' && *at <= '9')
            at++;
    }
    return at;
}

ArgKind conversion_kind(const char *&at)
{
    std::string_view length;
    for (std::string_view modifier : {"hh", "ll", "h", "l", "q", "L", "j", "z", "t"}) {
        if (std::strncmp(at, modifier.data(), modifier.size()) == 0) {
            length = modifier;
            break;
        }
    }
    at += length.size();
    char conversion = *at;
    if (conversion != '\0')
        at++;
    if (conversion != '\0' && std::strchr("diouxX", conversion) != nullptr) {
        if (length == "ll" || length == "q")
            return ArgKind::LongLong;
        if (length == "l" || length == "j" || length == "z" || length == "t")
            return ArgKind::Long;
        return length == "L" ? ArgKind::Unusable : ArgKind::Int;
    }
    if (conversion == 'c')
        return length.empty() ? ArgKind::Int : ArgKind::Unusable;
    if (conversion != '\0' && std::strchr("fFeEgGaA", conversion) != nullptr) {
        if (length == "L")
            return ArgKind::LongDouble;
        return length.empty() || length == "l" ? ArgKind::Double : ArgKind::Unusable;
    }
    return ArgKind::Unusable;
}

// Formats come from the configuration: only one conversion of a number, with
// no '*' or positional argument, may reach printf with our one value.
ArgKind format_arg_kind(const char *format)
{
    ArgKind kind = ArgKind::None;
    for (const char *at = format; *at != '\0';) {
        if (*at++ != '%')
            continue;
        if (*at == '%') {
            at++;
            continue;
        }
        if (kind != ArgKind::None)
            return ArgKind::Unusable;
        at = skip_flags_and_width(at);
        kind = conversion_kind(at);
        if (kind == ArgKind::Unusable)
            return kind;
    }
    return kind;
}

void add_integer(vn_data_t *data, int fieldnum, FormatSlot slot, int64_t value)
{
    const char *format = _vn_fields_fmtbynum(fieldnum, slot);
    if (format == nullptr)
        return;
    char text[kIntegerBytes];
    switch (format_arg_kind(format)) {
    case ArgKind::None:
    case ArgKind::Int:
        snprintf(text, sizeof text, format, static_cast<int>(value));
        break;
    case ArgKind::Long:
        snprintf(text, sizeof text, format, static_cast<long>(value));
        break;
    case ArgKind::LongLong:
        snprintf(text, sizeof text, format, static_cast<long long>(value));
        break;
    default:
        return;
    }
    vn_datapkt_add_field(data, fieldnum, text);
}

void add_float(vn_data_t *data, int fieldnum, FormatSlot slot, double value)
{
    const char *format = _vn_fields_fmtbynum(fieldnum, slot);
    if (format == nullptr)
        return;
    char text[kFloatBytes];
    switch (format_arg_kind(format)) {
    case ArgKind::None:
    case ArgKind::Double:
        snprintf(text, sizeof text, format, value);
        break;
    case ArgKind::LongDouble:
        snprintf(text, sizeof text, format, static_cast<long double>(value));
        break;
    default:
        return;
    }
    vn_datapkt_add_field(data, fieldnum, text);
}

} // namespace

void vn_add_data(vn_data_t *data, int fieldnum, const char *value)
{
    vn_datapkt_add_field(data, fieldnum, value);
}

void vn_add_data_str(vn_data_t *data, int fieldnum, const char *value)
{
    vn_datapkt_add_field(data, fieldnum, value);
}

void vn_add_data_char(vn_data_t *data, int fieldnum, char value)
{
    const char text[2] = {value, '\0'};
    vn_datapkt_add_field(data, fieldnum, text);
}

void vn_add_data_fmt(vn_data_t *data, int fieldnum, const char *format, ...)
{
    char text[kFmtBytes];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    vn_datapkt_add_field(data, fieldnum, text);
}

void vn_add_data_float32(vn_data_t *data, int fieldnum, float value)
{
    add_float(data, fieldnum, kFloat32, value);
}

void vn_add_data_float64(vn_data_t *data, int fieldnum, double value)
{
    add_float(data, fieldnum, kFloat64, value);
}

void vn_add_data_int8(vn_data_t *data, int fieldnum, int8_t value)
{
    add_integer(data, fieldnum, kInt8, value);
}

void vn_add_data_int16(vn_data_t *data, int fieldnum, int16_t value)
{
    add_integer(data, fieldnum, kInt16, value);
}

void vn_add_data_int32(vn_data_t *data, int fieldnum, int32_t value)
{
    add_integer(data, fieldnum, kInt32, value);
}

void vn_add_data_int64(vn_data_t *data, int fieldnum, int64_t value)
{
    add_integer(data, fieldnum, kInt64, value);
}
