// Peer messages: sends to one peer or to all, the PEERINFO and status
// messages, the dispatcher of an established link, heartbeats and the binary
// packet log.
//
// Threads and locks: the dispatcher and the heartbeat timer run on the peer's
// own thread; sends run on any thread and serialise per peer on peer_lock.
// Counters change and packet-log records are queued only under
// peer_global_lock, taken after peer_lock and released before the queue's
// writeq_lock is taken; the records are written to the log after the locks
// are released (peer_packet_log.cpp). The dispatcher holds no lock while it
// hands a message on, so the receivers may send to the same peer.
#include "msgq.h"
#include "peer.h"

#include <sys/time.h>
#include <sys/uio.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr int kPacketLogVersion = 4;
constexpr size_t kRecordBytes = 28;
constexpr size_t kTimeZoneBytes = 64;
constexpr char kSent = '>';
constexpr char kReceived = '<';
constexpr uint16_t kStatusMsgFlags = 0x0400;
constexpr uint16_t kStatusMsgType = 0x0100;
constexpr uint16_t kNoHeartbeats = 0xFFFF;
constexpr int kMaxHeartbeatPeriod = 32767; // the wire carries a signed 16-bit period
constexpr int kLocalFlagAutoReplay = 4;
constexpr int kRemoteTypeActive = 1;
constexpr uint16_t kReplayPassFlag = 0x2000;
constexpr int kLevelNotify = 4;
constexpr int kLevelWarn = 5;
constexpr int kReasonLost = 1;
constexpr int kReasonMissedHeartbeat = 3;
constexpr int kReasonInvalidMessage = 4;
constexpr int kPeerUp = 256;
constexpr int kPeersPerCount = 64; // peers of a send to all counted under one hold of the statistics lock

vn_log_t *packet_log; // null when no peer is configured

// Writes big-endian values into a buffer whose size the caller fixed.
struct RecordWriter {
    unsigned char *at;

    void u8(unsigned value) { *at++ = static_cast<unsigned char>(value); }
    void u16(uint32_t value)
    {
        u8(value >> 8);
        u8(value & 0xFF);
    }
    void u32(uint32_t value)
    {
        u16(value >> 16);
        u16(value & 0xFFFF);
    }
};

struct timeval time_now()
{
    struct timeval now;
    gettimeofday(&now, nullptr);
    return now;
}

// One 28-byte header and the payload, queued whole for the log's writer so
// that records of different threads never interleave; the caller holds
// peer_global_lock, which orders them.
void log_packet(const peer_t *conn, char direction, const vn_msg_t *msg, const struct timeval &stamp,
                struct in_addr saddr)
{
    if (!peer_log_keeps_records())
        return;
    unsigned char head[kRecordBytes];
    RecordWriter out{head};
    out.u32(static_cast<uint32_t>(stamp.tv_sec));
    out.u32(static_cast<uint32_t>(stamp.tv_usec));
    std::memcpy(out.at, &saddr.s_addr, 4); // already in network order
    out.at += 4;
    out.u8(static_cast<unsigned char>(direction));
    out.u8(0);
    out.u16(msg->type);
    out.u16(static_cast<uint32_t>(conn->remote_id) & 0xFFFF);
    out.u16(static_cast<uint32_t>(conn->num) & 0xFFFF);
    out.u32(msg->len);
    out.u32(0);
    peer_log_append(head, kRecordBytes, msg->msg, msg->len);
}

void log_packet(const peer_t *conn, char direction, const vn_msg_t *msg, const struct timeval &stamp)
{
    log_packet(conn, direction, msg, stamp, conn->saddr);
}

// The reason counters of a no-data record, by its flags value 1 to 5.
peer_counter_t nodata_reason_counter(uint16_t reason, bool read)
{
    static const peer_counter_t read_counters[] = {kNotfoundRead, kReaddenyRead, kWritedenyRead,
                                                   kDeleteobjectRead, kUnavailableRead};
    static const peer_counter_t written_counters[] = {kNotfoundWritten, kReaddenyWritten, kWritedenyWritten,
                                                      kDeleteobjectWritten, kUnavailableWritten};
    if (reason < VN_NODATA_NOTFOUND || reason > VN_NODATA_NOTFOUND + 4)
        return kPeerCounterCount;
    return (read ? read_counters : written_counters)[reason - VN_NODATA_NOTFOUND];
}

