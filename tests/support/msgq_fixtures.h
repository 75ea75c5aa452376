// Fixtures shared by the message queue's tests: frames as the remote parses
// them, socket pairs, a thread with its own loop, and a TLS link.
#ifndef VANTRIX_MSGQ_FIXTURES_H
#define VANTRIX_MSGQ_FIXTURES_H

#include "event.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <openssl/bio.h>
#include <openssl/ssl.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <ostream>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace msgqtest {

constexpr int kEpoll = 1;
constexpr double kDeadlineSeconds = 20;

struct Frame {
    uint16_t type;
    std::string payload;
    bool operator==(const Frame &) const = default;
};

// Cuts whole frames off the front of `bytes`.
// Failures show a frame as its type and the start of its payload.
inline void PrintTo(const Frame &frame, std::ostream *out)
{
    *out << "{" << frame.type << ", \"" << frame.payload.substr(0, 40) << (frame.payload.size() > 40 ? "...\"" : "\"")
         << " (" << frame.payload.size() << " bytes)}";
}

inline std::vector<Frame> parse_frames(std::string &bytes)
{
    // Cut at an offset and erase once: erasing each frame from the front of
    // megabytes of buffered bytes would make a large burst quadratic.
    std::vector<Frame> frames;
    size_t at = 0;
    auto byte = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + i])); };
    for (;;) {
        size_t left = bytes.size() - at;
        if (left < 4)
            break;
        uint32_t len = byte(2) << 8 | byte(3);
        size_t header = 4;
        if (len & 0x8000) {
            if (left < 6)
                break;
            len = (len & 0x7FFF) << 16 | byte(4) << 8 | byte(5);
            header = 6;
        }
        if (left < header + len)
            break;
        frames.push_back({static_cast<uint16_t>(byte(0) << 8 | byte(1)), bytes.substr(at + header, len)});
        at += header + len;
    }
    bytes.erase(0, at);
    return frames;
}

inline void set_nonblocking(int fd)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// `near` is the queue's end, `far` the test's; both non-blocking.
struct Link {
    int near = -1;
    int far = -1;
    Link() = default;
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;
    ~Link()
    {
        if (near >= 0)
            close(near);
        if (far >= 0)
            close(far);
    }
    // The queue closed its end.
    void forget_near() { near = -1; }
};

// A send buffer size above 0 makes the queue's end take little at a time.
inline void unix_link(Link &link, int send_buffer = 0)
{
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    link.near = ends[0];
    link.far = ends[1];
    set_nonblocking(link.near);
    set_nonblocking(link.far);
    if (send_buffer > 0)
        setsockopt(link.near, SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer);
}

inline std::mutex finished_mutex;
inline std::vector<event_globals_t *> &finished_loops = *new std::vector<event_globals_t *>;

// A thread with its own loop; call() runs a function there and waits.
class LoopThread {
public:
    LoopThread()
    {
        std::promise<tarvelutil_signalany_t *> ready;
        auto channel = ready.get_future();
        thread_ = std::thread([&ready] {
            _vn_event_init(nullptr);
            _vn_event_thread_init(nullptr, kEpoll, 0);
            ready.set_value(_vn_event_get_globals()->signalany);
            vn_loop();
            // A loop lives as long as the process, past its thread.
            std::lock_guard<std::mutex> lock(finished_mutex);
            finished_loops.push_back(_vn_event_get_globals());
        });
        channel_ = channel.get();
    }
    ~LoopThread()
    {
        call([] { vn_stop(); });
        thread_.join();
    }
    void call(std::function<void()> fn)
    {
        tarvelutil_signalany_send(channel_, 0, run_function, &fn, 0);
    }
    // Queues fn on the thread without waiting; fn is copied.
    void post(std::function<void()> fn)
    {
        tarvelutil_signalany_send(channel_, 0, run_owned_function, new std::function<void()>(std::move(fn)), 1);
    }

private:
    static int run_function(int, void *data)
    {
        (*static_cast<std::function<void()> *>(data))();
        return 0;
    }
    static int run_owned_function(int, void *data)
    {
        auto *fn = static_cast<std::function<void()> *>(data);
        (*fn)();
        delete fn;
        return 0;
    }
    std::thread thread_;
    tarvelutil_signalany_t *channel_ = nullptr;
};

