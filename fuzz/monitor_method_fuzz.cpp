// "monitor-method" commands as the UDP port splits them: any words, checked
// against a few add-monuser records, then handed to a method that checks
// the word list it gets (its own name first, a null slot after the last).
#include "vantrix_private.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

vn_init_t record{};

vn_monitor_t *checking_method(const char *, const char *, const char *property, int argc, char **argv)
{
    if (argc < 1 || argv[argc] != nullptr || strcmp(argv[0], property) != 0)
        __builtin_trap();
    size_t total = 0;
    for (int i = 0; i < argc; i++)
        total += strlen(argv[i]);
    return vn_monitor_new_ulong(nullptr, nullptr, property, static_cast<uint32_t>(total));
}

void start_module()
{
    char name[] = "/tmp/monitor-method-fuzz-XXXXXX";
    int fd = mkstemp(name);
    const char config[] = "add-monuser\nuser ops\npass pw\naddr 127.0.0.1\nend-monuser\n"
                          "add-monuser\nuser net\npass pw\nnetwork 127.0.0.0\nnetmask 255.0.0.0\nend-monuser\n"
                          "add-monuser\nuser guest\nend-monuser\n"
                          "add-monuser\nnetwork 10.0.0.0\nend-monuser\n";
    if (fd < 0 || write(fd, config, sizeof config - 1) != static_cast<ssize_t>(sizeof config - 1))
        abort();
    close(fd);
    vn_config_set_ctx(vn_config_new_ctx());
    _vn_monitor_config_init();
    vn_config_parse_file(name);
    unlink(name);
    _vn_monitor_init(&record);
    vn_monitor_add_template_member("T", "echo", "Echo", VN_MONITOR_STRING | VN_MONITOR_METHOD, nullptr,
                                   reinterpret_cast<void *>(checking_method));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool started = (start_module(), true);
    (void)started;
    std::vector<char> line(data, data + size);
    line.push_back('\0');
    int argc = 0;
    char **argv = tarvelutil_argument_parse(line.data(), static_cast<int>(size), &argc);
    if (argv != nullptr && argc > 0 && _vn_monitor_udp_method(argc, argv, 0, nullptr) != 1)
        __builtin_trap();
    vn_free(argv);
    return 0;
}
