// Base64 decoding of arbitrary text, and the typed readers on the same text:
// nothing may be written past a buffer sized from the text.
#include "vantrix_private.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    const char *c_text = text.c_str(); // decoding stops at the first NUL, like any C text
    std::vector<unsigned char> buf(3 * (size / 4) + 1);
    size_t decoded = vn_base64_decode(c_text, buf.data());
    if (decoded >= buf.size())
        __builtin_trap();
    // Encoding what came out and decoding again gives the same bytes.
    std::vector<char> encoded(4 * ((decoded + 2) / 3) + 1);
    vn_base64_encode(encoded.data(), buf.data(), decoded);
    std::vector<unsigned char> again(3 * (encoded.size() / 4) + 1);
    if (vn_base64_decode(encoded.data(), again.data()) != decoded ||
        !std::equal(buf.begin(), buf.begin() + decoded, again.begin()))
        __builtin_trap();
    (void)vn_get_binary_uint64(c_text);
    (void)vn_get_binary_float32(c_text);
    (void)vn_get_binary_int8(c_text);
    return 0;
}
