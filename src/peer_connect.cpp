// Peer connections: outgoing connects with address rotation and back-off,
// the listen sockets, accepted connections held until their first PEERINFO
// names the peer, the hand-over to the peer's thread, closing a link, and the
// status operations that take a peer or the process up or down.
//
// Threads and locks: a peer's socket, queue and connect, reconnect and
// heartbeat events change only on the peer's own thread, under peer_lock
// wherever senders could look (socket, queue, connected). Listening,
// accepting and matching run on the init thread; a matched queue leaves the
// init thread's loop before it is posted to the peer's thread. Lock order:
// peer_lock, then peer_global_lock, released before a queue's writeq_lock.
#include "msgq.h"
#include "peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

vn_timed_event_t *peer_connect_ev;
sock_t vn_sock = -1;
sock_t vn_ssl_sock = -1;

namespace {

constexpr const char *kLocalhost = "127.0.0.1";
constexpr int kMinBacklog = 20;
constexpr int kFailuresPerDelay = 10;
constexpr int kMaxDelay = 32;
constexpr size_t kAddressTextBytes = 18;
constexpr size_t kListenMessageBytes = 256;
constexpr int kLevelNotify = 4;
constexpr int kLevelWarn = 5;
constexpr int kLevelInfo = 6;
constexpr int kReasonConnectFailed = 0;
constexpr int kReasonReset = 2;
constexpr int kPeerUp = 256;
constexpr int kPeerDown = 512;
constexpr int kConnectPassFailed = 1;
constexpr int kConnectUnderWay = 2;
constexpr int kConnectAbandoned = 3;

const char *text_or_none(const char *text)
{
    return text != nullptr ? text : "NONE";
}

void set_connected(peer_t *peer, int connected)
{
    __atomic_store_n(&peer->connected, connected, __ATOMIC_RELEASE);
}

// Runs work on the peer's thread: at once there, else posted without waiting.
void post_to_peer(peer_t *peer, tarvelutil_signalmain_cb_t func, int type, bool queue_always)
{
    if (peer->thread == nullptr || peer->thread->signalany == nullptr)
        return;
    if (queue_always)
        tarvelutil_signalany_send(peer->thread->signalany, type, func, peer, 1);
    else
        tarvelutil_signalany_exec(peer->thread->signalany, type, func, peer, 1);
}



// Closes the link's socket once: through the queue when the queue reads it,
// else directly (a connect under way, or a queue kept from an earlier link).
// The caller holds peer_lock.
void close_link_socket(peer_t *peer)
{
    if (peer->msgq != nullptr && peer->sock >= 0 && peer->msgq->read_fd == peer->sock) {
        vn_close_msgq(peer->msgq); // with the SSL connection the queue reads
    } else {
        // An SSL handshake still under way: no queue holds the connection yet.
        if (peer->ssl_handle != nullptr)
            SSL_free(peer->ssl_handle);
        peer_close_socket(peer->sock);
    }
    peer->ssl_handle = nullptr;
    peer->sock = -1;
}

// ---- Monitoring values ----

void publish_failed_count(const peer_t *peer)
{
    vn_monitor_update(peer_template.c_str(), peer->mon_name,
                      vn_monitor_new_ulong(nullptr, nullptr, "failed-connection-count",
                                           static_cast<uint32_t>(peer->connections_failed)));
}

void count_failed_connection(peer_t *peer)
{
    peer->connections_failed++;
    publish_failed_count(peer);
}

void msgq_relation(const peer_t *peer, const vn_msgq_t *msgq, bool add)
{
    char key[32];
    std::snprintf(key, sizeof key, "%lu", reinterpret_cast<unsigned long>(msgq));
    if (add)
        vn_monitor_add_relation(peer_template.c_str(), peer->mon_name, "msgq", key);
    else
        vn_monitor_del_relation(peer_template.c_str(), peer->mon_name, "msgq", key);
}

// The values a closed link publishes, and its subscriptions forgotten.
void publish_closed(peer_t *peer)
{
    {
        peer_mutex_guard counters(peer_global_lock);
        peer->counters[kActiveSubscriptions] = peer_counter_value_t{};
    }
    const char *stats = peerstats_template.c_str();
    const char *peers = peer_template.c_str();
    vn_monitor_update(stats, peer->mon_name, vn_monitor_new_ullong(nullptr, nullptr, "active-subscriptions-count", 0));
    vn_monitor_update(stats, peer->mon_name,
                      vn_monitor_new_ullong(nullptr, nullptr, "active-subscriptions-count-since-reset", 0));
    vn_monitor_update(stats, peer->mon_name, vn_monitor_new_double(nullptr, nullptr, "active-subscriptions-rate", 0.0));
    vn_monitor_update(peers, peer->mon_name, vn_monitor_new_string(nullptr, nullptr, "connected-address", ""));
    vn_monitor_update(peers, peer->mon_name, vn_monitor_new_string(nullptr, nullptr, "local-address", ""));
    vn_monitor_update(peers, peer->mon_name, vn_monitor_new_ushort(nullptr, nullptr, "connected-port", 0));
    if (peer->addr_num == 0 && peer->port_num == 0)
        vn_monitor_update(peers, peer->mon_name, vn_monitor_new_ushort(nullptr, nullptr, "local-port", 0));
    vn_monitor_update(peers, peer->mon_name, vn_monitor_new_string(nullptr, nullptr, "state", "DOWN"));
}

void log_close_reason(peer_t *peer, int reason)
{
    static const char *const texts[] = {
        "Connection closed to peer %d on %s %d\n",
        "Lost connection to peer %d on %s %d\n",
        "Connection closed to peer %d on %s %d - manual reset\n",
        "Connection closed to peer %d on %s %d - missed heartbeat\n",
        "Connection closed to peer %d on %s %d - invalid message received\n",
    };
    const char *addr = text_or_none(peer->addr);
    if (reason < 0 || reason > 4) {
        peer_monitor_event_add(peer, "Lost connection to peer %d on %s %d", peer->remote_id, addr, peer->port);
        return;
    }
    vn_log(peer_event_log, kLevelNotify, texts[reason], peer->remote_id, addr, peer->port);
    peer_monitor_event_add(peer, texts[reason], peer->remote_id, addr, peer->port);
}

// ---- Back-off ----

// Ten failed passes at one delay double it, up to 32 seconds.
bool count_failed_pass(peer_t *peer)
{
    peer->failcnt++;
    if (peer->failcnt >= kFailuresPerDelay && peer->delay < kMaxDelay) {
        peer->failcnt = 0;
        peer->delay *= 2;
        return true;
    }
    return false;
}

int peer_reconnect(int, int start, void *data);

void arm_reconnect(peer_t *peer)
{
    if (peer->reconn_ev != nullptr)
        vn_del_timed_event(peer->reconn_ev);
    peer->reconn_ev = vn_add_timed_event(0, peer->delay, peer_reconnect, peer->current, peer);
}

void next_address(peer_t *peer)
{
    if (peer->port_num > 0)
        peer->current = (peer->current + 1) % peer->port_num;
}

// ---- Outgoing connects ----


// A port index beyond the address list connects to the last configured
// address, and to the local host only when none is configured.
const char *address_for(const peer_t *peer, int index)
{
    if (index < peer->addr_num)
        return peer->addr_array[index];
    return peer->addr_num > 0 ? peer->addr_array[peer->addr_num - 1] : kLocalhost;
}


int fail_connect(void *data, const char *text, bool timer)
{
    peer_t *peer = static_cast<peer_t *>(data);
    peer_mutex_guard hold(peer->peer_lock);
    // The event that fired is freed by the loop when this returns 0.
    if (timer)
        peer->conn_tev = nullptr;
    else
        peer->conn_rev = nullptr;
    peer_clear_connect_events(peer);
    peer_connect_failure(peer, text);
    return 0;
}

int peer_connect_read_event(sock_t, int, void *data)
{
    return fail_connect(data, "Failed", false);
}

int peer_connect_timeout_nonblocking(int, int, void *data)
{
    return fail_connect(data, "Non-blocking Timeout", true);
}

int peer_connect_timeout_peerinfo(int, int, void *data)
{
    return fail_connect(data, "PEERINFO Timeout", true);
}

void read_local_address(peer_t *peer)
{
    struct sockaddr_in local{};
    socklen_t len = sizeof local;
    if (getsockname(peer->sock, reinterpret_cast<struct sockaddr *>(&local), &len) == 0)
        peer->saddr = local.sin_addr;
}



int peer_connect_write_event(sock_t fd, int, void *data)
{
    peer_t *peer = static_cast<peer_t *>(data);
    vn_write_event_t *watch;
    {
        peer_mutex_guard hold(peer->peer_lock);
        watch = peer->conn_wev;
        peer->conn_wev = nullptr;
        peer_clear_connect_events(peer);
        // A refused connect shows only in the socket's pending error.
        int error = 0;
        socklen_t len = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) < 0)
            error = errno;
        if (error != 0) {
            peer_connect_failure(peer, vn_socket_strerror(error));
            return 0;
        }
        peer->conn_tev = vn_add_timed_event(0, peer->connect_timeout, peer_connect_timeout_peerinfo, 0, peer);
        peer_set_nodelay(peer->sock);
        peer->connections_failed = 0;
        publish_failed_count(peer);
        peer->ssl_handle = nullptr;
        if (!peer->ssl) {
            vn_log(peer_event_log, kLevelNotify, "Connected to peer id %d on %s %d\n", peer->remote_id, peer->addr,
                   peer->port);
            peer_monitor_event_add(peer, "Connected to peer id %d on %s %d", peer->remote_id, peer->addr,
                                   peer->port);
            peer_monitor_update(peer);
            peer_connect1(peer, 1);
            return 0;
        }
    }
    return peer_ssl_connect(peer, watch);
}

