// peer.h: the peer module's private header, shared by its files:
//   peer.cpp          the table, options, accessors, statistics counts, sets, XML
//   peer_start.cpp    module start, peer threads, name expansion
//   peer_connect.cpp  outgoing connects, accepts, the handshake, close, status up/down
//   peer_message.cpp  sends, dispatch, heartbeats, the packet log, status messages
//   peer_packet_log.cpp  the packet log's records written outside the peer locks
//
// Threads and locks: a peer's connection state (socket, queue, connect and
// reconnect events, heartbeat timer) is changed on the peer's own thread;
// events of a loop are added and deleted only by that loop's thread, so work
// for a peer is posted through its thread's call channel. Senders on any
// thread serialise per peer on peer_lock. Lock order: peer_lock, then
// peer_global_lock (counters, mon_dirty, the order of packet-log records),
// which is released before a message queue's writeq_lock is taken. No lock
// of these is held across a write to a socket or to the packet log.
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
    vn_write_event_t *conn_wev; // the SSL handshake waits to write
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
// The peer's bit in _vn_peers_up; under the peer's lock it cannot change.
bool peer_marked_up(const peer_t *peer);
void peer_set_remote_type(peer_t *peer, int remote_type);
void peer_recalc_types(void);
// Points a text field that the accessors hand out without a lock (addr,
// remote_name) at a copy of `text`. A text once handed out stays readable
// until its field has changed 15 more times: each field keeps its 16 most
// recent distinct texts and frees older ones. Any thread.
void peer_replace_text(char **field, const char *text);
// The monitoring templates of the peers ("%s.server.peers") and of their
// statistics ("%s.server.peerstats"), named at start-up.
extern std::string &peer_template;
extern std::string &peerstats_template;

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
// Opens a listen socket; -1 with the message in buf on failure.
sock_t get_vantrix_listen_socket(const char *iface, int port, char *buf, size_t buflen);
// Shared with the SSL handshakes of peer_ssl.cpp:
void peer_set_nodelay(sock_t sock);
void peer_close_socket(sock_t sock);
void peer_clear_connect_events(peer_t *peer);
// A failed connect, logged with its text; peer_connect_failed takes the same
// steps without the line: close, count, next address, back-off, close the
// peer with reason 0. The caller holds peer_lock.
void peer_connect_failure(peer_t *peer, const char *text);
void peer_connect_failed(peer_t *peer);
// The queue of a connected link; flag 1 also reads and sends the own
// PEERINFO, and takes over conn_rev as the queue's reader. Caller holds peer_lock.
void peer_connect1(peer_t *peer, int flag);
// The read watch of the plain listen socket.
int peer_accept_connection(sock_t fd, int val, void *data);
// An accepted socket, made non-blocking, logged with `suffix` after the
// address and held in a new pending record with its accept wait timer
// armed; null when the accept failed or was refused. *paused is set when
// the listen watch that fired must end (see peer_accept_listen).
pending_peer_t *peer_accept_pending(sock_t listener, const char *suffix, bool *paused);
// Gives a pending record its queue, reading with pending_read_msg and taking
// over `watch` when one is given; false when it could not be made, and the
// record and its socket are then gone.
bool peer_pending_read(pending_peer_t *pending, vn_read_event_t *watch);
void peer_free_pending(pending_peer_t *pending);
int pending_timeout_connection(int id, int val, void *data);
int pending_read_msg(vn_msgq_t *msgq, vn_msg_t *msg, int val, void *data);

// peer_accept.cpp
// Start the read watches of the plain and SSL listen sockets (timed events
// of the init thread).
int start_peer_accept(int id, int val, void *data);
int start_peer_ssl_accept(int id, int val, void *data);
// Accepts one connection on a listen socket: the socket, or -1. On a full
// descriptor table the listen watch is paused: *paused is set, the watch
// that fired must end (result 0), and a timer brings it back.
sock_t peer_accept_listen(sock_t listener, bool *paused);
// Counts a new connection awaiting its first PEERINFO; false (and the
// refusal logged at most once a second) when the cap is reached.
bool peer_pending_admit(const char *addr, int port);
// A pending record counted by peer_pending_admit is freed.
void peer_pending_released(void);
// Closes an open listen socket with its watch, and drops a pending resume.
void peer_close_listen_socket(sock_t *sock);

// peer_ssl.cpp
// After the TCP connect of an SSL peer, from the connect's write watch
// `watch`: starts the client handshake; the watch's result. The caller does
// not hold peer_lock.
int peer_ssl_connect(peer_t *peer, vn_write_event_t *watch);
// The read watch of the SSL listen socket.
int peer_accept_ssl_connection(sock_t fd, int val, void *data);
// Ends the handshake of a pending record that has no queue yet: its
// watches, its SSL connection and its socket.
void peer_ssl_pending_abandon(pending_peer_t *pending);
// " (SSL cipher)" for a link under SSL, else "".
std::string peer_ssl_cipher_text(const SSL *ssl);

