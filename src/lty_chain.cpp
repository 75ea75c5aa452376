// Latency chains: a record that carries an initial timestamp field collects,
// in two list fields, the name of every adapter event it passes and the
// milliseconds since that timestamp. Lists may travel Base64-encoded.
//
// The settings are fixed at start-up and only read afterwards; the adders
// work only on the record they are given, which belongs to the caller.
#include "vantrix_private.h"

#include <sys/time.h>

#include <cctype>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kDecodeBit = 1;
constexpr int kDetectBit = 2;
constexpr int kEncodeBit = 4;
constexpr char kStringLetter = 'k';

// Option variables.
char c_latency_chain_enable = 0;
char *c_latency_chain_name = nullptr;
char *c_latency_chain_init_ts_field = nullptr;
char *c_latency_chain_list_event_field = nullptr;
char *c_latency_chain_list_ts_field = nullptr;
int c_latency_chain_base64_mode = 0;

// Set at start-up.
std::string &chain_name = *new std::string;
int init_ts_num = INT_MIN;
int list_event_num = INT_MIN;
int list_ts_num = INT_MIN;

void set_default(char **variable, const char *text)
{
    vn_free(*variable);
    *variable = vn_strdup(text);
}

int64_t now_millis()
{
    struct timeval now;
    gettimeofday(&now, nullptr);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_usec / 1000;
}

// A float64 time outside the 64-bit range, or not a number, reads as 0.
int64_t truncated_millis(double value)
{
    constexpr double kLimit = 9223372036854775808.0; // 2^63
    if (!std::isfinite(value) || value >= kLimit || value < -kLimit)
        return 0;
    return static_cast<int64_t>(value);
}

int64_t encoded_millis(const char *value)
{
    if (value[0] == '\0')
        return 0;
    const char *payload = value + 1;
    switch (value[0]) {
    case 'f': return vn_get_binary_int64(payload);
    case 'j': return static_cast<int64_t>(vn_get_binary_uint64(payload));
    case 'b': return truncated_millis(vn_get_binary_float64(payload));
    default: return 0;
    }
}

std::string base64_of(const std::string &text)
{
    std::vector<char> encoded(4 * ((text.size() + 2) / 3) + 1);
    vn_base64_encode(encoded.data(), text.data(), text.size());
    return std::string(1, kStringLetter) + encoded.data();
}

// The text after a value's type letter, decoded; it ends at a decoded NUL.
std::string decoded_text(const char *value)
{
    if (value[0] == '\0')
        return "";
    const char *payload = value + 1;
    std::vector<unsigned char> bytes(3 * (strlen(payload) / 4) + 1);
    size_t len = vn_base64_decode(payload, bytes.data());
    std::string text(reinterpret_cast<const char *>(bytes.data()), len);
    return text.substr(0, text.find('\0'));
}

bool starts_lowercase(const char *value)
{
    return strlen(value) > 1 && std::islower(static_cast<unsigned char>(value[0]));
}

// What the common first step learns of a record.
struct ChainState {
    vn_field_t *init_ts = nullptr;
    int event_list = -1; // field index, -1 when absent
    int ts_list = -1;
    int64_t init_millis = 0;
    bool encode_lists = false; // the timestamp was read encoded under the encode bit
};

void replace_value(vn_field_t *field, const std::string &text)
{
    vn_free(field->value);
    field->value = vn_strdup(text.c_str());
    field->len = static_cast<int32_t>(text.size());
}