// Whether a connect opened without peer_lock may still be stored: the peer
// was not disabled and took no other link while the lock was free. The
// caller holds peer_lock.
bool may_store_connect(const peer_t *peer)
{
    return !peer->reject_conns && !peer->connected && peer->sock == -1;
}

// A connect that failed at once: counted, logged, and the next address
// chosen; true when this pass is over.
bool connect_failed_at_once(peer_t *peer, int start, int error)
{
    bool pass_done;
    {
        peer_mutex_guard hold(peer->peer_lock);
        next_address(peer);
        pass_done = peer->current == start;
    }
    count_failed_connection(peer);
    vn_log(peer_event_log, kLevelNotify, "Failed connecting to peer id %d on %s %d (%s)\n", peer->remote_id,
           peer->addr, peer->port, vn_socket_strerror(error));
    return pass_done;
}

// Opens a non-blocking connect to the current address; 1 when every address
// of this pass failed at once, 2 when a connect is under way, 3 when the
// peer was disabled or linked while its connect was being opened.
//
// Name resolution can block for seconds, so the socket is opened without
// peer_lock, which senders and the init thread's matching take. Only this
// thread changes the peer's address, port and socket, so what was read
// under the lock stays valid while it is free.
int peer_connect(peer_t *peer, int start)
{
    for (;;) {
        std::string host;
        u_short port;
        {
            peer_mutex_guard hold(peer->peer_lock);
            peer_replace_text(&peer->addr, address_for(peer, peer->current));
            peer->port = peer->port_array[peer->current];
            host = peer->addr;
            port = static_cast<u_short>(peer->port);
        }
        peer_monitor_event_add(peer, "Connecting to peer id %d on %s %d", peer->remote_id, host.c_str(), port);
        vn_log(peer_event_log, kLevelNotify, "Connecting to peer id %d on %s %d\n", peer->remote_id, host.c_str(),
               port);
        sock_t sock = vn_client_socket_nonblocking(host.c_str(), port);
        int error = errno;
        {
            peer_mutex_guard hold(peer->peer_lock);
            if (!may_store_connect(peer)) {
                peer_close_socket(sock);
                return kConnectAbandoned;
            }
            peer->sock = sock;
        }
        if (sock >= 0)
            break;
        if (connect_failed_at_once(peer, start, error))
            return kConnectPassFailed;
    }
    peer->conn_rev = vn_add_read_event(peer->sock, peer_connect_read_event, 0, peer);
    peer->conn_wev = vn_add_write_event(peer->sock, peer_connect_write_event, start, peer);
    peer->conn_tev = vn_add_timed_event(0, peer->connect_timeout, peer_connect_timeout_nonblocking, 0, peer);
    return kConnectUnderWay;
}