// Counts one sent message by its type and stamps the send time; the caller
// holds peer_global_lock.
void count_sent(peer_t *conn, const vn_msg_t *msg, uint16_t flags, time_t seconds)
{
    peer_count(conn, kMessagesWritten, 1);
    peer_count(conn, kBytesWritten, msg->len);
    switch (msg->type) {
    case VN_DATAUPDATE:
        peer_count(conn, kUpdatesWritten, 1);
        break;
    case VN_NODATA: {
        peer_count(conn, kNodatasWritten, 1);
        peer_counter_t reason = nodata_reason_counter(flags, false);
        if (reason != kPeerCounterCount)
            peer_count(conn, reason, 1);
        break;
    }
    case VN_PEERINFO:
        peer_count(conn, kInfoWritten, 1);
        break;
    case VN_STATUS:
        peer_count(conn, kStatusWritten, 1);
        break;
    case VN_HEARTBEAT:
        peer_count(conn, kHeartbeatsWritten, 1);
        break;
    default:
        break;
    }
    conn->last_msg_send_time = seconds;
}

// count_sent and the '>' record; the caller holds peer_global_lock.
void note_sent(peer_t *conn, const vn_msg_t *msg, uint16_t flags, const struct timeval &stamp)
{
    count_sent(conn, msg, flags, stamp.tv_sec);
    log_packet(conn, kSent, msg, stamp);
}

// Sent updates not yet added to their peers' counters. Without packet-log
// records, a thread that runs a loop adds them once, just before its loop
// waits again, instead of under the statistics lock for every update; a
// thread without a loop counts each send at once. Each thread owns its own.
struct owed_send_t {
    uint64_t updates = 0;
    uint64_t bytes = 0;
    time_t last_send = 0;
};

struct owed_sends_t {
    std::vector<owed_send_t> by_peer; // by peer number
    std::vector<int> owing;           // the peers something is owed to
    bool settle_asked = false;        // the loop settles before it waits
};
thread_local owed_sends_t owed_sends;

__attribute__((noinline)) owed_sends_t &this_thread_sends()
{
    return owed_sends;
}

// Adds what this thread owes to its peers' counters; the caller holds no lock.
void settle_sends(owed_sends_t &owed)
{
    owed.settle_asked = false;
    if (owed.owing.empty())
        return;
    {
        peer_mutex_guard counters(peer_global_lock);
        for (int peer : owed.owing) {
            owed_send_t &sent = owed.by_peer[static_cast<size_t>(peer)];
            peer_t *conn = &peer_array[peer];
            peer_count(conn, kMessagesWritten, sent.updates);
            peer_count(conn, kBytesWritten, sent.bytes);
            peer_count(conn, kUpdatesWritten, sent.updates);
            // Another thread may have stamped a later send meanwhile.
            conn->last_msg_send_time = std::max(conn->last_msg_send_time, sent.last_send);
            sent = owed_send_t{};
        }
    }
    owed.owing.clear();
}

void settle_this_thread_sends()
{
    settle_sends(this_thread_sends());
}

// True when an update's count may wait for this thread's loop.
bool may_owe_update(owed_sends_t &owed)
{
    if (!owed.settle_asked)
        owed.settle_asked = _vn_event_before_wait(settle_this_thread_sends) != 0;
    return owed.settle_asked;
}

void owe_update(owed_sends_t &owed, const peer_t *conn, const vn_msg_t *msg, time_t seconds)
{
    size_t peer = static_cast<size_t>(conn - peer_array);
    if (owed.by_peer.size() <= peer)
        owed.by_peer.resize(std::max(peer + 1, static_cast<size_t>(vn_num_peers)));
    owed_send_t &sent = owed.by_peer[peer];
    if (sent.updates == 0)
        owed.owing.push_back(static_cast<int>(peer));
    sent.updates++;
    sent.bytes += msg->len;
    sent.last_send = seconds;
}

// The sender's owed counts when this update may be counted later, else null.
owed_sends_t *owed_for(const vn_msg_t *msg)
{
    if (msg->type != VN_DATAUPDATE)
        return nullptr;
    owed_sends_t &owed = this_thread_sends();
    return may_owe_update(owed) ? &owed : nullptr;
}

