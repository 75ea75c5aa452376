// Typed binary values carried as field text: a type letter and the base64 of
// the value's big-endian bytes.
#include "vantrix_private.h"

#include <array>
#include <cstring>
#include <string>

namespace {

constexpr size_t kCodeCount = 256;
constexpr size_t kWidestValue = 8;
// Room for the letter, the base64 of the widest value and the terminator.
constexpr size_t kFixedTextBytes = 1 + 4 * ((kWidestValue + 2) / 3) + 1;

char base64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Indexed by any byte value, so text beyond 7-bit ASCII reads as 0 like every
// other character outside the alphabet.
constexpr std::array<unsigned char, kCodeCount> build_unbase64(const char *alphabet)
{
    std::array<unsigned char, kCodeCount> table{};
    for (unsigned char digit = 0; digit < 64; digit++)
        table[static_cast<unsigned char>(alphabet[digit])] = digit;
    return table;
}

constinit std::array<unsigned char, kCodeCount> unbase64 =
    build_unbase64("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");

size_t encoded_size(size_t len)
{
    return 4 * ((len + 2) / 3) + 1;
}

void put_be(unsigned char *out, uint64_t value, size_t width)
{
    for (size_t i = 0; i < width; i++)
        out[i] = static_cast<unsigned char>(value >> (8 * (width - 1 - i)));
}

uint64_t get_be(const unsigned char *in, size_t width)
{
    uint64_t value = 0;
    for (size_t i = 0; i < width; i++)
        value = (value << 8) | in[i];
    return value;
}

unsigned char digit_of(char c)
{
    return unbase64[static_cast<unsigned char>(c)];
}

void decode_group(const char *group, unsigned char *out)
{
    uint32_t bits = (uint32_t{digit_of(group[0])} << 18) | (uint32_t{digit_of(group[1])} << 12) |
                    (uint32_t{digit_of(group[2])} << 6) | digit_of(group[3]);
    out[0] = static_cast<unsigned char>(bits >> 16);
    out[1] = static_cast<unsigned char>(bits >> 8);
    out[2] = static_cast<unsigned char>(bits);
}

// Adds [prefix] letter base64(bytes) as one field.
void add_encoded(vn_data_t *data, const char *prefix, size_t plen, int fieldnum, const void *bytes, size_t len,
                 char letter)
{
    std::string text(plen + 1 + encoded_size(len), '\0');
    if (plen != 0)
        std::memcpy(text.data(), prefix, plen);
    text[plen] = letter;
    vn_base64_encode(text.data() + plen + 1, bytes, len);
    vn_datapkt_add_field(data, fieldnum, text.c_str());
}

// The common fixed-width case, without touching the heap.
void add_fixed(vn_data_t *data, int fieldnum, uint64_t value, size_t width, char letter)
{
    unsigned char bytes[kWidestValue];
    put_be(bytes, value, width);
    char text[kFixedTextBytes];
    text[0] = letter;
    vn_base64_encode(text + 1, bytes, width);
    vn_datapkt_add_field(data, fieldnum, text);
}

void add_fixed2(vn_data_t *data, const char *prefix, size_t plen, int fieldnum, uint64_t value, size_t width,
                char letter)
{
    unsigned char bytes[kWidestValue];
    put_be(bytes, value, width);
    add_encoded(data, prefix, plen, fieldnum, bytes, width, letter);
}

// Reads the first `width` bytes a text decodes to; missing bytes are 0. Only
// the groups that hold those bytes are decoded, so no text can overrun.
uint64_t read_fixed(const char *text, size_t width)
{
    unsigned char bytes[kWidestValue + 2] = {};
    size_t groups = (width + 2) / 3;
    size_t available = strnlen(text, 4 * groups) / 4;
    for (size_t g = 0; g < available; g++)
        decode_group(text + 4 * g, bytes + 3 * g);
    return get_be(bytes, width);
}

uint64_t float32_bits(float value)
{
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

uint64_t float64_bits(double value)
{
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// m: the low 32 bits of the seconds, then four zero bytes.
uint64_t time_bits(time_t seconds)
{
    return static_cast<uint64_t>(static_cast<uint32_t>(seconds)) << 32;
}

uint64_t timeval_bits(struct timeval tv)
{
    return (static_cast<uint64_t>(static_cast<uint32_t>(tv.tv_sec)) << 32) | static_cast<uint32_t>(tv.tv_usec);
}

} // namespace

extern "C" {

size_t vn_base64_encode(char *buf, const void *value, size_t len)
{
    const unsigned char *in = static_cast<const unsigned char *>(value);
    char *out = buf;
    size_t i = 0;
    for (; len - i >= 3; i += 3) {
        *out++ = base64[in[i] >> 2];
        *out++ = base64[((in[i] & 0x03) << 4) | (in[i + 1] >> 4)];
        *out++ = base64[((in[i + 1] & 0x0F) << 2) | (in[i + 2] >> 6)];
        *out++ = base64[in[i + 2] & 0x3F];
    }
    if (len - i == 1) {
        *out++ = base64[in[i] >> 2];
        *out++ = base64[(in[i] & 0x03) << 4];
        *out++ = '=';
        *out++ = '=';
    } else if (len - i == 2) {
        *out++ = base64[in[i] >> 2];
        *out++ = base64[((in[i] & 0x03) << 4) | (in[i + 1] >> 4)];
        *out++ = base64[(in[i + 1] & 0x0F) << 2];
        *out++ = '=';
    }
    *out++ = '\0';
    return static_cast<size_t>(out - buf);
}

size_t vn_base64_decode(const char *text, unsigned char *buf)
{
    size_t counted = std::strlen(text) / 4 * 4;
    size_t padding = 0;
    if (counted != 0 && text[counted - 1] == '=')
        padding = text[counted - 2] == '=' ? 2 : 1;
    size_t groups = counted / 4;
    for (size_t g = 0; g < groups; g++)
        decode_group(text + 4 * g, buf + 3 * g);
    buf[3 * groups] = '\0';
    return 3 * groups - padding;
}

/* Adders without a prefix. */
void vn_add_binary_float32(vn_data_t *data, int fieldnum, float value) { add_fixed(data, fieldnum, float32_bits(value), 4, 'a'); }
void vn_add_binary_float64(vn_data_t *data, int fieldnum, double value) { add_fixed(data, fieldnum, float64_bits(value), 8, 'b'); }
void vn_add_binary_int8(vn_data_t *data, int fieldnum, int8_t value) { add_fixed(data, fieldnum, static_cast<uint8_t>(value), 1, 'c'); }
void vn_add_binary_int16(vn_data_t *data, int fieldnum, int16_t value) { add_fixed(data, fieldnum, static_cast<uint16_t>(value), 2, 'd'); }
void vn_add_binary_int32(vn_data_t *data, int fieldnum, int32_t value) { add_fixed(data, fieldnum, static_cast<uint32_t>(value), 4, 'e'); }
void vn_add_binary_int64(vn_data_t *data, int fieldnum, int64_t value) { add_fixed(data, fieldnum, static_cast<uint64_t>(value), 8, 'f'); }
void vn_add_binary_uint8(vn_data_t *data, int fieldnum, uint8_t value) { add_fixed(data, fieldnum, value, 1, 'g'); }
void vn_add_binary_uint16(vn_data_t *data, int fieldnum, uint16_t value) { add_fixed(data, fieldnum, value, 2, 'h'); }
void vn_add_binary_uint32(vn_data_t *data, int fieldnum, uint32_t value) { add_fixed(data, fieldnum, value, 4, 'i'); }
void vn_add_binary_uint64(vn_data_t *data, int fieldnum, uint64_t value) { add_fixed(data, fieldnum, value, 8, 'j'); }
void vn_add_binary_time(vn_data_t *data, int fieldnum, time_t value) { add_fixed(data, fieldnum, time_bits(value), 8, 'm'); }
void vn_add_binary_time_millis(vn_data_t *data, int fieldnum, int64_t value) { add_fixed(data, fieldnum, static_cast<uint64_t>(value), 8, 'n'); }
void vn_add_binary_timeval(vn_data_t *data, int fieldnum, struct timeval value) { add_fixed(data, fieldnum, timeval_bits(value), 8, 'o'); }

void vn_add_binary_string(vn_data_t *data, int fieldnum, const char *text)
{
    add_encoded(data, nullptr, 0, fieldnum, text, std::strlen(text), 'k');
}

void vn_add_binary_opaque(vn_data_t *data, int fieldnum, const void *bytes, size_t len)
{
    add_encoded(data, nullptr, 0, fieldnum, bytes, len, 'l');
}

void vn_add_binary(vn_data_t *data, int fieldnum, const void *bytes, size_t len, char letter)
{
    add_encoded(data, nullptr, 0, fieldnum, bytes, len, letter);
}

/* Adders behind a caller's prefix, which may be of any length. */
#define VN_BINARY2(suffix, type, bits, width, letter)                                                   \
    void vn_add_binary2_##suffix(vn_data_t *data, const char *prefix, size_t plen, int fieldnum, type value) \
    {                                                                                                   \
        add_fixed2(data, prefix, plen, fieldnum, bits, width, letter);                                  \
    }
VN_BINARY2(float32, float, float32_bits(value), 4, 'a')
VN_BINARY2(float64, double, float64_bits(value), 8, 'b')
VN_BINARY2(int8, int8_t, static_cast<uint8_t>(value), 1, 'c')
VN_BINARY2(int16, int16_t, static_cast<uint16_t>(value), 2, 'd')
VN_BINARY2(int32, int32_t, static_cast<uint32_t>(value), 4, 'e')
VN_BINARY2(int64, int64_t, static_cast<uint64_t>(value), 8, 'f')
VN_BINARY2(uint8, uint8_t, value, 1, 'g')
VN_BINARY2(uint16, uint16_t, value, 2, 'h')
VN_BINARY2(uint32, uint32_t, value, 4, 'i')
VN_BINARY2(uint64, uint64_t, value, 8, 'j')
VN_BINARY2(time, time_t, time_bits(value), 8, 'm')
VN_BINARY2(time_millis, int64_t, static_cast<uint64_t>(value), 8, 'n')
VN_BINARY2(timeval, struct timeval, timeval_bits(value), 8, 'o')
#undef VN_BINARY2

void vn_add_binary2_string(vn_data_t *data, const char *prefix, size_t plen, int fieldnum, const char *text)
{
    add_encoded(data, prefix, plen, fieldnum, text, std::strlen(text), 'k');
}

void vn_add_binary2_opaque(vn_data_t *data, const char *prefix, size_t plen, int fieldnum, const void *bytes,
                           size_t vlen)
{
    add_encoded(data, prefix, plen, fieldnum, bytes, vlen, 'l');
}

/* Readers of the text after the type letter. */
double vn_get_binary_float64(const char *text)
{
    uint64_t bits = read_fixed(text, 8);
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

float vn_get_binary_float32(const char *text)
{
    uint32_t bits = static_cast<uint32_t>(read_fixed(text, 4));
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

uint64_t vn_get_binary_uint64(const char *text) { return read_fixed(text, 8); }
int64_t vn_get_binary_int64(const char *text) { return static_cast<int64_t>(read_fixed(text, 8)); }
uint32_t vn_get_binary_uint32(const char *text) { return static_cast<uint32_t>(read_fixed(text, 4)); }
int32_t vn_get_binary_int32(const char *text) { return static_cast<int32_t>(read_fixed(text, 4)); }
uint16_t vn_get_binary_uint16(const char *text) { return static_cast<uint16_t>(read_fixed(text, 2)); }
int16_t vn_get_binary_int16(const char *text) { return static_cast<int16_t>(read_fixed(text, 2)); }
uint8_t vn_get_binary_uint8(const char *text) { return static_cast<uint8_t>(read_fixed(text, 1)); }
int8_t vn_get_binary_int8(const char *text) { return static_cast<int8_t>(read_fixed(text, 1)); }

} // extern "C"

// The reverse table is built at compile time, so decoding works before
// start-up too; the hook only rebuilds it from the alphabet.
extern "C" void _vn_binary_init(vn_init_t *init)
{
    (void)init;
    unbase64 = build_unbase64(base64);
}