int peer_reconnect(int, int start, void *data)
{
    peer_t *peer = static_cast<peer_t *>(data);
    if (peer_connect(peer, start) != kConnectPassFailed) {
        peer->reconn_ev = nullptr;
        return 0;
    }
    if (count_failed_pass(peer))
        vn_set_timed_delay(peer->reconn_ev, peer->delay);
    return 1;
}

// Starts connecting a peer that is enabled, has ports and is idle.
void connect_if_idle(peer_t *peer)
{
    {
        peer_mutex_guard hold(peer->peer_lock);
        if (peer->port_num < 1 || peer->reject_conns || peer->connected || peer->reconn_ev != nullptr ||
            peer->conn_rev != nullptr)
            return;
    }
    if (peer_connect(peer, 0) == kConnectPassFailed) {
        peer->delay = 1;
        peer->failcnt = 0;
        arm_reconnect(peer);
    }
}

// The connect-all post; value 0 also enables a disabled peer.
int peer_connect_signal(int val, void *data)
{
    peer_t *peer = static_cast<peer_t *>(data);
    if (val == 0) {
        peer_mutex_guard hold(peer->peer_lock);
        peer->reject_conns = 0;
    }
    connect_if_idle(peer);
    return 0;
}

// ---- Status ----

int set_status_up_to_peer(int, void *data)
{
    peer_t *peer = static_cast<peer_t *>(data);
    vn_log(peer_event_log, kLevelNotify, "Setting status of peer %d to UP\n", peer->num);
    return peer_connect_signal(0, peer);
}

