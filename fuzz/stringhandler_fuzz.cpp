// Feeds arbitrary bytes to the argument splitter: it must stay within the
// line and its spare byte, and every word must lie inside the line.
#include "vantrix_private.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 1 << 16)
        return 0;
    std::vector<char> line(data, data + size);
    line.push_back('\0');
    int count = 0;
    char **words = tarvelutil_argument_parse(line.data(), static_cast<int>(size), &count);
    if (words == nullptr || count < 1 || words[0] != line.data() || words[count] != nullptr)
        std::abort();
    const char *end = line.data() + line.size();
    for (int i = 0; i < count; i++) {
        if (words[i] < line.data() || words[i] >= end || std::memchr(words[i], '\0', end - words[i]) == nullptr)
            std::abort();
    }
    vn_free(words);
    return 0;
}
