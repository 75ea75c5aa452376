// Accept pacing: the read watches of the two listen sockets, paused while
// the descriptor table is full, and the process-wide cap on accepted
// connections that have not yet sent their first PEERINFO.
//
// The watches, their resume timers and pause lengths belong to the init
// thread, which listens and accepts. The pending count is raised there and
// lowered wherever a pending record is freed (a hand-over frees it on the
// peer's thread), so it is atomic.
#include "peer.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <ctime>

namespace {

constexpr double kFirstPause = 0.1;
constexpr double kLongestPause = 1.0;
// Each waiting connection holds three descriptors and its read buffer for up
// to peer-accept-wait-time, whoever sent it.
constexpr int kMaxPending = 256;
constexpr int kLevelNotify = 4;

struct listen_watch_t {
    sock_t *sock;
    const int *port;
    vn_io_event_cb accept;
    vn_read_event_t *watch;
    vn_timed_event_t *resume;
    double pause;
};

listen_watch_t plain_watch{&vn_sock, &c_vantrix_port, peer_accept_connection, nullptr, nullptr, kFirstPause};
listen_watch_t ssl_watch{&vn_ssl_sock, &c_vantrix_sslport, peer_accept_ssl_connection, nullptr, nullptr,
                         kFirstPause};

std::atomic<int> pending_count{0};
time_t last_refusal_logged = 0;

listen_watch_t *watch_of(const sock_t *sock)
{
    return sock == &vn_ssl_sock ? &ssl_watch : &plain_watch;
}

listen_watch_t *watch_of_listener(sock_t listener)
{
    return listener == vn_ssl_sock ? &ssl_watch : &plain_watch;
}

void start_watch(listen_watch_t *state)
{
    if (*state->sock != -1 && state->watch == nullptr)
        state->watch = vn_add_read_event(*state->sock, state->accept, 0, nullptr);
}

int resume_accepts(int, int, void *data)
{
    listen_watch_t *state = static_cast<listen_watch_t *>(data);
    state->resume = nullptr;
    start_watch(state);
    return 0;
}

// A listen socket stays readable while no descriptor is free for its next
// connection, so its watch would fire again at once: the watch ends, and a
// timer brings it back, later each time the table is still full.
void pause_accepts(listen_watch_t *state, int error)
{
    vn_log(peer_event_log, kLevelNotify, "Cannot accept on vantrix port %d (%s): accepts paused for %.1f s\n",
           *state->port, vn_socket_strerror(error), state->pause);
    state->watch = nullptr; // the watch that fired ends with its result
    state->resume = vn_add_timed_event(0, state->pause, resume_accepts, 0, state);
    state->pause = std::min(state->pause * 2, kLongestPause);
}

bool out_of_descriptors(int error)
{
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

} // namespace

sock_t peer_accept_listen(sock_t listener, bool *paused)
{
    *paused = false;
    listen_watch_t *state = watch_of_listener(listener);
    sock_t sock = vn_accept_socket(listener);
    if (sock >= 0) {
        state->pause = kFirstPause;
        return sock;
    }
    if (out_of_descriptors(errno)) {
        pause_accepts(state, errno);
        *paused = true;
    }
    return -1;
}

bool peer_pending_admit(const char *addr, int port)
{
    if (pending_count.fetch_add(1) < kMaxPending)
        return true;
    pending_count.fetch_sub(1);
    time_t now = std::time(nullptr);
    if (now != last_refusal_logged) {
        last_refusal_logged = now;
        vn_log(peer_event_log, kLevelNotify, "Refusing connection from %s %d: %d connections await their PEERINFO\n",
               addr, port, kMaxPending);
    }
    return false;
}

void peer_pending_released(void)
{
    pending_count.fetch_sub(1);
}

void peer_close_listen_socket(sock_t *sock)
{
    listen_watch_t *state = watch_of(sock);
    if (state->resume != nullptr)
        vn_del_timed_event(state->resume);
    state->resume = nullptr;
    state->pause = kFirstPause;
    if (*sock == -1)
        return;
    if (state->watch != nullptr)
        vn_del_read_event(state->watch);
    state->watch = nullptr;
    close(*sock);
    *sock = -1;
}

int start_peer_accept(int, int, void *)
{
    start_watch(&plain_watch);
    return 0;
}

int start_peer_ssl_accept(int, int, void *)
{
    start_watch(&ssl_watch);
    return 0;
}
