#include "test_support.h"
#include "vantrix_private.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const char kLoopback[] = "127.0.0.1";

// A name the resolver refuses before it would ask any name server.
const std::string kUnresolvable(300, 'a');

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

int local_port(int sock)
{
    struct sockaddr_in address;
    socklen_t length = sizeof address;
    if (getsockname(sock, reinterpret_cast<struct sockaddr *>(&address), &length) != 0)
        return -1;
    return ntohs(address.sin_port);
}

struct in_addr loopback()
{
    struct in_addr address;
    inet_pton(AF_INET, kLoopback, &address);
    return address;
}

bool wait_for(int fd, short events)
{
    struct pollfd entry = {fd, events, 0};
    return poll(&entry, 1, 5000) == 1 && (entry.revents & events) != 0;
}

bool is_nonblocking(int fd)
{
    return (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0;
}

// A loopback port that nothing listens on.
int closed_port()
{
    struct in_addr address = loopback();
    int listener = vn_listen_socket(&address, 0, 1);
    int port = local_port(listener);
    close(listener);
    return port;
}

} // namespace

TEST(Tcp, ListenConnectAcceptAndExchange)
{
    struct in_addr address = loopback();
    Fd listener(vn_listen_socket(&address, 0, 5));
    ASSERT_GE(listener.get(), 0) << vn_socket_strerror(errno);
    EXPECT_TRUE(is_nonblocking(listener.get()));
    int reuse = 0;
    socklen_t length = sizeof reuse;
    getsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &reuse, &length);
    EXPECT_NE(reuse, 0);

    Fd client(vn_client_socket(kLoopback, static_cast<u_short>(local_port(listener.get()))));
    ASSERT_GE(client.get(), 0) << vn_socket_strerror(errno);
    EXPECT_TRUE(is_nonblocking(client.get()));

    ASSERT_TRUE(wait_for(listener.get(), POLLIN));
    Fd server(vn_accept_socket(listener.get()));
    ASSERT_GE(server.get(), 0);
    ASSERT_EQ(write(client.get(), "ping", 4), 4);
    ASSERT_TRUE(wait_for(server.get(), POLLIN));
    char buffer[8] = {};
    EXPECT_EQ(read(server.get(), buffer, sizeof buffer), 4);
    EXPECT_STREQ(buffer, "ping");
}

TEST(Tcp, NonblockingConnectReturnsBeforeTheConnectionIsAccepted)
{
    struct in_addr address = loopback();
    Fd listener(vn_listen_socket(&address, 0, 5));
    ASSERT_GE(listener.get(), 0);
    Fd client(vn_client_socket_nonblocking("localhost", static_cast<u_short>(local_port(listener.get()))));
    ASSERT_GE(client.get(), 0) << vn_socket_strerror(errno);
    EXPECT_TRUE(is_nonblocking(client.get()));
    ASSERT_TRUE(wait_for(client.get(), POLLOUT));
    int error = -1;
    socklen_t length = sizeof error;
    getsockopt(client.get(), SOL_SOCKET, SO_ERROR, &error, &length);
    EXPECT_EQ(error, 0);
}

