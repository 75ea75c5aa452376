// Decimal-place copies of arbitrary text: the first byte picks the places.
#include "vantrix_private.h"

#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    int places = static_cast<int8_t>(data[0]);
    std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    char *copy = vn_strdupdp(text.c_str(), places);
    // Cutting and rounding never lengthen the number by more than the padding and a carry.
    size_t limit = std::strlen(text.c_str()) + 2 + 20;
    if (std::strlen(copy) > limit)
        __builtin_trap();
    vn_free(copy);
    return 0;
}