// Where records are kept, each is made under peer_lock before its frame is
// queued, so that the log has a peer's records in the order of its frames.
// The caller holds a peer_log_turn.
void send_recorded(peer_t *conn, vn_msg_t *msg, uint16_t flags, const struct timeval &stamp)
{
    peer_mutex_guard hold(conn->peer_lock);
    if (conn->msgq == nullptr)
        return;
    {
        peer_mutex_guard counters(peer_global_lock);
        note_sent(conn, msg, flags, stamp);
    }
    vn_msgq_send_msg_stream_buffer(conn->msgq, msg);
}

// Without records the frame is queued first and counted after; true when
// the peer had a queue. The caller counts it.
bool queue_unrecorded(peer_t *conn, vn_msg_t *msg)
{
    peer_mutex_guard hold(conn->peer_lock);
    if (conn->msgq == nullptr)
        return false;
    vn_msgq_send_msg_stream_buffer(conn->msgq, msg);
    return true;
}

// Queues one message for a peer that has a queue, counted and recorded.
void send_counted(peer_t *conn, vn_msg_t *msg, uint16_t flags, const struct timeval &stamp)
{
    if (peer_log_keeps_records()) {
        peer_log_turn turn;
        send_recorded(conn, msg, flags, stamp);
        return;
    }
    if (!queue_unrecorded(conn, msg))
        return;
    if (owed_sends_t *owed = owed_for(msg)) {
        owe_update(*owed, conn, msg, stamp.tv_sec);
        return;
    }
    peer_mutex_guard counters(peer_global_lock);
    count_sent(conn, msg, flags, stamp.tv_sec);
}

// The time of a send or a receive: exact when it goes into a record, else
// only its seconds count, taken from the cheaper clock.
struct timeval stamp_now(bool exact)
{
    if (exact)
        return time_now();
    return {time(nullptr), 0};
}

// A PEERINFO payload, serialised into a buffer of its own size.
std::vector<unsigned char> serialise_info(const vn_infopkt_t &info)
{
    size_t len = 0;
    vn_infopkt_serialise(&info, nullptr, &len);
    std::vector<unsigned char> payload(len);
    if (len != 0)
        vn_infopkt_serialise(&info, payload.data(), &len);
    payload.resize(len);
    return payload;
}

vn_infopkt_t own_info(const peer_t *conn)
{
    vn_infopkt_t info{};
    info.flags = static_cast<uint16_t>(conn->local_flags);
    info.type = static_cast<uint16_t>(conn->local_type);
    info.id = static_cast<uint16_t>(conn->local_id);
    info.name = conn->local_name;
    return info;
}

vn_msg_t message_of(uint16_t type, std::vector<unsigned char> &payload)
{
    vn_msg_t msg{};
    msg.type = type;
    msg.len = static_cast<uint32_t>(payload.size());
    msg.msg = payload.data();
    return msg;
}

void send_status_msg(peer_t *conn, uint16_t msgid, const char *msgstr)
{
    vn_infopkt_t info = own_info(conn);
    info.flags = kStatusMsgFlags;
    info.type = kStatusMsgType;
    info.val = msgid;
    info.data = const_cast<char *>(msgstr);
    std::vector<unsigned char> payload = serialise_info(info);
    if (payload.empty())
        return; // a text too long for its 16-bit length cannot travel
    vn_msg_t msg = message_of(VN_PEERINFO, payload);
    send_counted(conn, &msg, 0, stamp_now(peer_log_keeps_records()));
}

// ---- Dispatch ----

// Counts and records one received message that parsed; the caller holds no lock.
void note_received(peer_t *conn, const vn_msg_t *msg, std::initializer_list<std::pair<peer_counter_t, uint64_t>> counts,
                   const struct timeval &stamp)
{
    peer_log_turn turn;
    peer_mutex_guard counters(peer_global_lock);
    for (const auto &count : counts)
        if (count.first != kPeerCounterCount)
            peer_count(conn, count.first, count.second);
    log_packet(conn, kReceived, msg, stamp);
    conn->last_msg_recv_time = stamp.tv_sec;
}