// peer_message.cpp
int peer_read_msg(vn_msgq_t *msgq, vn_msg_t *msg, int val, void *conn);
// Sends the own PEERINFO out of band on `msgq` with its record, written as
// in peer_log_received, so its caller owes no settle.
void peer_send_info_msg(peer_t *conn, vn_msgq_t *msgq);
void peer_heartbeat_setup(peer_t *conn);
int peer_heartbeat_send(int id, int force, void *conn); // timed-event callback
// True while this thread is inside a queue's read callback (a hand-off), where
// the peer's queue must not be freed at once.
bool peer_dispatching(void);
// Writes a received '<' record with the given connection address and stamps
// the receive time (the first PEERINFO of an accepted link); takes peer_global_lock.
// It writes what this thread owes itself (never waiting for the log), so its
// caller, which holds the peer's lock, owes no settle.
void peer_log_received(peer_t *conn, struct in_addr saddr, const vn_msg_t *msg);
// Opens the packet log (with its header) under the configured name; 0 on failure.
int peer_packet_log_open(const char *file_name);

// peer_packet_log.cpp
// The log the records go to (null: none); called at start-up.
void peer_log_writer_set(vn_log_t *log);
// False when no record would be kept (no log, or one on the null device), so
// the sender need not make records at all.
bool peer_log_keeps_records(void);
// Queues one record in the order of the calls; any locks may be held. The
// caller must reach peer_log_settle (a peer_log_turn) once its locks are
// released, or peer_log_drain_owed where it must keep a peer lock: this
// thread may now owe the write of everything pending.
void peer_log_append(const void *head, size_t head_len, const void *payload, size_t payload_len);
// Writes the records queued so far when this thread's record found the log
// idle, else waits only while the log is far behind. Called with no peer
// lock and no statistics lock held, after every operation that made records.
void peer_log_settle(void);
// Only the write of peer_log_settle, never its wait: for the callers that
// hold a peer lock, which the thread that owes the write may need first.
// True when this thread wrote.
bool peer_log_drain_owed(void);
// Runs peer_log_settle at the end of a scope: declare it before the scope's
// lock guards, so that it runs after they have released their locks.
struct peer_log_turn {
    peer_log_turn() = default;
    ~peer_log_turn() { peer_log_settle(); }
    peer_log_turn(const peer_log_turn &) = delete;
    peer_log_turn &operator=(const peer_log_turn &) = delete;
};

// peer_monitor.cpp
// The names and labels of the counters' monitoring members, in counter order.
struct peer_counter_member_t {
    const char *name;
    const char *label;
    const char *rate_label;  // null: the label and " Rate"
    const char *since_label; // null: the label and " Since Reset"
};
extern const peer_counter_member_t peer_counter_members[kPeerCounterCount];
// Publishes the link-up values of a peer whose link came up.
void peer_monitor_update(peer_t *conn);
// Adds a line to the peer's recent-event ring.
void peer_monitor_event_add(peer_t *conn, const char *format, ...) __attribute__((format(printf, 2, 3)));
// The ring's texts, oldest first (at most the 9 newest).
std::vector<std::string> peer_monitor_event_list(const peer_t *conn);
// The publication timer (a peer's or the global record's): value 1 forces
// every value out. Repeats.
int peer_monitor_timed_event(int id, int force, void *record);
// Posts the first, forced publication and the start of the record's timer
// to the thread that owns the record.
void peer_monitor_start(peer_t *record);
// Channel calls on the record's thread.
int mon_reset_counters_direct(int type, void *record);
int mon_set_statistics_interval(int seconds, void *record);
// The getter and methods of the peers and statistics templates.
vn_monitor_t *peer_monitor_events(const char *template_name, const char *key, const char *property);
vn_monitor_t *peer_monitor_reset(const char *template_name, const char *key, const char *property, int argc,
                                 char **argv);
vn_monitor_t *peer_monitor_status(const char *template_name, const char *key, const char *property, int argc,
                                  char **argv);
vn_monitor_t *mon_peer_reset(const char *template_name, const char *key, const char *property, int argc,
                             char **argv);
vn_monitor_t *mon_peer_interval(const char *template_name, const char *key, const char *property, int argc,
                                char **argv);
extern vn_arguments_t peer_monitor_reconnect_args[];
extern vn_arguments_t peer_monitor_interval_args[];
// The UDP words "peer-reconnect", "peer-status-down" and "peer-status-up".
void peer_monitor_register_commands(void);
int peer_udp_reset_connection(int argc, char **argv, int id, void *data);
int peer_udp_status_down(int argc, char **argv, int id, void *data);
int peer_udp_status_up(int argc, char **argv, int id, void *data);

#endif // VANTRIX_PEER_H
