// peer.h: the peer module's private header, shared by its files:
//   peer.cpp          the table, options, accessors, statistics counts, sets, XML
//   peer_start.cpp    module start, peer threads, name expansion
//   peer_connect.cpp  outgoing connects, accepts, the handshake, close, status up/down
//   peer_message.cpp  sends, dispatch, heartbeats, the packet log, status messages
//
// Threads and locks: a peer's connection state (socket, queue, connect and
// reconnect events, heartbeat timer) is changed on the peer's own thread;
// events of a loop are added and deleted only by that loop's thread, so work
// for a peer is posted through its thread's call channel. Senders on any
// thread serialise per peer on peer_lock. Lock order: peer_lock, then
// peer_global_lock (counters, mon_dirty, packet-log writes), which is
// released before a message queue's writeq_lock is taken.
#ifndef VANTRIX_PEER_H
#define VANTRIX_PEER_H

#include "vantrix_private.h"

#include <netinet/in.h>
#include <openssl/ssl.h>
#include <pthread.h>

#include <cstdint>
#include <string>
#include <vector>

// The statistics counters, in the order of their bits in mon_dirty.
enum peer_counter_t {
    kMessagesRead, kMessagesWritten, kBytesRead, kBytesWritten,
    kUpdatesRead, kUpdatesWritten, kRequestsRead, kRequestsWritten,
    kDiscardsRead, kDiscardsWritten, kNodatasRead, kNodatasWritten,
    kNotfoundRead, kNotfoundWritten, kReaddenyRead, kReaddenyWritten,
    kWritedenyRead, kWritedenyWritten, kDeleteobjectRead, kDeleteobjectWritten,
    kUnavailableRead, kUnavailableWritten, kInfoRead, kInfoWritten,
    kStatusRead, kStatusWritten, kHeartbeatsRead, kHeartbeatsWritten,
    kRogueUpdate, kActiveSubscriptions,
    kPeerCounterCount
};

// One counter with the companions the monitoring publication keeps.
struct peer_counter_value_t {
    uint64_t value;
    uint64_t at_reset;
    uint64_t last;
};

// One thread that runs peers: its name, the system thread and its call channel.
struct peer_thread_t {
    char *name;
    pthread_t thread_id;
    tarvelutil_signalany_t *signalany;
};

constexpr int kPeerEventCount = 10;
constexpr int kPeerEventBytes = 200;

// One configured peer. The records are made by the add-peer group (the
// configuration copies default_peer as the template of each) and never move
// once start-up has run.
struct peer_t {
    int num;
    char *mon_name;
    char *label;
    int remote_id;
    char *thread_name;
    char *remote_name;
    int remote_flags;
    int remote_type;
    int local_id;
    char *local_name;
    int local_flags;
    int local_type;
    struct in_addr saddr; // network order: local address of an outgoing link, remote of an accepted one
    char *addr;           // the current link's address text
    int port;
    int current;          // index into the address and port lists
    int addr_num;
    char **addr_array;
    int port_num;         // 0: the peer only accepts
    int *port_array;
    uint16_t last_seqnum;
    int connected;
    sock_t sock;
    vn_msgq_t *msgq;
    int queue_size;
    int delay;
    int failcnt;
    vn_timed_event_t *reconn_ev;
    char ssl;
    SSL *ssl_handle;
    vn_read_event_t *conn_rev;
    vn_write_event_t *conn_wev;
    vn_timed_event_t *conn_tev;
    double request_timeout;
    int heartbeat_time;   // seconds; -1 off
    double heartbeat_slack_time;
    vn_timed_event_t *heartbeat_event;
    time_t last_msg_recv_time;
    time_t last_msg_send_time;
    int connect_timeout;
    char reject_conns;    // 1: disabled, neither connects nor keeps accepted links
    char received_info;
    pthread_mutex_t peer_lock;
    peer_thread_t *thread;
    char events[kPeerEventCount][kPeerEventBytes];
    int events_head;
    int events_tail;
    time_t last_update_time;
    time_t prev_last_update_time;
    int connections_failed;
    double mon_interval;
    vn_timed_event_t *mon_tev;
    uint64_t mon_dirty;
    peer_counter_value_t counters[kPeerCounterCount];
};

// An accepted socket waiting for its first PEERINFO; owned by whichever watch
// or timer holds it, freed when handed over or given up.
struct pending_peer_t {
    sock_t sock;
    struct in_addr saddr;
    char *addr;
    int port;
    vn_timed_event_t *conn_tev;
    vn_msgq_t *msgq;
    SSL *ssl_handle;
    vn_read_event_t *conn_ev;
    peer_t *conn;
    vn_msgq_t *new_msgq;
    vn_infopkt_t *info;
};