void log_bad_packet(const char *kind, const vn_msg_t *msg)
{
    vn_log(peer_event_log, kLevelWarn, "Bad %s packet of length %d\n", kind, static_cast<int>(msg->len));
}

// Records a message that closes the link; the caller holds peer_lock.
void note_closing(peer_t *conn, const vn_msg_t *msg, const struct timeval &stamp)
{
    peer_mutex_guard counters(peer_global_lock);
    log_packet(conn, kReceived, msg, stamp);
    conn->last_msg_recv_time = stamp.tv_sec;
}

// The queue cut the link because the peer fell too far behind reading.
void log_slow_consumer(const peer_t *conn, vn_msgq_t *msgq)
{
    uint64_t queued = _vn_msgq_slow_consumer_bytes(msgq);
    if (queued == 0)
        return;
    vn_log(peer_event_log, kLevelNotify, "Closing slow consumer peer id %d on %s %d with %llu bytes queued\n",
           conn->remote_id, conn->addr != nullptr ? conn->addr : "NONE", conn->port,
           static_cast<unsigned long long>(queued));
}

// The queue reports the link lost. Returns the reader's instruction: 0 when
// the queue is to be freed by the reader, else 1.
int on_closed(peer_t *conn, vn_msgq_t *msgq, const vn_msg_t *msg, const struct timeval &stamp)
{
    peer_log_turn turn;
    peer_mutex_guard hold(conn->peer_lock);
    note_closing(conn, msg, stamp);
    if (!msg->closed) {
        vn_log(peer_event_log, kLevelNotify,
               "Received erroneous close peer message when connection isn't actually closed - len %d\n",
               static_cast<int>(msg->len));
        return 1;
    }
    log_slow_consumer(conn, msgq);
    return peer_close_from_reader(conn, msgq, kReasonLost);
}

int on_unknown(peer_t *conn, vn_msgq_t *msgq, const vn_msg_t *msg, const struct timeval &stamp)
{
    peer_log_turn turn;
    peer_mutex_guard hold(conn->peer_lock);
    note_closing(conn, msg, stamp);
    vn_log(peer_event_log, kLevelNotify, "Received unknown message type %d of length %d from peer %d\n", msg->type,
           static_cast<int>(msg->len), conn->num);
    // The socket is closed even when the queue survives, so the remote sees
    // the end of the link and nothing more is read from it.
    vn_close_msgq(msgq);
    return peer_close_from_reader(conn, msgq, kReasonInvalidMessage);
}

// The dispatcher's state on this thread. `depth` counts its hand-offs: a
// status change that would free the queue being dispatched is posted instead
// of run at once. `record` is the update and no-data record of its
// dispatches, parsed again in place each time, so that a busy link allocates
// almost nothing per update; a dispatch nested in a handed-on call takes a
// record of its own. Each message looks the state up once: in a shared
// library every use of a thread_local costs a call.
//
// `owed` holds the counts of received updates not yet added to one peer's
// counters: without packet-log records they are added once per read pass
// (or before any other kind of message) instead of under the statistics lock
// for every update.
struct owed_reads_t {
    peer_t *conn = nullptr;
    uint64_t updates = 0;
    uint64_t bytes = 0;
    time_t last_recv = 0;
};

struct dispatch_thread_t {
    int depth = 0;
    bool record_busy = false;
    vn_datapkt_t record{};
    owed_reads_t owed;
    ~dispatch_thread_t() { vn_free_datapkt_data(&record); }
};
thread_local dispatch_thread_t dispatch_thread;

// Out of line, so that the compiler keeps the address it returns instead of
// asking for the thread's block again at each use.
__attribute__((noinline)) dispatch_thread_t &this_thread_dispatch()
{
    return dispatch_thread;
}

