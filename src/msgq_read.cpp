// Message queues, the read side: reads into a buffer that grows only for a
// frame larger than itself, cuts frames and hands each to the read callback.
// All of it runs on the owner thread without a lock. Frame lengths come from
// the peer: each is checked against the queue's limit before anything is
// allocated for it.
#include "msgq.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr size_t kShortHeaderBytes = 4;
constexpr size_t kLongHeaderBytes = 6;
constexpr uint16_t kLongLengthFlag = 0x8000;
constexpr size_t kDatagramHeaderBytes = 4;
constexpr int kLevelError = 3;
// Reads of a plain socket per wake-up of its watch, while each fills its room.
constexpr int kMaxReadsPerWake = 8;

// The caller has checked that two bytes are there.
uint16_t get_u16(const unsigned char *at)
{
    return static_cast<uint16_t>((at[0] << 8) | at[1]);
}

struct frame_t {
    uint16_t type;
    uint32_t len;        // payload bytes
    size_t header;       // 4 or 6
    uint64_t total;      // header and payload
};

enum cut_t { kNeedMore, kWhole, kTooLarge };

// Cuts the frame at the front of `bytes`; frame->total is known once the
// header is (even when the frame is not complete yet).
cut_t cut_frame(const unsigned char *bytes, size_t len, uint32_t limit, frame_t *frame)
{
    if (len < kShortHeaderBytes)
        return kNeedMore;
    frame->type = get_u16(bytes);
    uint16_t word = get_u16(bytes + 2);
    frame->header = kShortHeaderBytes;
    frame->len = word;
    if (word & kLongLengthFlag) {
        if (len < kLongHeaderBytes)
            return kNeedMore;
        frame->header = kLongHeaderBytes;
        frame->len = (static_cast<uint32_t>(word & ~kLongLengthFlag) << 16) | get_u16(bytes + 4);
    }
    if (frame->len > limit)
        return kTooLarge;
    frame->total = frame->header + static_cast<uint64_t>(frame->len);
    return len - frame->header >= frame->len ? kWhole : kNeedMore;
}

