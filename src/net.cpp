// IPv4 socket set-up: listen, accept and connect over TCP, UDP and multicast
// sockets, name resolution and address helpers. Every operation returns -1
// (or null) on failure with the reason left in errno.
#include "vantrix_private.h"

#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr size_t kInterfaceTextBytes = 18;
constexpr int kLevelInfo = 6;

// Closes a half-set-up socket on every early return, keeping the errno of the
// call that failed.
class SocketGuard {
public:
    explicit SocketGuard(int type) : sock_(socket(AF_INET, type, 0)) {}
    ~SocketGuard()
    {
        if (sock_ < 0)
            return;
        int saved = errno;
        close(sock_);
        errno = saved;
    }
    SocketGuard(const SocketGuard &) = delete;
    SocketGuard &operator=(const SocketGuard &) = delete;

    bool ok() const { return sock_ >= 0; }
    sock_t get() const { return sock_; }
    sock_t release()
    {
        sock_t sock = sock_;
        sock_ = -1;
        return sock;
    }

private:
    sock_t sock_;
};

constexpr int kMaxPort = 65535;

// A port past 16 bits would otherwise wrap to another port.
bool valid_port(int port)
{
    if (port >= 0 && port <= kMaxPort)
        return true;
    errno = EINVAL;
    return false;
}

struct sockaddr_in ipv4_address(struct in_addr host, int port)
{
    struct sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr = host;
    return address;
}

struct in_addr any_address()
{
    struct in_addr any;
    any.s_addr = htonl(INADDR_ANY);
    return any;
}

// Parses an optional address text; a null text is any address.
bool parse_optional(const char *text, struct in_addr *address)
{
    if (text == nullptr) {
        *address = any_address();
        return true;
    }
    if (vn_inet_aton(text, address))
        return true;
    errno = EINVAL;
    return false;
}

int bind_ipv4(sock_t sock, struct in_addr host, int port)
{
    struct sockaddr_in address = ipv4_address(host, port);
    return bind(sock, reinterpret_cast<struct sockaddr *>(&address), sizeof address);
}

int connect_ipv4(sock_t sock, struct in_addr host, int port)
{
    struct sockaddr_in address = ipv4_address(host, port);
    return connect(sock, reinterpret_cast<struct sockaddr *>(&address), sizeof address);
}

int set_reuse(sock_t sock)
{
    int on = 1;
    return setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

ssize_t send_once(const void *data, size_t length, const struct sockaddr_in &address)
{
    SocketGuard sock(SOCK_DGRAM);
    if (!sock.ok())
        return -1;
    return sendto(sock.get(), data, length, 0, reinterpret_cast<const struct sockaddr *>(&address), sizeof address);
}

// A TCP socket to `host`. A blocking connect completes before the socket
// turns non-blocking; otherwise a connect still under way counts as success.
sock_t tcp_client(const char *host, u_short port, bool blocking_connect)
{
    struct in_addr resolved;
    if (vn_getaddr(host, &resolved) < 0)
        return -1;
    SocketGuard sock(SOCK_STREAM);
    if (!sock.ok())
        return -1;
    if (!blocking_connect && vn_setnonblocking(sock.get()) < 0)
        return -1;
    if (connect_ipv4(sock.get(), resolved, port) < 0 && (blocking_connect || errno != EINPROGRESS))
        return -1;
    if (blocking_connect && vn_setnonblocking(sock.get()) < 0)
        return -1;
    return sock.release();
}

} // namespace

