// quix64: the 64-digit alphabet of the short field codes.
#include "vantrix_private.h"

#include <climits>

namespace {

constexpr int kDigits = 64;
constexpr int kPairValues = kDigits * kDigits; // values of two digits, 0 .. 4095
constexpr int kAsciiCodes = 128;

struct Quix64Tables {
    char map[kDigits + 1];
    char hi[kPairValues];
    char lo[kPairValues];
    signed char reverse[kAsciiCodes];
};

constexpr Quix64Tables build_tables()
{
    Quix64Tables tables{};
    const char *alphabet = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz-_";
    for (int i = 0; i < kAsciiCodes; i++)
        tables.reverse[i] = -1;
    for (int i = 0; i < kDigits; i++) {
        tables.map[i] = alphabet[i];
        tables.reverse[static_cast<unsigned char>(alphabet[i])] = static_cast<signed char>(i);
    }
    tables.map[kDigits] = '\0';
    for (int v = 0; v < kPairValues; v++) {
        tables.hi[v] = tables.map[v / kDigits];
        tables.lo[v] = tables.map[v % kDigits];
    }
    return tables;
}

// Built at compile time, so codes are right even before the start-up hook runs.
constinit Quix64Tables tables = build_tables();

} // namespace

extern "C" {

void _vn_quix64_config_init(void)
{
    tables = build_tables();
}

char vn_quix64_map(int i)
{
    return (i >= 0 && i < kDigits) ? tables.map[i] : '\0';
}

char vn_quix64_hi(int i)
{
    return (i >= 0 && i < kPairValues) ? tables.hi[i] : '\0';
}

char vn_quix64_lo(int i)
{
    return (i >= 0 && i < kPairValues) ? tables.lo[i] : '\0';
}

int vn_quix64_decode(const char *text)
{
    long long value = 0;
    for (const unsigned char *at = reinterpret_cast<const unsigned char *>(text); *at != '\0'; at++) {
        if (*at >= kAsciiCodes || tables.reverse[*at] < 0)
            return -1;
        value = value * kDigits + tables.reverse[*at];
        if (value > INT_MAX)
            return -1; // no field has such a code; refusing beats wrapping around
    }
    return static_cast<int>(value);
}

} // extern "C"