// The remote end of a socket for a log line, or the socket number.
std::string describe_peer(sock_t fd)
{
    struct sockaddr_in address {};
    socklen_t size = sizeof address;
    if (getpeername(fd, reinterpret_cast<struct sockaddr *>(&address), &size) == 0 && address.sin_family == AF_INET) {
        char text[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
        return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
    }
    return "socket " + std::to_string(fd);
}

// Calls the read callback; false when the callback freed the queue, which
// must then not be touched again.
bool deliver(vn_msgq_t *queue, vn_msg_t *msg, int *result)
{
    if (queue->read_callback == nullptr) {
        *result = 1;
        return true;
    }
    bool alive = true;
    bool *outer = queue->reader_alive;
    queue->reader_alive = &alive;
    *result = queue->read_callback(queue, msg, queue->read_val, queue->read_data);
    if (!alive)
        return false;
    // A hand-over cleared the flag pointer; the queue is no longer ours.
    if (*result != -1)
        queue->reader_alive = outer;
    return true;
}

// What a pass or a lost connection did to the queue.
enum pass_t {
    kKeepReading,  // the read watch stays
    kStopped,      // the read side is closed or moved; the queue is still ours
    kGone,         // freed or handed over: touch nothing
};

// Reports a lost connection to the reader as a type-0 message; the queue
// keeps its write buffers for a next connection unless the reader frees it.
pass_t lose_connection(vn_msgq_t *queue)
{
    // Nothing more goes to a socket whose end has been read: what is sent
    // while the loss is reported waits for the next link, as it does while
    // the write side is detached.
    vn_msgq_write_socket_set(queue, -1, nullptr);
    {
        msgq_lock lock(queue);
        msgq_remove_write_events(queue);
    }
    msgq_drop(queue->read_event);
    queue->read_pos = queue->read_len = 0;
    vn_msg_t closed{0, 0, nullptr, nullptr, 1};
    int result;
    if (!deliver(queue, &closed, &result) || result == -1)
        return kGone;
    vn_close_msgq(queue);
    if (result == 0) {
        vn_free_msgq(queue);
        return kGone;
    }
    return kStopped;
}

// Moves an incomplete frame to the front of the buffer. A buffer the frame
// has filled doubles, up to exactly the frame's size: it grows with the bytes
// that come, so a header alone reserves nothing.
void keep_partial(vn_msgq_t *queue, const frame_t *frame)
{
    if (queue->read_pos != 0 && queue->read_len != 0)
        std::memmove(queue->read_buf, queue->read_buf + queue->read_pos, static_cast<size_t>(queue->read_len));
    queue->read_pos = 0;
    uint64_t size = static_cast<uint64_t>(queue->read_bufsize);
    if (queue->read_len < queue->read_bufsize || frame->total <= size)
        return;
    uint64_t grown = std::min(frame->total, 2 * size);
    queue->read_buf = static_cast<unsigned char *>(vn_realloc(queue->read_buf, grown));
    queue->read_bufsize = static_cast<int>(grown);
}

void log_too_large(vn_msgq_t *queue, const frame_t *frame)
{
    if (msgq_event_log == nullptr)
        return;
    vn_log(msgq_event_log, kLevelError,
           "Closing connection to %s: a frame of %u bytes is larger than the limit of %u bytes\n",
           describe_peer(queue->read_fd).c_str(), frame->len, queue->frame_limit);
}

// Hands every complete buffered frame to the callback. The buffer's state is
// settled before each call, so a callback that moves the queue to another
// thread (result -1) leaves nothing for this pass to finish.
pass_t msgq_read_dispatch(vn_msgq_t *queue)
{
    vn_read_event_t *watch = queue->read_event;
    sock_t fd = queue->read_fd;
    for (;;) {
        frame_t frame{};
        unsigned char *front = queue->read_buf + queue->read_pos;
        cut_t cut = cut_frame(front, static_cast<size_t>(queue->read_len), queue->frame_limit, &frame);
        if (cut == kTooLarge) {
            log_too_large(queue, &frame);
            return lose_connection(queue);
        }
        if (cut == kNeedMore) {
            keep_partial(queue, &frame);
            return kKeepReading;
        }
        vn_msg_t msg{frame.type, frame.len, front + frame.header, nullptr, 0};
        queue->read_len -= static_cast<int>(frame.total);
        queue->read_pos = queue->read_len == 0 ? 0 : queue->read_pos + static_cast<int>(frame.total);
        int result;
        if (!deliver(queue, &msg, &result) || result == -1)
            return kGone;
        if (result == 0) {
            vn_free_msgq(queue);
            return kGone;
        }
        // The callback closed the queue or gave it another socket.
        if (queue->read_event != watch || queue->read_fd != fd) {
            if (queue->read_fd == -1)
                queue->read_pos = queue->read_len = 0;
            return kStopped;
        }
    }
}

int watch_result(pass_t pass)
{
    return pass == kKeepReading ? 1 : 0;
}

// Reads once into the buffer after the bytes already there; -1 when the
// socket has nothing now, 0 for a lost connection, else the count. A read
// that follows another in the same wake-up must not wait, whatever the
// socket's own mode: it asks with MSG_DONTWAIT, and a descriptor that is not
// a socket is left to the next wake-up.
ssize_t read_some(vn_msgq_t *queue, unsigned char *into, size_t room, bool again)
{
    if (queue->read_ssl != nullptr) {
        ERR_clear_error();
        int got = SSL_read(queue->read_ssl, into, static_cast<int>(room));
        if (got > 0)
            return got;
        // A renegotiation or key update may need the socket either way first.
        int error = SSL_get_error(queue->read_ssl, got);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE)
            return -1;
        ERR_print_errors_fp(stderr);
        return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? -1 : 0;
    }
    for (;;) {
        ssize_t got = again ? recv(queue->read_fd, into, room, MSG_DONTWAIT) : read(queue->read_fd, into, room);
        if (got >= 0)
            return got;
        if (errno == EAGAIN || errno == EWOULDBLOCK || (again && errno == ENOTSOCK))
            return -1;
        if (errno != EINTR)
            return 0;
    }
}

// Bytes an SSL connection has already taken off the socket never make it
// readable again, so they are read before the watch waits.
bool ssl_has_more(const vn_msgq_t *queue)
{
    return queue->read_ssl != nullptr && SSL_has_pending(queue->read_ssl) == 1;
}