// Holds a pthread mutex (peer_lock, peer_global_lock) for a scope.
class peer_mutex_guard {
public:
    explicit peer_mutex_guard(pthread_mutex_t &mutex) : mutex_(mutex) { pthread_mutex_lock(&mutex_); }
    ~peer_mutex_guard() { pthread_mutex_unlock(&mutex_); }
    peer_mutex_guard(const peer_mutex_guard &) = delete;
    peer_mutex_guard &operator=(const peer_mutex_guard &) = delete;

private:
    pthread_mutex_t &mutex_;
};

// peer.cpp
extern peer_t *peer_array;
extern int peer_num;
extern int max_peers;
extern peer_t default_peer;     // the add-peer template and the global statistics record
extern int all_type;
extern vn_set_t _vn_peers_up;
extern vn_set_t _vn_peers_active;
extern pthread_mutex_t peer_global_lock;
extern char *c_vantrix_name;
extern char *c_vantrix_interface;
extern int c_vantrix_port;
extern int c_vantrix_sslport;
extern int c_vantrix_id;
extern char *c_vantrix_pkt_log;
extern int c_peer_thread_pool_size;
extern char c_vantrix_reject_new_peers;
extern char c_vantrix_tcp_nodelay_off;
extern double c_peer_monitor_interval;
extern double c_peer_accept_wait_time;
extern vn_log_t *peer_event_log; // the start-up record's log, set at module start
extern vn_init_t *peer_init_record;
// Adds count to a counter of conn and of default_peer and marks both dirty;
// the caller holds peer_global_lock.
void peer_count(peer_t *conn, peer_counter_t counter, uint64_t count);
// The only writers of the process-wide sets and of remote_type, safe against
// concurrent peer threads and lock-free readers. peer_mark_up/down change the
// peer's bit in _vn_peers_up (call them under the peer's lock);
// peer_set_remote_type stores a learnt remote type and recomputes all_type and
// _vn_peers_active; peer_recalc_types recomputes them from the table.
void peer_mark_up(peer_t *peer);
void peer_mark_down(peer_t *peer);
void peer_set_remote_type(peer_t *peer, int remote_type);
void peer_recalc_types(void);
// The monitoring templates of the peers ("%s.server.peers") and of their
// statistics ("%s.server.peerstats"), named at start-up.
extern std::string peer_template;
extern std::string peerstats_template;

// peer_start.cpp
// Thread records by name (the init thread's is "DefaultPeerThread").
peer_thread_t *new_peer_thread(const char *name);

// peer_connect.cpp
void close_peer(peer_t *peer, int reason); // caller holds peer_lock
void peer_init_info(peer_t *peer, const vn_infopkt_t *info);
// Removes the queue's "msgq" relation, closes and frees it and clears msgq; the caller holds peer_lock.
void peer_drop_queue(peer_t *peer);
// close_peer for the dispatcher of the peer's own queue, which must not free
// the queue under its reader: returns 0 when the reader is to free it (the
// relation is removed and msgq cleared), 1 when it survives. Caller holds peer_lock.
int peer_close_from_reader(peer_t *peer, vn_msgq_t *msgq, int reason);
int peer_connect_to_all(int id, int val, void *data); // timed-event callback
// The peer-reconnect command: a channel call on the peer's thread, index the port to go to.
int peer_reset_connection(int index, void *peer);
extern vn_timed_event_t *peer_connect_ev;
extern sock_t vn_sock;
extern sock_t vn_ssl_sock;
int start_peer_accept(int id, int val, void *data);
int start_peer_ssl_accept(int id, int val, void *data);
// Opens a listen socket; -1 with the message in buf on failure.
sock_t get_vantrix_listen_socket(const char *iface, int port, char *buf, size_t buflen);

// peer_message.cpp
int peer_read_msg(vn_msgq_t *msgq, vn_msg_t *msg, int val, void *conn);
void peer_send_info_msg(peer_t *conn, vn_msgq_t *msgq);
void peer_heartbeat_setup(peer_t *conn);
int peer_heartbeat_send(int id, int force, void *conn); // timed-event callback
// True while this thread is inside a queue's read callback (a hand-off), where
// the peer's queue must not be freed at once.
bool peer_dispatching(void);
// Writes a received '<' record with the given connection address and stamps
// the receive time (the first PEERINFO of an accepted link); takes peer_global_lock.
void peer_log_received(peer_t *conn, struct in_addr saddr, const vn_msg_t *msg);
// Opens the packet log (with its header) under the configured name; 0 on failure.
int peer_packet_log_open(const char *file_name);

// Peer monitoring hook points: publish the peer's values and add a line to its
// recent-event ring (the ring and publication belong to the monitoring work).
void peer_monitor_update(peer_t *conn);
void peer_monitor_event_add(peer_t *conn, const char *format, ...) __attribute__((format(printf, 2, 3)));
// The ring's texts, oldest first (at most the 9 newest).
std::vector<std::string> peer_monitor_event_list(const peer_t *conn);

#endif // VANTRIX_PEER_H