// Hands the parsed record to `use`; the parser's result.
template <class Use> int with_parsed(dispatch_thread_t &self, const vn_msg_t *msg, Use use)
{
    if (self.record_busy) {
        vn_datapkt_t pkt{};
        int result = _vn_datapkt_reparse(&pkt, msg->type, msg->msg, msg->len);
        if (result == 0)
            use(&pkt);
        vn_free_datapkt_data(&pkt);
        return result;
    }
    int result = _vn_datapkt_reparse(&self.record, msg->type, msg->msg, msg->len);
    if (result != 0)
        return result;
    self.record_busy = true;
    // The callback layer may keep the parsed contents and leave spent ones
    // to parse into next time.
    bool lend = _vn_callbacks_queueing != 0;
    if (lend)
        _vn_callbacks_lend(&self.record);
    use(&self.record);
    if (lend)
        _vn_callbacks_lend(nullptr);
    self.record_busy = false;
    return 0;
}

// Adds what this thread owes to its peer's counters; the caller holds no lock.
void settle_reads(owed_reads_t &owed)
{
    if (owed.conn == nullptr)
        return;
    {
        peer_log_turn turn;
        peer_mutex_guard counters(peer_global_lock);
        peer_count(owed.conn, kMessagesRead, owed.updates);
        peer_count(owed.conn, kUpdatesRead, owed.updates);
        peer_count(owed.conn, kBytesRead, owed.bytes);
        owed.conn->last_msg_recv_time = owed.last_recv;
    }
    owed = owed_reads_t{};
}

// A record is written in the order of the link's messages, so with records
// kept the update is counted with its record, at once.
void note_update_received(owed_reads_t &owed, peer_t *conn, const vn_msg_t *msg, const struct timeval &stamp)
{
    if (owed.conn != conn || peer_log_keeps_records())
        settle_reads(owed);
    if (peer_log_keeps_records()) {
        note_received(conn, msg, {{kMessagesRead, 1}, {kUpdatesRead, 1}, {kBytesRead, msg->len}}, stamp);
        return;
    }
    owed.conn = conn;
    owed.updates++;
    owed.bytes += msg->len;
    owed.last_recv = stamp.tv_sec;
}

void on_update(dispatch_thread_t &self, peer_t *conn, const vn_msg_t *msg, const struct timeval &stamp)
{
    int parsed = with_parsed(self, msg, [&](vn_datapkt_t *pkt) {
        note_update_received(self.owed, conn, msg, stamp);
        conn->last_seqnum = pkt->seq;
        conn->last_update_time = stamp.tv_sec;
        // The receive event carries the time the message was read.
        if (vn_latency_chain_enable())
            vn_add_latency_chain(pkt, 'E', static_cast<int64_t>(stamp.tv_sec) * 1000 + stamp.tv_usec / 1000);
        _vn_peer_handoff.recv_update(conn->num, pkt);
    });
    if (parsed != 0)
        log_bad_packet("VN_DATAUPDATE", msg);
}

void on_nodata(dispatch_thread_t &self, peer_t *conn, const vn_msg_t *msg, const struct timeval &stamp)
{
    int parsed = with_parsed(self, msg, [&](vn_datapkt_t *pkt) {
        note_received(conn, msg,
                      {{kMessagesRead, 1}, {kNodatasRead, 1}, {kBytesRead, msg->len},
                       {nodata_reason_counter(pkt->flags, true), 1}},
                      stamp);
        conn->last_update_time = stamp.tv_sec;
        _vn_peer_handoff.recv_nodata(conn->num, pkt);
    });
    if (parsed != 0)
        log_bad_packet("VN_NODATA", msg);
}

void on_request(peer_t *conn, const vn_msg_t *msg, const struct timeval &stamp)
{
    bool request = msg->type == VN_SUBJREQ;
    vn_reqpkt_t pkt;
    if (vn_reqpkt_parse(&pkt, msg->msg, msg->len) != 0) {
        vn_free_reqpkt_data(&pkt);
        log_bad_packet(request ? "VN_SUBJREQ" : "VN_SUBJDSC", msg);
        return;
    }
    note_received(conn, msg,
                  {{kMessagesRead, 1}, {request ? kRequestsRead : kDiscardsRead, pkt.count}, {kBytesRead, msg->len}},
                  stamp);
    conn->last_update_time = stamp.tv_sec;
    if (request)
        _vn_peer_handoff.recv_request(conn->num, &pkt);
    else
        _vn_peer_handoff.recv_discard(conn->num, &pkt);
    vn_free_reqpkt_data(&pkt);
}

