// Arbitrary byte streams through the peer dispatcher of a running runtime, over
// loopback: the runtime starts once (two accept-only peers, ids 1 and 2) on
// its own init thread, and each input is sent on a new connection, either as
// a pending connection (the stream is the first thing the runtime reads) or,
// when the first byte is odd, as an established peer (after a PEERINFO of id
// 2 and the runtime's own). The runtime must then see the end of the stream
// and close the connection: a connection it never closes is a fault, like a
// crash or a sanitizer report.
#include "vantrix_private.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kDeadlineMillis = 20000;
constexpr uint16_t kEstablishedId = 2;
constexpr unsigned kSourceAddresses = 250; // 127.0.0.2 to 127.0.0.251
constexpr int kFirstListenPort = 20000;
constexpr int kListenPorts = 10000;

int listen_port;

// A port the runtime can listen on now, tried as it will be (all interfaces,
// SO_REUSEADDR). It lies below the ephemeral range, where no connection's
// own end (such as the many this harness leaves in TIME_WAIT) can hold it.
int free_port()
{
    std::random_device seed;
    for (;;) {
        int port = kFirstListenPort + static_cast<int>(seed() % kListenPorts);
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        struct sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        bool usable = bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 && listen(fd, 1) == 0;
        close(fd);
        if (usable)
            return port;
    }
}

// The runtime on its own init thread, configured in a fresh directory.
bool start_runtime()
{
    char dir_template[] = "/tmp/peer_dispatch_fuzz.XXXXXX";
    const char *dir = mkdtemp(dir_template);
    if (dir == nullptr)
        return false;
    static std::string root = dir;
    std::filesystem::create_directory(root + "/var");
    std::atexit([] { std::filesystem::remove_all(root); });
    listen_port = free_port();
    std::ofstream(root + "/fuzz.conf") << "application-name fuzz\n"
                                       << "vantrix-id 9\nvantrix-port " << listen_port << "\n"
                                       << "vantrix-pkt-log /dev/null\n"
                                       << "log-dir " << root << "\n"
                                       << "add-peer\nlabel pending\nremote-id 1\nend-peer\n"
                                       << "add-peer\nlabel established\nremote-id 2\nend-peer\n";
    int start_dir = open(".", O_RDONLY | O_DIRECTORY);
    std::mutex mutex;
    std::condition_variable changed;
    int started = 0; // 1 running, -1 failed
    std::thread([&] {
        static vn_init_t init;
        static std::vector<std::string> args{"peer_dispatch_fuzz", "-r", root};
        static std::vector<char *> argv{args[0].data(), args[1].data(), args[2].data(), nullptr};
        vn_config_init("fuzz.conf", 3, argv.data());
        int result = vn_init(&init, 3, argv.data());
        {
            std::lock_guard<std::mutex> lock(mutex);
            started = result >= 0 ? 1 : -1;
        }
        changed.notify_all();
        if (result >= 0)
            vn_loop();
    }).detach();
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return started != 0; });
    // Start-up moved the process into the root; the fuzzing driver reads its
    // inputs by names relative to where it was started.
    if (fchdir(start_dir) != 0)
        return false;
    close(start_dir);
    return started == 1;
}

std::string u16(unsigned value)
{
    return {static_cast<char>(value >> 8), static_cast<char>(value & 0xFF)};
}

std::string peerinfo_frame(uint16_t id)
{
    std::string name = "fuzzer";
    std::string payload = u16(0) + u16(0) + u16(id) + u16(static_cast<unsigned>(name.size())) + name + u16(0) + u16(0);
    return u16(5) + u16(static_cast<unsigned>(payload.size())) + payload;
}

void send_all(int fd, const uint8_t *data, size_t size)
{
    while (size > 0) {
        ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return; // the runtime may close first; the end is awaited below
        data += sent;
        size -= static_cast<size_t>(sent);
    }
}

// Waits until fd is readable; false at the deadline. The fuzzing driver's
// timer signals interrupt the wait, which then goes on.
bool wait_readable(int fd, std::chrono::steady_clock::time_point deadline)
{
    for (;;) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
        if (left <= 0)
            return false;
        struct pollfd watch {fd, POLLIN, 0};
        int ready = poll(&watch, 1, left);
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

std::chrono::steady_clock::time_point deadline_from_now()
{
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMillis);
}

// Reads until the runtime closes the connection; false at the deadline.
bool read_until_closed(int fd)
{
    char chunk[65536];
    auto deadline = deadline_from_now();
    for (;;) {
        if (!wait_readable(fd, deadline))
            return false;
        ssize_t got = recv(fd, chunk, sizeof chunk, 0);
        if (got == 0 || (got < 0 && errno != EINTR))
            return true;
    }
}

// Waits for the runtime's PEERINFO: the link has then been handed to the
// peer's thread and its dispatcher reads what follows.
bool read_peerinfo(int fd)
{
    std::string bytes;
    char chunk[1024];
    auto whole = [&] {
        return bytes.size() >= 4 &&
               bytes.size() >= 4 + (static_cast<size_t>(static_cast<unsigned char>(bytes[2])) << 8 |
                                    static_cast<unsigned char>(bytes[3]));
    };
    auto deadline = deadline_from_now();
    while (!whole()) {
        if (!wait_readable(fd, deadline))
            return false;
        ssize_t got = recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0)
            return false;
        bytes.append(chunk, static_cast<size_t>(got));
    }
    return bytes[0] == 0 && bytes[1] == 5;
}

// Connects from the next of many loopback addresses: each connection ends in
// TIME_WAIT on this side (it closes first, to end the stream), and thousands
// of inputs a minute would use up the ports of one address.
int connect_to_runtime()
{
    static unsigned next_source = 0;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in source {};
    source.sin_family = AF_INET;
    source.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 1 + next_source++ % kSourceAddresses);
    if (bind(fd, reinterpret_cast<sockaddr *>(&source), sizeof source) != 0)
        __builtin_trap();
    struct sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(listen_port));
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        __builtin_trap(); // the runtime stopped listening
    return fd;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool ready = start_runtime();
    if (!ready)
        __builtin_trap();
    if (size == 0)
        return 0;
    bool established = data[0] & 1;
    int fd = connect_to_runtime();
    if (established) {
        std::string info = peerinfo_frame(kEstablishedId);
        send_all(fd, reinterpret_cast<const uint8_t *>(info.data()), info.size());
        if (!read_peerinfo(fd))
            __builtin_trap();
    }
    send_all(fd, data + 1, size - 1);
    shutdown(fd, SHUT_WR);
    if (!read_until_closed(fd))
        __builtin_trap();
    close(fd);
    return 0;
}