// `filled` tells whether the read took all the room it had: the socket is
// then likely to hold more.
pass_t read_pass(vn_msgq_t *queue, bool again, bool *filled)
{
    *filled = false;
    if (queue->read_pos != 0) {
        std::memmove(queue->read_buf, queue->read_buf + queue->read_pos, static_cast<size_t>(queue->read_len));
        queue->read_pos = 0;
    }
    size_t room = static_cast<size_t>(std::min(queue->read_bufsize - queue->read_len, kMsgqChunkBytes));
    if (room == 0)
        return msgq_read_dispatch(queue);
    ssize_t got = read_some(queue, queue->read_buf + queue->read_len, room, again);
    if (got < 0)
        return kKeepReading;
    if (got == 0)
        return lose_connection(queue);
    *filled = static_cast<size_t>(got) == room;
    queue->bytes_recvd += static_cast<uint64_t>(got);
    queue->read_len += static_cast<int>(got);
    return msgq_read_dispatch(queue);
}

// Reads and dispatches until the socket, or the SSL connection's own
// buffer, has nothing more now. A plain socket that keeps filling the reads
// is read again without a trip through the event loop's poll, up to a bound
// so that the thread's other watches and timers still get their turn.
pass_t read_all(vn_msgq_t *queue)
{
    for (int reads = 1;; reads++) {
        bool filled;
        pass_t pass = read_pass(queue, reads > 1, &filled);
        if (pass != kKeepReading)
            return pass;
        bool more = queue->read_ssl != nullptr ? ssl_has_more(queue) : filled && reads < kMaxReadsPerWake;
        if (!more)
            return pass;
    }
}

// The frames of a pass may leave their updates queued for the application's
// callbacks; the pass ends once those have run, so nothing it handed over
// outlives it. The peers' receive counters it put off are added first.
struct delivery_pass_t {
    bool open = _vn_callbacks_queueing != 0;
    delivery_pass_t()
    {
        if (open)
            _vn_callbacks_pass_begin();
    }
    ~delivery_pass_t()
    {
        _vn_peer_settle_received();
        if (open)
            _vn_callbacks_pass_end();
    }
    delivery_pass_t(const delivery_pass_t &) = delete;
    delivery_pass_t &operator=(const delivery_pass_t &) = delete;
};

int msgq_read_cb_stream(sock_t, int, void *data)
{
    delivery_pass_t pass;
    return watch_result(read_all(static_cast<vn_msgq_t *>(data)));
}

// One datagram is one frame whose length counts its 4-byte header; a
// datagram that says otherwise is dropped.
int msgq_read_cb_dgram(sock_t fd, int, void *data)
{
    vn_msgq_t *queue = static_cast<vn_msgq_t *>(data);
    ssize_t got = recv(fd, queue->read_buf, kMsgqChunkBytes, 0);
    if (got < static_cast<ssize_t>(kDatagramHeaderBytes))
        return 1;
    uint16_t type = get_u16(queue->read_buf);
    uint16_t len = get_u16(queue->read_buf + 2);
    if (len < kDatagramHeaderBytes || len > got)
        return 1;
    vn_msg_t msg{type, static_cast<uint32_t>(len - kDatagramHeaderBytes), queue->read_buf + kDatagramHeaderBytes,
                 nullptr, 0};
    int result;
    if (!deliver(queue, &msg, &result) || result == -1)
        return 0;
    if (result == 0) {
        vn_free_msgq(queue);
        return 0;
    }
    return queue->read_event != nullptr ? 1 : 0;
}

int msgq_dispatch_timer(int, int, void *data)
{
    vn_msgq_t *queue = static_cast<vn_msgq_t *>(data);
    queue->dispatch_event = nullptr;
    delivery_pass_t delivery;
    pass_t pass = msgq_read_dispatch(queue);
    // What the SSL connection already holds would never wake the read watch.
    // A pass that stops here has removed or replaced the watch itself.
    if (pass == kKeepReading && queue->read_event != nullptr && ssl_has_more(queue))
        read_all(queue);
    return 0;
}

} // namespace

vn_io_event_cb msgq_reader(const vn_msgq_t *queue)
{
    return (queue->flags & 6) ? msgq_read_cb_dgram : msgq_read_cb_stream;
}

void msgq_schedule_ssl_read(vn_msgq_t *queue)
{
    if (queue->read_event != nullptr && ssl_has_more(queue))
        msgq_schedule_dispatch(queue);
}

void msgq_schedule_dispatch(vn_msgq_t *queue)
{
    if (queue->dispatch_event == nullptr)
        queue->dispatch_event = vn_add_timed_event(0, 0.0, msgq_dispatch_timer, 0, queue);
}