void on_status(peer_t *conn, const vn_msg_t *msg, const struct timeval &stamp)
{
    vn_statuspkt_t pkt;
    if (vn_statuspkt_parse(&pkt, msg->msg, msg->len) != 0) {
        vn_free_statuspkt_data(&pkt);
        log_bad_packet("VN_STATUS", msg);
        return;
    }
    note_received(conn, msg, {{kMessagesRead, 1}, {kStatusRead, 1}, {kBytesRead, msg->len}}, stamp);
    conn->last_update_time = stamp.tv_sec;
    _vn_peer_handoff.recv_object_status(conn->num, pkt.name, pkt.flags, pkt.type, pkt.msgstr);
    vn_free_statuspkt_data(&pkt);
}

// The remote PEERINFO of an outgoing link: take it, let the queued messages
// go after both PEERINFOs, and report the peer up.
void take_outgoing_info(peer_t *conn, vn_msgq_t *msgq, const vn_infopkt_t &info)
{
    {
        peer_mutex_guard hold(conn->peer_lock);
        if (conn->connected)
            return;
        peer_init_info(conn, &info);
        vn_msgq_write_socket_set(msgq, conn->sock, conn->ssl_handle);
        vn_msgq_flush_write_queue(msgq);
    }
    _vn_peer_handoff.recv_peer_status(conn->num, kPeerUp, conn->remote_id, conn->remote_name);
    peer_heartbeat_setup(conn);
    peer_monitor_update(conn);
}

void on_info(peer_t *conn, vn_msgq_t *msgq, const vn_msg_t *msg, const struct timeval &stamp)
{
    vn_infopkt_t info;
    if (vn_infopkt_parse(&info, msg->msg, msg->len) != 0) {
        vn_free_infopkt_data(&info);
        log_bad_packet("VN_PEERINFO", msg);
        return;
    }
    vn_log(peer_event_log, kLevelNotify, "Received peer info from peer id %d on %s %d\n", conn->remote_id,
           conn->addr != nullptr ? conn->addr : "NONE", conn->port);
    {
        peer_mutex_guard hold(conn->peer_lock);
        conn->received_info = 1;
    }
    note_received(conn, msg, {{kMessagesRead, 1}, {kInfoRead, 1}, {kBytesRead, msg->len}}, stamp);
    if (conn->conn_tev != nullptr) {
        vn_del_timed_event(conn->conn_tev);
        conn->conn_tev = nullptr;
    }
    if (!conn->connected)
        take_outgoing_info(conn, msgq, info);
    else if (info.type & kStatusMsgType)
        _vn_peer_handoff.recv_peer_status_msg(conn->num, info.flags, info.val, info.data);
    vn_free_infopkt_data(&info);
}

// A period of 0 or below (as a signed 16-bit number) would give a timer that
// never waits, so it is ignored like "no heartbeats".
void on_heartbeat(peer_t *conn, const vn_msg_t *msg, const struct timeval &stamp)
{
    vn_hbtpkt_t pkt;
    if (vn_hbtpkt_parse(&pkt, msg->msg, msg->len) != 0) {
        log_bad_packet("VN_HEARTBEAT", msg);
        return;
    }
    note_received(conn, msg, {{kHeartbeatsRead, 1}, {kBytesRead, msg->len}}, stamp);
    uint16_t period = static_cast<uint16_t>(pkt.period);
    if (period == kNoHeartbeats || pkt.period <= 0)
        return;
    if (conn->heartbeat_time == -1 || conn->heartbeat_time > pkt.period) {
        conn->heartbeat_time = pkt.period;
        peer_heartbeat_setup(conn);
    }
}

// ---- Heartbeats ----

void send_heartbeat(peer_t *conn)
{
    int period = conn->heartbeat_time > kMaxHeartbeatPeriod ? kMaxHeartbeatPeriod : conn->heartbeat_time;
    vn_hbtpkt_t pkt{};
    pkt.period = static_cast<int16_t>(period);
    std::vector<unsigned char> payload(4);
    size_t len = payload.size();
    vn_hbtpkt_serialise(&pkt, payload.data(), &len);
    vn_msg_t msg = message_of(VN_HEARTBEAT, payload);
    send_counted(conn, &msg, 0, stamp_now(peer_log_keeps_records()));
}