// False when the record has no initial timestamp: it is then left alone.
bool read_chain(vn_data_t *data, ChainState *state)
{
    for (int i = 0; i < data->count; i++) {
        int num = data->fields[i].fieldnum;
        if (num == init_ts_num)
            state->init_ts = &data->fields[i];
        if (num == list_event_num)
            state->event_list = i;
        if (num == list_ts_num)
            state->ts_list = i;
    }
    if (state->init_ts == nullptr || state->init_ts->value == nullptr)
        return false;
    const char *value = state->init_ts->value;
    int mode = c_latency_chain_base64_mode;
    bool encoded = (mode & kDecodeBit) != 0 || ((mode & kDetectBit) != 0 && starts_lowercase(value));
    if (!encoded) {
        state->init_millis = strtoll(value, nullptr, 10);
        return true;
    }
    state->init_millis = encoded_millis(value);
    if ((mode & kEncodeBit) != 0)
        state->encode_lists = true;
    else
        replace_value(state->init_ts, std::to_string(state->init_millis));
    return true;
}

bool list_encoded(const char *value, bool event_list)
{
    int mode = c_latency_chain_base64_mode;
    if ((mode & kDecodeBit) != 0)
        return true;
    if ((mode & kDetectBit) == 0)
        return false;
    if (event_list)
        return strchr(value, '_') == nullptr && strlen(value) > 1;
    return starts_lowercase(value);
}

void append_to_list(vn_data_t *data, int index, int fieldnum, const std::string &text, bool event_list,
                    const ChainState &state)
{
    if (index < 0) {
        vn_add_data(data, fieldnum, (state.encode_lists ? base64_of(text) : text).c_str());
        return;
    }
    vn_field_t *field = &data->fields[index];
    const char *old = field->value != nullptr ? field->value : "";
    if (!list_encoded(old, event_list)) {
        replace_value(field, std::string(old) + "," + text);
        return;
    }
    std::string joined = decoded_text(old) + "," + text;
    replace_value(field, (c_latency_chain_base64_mode & kEncodeBit) != 0 ? base64_of(joined) : joined);
}

// Lists are found by index, which stays valid when adding the event list
// grows the record's field array.
void append_events(vn_data_t *data, const std::string &events, const std::string &times, const ChainState &state)
{
    append_to_list(data, state.event_list, list_event_num, events, true, state);
    append_to_list(data, state.ts_list, list_ts_num, times, false, state);
}

std::string event_name(char suffix)
{
    return chain_name + "_" + suffix;
}

std::string offset_text(int64_t millis, int64_t init_millis)
{
    // Unsigned arithmetic: a wild timestamp wraps instead of overflowing.
    return std::to_string(static_cast<int64_t>(static_cast<uint64_t>(millis) - static_cast<uint64_t>(init_millis)));
}

const char *base64_mode_name(int mode)
{
    for (const vn_config_enum_t *entry = base64_mode_enums; entry->name != nullptr; entry++) {
        if (static_cast<int>(entry->value) == mode)
            return entry->name;
    }
    return nullptr;
}

} // namespace