int set_status_down_to_peer(int, void *data)
{
    peer_t *peer = static_cast<peer_t *>(data);
    vn_log(peer_event_log, kLevelNotify, "Setting status of peer %d to DOWN\n", peer->num);
    peer_mutex_guard hold(peer->peer_lock);
    // A link still connecting or waiting for PEERINFO has its socket closed
    // too, so that the remote end sees it go.
    close_link_socket(peer);
    close_peer(peer, kReasonConnectFailed);
    if (peer->reconn_ev != nullptr) {
        vn_del_timed_event(peer->reconn_ev);
        peer->reconn_ev = nullptr;
    }
    peer->reject_conns = 1;
    return 0;
}

// Opens a listen socket that is closed and arms the start of its accepts.
void reopen_listen_socket(sock_t *sock, int port, vn_timed_event_cb start)
{
    if (port == 0 || *sock != -1)
        return;
    char message[kListenMessageBytes];
    *sock = get_vantrix_listen_socket(c_vantrix_interface, port, message, sizeof message);
    if (*sock < 0)
        std::fprintf(stderr, "%s\n", message);
    else
        vn_add_timed_event(0, 0.0, start, 0, nullptr);
}

int set_status_up(int, void *)
{
    reopen_listen_socket(&vn_sock, c_vantrix_port, start_peer_accept);
    if (_vn_ssl_server_enabled())
        reopen_listen_socket(&vn_ssl_sock, c_vantrix_sslport, start_peer_ssl_accept);
    if (peer_connect_ev != nullptr)
        vn_del_timed_event(peer_connect_ev);
    peer_connect_ev = vn_add_timed_event(0, 0.0, peer_connect_to_all, 0, nullptr);
    return 0;
}

int set_status_down(int, void *)
{
    peer_close_listen_socket(&vn_sock);
    peer_close_listen_socket(&vn_ssl_sock);
    if (peer_connect_ev != nullptr) {
        vn_del_timed_event(peer_connect_ev);
        peer_connect_ev = nullptr;
    }
    for (int peer = 0; peer < vn_num_peers; peer++)
        vn_set_status_down_to_peer(peer);
    return 0;
}

void post_to_init_thread(tarvelutil_signalmain_cb_t func)
{
    const peer_thread_t *thread = default_peer.thread;
    if (thread != nullptr && thread->signalany != nullptr)
        tarvelutil_signalany_exec(thread->signalany, 0, func, nullptr, 1);
}

// ---- Accepting ----



// The peer a PEERINFO names: an enabled accept-only peer with that remote id
// first, else the first peer with it.
peer_t *match_peer(int remote_id)
{
    peer_t *fallback = nullptr;
    for (int i = 0; i < vn_num_peers; i++) {
        peer_t *peer = &peer_array[i];
        peer_mutex_guard hold(peer->peer_lock);
        if (peer->remote_id != remote_id)
            continue;
        if (peer->port_num == 0 && !peer->reject_conns)
            return peer;
        if (fallback == nullptr)
            fallback = peer;
    }
    return fallback;
}