// Closes a link whose peer has gone silent; its queue is discarded.
void close_silent_peer(peer_t *conn)
{
    peer_mutex_guard hold(conn->peer_lock);
    if (conn->connected && conn->msgq != nullptr)
        peer_drop_queue(conn);
    close_peer(conn, kReasonMissedHeartbeat);
}

} // namespace

vn_peer_handoff_t _vn_peer_handoff = {
    _vn_advmap_recv_update,     _vn_advmap_recv_nodata,     _vn_advmap_recv_object_status,
    _vn_advmap_recv_peer_status, _vn_callbacks_recv_request, _vn_callbacks_recv_discard,
    _vn_callbacks_recv_peer_status, _vn_callbacks_recv_update,
};

int peer_packet_log_open(const char *file_name)
{
    char zone[kTimeZoneBytes] = "";
    vn_get_timezone(zone, sizeof zone);
    const char *app = vn_get_app_name();
    std::string header = "VNBLog packet v" + std::to_string(kPacketLogVersion) + " " + (app != nullptr ? app : "") +
                         " TZ=" + zone;
    packet_log = vn_new_headed_log("packet_log", file_name, header.c_str());
    peer_log_writer_set(packet_log);
    return packet_log != nullptr ? 1 : 0;
}

void peer_log_received(peer_t *conn, struct in_addr saddr, const vn_msg_t *msg)
{
    struct timeval stamp = time_now();
    {
        peer_mutex_guard counters(peer_global_lock);
        log_packet(conn, kReceived, msg, stamp, saddr);
        conn->last_msg_recv_time = stamp.tv_sec;
    }
    // The caller holds the peer's lock: the link is still being set up, so
    // no sender has anything for it yet.
    peer_log_drain_owed();
}

bool peer_dispatching(void)
{
    return dispatch_thread.depth > 0;
}

void peer_send_info_msg(peer_t *conn, vn_msgq_t *msgq)
{
    std::vector<unsigned char> payload = serialise_info(own_info(conn));
    vn_msg_t msg = message_of(VN_PEERINFO, payload);
    {
        peer_mutex_guard counters(peer_global_lock);
        note_sent(conn, &msg, 0, time_now());
    }
    vn_msgq_send_msg_stream_oob(msgq, &msg);
    // Under the caller's peer lock, as for peer_log_received: the link is new.
    peer_log_drain_owed();
}

int peer_read_msg(vn_msgq_t *msgq, vn_msg_t *msg, int, void *data)
{
    peer_t *conn = static_cast<peer_t *>(data);
    struct timeval stamp = stamp_now(peer_log_keeps_records() || vn_latency_chain_enable());
    int result = 1;
    dispatch_thread_t &self = this_thread_dispatch();
    self.depth++;
    // Other messages are counted at once, after the updates before them.
    if (msg->type != VN_DATAUPDATE && msg->type != VN_DATAUPDATE16)
        settle_reads(self.owed);
    switch (msg->type) {
    case 0:
        result = on_closed(conn, msgq, msg, stamp);
        break;
    case VN_DATAUPDATE16:
    case VN_DATAUPDATE:
        on_update(self, conn, msg, stamp);
        break;
    case VN_NODATA:
        on_nodata(self, conn, msg, stamp);
        break;
    case VN_SUBJREQ:
    case VN_SUBJDSC:
        on_request(conn, msg, stamp);
        break;
    case VN_PEERINFO:
        on_info(conn, msgq, msg, stamp);
        break;
    case VN_STATUS:
        on_status(conn, msg, stamp);
        break;
    case VN_HEARTBEAT:
        on_heartbeat(conn, msg, stamp);
        break;
    default:
        result = on_unknown(conn, msgq, msg, stamp);
        break;
    }
    self.depth--;
    return result;
}

void peer_heartbeat_setup(peer_t *conn)
{
    if (conn->heartbeat_event != nullptr) {
        vn_del_timed_event(conn->heartbeat_event);
        conn->heartbeat_event = nullptr;
    }
    if (conn->heartbeat_time == -1 || !conn->connected)
        return;
    conn->heartbeat_event = vn_add_timed_event(0, 0.0, peer_heartbeat_send, 0, conn);
    vn_set_timed_delay(conn->heartbeat_event, conn->heartbeat_time);
    send_heartbeat(conn);
}

