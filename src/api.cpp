// The value adders of the data record (plain text, printf text, and numbers
// formatted with their field's format for the type) and the send entry points
// with their replaceable sender pointers.
//
// Senders run on any thread. The sequence counter is one atomic shared by
// every sender; the pointers are written only during start-up, before any
// peer can be sent to.
#include "vantrix_private.h"

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
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

// Senders

vn_send_data_func_t vn_send_data_func = vn_send_data_direct;
vn_send_nodata_func_t vn_send_nodata_func = vn_send_nodata_direct;
vn_send_status_func_t vn_send_status_func = vn_send_status_direct;

namespace {

// The counter is wider than the wire's 16 bits; since 2^32 is a multiple of
// 2^16, the number on the wire still runs on without a gap when it wraps.
std::atomic<uint32_t> seqnum{1};

// Serialisation goes to the sender's stack; only a larger packet allocates.
constexpr size_t kSendBufferBytes = 4096;
constexpr size_t kNoDataBytes = 512;

// A peer number, or every peer that has a queue.
using Target = std::optional<int>;
constexpr Target kAllPeers = std::nullopt;

struct FreeBytes {
    void operator()(unsigned char *bytes) const { vn_free(bytes); }
};

void deliver(Target target, vn_msg_t *msg, uint16_t flags)
{
    if (target.has_value())
        _vn_peer_send(*target, msg, flags);
    else
        _vn_peer_send_to_all(msg, flags);
}

// Serialises into `capacity` bytes of the stack buffer, or into an exactly
// sized allocation when the serialiser asks for more, and sends what it wrote.
// A packet that cannot be encoded is not sent.
template <class Serialise>
void send_serialised(Target target, uint16_t type, uint16_t flags, size_t capacity, Serialise serialise)
{
    unsigned char stack_buffer[kSendBufferBytes];
    std::unique_ptr<unsigned char, FreeBytes> allocated;
    size_t len = capacity;
    unsigned char *bytes = serialise(stack_buffer, &len);
    if (bytes != nullptr && len > capacity) {
        size_t needed = len;
        allocated.reset(static_cast<unsigned char *>(vn_malloc(needed)));
        bytes = serialise(allocated.get(), &len);
        // Never more than the serialiser wrote into this buffer.
        if (len > needed)
            bytes = nullptr;
    }
    if (bytes == nullptr || len == 0 || len > UINT32_MAX)
        return;
    vn_msg_t msg{};
    msg.type = type;
    msg.len = static_cast<uint32_t>(len);
    msg.msg = bytes;
    deliver(target, &msg, flags);
}

// The record's latency-chain send event: every consuming send adds one; a
// record kept by the caller gets it once, however often it is sent.
void stamp_send_event(vn_data_t *data, bool consuming)
{
    constexpr time_t kSendEventStamped = 9999;
    if (!vn_latency_chain_enable())
        return;
    if (!consuming && data->time == kSendEventStamped)
        return;
    vn_add_latency_chain(data, 'X', 0);
    if (!consuming)
        data->time = kSendEventStamped;
}

void send_data(Target target, vn_data_t *data, bool consuming)
{
    data->seq = _vn_next_seqnum();
    stamp_send_event(data, consuming);
    send_serialised(target, VN_DATAUPDATE, 0, kSendBufferBytes, [data](unsigned char *buf, size_t *len) {
        return vn_datapkt_serialise(data, buf, len);
    });
}

// The subject is in the peers' namespace already.
void send_nodata(Target target, const char *subject, uint16_t flags)
{
    vn_data_t *record = vn_new_datapkt(subject, 0, flags);
    record->seq = _vn_next_seqnum();
    send_serialised(target, VN_NODATA, flags, kNoDataBytes, [record](unsigned char *buf, size_t *len) {
        return vn_datapkt_serialise(record, buf, len);
    });
    vn_free_datapkt(record);
}

void send_status(Target target, const char *subject, uint16_t flags, uint16_t code, const char *message)
{
    vn_statuspkt_t *status = vn_new_statuspkt(subject, code, flags, message);
    status->seq = _vn_next_seqnum();
    send_serialised(target, VN_STATUS, 0, kSendBufferBytes, [status](unsigned char *buf, size_t *len) {
        return vn_statuspkt_serialise(status, buf, len);
    });
    vn_free_statuspkt(status);
}

} // namespace

uint16_t _vn_next_seqnum(void)
{
    return static_cast<uint16_t>(seqnum.fetch_add(1, std::memory_order_relaxed));
}

void vn_send_data(vn_data_t *data)
{
    vn_send_data_func(data);
}

void vn_send_nodata(const char *subject, uint16_t flags)
{
    vn_send_nodata_func(subject, flags);
}

void vn_send_status(const char *subject, uint16_t flags, uint16_t code, const char *message)
{
    vn_send_status_func(subject, flags, code, message);
}

void vn_send_data_direct(vn_data_t *data)
{
    if (data == nullptr)
        return;
    send_data(kAllPeers, data, true);
    vn_free_data(data);
}

void vn_send_data_no_free(vn_data_t *data)
{
    if (data != nullptr)
        send_data(kAllPeers, data, false);
}

void vn_send_data_to_peer(int peer, vn_data_t *data)
{
    if (peer == -1) {
        vn_send_data(data);
        return;
    }
    if (data == nullptr)
        return;
    send_data(peer, data, true);
    vn_free_data(data);
}

void vn_send_data_to_peer_no_free(int peer, vn_data_t *data)
{
    if (peer == -1)
        vn_send_data_no_free(data);
    else if (data != nullptr)
        send_data(peer, data, false);
}

// Subjects the application names are mapped into the peers' namespace once,
// here; records carry theirs mapped from when they were made.

void vn_send_nodata_direct(const char *subject, uint16_t flags)
{
    char mapped[VN_MAP_BUFFER_BYTES];
    send_nodata(kAllPeers, _vn_map_name(subject, mapped), flags);
}

void vn_send_nodata_to_peer(int peer, const char *subject, uint16_t flags)
{
    char mapped[VN_MAP_BUFFER_BYTES];
    if (peer == -1)
        vn_send_nodata(subject, flags);
    else
        send_nodata(peer, _vn_map_name(subject, mapped), flags);
}

void vn_send_status_direct(const char *subject, uint16_t flags, uint16_t code, const char *message)
{
    char mapped[VN_MAP_BUFFER_BYTES];
    send_status(kAllPeers, _vn_map_name(subject, mapped), flags, code, message);
}

void vn_send_status_to_peer(int peer, const char *subject, uint16_t flags, uint16_t code, const char *message)
{
    char mapped[VN_MAP_BUFFER_BYTES];
    if (peer == -1)
        vn_send_status(subject, flags, code, message);
    else
        send_status(peer, _vn_map_name(subject, mapped), flags, code, message);
}

void _vn_send_nodata_to_peer_mapped(int peer, const char *subject, uint16_t flags)
{
    send_nodata(peer, subject, flags);
}

void _vn_send_status_to_peer_mapped(int peer, const char *subject, uint16_t flags, uint16_t code,
                                    const char *message)
{
    send_status(peer, subject, flags, code, message);
}
