// Subnet checks of arbitrary texts: address, network and netmask are the
// input's first three lines.
#include "vantrix_private.h"

#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string input(reinterpret_cast<const char *>(data), size);
    std::vector<std::string> lines(3);
    size_t line = 0;
    for (char c : input) {
        if (c == '\n') {
            if (++line == lines.size())
                break;
        } else {
            lines[line] += c;
        }
    }
    int result = vn_check_subnet(lines[0].c_str(), lines[1].c_str(), lines[2].c_str());
    if (result < -1 || result > 1)
        __builtin_trap();
    return 0;
}