// Gives a pending connection up; the reader frees the queue on result 0.
int refuse_pending(pending_peer_t *pending, vn_msgq_t *msgq)
{
    vn_close_msgq(msgq);
    peer_free_pending(pending);
    return 0;
}

int peer_recv_connection(int mask, void *data);

// ---- Hand-over ----

// The peer already has a live link: with reject-new-peers off it is replaced,
// else the newcomer is refused. true when the newcomer may go on.
bool settle_old_link(peer_t *peer, pending_peer_t *pending)
{
    if (!c_vantrix_reject_new_peers && peer->sock != -1) {
        close_link_socket(peer);
        close_peer(peer, kReasonConnectFailed);
    }
    if (!peer->reject_conns && peer->sock == -1)
        return true;
    if (peer->sock != -1)
        vn_log(peer_event_log, kLevelNotify, "Rejecting peer on %s:%d with id %d\n", pending->addr, pending->port,
               pending->info->id);
    vn_close_msgq(pending->new_msgq);
    vn_free_msgq(pending->new_msgq);
    peer_free_pending(pending);
    return false;
}

// Moves what a queue kept from an earlier link into the new one, which has
// sent nothing but its PEERINFO: the kept frames go next, in order, and only
// the new queue ever writes the new socket. The caller holds peer_lock, so
// no sender appends behind them to either queue meanwhile.
void carry_old_queue(peer_t *peer, vn_msgq_t *old_queue, vn_msgq_t *new_queue)
{
    msgq_relation(peer, old_queue, false);
    vn_msgq_copy_queue(new_queue, old_queue);
    vn_free_msgq(old_queue);
}

// The caller holds peer_lock.
void take_pending(peer_t *peer, pending_peer_t *pending, int mask)
{
    vn_msgq_t *queue = pending->new_msgq;
    peer_init_info(peer, pending->info);
    peer->sock = pending->sock;
    peer->saddr = pending->saddr;
    peer_replace_text(&peer->addr, pending->addr);
    peer->port = pending->port;
    peer->ssl_handle = pending->ssl_handle;
    vn_msgq_write_queue_set(queue, peer->queue_size);
    _vn_msgq_frame_limit_set(queue, 0);
    vn_msgq_callback_set(queue, peer_read_msg, 0, peer);
    vn_msgq_add_to_thread(queue, mask);
    peer_send_info_msg(peer, queue);
    if (peer->msgq != nullptr)
        carry_old_queue(peer, peer->msgq, queue);
    peer->msgq = queue;
    msgq_relation(peer, queue, true);
}

int peer_recv_connection(int mask, void *data)
{
    pending_peer_t *pending = static_cast<pending_peer_t *>(data);
    peer_t *peer = pending->conn;
    {
        peer_mutex_guard hold(peer->peer_lock);
        if (!settle_old_link(peer, pending))
            return 0;
        take_pending(peer, pending, mask);
    }
    peer_free_pending(pending);
    peer_heartbeat_setup(peer);
    _vn_peer_handoff.recv_peer_status(peer->num, kPeerUp, peer->remote_id, peer->remote_name);
    std::string cipher = peer_ssl_cipher_text(peer->ssl_handle);
    vn_log(peer_event_log, kLevelNotify, "Accepting peer id %d on %s %d%s\n", peer->remote_id, peer->addr,
           peer->port, cipher.c_str());
    peer_monitor_update(peer);
    peer_monitor_event_add(peer, "Accepting peer id %d on %s %d%s", peer->remote_id, peer->addr, peer->port,
                           cipher.c_str());
    return 0;
}

// Reconnection after a lost link; the caller holds peer_lock.
void arm_reconnect_after_close(peer_t *peer)
{
    if (peer->port_num < 1 || peer->reconn_ev != nullptr)
        return;
    if (peer->received_info) {
        peer->delay = 1;
        peer->failcnt = 0;
    } else {
        count_failed_connection(peer);
        next_address(peer);
        count_failed_pass(peer);
    }
    arm_reconnect(peer);
}

} // namespace

// ---- Shared with the SSL handshakes ----