extern "C" {

const vn_config_enum_t base64_mode_enums[] = {
    {"never", 0, "Default - do not treat values as base64 encoded"},
    {"decode", kDecodeBit, "Decode latency chain fields before processing"},
    {"detect", kDetectBit, "Decode latency chain fields if they are encoded"},
    {"encode", kEncodeBit, "Encode latency chain fields after processing"},
    {nullptr, 0, nullptr},
};

void _vn_lty_chain_config_init(void)
{
    c_latency_chain_enable = 0;
    c_latency_chain_base64_mode = 0;
    set_default(&c_latency_chain_name, "%a");
    set_default(&c_latency_chain_init_ts_field, "LTY_INIT_TS");
    set_default(&c_latency_chain_list_event_field, "LTY_LIST_EVENT");
    set_default(&c_latency_chain_list_ts_field, "LTY_LIST_TS");
    vn_config_add_option(0, "latency-chain-enable", "!LatencyChains|!Enable Latency Chaining", VN_CONFIG_BOOL,
                         &c_latency_chain_enable);
    vn_config_add_option(0, "latency-chain-name", "!LatencyChains|!Latency Chain Name used for event list field",
                         VN_CONFIG_STRING, &c_latency_chain_name);
    vn_config_add_option(0, "latency-chain-init-ts-field", "!LatencyChains|!Latency Chain Init Timestamp Field Name",
                         VN_CONFIG_STRING, &c_latency_chain_init_ts_field);
    vn_config_add_option(0, "latency-chain-list-event-field", "!LatencyChains|!Latency Chain Event List Field Name",
                         VN_CONFIG_STRING, &c_latency_chain_list_event_field);
    vn_config_add_option(0, "latency-chain-list-ts-field", "!LatencyChains|!Latency Chain Timestamp List Field Name",
                         VN_CONFIG_STRING, &c_latency_chain_list_ts_field);
    vn_config_add_option_enum(0, "latency-chain-base64-mode", "!LatencyChains|!Latency Chain Base64 Mode",
                              VN_CONFIG_INT, &c_latency_chain_base64_mode, base64_mode_enums);
}

void _vn_lty_chain_init(vn_init_t *)
{
    char *expanded = _vn_create_vantrix_name(c_latency_chain_name != nullptr ? c_latency_chain_name : "");
    chain_name = expanded;
    vn_free(expanded);
    init_ts_num = vn_fields_numbyname(c_latency_chain_init_ts_field);
    list_event_num = vn_fields_numbyname(c_latency_chain_list_event_field);
    list_ts_num = vn_fields_numbyname(c_latency_chain_list_ts_field);
    if (init_ts_num == INT_MIN || list_event_num == INT_MIN || list_ts_num == INT_MIN)
        c_latency_chain_enable = 0;
}

void _vn_lty_chain_write_xml(void *, void *parent)
{
    if (!c_latency_chain_enable)
        return;
    void *node = _vn_xmlNewNode(nullptr, "latencyChainManager");
    _vn_xmlAddChild(parent, node);
    _vn_xmlNewProp(node, "InitialTimeStampField", c_latency_chain_init_ts_field);
    _vn_xmlNewProp(node, "TimeStampListField", c_latency_chain_list_ts_field);
    _vn_xmlNewProp(node, "EventListField", c_latency_chain_list_event_field);
    // A combined mode has no name of its own.
    const char *mode = base64_mode_name(c_latency_chain_base64_mode);
    if (mode != nullptr)
        _vn_xmlNewProp(node, "Base64", mode);
}

int vn_latency_chain_enable(void)
{
    return c_latency_chain_enable != 0;
}

const char *vn_latency_chain_name(void)
{
    return chain_name.c_str();
}

const char *vn_latency_chain_init_ts_field(void)
{
    return c_latency_chain_init_ts_field;
}

const char *vn_latency_chain_list_event_field(void)
{
    return c_latency_chain_list_event_field;
}

const char *vn_latency_chain_list_ts_field(void)
{
    return c_latency_chain_list_ts_field;
}

int vn_latency_chain_base64_decode(void)
{
    return c_latency_chain_base64_mode & kDecodeBit;
}

int vn_latency_chain_base64_detect(void)
{
    return c_latency_chain_base64_mode & kDetectBit;
}

int vn_latency_chain_base64_encode(void)
{
    return c_latency_chain_base64_mode & kEncodeBit;
}

void vn_add_latency_chain(vn_data_t *data, char suffix, int64_t millis)
{
    ChainState state;
    if (data == nullptr || !read_chain(data, &state))
        return;
    if (millis == 0)
        millis = now_millis();
    append_events(data, event_name(suffix), offset_text(millis, state.init_millis), state);
}

void vn_add_latency_chain2(vn_data_t *data, char suffix, int64_t millis, char suffix2, int64_t millis2)
{
    ChainState state;
    if (data == nullptr || !read_chain(data, &state))
        return;
    if (millis2 == 0)
        millis2 = now_millis();
    append_events(data, event_name(suffix) + "," + event_name(suffix2),
                  offset_text(millis, state.init_millis) + "," + offset_text(millis2, state.init_millis), state);
}

} // extern "C"