// The queue's end of a TLS link is the server, the test's end the client,
// with the modes the runtime's contexts use.
struct TlsPair {
    vntest::TempRoot root;
    SSL_CTX *server_ctx = nullptr;
    SSL_CTX *client_ctx = nullptr;
    SSL *near = nullptr;
    SSL *far = nullptr;
    ~TlsPair()
    {
        SSL_free(near);
        SSL_free(far);
        SSL_CTX_free(server_ctx);
        SSL_CTX_free(client_ctx);
    }
};

// The certificate and the two contexts, once for any number of links.
inline void tls_contexts(TlsPair &tls)
{
    vntest::make_certificate(tls.root, "server");
    tls.server_ctx = SSL_CTX_new(TLS_server_method());
    tls.client_ctx = SSL_CTX_new(TLS_client_method());
    ASSERT_EQ(SSL_CTX_use_certificate_file(tls.server_ctx, tls.root.file("server.pem").c_str(), SSL_FILETYPE_PEM), 1);
    ASSERT_EQ(SSL_CTX_use_PrivateKey_file(tls.server_ctx, tls.root.file("server.key").c_str(), SSL_FILETYPE_PEM), 1);
    SSL_CTX_set_mode(tls.server_ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
}

// A handshake over the link with the pair's contexts; the caller frees the two connections.
inline void tls_connect(const Link &link, const TlsPair &tls, SSL *&near, SSL *&far)
{
    near = SSL_new(tls.server_ctx);
    far = SSL_new(tls.client_ctx);
    SSL_set_fd(near, link.near);
    SSL_set_fd(far, link.far);
    int accepted = 0, connected = 0;
    for (int round = 0; round < 1000 && (accepted != 1 || connected != 1); round++) {
        if (accepted != 1)
            accepted = SSL_accept(near);
        if (connected != 1)
            connected = SSL_connect(far);
        struct pollfd watch[2] = {{link.near, POLLIN, 0}, {link.far, POLLIN, 0}};
        poll(watch, 2, 10);
    }
    ASSERT_EQ(accepted, 1);
    ASSERT_EQ(connected, 1);
}

inline void tls_handshake(const Link &link, TlsPair &tls)
{
    ASSERT_NO_FATAL_FAILURE(tls_contexts(tls));
    tls_connect(link, tls, tls.near, tls.far);
}

// ---- A filter BIO between the queue's SSL connection and its socket ----

// The next BIO's result and retry flags as the filter's own.
inline int filter_pass_on(BIO *bio, int result)
{
    BIO_clear_retry_flags(bio);
    BIO_copy_next_retry(bio);
    return result;
}

inline long filter_ctrl(BIO *bio, int cmd, long num, void *ptr)
{
    BIO *next = BIO_next(bio);
    return next != nullptr ? BIO_ctrl(next, cmd, num, ptr) : 0;
}

inline int filter_create(BIO *bio)
{
    BIO_set_init(bio, 1);
    return 1;
}

inline BIO_METHOD *filter_method(const char *name, int (*write)(BIO *, const char *, int),
                                 int (*read)(BIO *, char *, int))
{
    BIO_METHOD *made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_FILTER, name);
    BIO_meth_set_write(made, write);
    BIO_meth_set_read(made, read);
    BIO_meth_set_ctrl(made, filter_ctrl);
    BIO_meth_set_create(made, filter_create);
    return made;
}

// Puts a filter with `data` between the connection and its socket.
inline void push_filter(SSL *ssl, int fd, BIO_METHOD *method, void *data)
{
    BIO *filter = BIO_new(method);
    BIO_set_data(filter, data);
    BIO_push(filter, BIO_new_socket(fd, BIO_NOCLOSE));
    SSL_set_bio(ssl, filter, filter);
}

} // namespace msgqtest

#endif // VANTRIX_MSGQ_FIXTURES_H