void peer_set_nodelay(sock_t sock)
{
    if (c_vantrix_tcp_nodelay_off)
        return;
    int on = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void peer_close_socket(sock_t sock)
{
    if (sock < 0)
        return;
    shutdown(sock, SHUT_WR);
    close(sock);
}

void peer_clear_connect_events(peer_t *peer)
{
    if (peer->conn_tev != nullptr) {
        vn_del_timed_event(peer->conn_tev);
        peer->conn_tev = nullptr;
    }
    if (peer->conn_rev != nullptr) {
        vn_del_read_event(peer->conn_rev);
        peer->conn_rev = nullptr;
    }
    if (peer->conn_wev != nullptr) {
        vn_del_write_event(peer->conn_wev);
        peer->conn_wev = nullptr;
    }
}

// The caller holds peer_lock.
void peer_connect_failure(peer_t *peer, const char *text)
{
    vn_log(peer_event_log, kLevelNotify, "Failed connecting to peer id %d on %s %d (%s)\n", peer->remote_id,
           text_or_none(peer->addr), peer->port, text);
    peer_connect_failed(peer);
}

void peer_connect_failed(peer_t *peer)
{
    close_link_socket(peer);
    count_failed_connection(peer);
    next_address(peer);
    count_failed_pass(peer);
    arm_reconnect(peer);
    close_peer(peer, kReasonConnectFailed);
}

// The queue of a connected socket: a new one, or the one that kept the
// messages of an earlier link. flag 1 reads with the dispatcher and sends the
// own PEERINFO; nothing queued goes out until the remote PEERINFO arrives.
// The caller holds peer_lock.
void peer_connect1(peer_t *peer, int flag)
{
    if (peer->msgq == nullptr) {
        peer->msgq = vn_new_msgq(peer->sock, 1, flag ? peer_read_msg : nullptr, peer->ssl_handle, 0, peer);
        if (peer->msgq == nullptr) {
            peer_connect_failure(peer, "no message queue");
            return;
        }
        vn_msgq_write_queue_set(peer->msgq, peer->queue_size);
        msgq_relation(peer, peer->msgq, true);
    } else if (flag) {
        vn_msgq_callback_set(peer->msgq, peer_read_msg, 0, peer);
        if (peer->conn_rev != nullptr) {
            vn_msgq_callback_set_from_event(peer->msgq, peer_read_msg, 0, peer, peer->conn_rev);
            peer->conn_rev = nullptr;
        }
        vn_msgq_read_socket_set(peer->msgq, peer->sock, peer->ssl_handle);
        vn_msgq_write_socket_set(peer->msgq, peer->sock, peer->ssl_handle);
    }
    read_local_address(peer);
    if (flag) {
        peer_send_info_msg(peer, peer->msgq);
        vn_msgq_write_socket_set(peer->msgq, -1, nullptr);
    }
}

pending_peer_t *peer_accept_pending(sock_t listener, const char *suffix, bool *paused)
{
    sock_t sock = peer_accept_listen(listener, paused);
    if (sock < 0)
        return nullptr;
    vn_setnonblocking(sock);
    struct sockaddr_in remote{};
    socklen_t len = sizeof remote;
    char text[kAddressTextBytes] = "";
    int port = 0;
    if (getpeername(sock, reinterpret_cast<struct sockaddr *>(&remote), &len) == 0) {
        if (inet_ntop(AF_INET, &remote.sin_addr, text, sizeof text) == nullptr)
            text[0] = '\0';
        port = ntohs(remote.sin_port);
    }
    if (!peer_pending_admit(text, port)) {
        peer_close_socket(sock);
        return nullptr;
    }
    vn_log(peer_event_log, kLevelInfo, "Accepted connection from %s %d%s\n", text, port, suffix);
    peer_set_nodelay(sock);
    pending_peer_t *pending = static_cast<pending_peer_t *>(vn_calloc(1, sizeof(pending_peer_t)));
    pending->sock = sock;
    pending->saddr = remote.sin_addr;
    pending->addr = vn_strdup(text);
    pending->port = port;
    // Armed at once, so that the wait bounds an SSL handshake as well.
    pending->conn_tev = vn_add_timed_event(0, c_peer_accept_wait_time, pending_timeout_connection, 0, pending);
    return pending;
}

bool peer_pending_read(pending_peer_t *pending, vn_read_event_t *watch)
{
    pending->msgq = vn_new_msgq(pending->sock, 1, watch != nullptr ? nullptr : pending_read_msg,
                                pending->ssl_handle, 0, pending);
    if (pending->msgq == nullptr) {
        vn_del_timed_event(pending->conn_tev);
        if (pending->ssl_handle != nullptr)
            SSL_free(pending->ssl_handle);
        peer_close_socket(pending->sock);
        peer_free_pending(pending);
        return false;
    }
    // Nothing big is allocated for what an unknown sender announces first.
    _vn_msgq_frame_limit_set(pending->msgq, VN_MSGQ_PENDING_FRAME_LIMIT);
    if (watch != nullptr)
        vn_msgq_callback_set_from_event(pending->msgq, pending_read_msg, 0, pending, watch);
    return true;
}

void peer_free_pending(pending_peer_t *pending)
{
    if (pending->info != nullptr)
        vn_free_infopkt(pending->info);
    vn_free(pending->addr);
    vn_free(pending);
    peer_pending_released();
}

// Also ends an SSL handshake that has not completed: its queue does not
// exist yet, and the handshake's watches and connection go with the socket.
int pending_timeout_connection(int, int, void *data)
{
    pending_peer_t *pending = static_cast<pending_peer_t *>(data);
    vn_log(peer_event_log, kLevelNotify, "Timing out attempted peer connection from %s:%d\n", pending->addr,
           pending->port);
    pending->conn_tev = nullptr;
    if (pending->msgq != nullptr) {
        vn_close_msgq(pending->msgq);
        vn_free_msgq(pending->msgq);
    } else {
        peer_ssl_pending_abandon(pending);
    }
    peer_free_pending(pending);
    return 0;
}

int pending_read_msg(vn_msgq_t *msgq, vn_msg_t *msg, int, void *data)
{
    pending_peer_t *pending = static_cast<pending_peer_t *>(data);
    if (pending->conn_tev != nullptr) {
        vn_del_timed_event(pending->conn_tev);
        pending->conn_tev = nullptr;
    }
    vn_infopkt_t *info = nullptr;
    if (msg->type == VN_PEERINFO) {
        info = static_cast<vn_infopkt_t *>(vn_calloc(1, sizeof(vn_infopkt_t)));
        if (vn_infopkt_parse(info, msg->msg, msg->len) != 0) {
            vn_log(peer_event_log, kLevelWarn, "Bad VN_PEERINFO packet of length %d\n", static_cast<int>(msg->len));
            vn_free_infopkt(info);
            info = nullptr;
        }
    }
    if (info == nullptr) {
        if (pending->ssl_handle != nullptr)
            vn_log(peer_event_log, kLevelNotify, "Rejecting peer on %s:%d with packet type %d (SSL %s)\n",
                   pending->addr, pending->port, msg->type, SSL_get_cipher_name(pending->ssl_handle));
        else
            vn_log(peer_event_log, kLevelNotify, "Rejecting peer on %s:%d with packet type %d\n", pending->addr,
                   pending->port, msg->type);
        return refuse_pending(pending, msgq);
    }
    pending->info = info;
    peer_t *peer = match_peer(info->id);
    if (peer == nullptr || peer->thread == nullptr) {
        vn_log(peer_event_log, kLevelNotify, "Rejecting peer on %s:%d with id %d\n", pending->addr, pending->port,
               info->id);
        return refuse_pending(pending, msgq);
    }
    {
        peer_mutex_guard hold(peer->peer_lock);
        if (peer->reject_conns || peer->port_num >= 1)
            return refuse_pending(pending, msgq);
        peer->received_info = 1;
        pending->conn = peer;
        pending->new_msgq = msgq;
        peer_log_received(peer, pending->saddr, msg);
    }
    int mask = vn_msgq_remove_from_thread(msgq);
    tarvelutil_signalany_send(peer->thread->signalany, mask, peer_recv_connection, pending, 1);
    return -1;
}

// ---- Closing ----

void peer_drop_queue(peer_t *peer)
{
    if (peer->msgq == nullptr)
        return;
    msgq_relation(peer, peer->msgq, false);
    vn_close_msgq(peer->msgq);
    vn_free_msgq(peer->msgq);
    peer->msgq = nullptr;
}

void close_peer(peer_t *peer, int reason)
{
    if (peer->heartbeat_event != nullptr) {
        vn_del_timed_event(peer->heartbeat_event);
        peer->heartbeat_event = nullptr;
    }
    peer_clear_connect_events(peer);
    publish_closed(peer);
    log_close_reason(peer, reason);
    if (reason == kReasonConnectFailed || peer->queue_size == 0)
        peer_drop_queue(peer);
    peer_mark_down(peer);
    peer->sock = -1;
    // The link's queue owns its SSL connection and frees it when it closes.
    peer->ssl_handle = nullptr;
    if (reason != kReasonConnectFailed)
        arm_reconnect_after_close(peer);
    if (peer->connected) {
        pthread_mutex_unlock(&peer->peer_lock);
        _vn_peer_handoff.recv_peer_status(peer->num, kPeerDown, peer->remote_id, peer->remote_name);
        pthread_mutex_lock(&peer->peer_lock);
        set_connected(peer, 0);
    }
}

int peer_close_from_reader(peer_t *peer, vn_msgq_t *msgq, int reason)
{
    bool survives = reason != kReasonConnectFailed && peer->queue_size != 0;
    if (!survives && peer->msgq == msgq) {
        msgq_relation(peer, msgq, false);
        peer->msgq = nullptr;
    }
    close_peer(peer, reason);
    return survives ? 1 : 0;
}

void peer_init_info(peer_t *peer, const vn_infopkt_t *info)
{
    set_connected(peer, 1);
    peer_mark_up(peer);
    peer->remote_id = info->id;
    peer_replace_text(&peer->remote_name, info->name);
    peer->remote_flags = info->flags;
    peer_set_remote_type(peer, info->type);
}

int peer_reset_connection(int index, void *data)
{
    peer_t *peer = static_cast<peer_t *>(data);
    peer_mutex_guard hold(peer->peer_lock);
    peer->reject_conns = 0;
    if (!peer->connected || peer->port_num < 1)
        return 0;
    vn_log(peer_event_log, kLevelNotify, "Requesting reconnection of peer %d\n", peer->num);
    if (index < 0 || index >= peer->port_num)
        index = 0;
    peer_drop_queue(peer);
    peer->current = index;
    close_peer(peer, kReasonReset);
    return 0;
}

int peer_accept_connection(sock_t fd, int, void *)
{
    bool paused = false;
    pending_peer_t *pending = peer_accept_pending(fd, "", &paused);
    if (pending != nullptr)
        peer_pending_read(pending, nullptr);
    return paused ? 0 : 1;
}

int peer_connect_to_all(int, int val, void *)
{
    for (int i = 0; i < vn_num_peers; i++)
        post_to_peer(&peer_array[i], peer_connect_signal, val, true);
    peer_connect_ev = nullptr;
    return 0;
}

sock_t get_vantrix_listen_socket(const char *iface, int port, char *buf, size_t buflen)
{
    struct in_addr address;
    if (iface != nullptr && vn_getaddr(iface, &address) < 0) {
        std::snprintf(buf, buflen, "Invalid Vantro address %s:%d\n", iface, port);
        return -1;
    }
    int backlog = std::max(peer_num, kMinBacklog);
    sock_t sock = vn_listen_socket_log(iface != nullptr ? &address : nullptr, port, backlog, peer_event_log,
                                       "vantrix peer");
    if (sock < 0)
        std::snprintf(buf, buflen, "Cannot listen to vantrix port %s:%d: %s\n", iface != nullptr ? iface : "0.0.0.0",
                      port, vn_socket_strerror(errno));
    return sock;
}

extern "C" {

void vn_set_status_up_to_peer(int peer)
{
    peer_t *conn = _vn_peer(peer);
    if (conn != nullptr)
        post_to_peer(conn, set_status_up_to_peer, 0, false);
}

void vn_set_status_down_to_peer(int peer)
{
    peer_t *conn = _vn_peer(peer);
    // Inside a read callback the queue being read must not be freed at once.
    if (conn != nullptr)
        post_to_peer(conn, set_status_down_to_peer, 0, peer_dispatching());
}

void vn_set_status_up(void)
{
    post_to_init_thread(set_status_up);
}

void vn_set_status_down(void)
{
    post_to_init_thread(set_status_down);
}

} // extern "C"