TEST(Tcp, FailuresReturnMinusOneWithTheReasonInErrno)
{
    errno = 0;
    EXPECT_EQ(vn_client_socket(kLoopback, static_cast<u_short>(closed_port())), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
    EXPECT_STREQ(vn_socket_strerror(errno), strerror(ECONNREFUSED));

    EXPECT_EQ(vn_client_socket(kUnresolvable.c_str(), 80), -1);
    EXPECT_EQ(vn_client_socket_nonblocking(kUnresolvable.c_str(), 80), -1);
    EXPECT_NE(errno, 0);

    struct in_addr address = loopback();
    Fd listener(vn_listen_socket(&address, 0, 5));
    errno = 0;
    EXPECT_EQ(vn_listen_socket(&address, local_port(listener.get()), 5), -1);
    EXPECT_EQ(errno, EADDRINUSE);
    EXPECT_EQ(vn_listen_socket(&address, 65536, 5), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST(Udp, DatagramsReachAListenSocket)
{
    Fd receiver(vn_udp_listen_socket(kLoopback, 0));
    ASSERT_GE(receiver.get(), 0) << vn_socket_strerror(errno);
    int port = local_port(receiver.get());

    EXPECT_EQ(vn_udp_send("one", 3, kLoopback, port), 3);
    struct sockaddr_in target;
    Fd sender(vn_udp_client_socket("localhost", port, &target));
    ASSERT_GE(sender.get(), 0);
    EXPECT_EQ(target.sin_family, AF_INET);
    EXPECT_EQ(ntohs(target.sin_port), port);
    EXPECT_EQ(vn_udp_sendto("two", 3, &target), 3);

    for (const char *expected : {"one", "two"}) {
        ASSERT_TRUE(wait_for(receiver.get(), POLLIN));
        char buffer[8] = {};
        EXPECT_EQ(recv(receiver.get(), buffer, sizeof buffer, 0), 3);
        EXPECT_STREQ(buffer, expected);
    }
}

TEST(Udp, BindClientSocketOnlyWhenTheAddressResolves)
{
    struct sockaddr_in target;
    Fd sock(vn_udp_client_socket(kLoopback, 9, &target));
    ASSERT_GE(sock.get(), 0);
    EXPECT_EQ(vn_udp_bind_client_socket(sock.get(), kUnresolvable.c_str(), 0), -1);
    EXPECT_EQ(local_port(sock.get()), 0); // still unbound
    EXPECT_EQ(vn_udp_bind_client_socket(sock.get(), kLoopback, 0), 0);
    EXPECT_GT(local_port(sock.get()), 0);
}

TEST(Udp, MalformedAddressesAreRefusedBeforeASocketIsOpened)
{
    for (const char *text : {"", "1.2.3", "1.2.3.4.5", "999.1.1.1", "127.0.0.1 trailing"}) {
        errno = 0;
        EXPECT_EQ(vn_udp_listen_socket(text, 0), -1) << text;
        EXPECT_EQ(errno, EINVAL) << text;
        EXPECT_EQ(vn_multicast_listen_socket(nullptr, text, 0), -1) << text;
        EXPECT_EQ(vn_multicast_listen_socket(text, "239.1.2.3", 0), -1) << text;
    }
    EXPECT_EQ(vn_multicast_listen_socket(nullptr, nullptr, 0), -1);
    struct sockaddr_in target;
    EXPECT_EQ(vn_udp_client_socket(kUnresolvable.c_str(), 9, &target), -1);
    EXPECT_EQ(vn_udp_send("x", 1, kUnresolvable.c_str(), 9), -1);
    EXPECT_EQ(vn_udp_send("x", 1, kLoopback, -1), -1);
}

TEST(Udp, MulticastSocketJoinsItsGroup)
{
    Fd sock(vn_multicast_listen_socket(nullptr, "239.255.10.20", 0));
    if (sock.get() < 0 && (errno == ENODEV || errno == EADDRNOTAVAIL))
        GTEST_SKIP() << "no multicast-capable interface: " << vn_socket_strerror(errno);
    ASSERT_GE(sock.get(), 0) << vn_socket_strerror(errno);
    struct sockaddr_in bound;
    socklen_t length = sizeof bound;
    getsockname(sock.get(), reinterpret_cast<struct sockaddr *>(&bound), &length);
    char text[INET_ADDRSTRLEN];
    EXPECT_STREQ(inet_ntop(AF_INET, &bound.sin_addr, text, sizeof text), "239.255.10.20");
}

TEST(Addresses, DottedQuadParsing)
{
    struct Case {
        const char *text;
        int valid;
    };
    const std::string long_text(5000, '1');
    const Case cases[] = {
        {"10.1.2.3", 1}, {"0.0.0.0", 1}, {"255.255.255.255", 1}, {"", 0},
        {"10.1.2", 0},   {"10", 0},      {"10.1.2.3.4", 0},      {"256.1.1.1", 0},
        {"10.1.2.3 ", 0}, {"a.b.c.d", 0}, {long_text.c_str(), 0}, {nullptr, 0},
    };
    for (const Case &c : cases) {
        struct in_addr address;
        EXPECT_EQ(vn_inet_aton(c.text, &address) != 0, c.valid != 0) << (c.text ? c.text : "(null)");
    }
    struct in_addr address;
    ASSERT_TRUE(vn_inet_aton("10.1.2.3", &address));
    EXPECT_EQ(ntohl(address.s_addr), 0x0A010203u);
}

TEST(Addresses, SubnetCheck)
{
    struct Case {
        const char *address, *network, *netmask;
        int expected;
    };
    const Case cases[] = {
        {"10.1.2.3", "10.1.0.0", "255.255.0.0", 1},
        {"10.1.2.3", "10.1.0.1", "255.255.0.0", 0}, // the network is compared unmasked
        {"10.2.2.3", "10.1.0.0", "255.255.0.0", 0},
        {"10.1.2.3", "10.1.2.3", "255.255.255.255", 1},
        {"10.1.2.3", "0.0.0.0", "0.0.0.0", 1},
        {"10.1.2.3", "10.1.0.0", "abc", -1},
        {"", "10.1.0.0", "255.255.0.0", -1},
        {"10.1.2.3", nullptr, "255.255.0.0", -1},
    };
    for (const Case &c : cases)
        EXPECT_EQ(vn_check_subnet(c.address, c.network, c.netmask), c.expected) << c.address;
}

TEST(Addresses, ResolveLocalNames)
{
    struct sockaddr_in resolved;
    std::memset(&resolved, 0xAB, sizeof resolved);
    ASSERT_NE(vn_gethostsockaddr("localhost", reinterpret_cast<struct sockaddr *>(&resolved)), nullptr);
    EXPECT_EQ(resolved.sin_family, AF_INET);
    EXPECT_EQ(ntohl(resolved.sin_addr.s_addr), 0x7F000001u);
    struct in_addr address;
    EXPECT_EQ(vn_getaddr(kLoopback, &address), 0);
    EXPECT_EQ(vn_getaddr(kUnresolvable.c_str(), &address), -1);
    EXPECT_EQ(vn_gethostsockaddr(nullptr, reinterpret_cast<struct sockaddr *>(&resolved)), nullptr);
}

TEST(Addresses, InterfaceAddresses)
{
    const char *lo = vn_interface_address("lo");
    ASSERT_NE(lo, nullptr);
    EXPECT_STREQ(lo, "127.0.0.1");
    EXPECT_EQ(vn_interface_address("no-such-if0"), nullptr);
    EXPECT_EQ(vn_interface_address(""), nullptr);
    // Cut to fit, this name would be that of another interface.
    EXPECT_EQ(vn_interface_address("lo_and_a_much_longer_name"), nullptr);
}

TEST(Descriptors, PipeCarriesBytesBothWays)
{
    sock_t fds[2];
    ASSERT_EQ(vn_pipe(fds), 0);
    Fd first(fds[0]), second(fds[1]);
    ASSERT_EQ(write(second.get(), "w", 1), 1);
    ASSERT_EQ(write(first.get(), "r", 1), 1);
    char byte = 0;
    EXPECT_EQ(read(first.get(), &byte, 1), 1);
    EXPECT_EQ(byte, 'w');
    EXPECT_EQ(read(second.get(), &byte, 1), 1);
    EXPECT_EQ(byte, 'r');
}

TEST(Descriptors, SetNonblockingReplacesTheStatusFlags)
{
    vntest::TempRoot root;
    std::string path = root.write("append.log", "");
    Fd fd(open(path.c_str(), O_WRONLY | O_APPEND));
    ASSERT_GE(fd.get(), 0);
    EXPECT_EQ(vn_setnonblocking(fd.get()), 0);
    int flags = fcntl(fd.get(), F_GETFL);
    EXPECT_NE(flags & O_NONBLOCK, 0);
    EXPECT_EQ(flags & O_APPEND, 0);
    EXPECT_EQ(vn_setnonblocking(-1), -1);
    EXPECT_EQ(errno, EBADF);
}
