// SSL on peer links: the client handshake after an outgoing TCP connect and
// the server handshake of a connection accepted on the SSL listen port, both
// driven by socket watches without blocking.
//
// A client handshake runs on the peer's thread, waiting in one watch at a
// time (conn_rev or conn_wev); the "PEERINFO Timeout" timer armed at the TCP
// connect bounds it and stays armed after it. Its steps run without
// peer_lock: the SSL connection and the socket belong to the peer's thread
// until a queue reads them, and a step's key exchange and certificate check
// would otherwise hold up every sender to the peer. What a step leads to is
// stored under the lock. A server
// handshake runs on the init thread, waiting in one watch of its pending
// record at a time; the accept wait timer armed at the accept bounds it. The
// SSL connection belongs to the handshake until a message queue reads it.
#include "msgq.h"
#include "peer.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace {

constexpr int kLevelNotify = 4;
constexpr size_t kErrorTextBytes = 1024;

enum class Step { kDone, kWantRead, kWantWrite, kFailed };

const char *text_or_none(const char *text)
{
    return text != nullptr ? text : "NONE";
}

// The first queued OpenSSL error, or what else ended the handshake.
std::string error_text(SSL *ssl, int result)
{
    unsigned long error = ERR_peek_error();
    if (error != 0) {
        char text[kErrorTextBytes];
        ERR_error_string_n(error, text, sizeof text);
        return text;
    }
    int kind = ssl != nullptr ? SSL_get_error(ssl, result) : SSL_ERROR_SSL;
    if (kind == SSL_ERROR_SYSCALL && errno != 0)
        return vn_socket_strerror(errno);
    if (kind == SSL_ERROR_SYSCALL || kind == SSL_ERROR_ZERO_RETURN)
        return "connection closed";
    return "no SSL connection";
}

// Only a result of 1 completes a handshake; a handshake that must wait says
// for which direction.
Step handshake_step(SSL *ssl, int (*handshake)(SSL *), int server, std::string *reason)
{
    ERR_clear_error();
    errno = 0;
    int result = handshake(ssl);
    if (result == 1) {
        if (_vn_ssl_check_cert(ssl, server))
            return Step::kDone;
        *reason = "certificate refused";
        return Step::kFailed;
    }
    switch (SSL_get_error(ssl, result)) {
    case SSL_ERROR_WANT_READ: return Step::kWantRead;
    case SSL_ERROR_WANT_WRITE: return Step::kWantWrite;
    default: *reason = error_text(ssl, result); return Step::kFailed;
    }
}

// ---- Client ----

int client_read_watch(sock_t, int, void *data);
int client_write_watch(sock_t, int, void *data);

// The caller holds peer_lock and has forgotten the watch that fired.
void client_failed(peer_t *peer, const std::string &reason)
{
    const char *addr = text_or_none(peer->addr);
    vn_log(peer_event_log, kLevelNotify, "Failed connecting to peer id %d on %s:%d (SSL %s)\n", peer->remote_id,
           addr, peer->port, reason.c_str());
    peer_monitor_event_add(peer, "Failed connecting to peer id %d on %s:%d (SSL %s)", peer->remote_id, addr,
                           peer->port, reason.c_str());
    ERR_print_errors_fp(stderr);
    peer_clear_connect_events(peer);
    peer_connect_failed(peer);
}

void client_connected(peer_t *peer)
{
    std::string cipher = peer_ssl_cipher_text(peer->ssl_handle);
    vn_log(peer_event_log, kLevelNotify, "Connected to peer id %d on %s %d%s\n", peer->remote_id, peer->addr,
           peer->port, cipher.c_str());
    peer_monitor_event_add(peer, "Connected to peer id %d on %s %d%s", peer->remote_id, peer->addr, peer->port,
                           cipher.c_str());
    peer_monitor_update(peer);
    // A new queue is made without a reader first, so that a read watch that
    // fired becomes its reader: a second read watch on the socket would not do.
    if (peer->msgq == nullptr)
        peer_connect1(peer, 0);
    if (peer->msgq != nullptr)
        peer_connect1(peer, 1);
}

// One step of the client handshake. The watch that fired (at most one of the
// two, both null at the start) is kept for the direction it serves; the
// result is that watch's. The caller does not hold peer_lock.
int advance_client(peer_t *peer, vn_read_event_t *fired_read, vn_write_event_t *fired_write)
{
    std::string reason;
    Step step = handshake_step(peer->ssl_handle, SSL_connect, 0, &reason);
    peer_mutex_guard hold(peer->peer_lock);
    switch (step) {
    case Step::kWantRead:
        if (fired_read != nullptr) {
            peer->conn_rev = fired_read;
            return 1;
        }
        peer->conn_rev = vn_add_read_event(peer->sock, client_read_watch, 0, peer);
        return 0;
    case Step::kWantWrite:
        if (fired_write != nullptr) {
            vn_write_event_set_callback(fired_write, client_write_watch, 0, peer);
            peer->conn_wev = fired_write;
            return 1;
        }
        peer->conn_wev = vn_add_write_event(peer->sock, client_write_watch, 0, peer);
        return 0;
    case Step::kDone:
        peer->conn_rev = fired_read;
        client_connected(peer);
        // peer_connect1 took the read watch over as the queue's reader.
        return fired_read != nullptr && peer->conn_rev == nullptr ? 1 : 0;
    case Step::kFailed:
        break;
    }
    client_failed(peer, reason);
    return 0;
}