extern "C" {

sock_t vn_listen_socket(const struct in_addr *address, int port, int backlog)
{
    if (!valid_port(port))
        return -1;
    SocketGuard sock(SOCK_STREAM);
    if (!sock.ok())
        return -1;
    set_reuse(sock.get()); // a refused reuse only delays a restart
    if (vn_setnonblocking(sock.get()) < 0)
        return -1;
    if (bind_ipv4(sock.get(), address != nullptr ? *address : any_address(), port) < 0)
        return -1;
    if (listen(sock.get(), backlog) < 0)
        return -1;
    return sock.release();
}

sock_t vn_listen_socket_log(const struct in_addr *address, int port, int backlog, vn_log_t *log, const char *context)
{
    sock_t sock = vn_listen_socket(address, port, backlog);
    if (sock >= 0)
        vn_log(log, kLevelInfo, "Opening port %d for %s access\n", port, context != nullptr ? context : "");
    return sock;
}

sock_t vn_accept_socket(sock_t listener)
{
    return accept(listener, nullptr, nullptr);
}

sock_t vn_client_socket(const char *host, u_short port)
{
    return tcp_client(host, port, true);
}

sock_t vn_client_socket_nonblocking(const char *host, u_short port)
{
    return tcp_client(host, port, false);
}

sock_t vn_udp_listen_socket(const char *interface_address, int port)
{
    if (!valid_port(port))
        return -1;
    struct in_addr local;
    if (!parse_optional(interface_address, &local))
        return -1;
    SocketGuard sock(SOCK_DGRAM);
    if (!sock.ok())
        return -1;
    if (set_reuse(sock.get()) < 0 || bind_ipv4(sock.get(), local, port) < 0)
        return -1;
    return sock.release();
}

sock_t vn_multicast_listen_socket(const char *interface_address, const char *group, int port)
{
    if (!valid_port(port))
        return -1;
    struct ip_mreq membership;
    std::memset(&membership, 0, sizeof membership);
    if (group == nullptr || !vn_inet_aton(group, &membership.imr_multiaddr)) {
        errno = EINVAL;
        return -1;
    }
    if (!parse_optional(interface_address, &membership.imr_interface))
        return -1;
    SocketGuard sock(SOCK_DGRAM);
    if (!sock.ok())
        return -1;
    if (set_reuse(sock.get()) < 0 || bind_ipv4(sock.get(), membership.imr_multiaddr, port) < 0)
        return -1;
    if (setsockopt(sock.get(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) < 0)
        return -1;
    return sock.release();
}

sock_t vn_udp_client_socket(const char *host, int port, struct sockaddr_in *address)
{
    if (!valid_port(port))
        return -1;
    struct in_addr resolved;
    if (vn_getaddr(host, &resolved) < 0)
        return -1;
    *address = ipv4_address(resolved, port);
    return socket(AF_INET, SOCK_DGRAM, 0);
}

int vn_udp_bind_client_socket(sock_t sock, const char *local_address, int port)
{
    if (!valid_port(port))
        return -1;
    struct in_addr local = any_address();
    if (local_address != nullptr && vn_getaddr(local_address, &local) < 0)
        return -1;
    return bind_ipv4(sock, local, port) < 0 ? -1 : 0;
}

ssize_t vn_udp_send(const void *data, size_t length, const char *host, int port)
{
    if (!valid_port(port))
        return -1;
    struct in_addr resolved;
    if (vn_getaddr(host, &resolved) < 0)
        return -1;
    return send_once(data, length, ipv4_address(resolved, port));
}

ssize_t vn_udp_sendto(const void *data, size_t length, const struct sockaddr_in *address)
{
    return send_once(data, length, *address);
}

struct sockaddr *vn_gethostsockaddr(const char *host, struct sockaddr *address)
{
    struct addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    struct addrinfo *found = nullptr;
    int result = host != nullptr ? getaddrinfo(host, nullptr, &hints, &found) : EAI_NONAME;
    if (result != 0 || found == nullptr) {
        if (result != EAI_SYSTEM)
            errno = ENXIO; // resolver failures carry no errno of their own
        return nullptr;
    }
    // The caller's record is an IPv4 one: never copy more than it holds.
    size_t length = found->ai_addrlen < sizeof(struct sockaddr_in) ? found->ai_addrlen : sizeof(struct sockaddr_in);
    std::memcpy(address, found->ai_addr, length);
    freeaddrinfo(found);
    return address;
}

int vn_getaddr(const char *host, struct in_addr *address)
{
    struct sockaddr_in resolved;
    if (vn_gethostsockaddr(host, reinterpret_cast<struct sockaddr *>(&resolved)) == nullptr)
        return -1;
    *address = resolved.sin_addr;
    return 0;
}

int vn_inet_aton(const char *text, struct in_addr *address)
{
    // Only the four-part dotted form: shorthand and trailing text are refused.
    return text != nullptr && inet_pton(AF_INET, text, address) == 1 ? 1 : 0;
}

const char *vn_interface_address(const char *interface_name)
{
    static char text[kInterfaceTextBytes];
    struct ifreq request;
    std::memset(&request, 0, sizeof request);
    size_t name_len = interface_name != nullptr ? std::strlen(interface_name) : 0;
    // A name cut to fit could name another interface.
    if (name_len == 0 || name_len >= sizeof request.ifr_name) {
        errno = ENODEV;
        return nullptr;
    }
    std::memcpy(request.ifr_name, interface_name, name_len);
    SocketGuard sock(SOCK_STREAM);
    if (!sock.ok() || ioctl(sock.get(), SIOCGIFADDR, &request) < 0)
        return nullptr;
    struct sockaddr_in address;
    std::memcpy(&address, &request.ifr_addr, sizeof address);
    if (address.sin_family != AF_INET || inet_ntop(AF_INET, &address.sin_addr, text, sizeof text) == nullptr)
        return nullptr;
    return text;
}

int vn_check_subnet(const char *address, const char *network, const char *netmask)
{
    struct in_addr host, net, mask;
    if (!vn_inet_aton(address, &host) || !vn_inet_aton(network, &net) || !vn_inet_aton(netmask, &mask))
        return -1;
    return (host.s_addr & mask.s_addr) == net.s_addr ? 1 : 0;
}

int vn_pipe(sock_t fds[2])
{
    return socketpair(AF_UNIX, SOCK_STREAM, 0, fds) < 0 ? -1 : 0;
}

int vn_setnonblocking(sock_t fd)
{
    return fcntl(fd, F_SETFL, O_NONBLOCK) < 0 ? -1 : 0;
}

const char *vn_socket_strerror(int error)
{
    thread_local char text[256];
    return strerror_r(error, text, sizeof text);
}

} // extern "C"
