// Linux specifics kept in one place: thread names, core-dump permission,
// process size, CPU count and interface addresses.
#include "vantrix_private.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <arpa/inet.h>
#include <net/if.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Mode 2 keeps core dumps readable by root only; mode 1 lets the process
// dump under its current user.
constexpr int kDumpableRootOnly = 2;
constexpr int kDumpableOwner = 1;

constexpr size_t kStatusLineBytes = 4096;
constexpr size_t kMaxInterfaceRecords = 10;
constexpr size_t kRssValueOffset = 7; // the number follows "VmRSS:" and a blank

std::atomic<long> num_cpus{-1};

// The start-up record kept for its application root; null until start-up.
std::atomic<vn_init_t *> kept_init{nullptr};

const char *application_root()
{
    vn_init_t *init = kept_init.load();
    return init != nullptr ? init->application_root : nullptr;
}

bool root_owns(const char *path)
{
    struct stat info;
    return path != nullptr && stat(path, &info) == 0 && info.st_uid == 0;
}

// Sets the core-dump mode; true when it reads back as asked.
bool set_dumpable_mode(int mode)
{
    prctl(PR_SET_DUMPABLE, mode, 0, 0, 0);
    return prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) == mode;
}

struct FileCloser {
    void operator()(FILE *file) const { std::fclose(file); }
};

long rss_from_line(const char *line)
{
    const char *start = line + kRssValueOffset;
    char *end = nullptr;
    long kilobytes = std::strtol(start, &end, 10);
    return end != start ? kilobytes : -1;
}

char *dotted_copy(const struct sockaddr_in &address)
{
    char text[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &address.sin_addr, text, sizeof text) == nullptr)
        return nullptr;
    return vn_strdup(text);
}

// Reads up to kMaxInterfaceRecords interface records; false when the kernel
// refuses.
bool read_interfaces(std::array<struct ifreq, kMaxInterfaceRecords> &records, size_t &filled)
{
    int sock = socket(AF_INET, SOCK_STREAM, 0);
    if (sock < 0)
        return false;
    struct ifconf request {};
    request.ifc_len = static_cast<int>(sizeof records);
    request.ifc_req = records.data();
    int result = ioctl(sock, SIOCGIFCONF, &request);
    close(sock);
    if (result < 0 || request.ifc_len < 0)
        return false;
    filled = static_cast<size_t>(request.ifc_len) / sizeof(struct ifreq);
    if (filled > records.size())
        filled = records.size();
    return true;
}

} // namespace

extern "C" {

void _vn_compat_init(vn_init_t *init)
{
    kept_init.store(init);
}

void vn_thread_setname(const char *name)
{
    prctl(PR_SET_NAME, name, 0, 0, 0);
}

void vn_set_dumpable(int /*verbose*/)
{
    // Root-only mode writes dumps owned by root, so it is tried only where
    // root owns the application root the dumps land in.
    if (root_owns(application_root()) && set_dumpable_mode(kDumpableRootOnly))
        return;
    set_dumpable_mode(kDumpableOwner);
}

long _vn_get_process_size(void)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(getpid()));
    std::unique_ptr<FILE, FileCloser> status(std::fopen(path, "r"));
    if (!status)
        return -1;
    char line[kStatusLineBytes];
    while (std::fgets(line, sizeof line, status.get()) != nullptr) {
        if (strncasecmp(line, "VmRSS:", 6) == 0)
            return rss_from_line(line);
    }
    return -1;
}

long vn_num_cpus(int verbose)
{
    long cached = num_cpus.load();
    if (cached >= 0 && !verbose)
        return cached;
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    num_cpus.store(online);
    return online;
}

char **vn_get_addresses(int *count)
{
    *count = 0;
    std::array<struct ifreq, kMaxInterfaceRecords> records{};
    size_t filled = 0;
    if (!read_interfaces(records, filled))
        return nullptr;
    std::vector<char *> addresses;
    for (size_t i = 0; i < filled; i++) {
        struct sockaddr_in address;
        std::memcpy(&address, &records[i].ifr_addr, sizeof address);
        if (address.sin_family != AF_INET)
            continue;
        if (char *text = dotted_copy(address))
            addresses.push_back(text);
    }
    if (addresses.empty())
        return nullptr;
    char **array = static_cast<char **>(vn_malloc(addresses.size() * sizeof(char *)));
    std::memcpy(array, addresses.data(), addresses.size() * sizeof(char *));
    *count = static_cast<int>(addresses.size());
    return array;
}

} // extern "C"