// The connect events are the peer's thread's own.
int client_read_watch(sock_t, int, void *data)
{
    peer_t *peer = static_cast<peer_t *>(data);
    vn_read_event_t *watch = peer->conn_rev;
    peer->conn_rev = nullptr;
    return advance_client(peer, watch, nullptr);
}

int client_write_watch(sock_t, int, void *data)
{
    peer_t *peer = static_cast<peer_t *>(data);
    vn_write_event_t *watch = peer->conn_wev;
    peer->conn_wev = nullptr;
    return advance_client(peer, nullptr, watch);
}

// ---- Server ----

int server_read_watch(sock_t, int, void *data);
int server_write_watch(sock_t, int, void *data);

void reject(pending_peer_t *pending, const std::string &reason)
{
    vn_log(peer_event_log, kLevelNotify, "Rejecting peer on %s:%d (SSL %s)\n", pending->addr, pending->port,
           reason.c_str());
    ERR_print_errors_fp(stderr);
    // A completed handshake refused for its certificate is closed properly.
    if (SSL_is_init_finished(pending->ssl_handle))
        SSL_shutdown(pending->ssl_handle);
    vn_del_timed_event(pending->conn_tev);
    peer_ssl_pending_abandon(pending);
    peer_free_pending(pending);
}

// One step of the server handshake, as advance_client.
int advance_server(pending_peer_t *pending, vn_read_event_t *fired_read, vn_write_event_t *fired_write)
{
    std::string reason;
    switch (handshake_step(pending->ssl_handle, SSL_accept, 1, &reason)) {
    case Step::kWantRead:
        if (fired_read != nullptr) {
            pending->conn_ev = fired_read;
            return 1;
        }
        pending->conn_ev = vn_add_read_event(pending->sock, server_read_watch, 0, pending);
        return 0;
    case Step::kWantWrite:
        if (fired_write != nullptr) {
            vn_write_event_set_callback(fired_write, server_write_watch, 0, pending);
            pending->conn_wev = fired_write;
            return 1;
        }
        pending->conn_wev = vn_add_write_event(pending->sock, server_write_watch, 0, pending);
        return 0;
    case Step::kDone:
        // The queue takes a read watch that fired over as its reader.
        return peer_pending_read(pending, fired_read) && fired_read != nullptr ? 1 : 0;
    case Step::kFailed:
        break;
    }
    reject(pending, reason);
    return 0;
}

int server_read_watch(sock_t, int, void *data)
{
    pending_peer_t *pending = static_cast<pending_peer_t *>(data);
    vn_read_event_t *watch = pending->conn_ev;
    pending->conn_ev = nullptr;
    return advance_server(pending, watch, nullptr);
}

int server_write_watch(sock_t, int, void *data)
{
    pending_peer_t *pending = static_cast<pending_peer_t *>(data);
    vn_write_event_t *watch = pending->conn_wev;
    pending->conn_wev = nullptr;
    return advance_server(pending, nullptr, watch);
}

} // namespace

int peer_ssl_connect(peer_t *peer, vn_write_event_t *watch)
{
    SSL *ssl = _vn_ssl_c_ctx != nullptr ? SSL_new(_vn_ssl_c_ctx) : nullptr;
    if (ssl == nullptr || SSL_set_fd(ssl, peer->sock) != 1) {
        std::string reason = error_text(nullptr, 0);
        if (ssl != nullptr)
            SSL_free(ssl);
        peer_mutex_guard hold(peer->peer_lock);
        client_failed(peer, reason);
        return 0;
    }
    {
        peer_mutex_guard hold(peer->peer_lock);
        peer->ssl_handle = ssl;
    }
    return advance_client(peer, nullptr, watch);
}

int peer_accept_ssl_connection(sock_t fd, int, void *)
{
    bool paused = false;
    pending_peer_t *pending = peer_accept_pending(fd, " SSL", &paused);
    if (pending == nullptr)
        return paused ? 0 : 1;
    SSL *ssl = _vn_ssl_s_ctx != nullptr ? SSL_new(_vn_ssl_s_ctx) : nullptr;
    if (ssl == nullptr || SSL_set_fd(ssl, pending->sock) != 1) {
        ERR_print_errors_fp(stderr);
        if (ssl != nullptr)
            SSL_free(ssl);
        vn_del_timed_event(pending->conn_tev);
        peer_close_socket(pending->sock);
        peer_free_pending(pending);
        return 1;
    }
    pending->ssl_handle = ssl;
    advance_server(pending, nullptr, nullptr);
    return 1;
}

void peer_ssl_pending_abandon(pending_peer_t *pending)
{
    if (pending->conn_ev != nullptr)
        vn_del_read_event(pending->conn_ev);
    if (pending->conn_wev != nullptr)
        vn_del_write_event(pending->conn_wev);
    pending->conn_ev = nullptr;
    pending->conn_wev = nullptr;
    if (pending->ssl_handle != nullptr)
        SSL_free(pending->ssl_handle);
    pending->ssl_handle = nullptr;
    peer_close_socket(pending->sock);
    pending->sock = -1;
}

std::string peer_ssl_cipher_text(const SSL *ssl)
{
    if (ssl == nullptr)
        return "";
    return std::string(" (SSL ") + SSL_get_cipher_name(ssl) + ")";
}