int peer_heartbeat_send(int, int, void *data)
{
    peer_t *conn = static_cast<peer_t *>(data);
    if (!conn->connected) {
        conn->heartbeat_event = nullptr;
        return 0;
    }
    time_t now = time_now().tv_sec;
    time_t last_sent, last_received;
    {
        // Senders on other threads stamp these under the statistics lock.
        peer_mutex_guard counters(peer_global_lock);
        last_sent = conn->last_msg_send_time;
        last_received = conn->last_msg_recv_time;
    }
    time_t idle = now - last_sent;
    if (idle >= conn->heartbeat_time)
        send_heartbeat(conn);
    else
        vn_set_timed_delay_next(conn->heartbeat_event, static_cast<double>(conn->heartbeat_time - idle));
    double silent = static_cast<double>(now - last_received);
    if (silent > conn->heartbeat_time + conn->heartbeat_slack_time) {
        close_silent_peer(conn);
        return 0; // the close deleted this timer
    }
    return 1;
}

extern "C" {

void _vn_peer_send(int peer, vn_msg_t *msg, uint16_t flags)
{
    peer_t *conn = _vn_peer(peer);
    if (conn != nullptr)
        send_counted(conn, msg, flags, stamp_now(peer_log_keeps_records()));
}

void _vn_peer_send_to_all(vn_msg_t *msg, uint16_t flags)
{
    if (peer_log_keeps_records()) {
        peer_log_turn turn; // one write of the log for all the peers' records
        struct timeval stamp = time_now();
        for (int peer = 0; peer < vn_num_peers; peer++)
            send_recorded(&peer_array[peer], msg, flags, stamp);
        return;
    }
    // Without records the peers that took the frame are counted together,
    // under one hold of the statistics lock per block of peers instead of
    // one per peer, or later by this thread's loop.
    time_t seconds = time(nullptr);
    owed_sends_t *owed = owed_for(msg);
    for (int first = 0; first < vn_num_peers; first += kPeersPerCount) {
        int end = std::min(first + kPeersPerCount, vn_num_peers);
        uint64_t queued = 0;
        for (int peer = first; peer < end; peer++)
            if (queue_unrecorded(&peer_array[peer], msg))
                queued |= uint64_t{1} << (peer - first);
        if (queued == 0)
            continue;
        if (owed != nullptr) {
            for (int peer = first; peer < end; peer++)
                if (queued & (uint64_t{1} << (peer - first)))
                    owe_update(*owed, &peer_array[peer], msg, seconds);
            continue;
        }
        peer_mutex_guard counters(peer_global_lock);
        for (int peer = first; peer < end; peer++)
            if (queued & (uint64_t{1} << (peer - first)))
                count_sent(&peer_array[peer], msg, flags, seconds);
    }
}

void _vn_peer_log_msg(struct peer_t *conn, vn_msg_t *msg)
{
    struct timeval stamp = time_now();
    peer_mutex_guard counters(peer_global_lock);
    log_packet(conn, kSent, msg, stamp);
    conn->last_msg_send_time = stamp.tv_sec;
}

void _vn_peer_settle_received(void)
{
    settle_reads(this_thread_dispatch().owed);
}

void _vn_peer_handle_replay(int peer, vn_datapkt_t *pkt, time_t)
{
    peer_t *conn = _vn_peer(peer);
    if (conn == nullptr || !(conn->local_flags & kLocalFlagAutoReplay))
        return;
    if ((conn->remote_type & kRemoteTypeActive) && !(pkt->flags & kReplayPassFlag))
        return;
    conn->last_seqnum = pkt->seq;
    _vn_peer_handoff.recv_replay_update(peer, pkt);
}

void vn_set_status_msg_to_peer(int peer, uint16_t msgid, const char *msgstr)
{
    peer_t *conn = _vn_peer(peer);
    if (conn != nullptr)
        send_status_msg(conn, msgid, msgstr);
}

void vn_set_status_msg(uint16_t msgid, const char *msgstr)
{
    for (int peer = 0; peer < vn_num_peers; peer++)
        send_status_msg(&peer_array[peer], msgid, msgstr);
}

} // extern "C"
