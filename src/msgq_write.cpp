// Message queues, the write side: frames appended to 16 KB buffers from any
// thread, written by the owner at once on an idle line and then in batches
// every vantrix-batch-time seconds, with a write watch on a full socket, and
// bounded while the write side is detached; a link whose consumer falls too
// far behind is cut. Every function here but the public entry points and the
// event callbacks runs with writeq_lock held.
//
// The rules of the write path; every change here keeps them.
//
// Who writes the socket. The owner's thread may always write it; another
// thread may write a plain socket (a flush, an out-of-band frame) but never
// an SSL connection, which the owner's reader may be inside at any moment
// and which takes one thread at a time. One write runs at a time: the
// writer takes the unwritten bytes of the oldest buffers under writeq_lock,
// sets `writing`, writes without the lock and settles under it again, so
// that an appender never waits on a socket. While `writing` is set those
// bytes are the writer's: appends go behind them, and whatever frees, moves
// or rewinds buffers or changes a socket first waits on `write_settled`.
//
// Who owns the watch and the batch timer. Only the owner's thread adds or
// deletes them; other threads read the two fields under the lock to learn
// whether the owner will write anyway.
//
// A busy queue. A write step that finds another write in flight does not
// write and does not wait: a flush or an append returns, a write watch
// removes itself (on a writable socket a kept one would fire again at once
// for as long as the other write lasts), a batch timer keeps its tick.
// Each marks the queue `stepped_aside`: its work is now the writer's.
//
// The hand-back. A flush plans again after each settle and so takes what
// was appended meanwhile; one on another thread ends by handing what it
// could not write to the owner. An out-of-band write hands over only the
// work that stepped aside for it, and nothing when none did: frames that
// waited before it are not its to send. That is what lets a handshake
// attach the write side, send its frame and detach again with what the
// queue kept from the last link still waiting for the remote's answer.
// A hand-over goes through msgq_wake_writer: nothing when a watch or a
// timer will write anyway, else the owner writes now or is woken through
// the wake-up pair.
//
// The write list holds no empty buffer but the newest: written-out buffers
// are retired, and a copy drops the emptied buffer it would put in front of
// the copied ones. Every write therefore begins at the oldest buffer.
//
// What a waiting SSL record pins. An SSL write is given one record at the
// most. One that asks for a retry made a record of `ssl_retry.bytes` bytes
// from the start of `ssl_retry.buffer`'s unwritten ones, and OpenSSL wants
// exactly those bytes again (the buffer may move, its contents may not).
// Until an SSL_write takes them, they are what each write is given, no
// out-of-band frame goes ahead of them and a clear keeps the frames that
// hold them. The pin
// binds its connection only and never outlives its buffer: a new socket, a
// detach, a close, a slow-consumer cut and a copy (for the queue the
// buffers leave) forget it, and so does freeing its buffer.
//
// What the changes keep. A clear keeps only what the connection is bound
// to: the rest of a frame a write cut and the frames of a pinned record. A
// copy moves whole frames, the source's cut frame rewound to its start. A
// detach and a slow-consumer cut keep the frames for the next link, bounded
// to fewer than writeq_max buffers, and the next link gets a cut frame
// again from its start.
//
// A cut frame ends the stream. When the socket takes only part of an
// out-of-band frame, or an SSL connection fails it (over SSL it goes record
// by record, so only a connection that stops taking it cuts it), the
// stream is shut down before the write settles; nothing more is written to it, and what is
// queued stays queued, whole, for the next link. Any other SSL write error
// ends the link too, which its reader then reports lost.
//
// Another thread's SSL flush wakes the owner instead of writing, and its
// out-of-band frame is refused: waiting for the owner to write it could
// hold a caller that holds a lock the owner needs.
#include "msgq.h"

#include <netinet/in.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

namespace {

constexpr size_t kShortHeaderBytes = 4;
constexpr size_t kLongHeaderBytes = 6;
constexpr uint32_t kMaxShortPayload = 32767;
constexpr uint32_t kLongLengthBit = 0x80000000;
// Buffer sizes are ints; the long header carries 31 bits.
constexpr uint32_t kMaxPayload = 0x7FFFFFFF - kLongHeaderBytes;
constexpr size_t kDatagramHeaderBytes = 4;
constexpr uint32_t kMaxDatagramBytes = 0xFFFF;
constexpr char kWakeByte = 1;
constexpr int kGatherBuffers = 64; // buffers per gather write: up to 1 MB
constexpr int kMaxSpareBuffers = 16; // written-out buffers a queue keeps for reuse
constexpr size_t kSslRecordBytes = 16384; // the plaintext of one TLS record
constexpr int kLevelDebug = 7;
constexpr uint16_t kLongLengthFlag = 0x8000;

// Set by tests only, before the queues they watch exist.
std::atomic<uint64_t> slow_queued_bytes{kMsgqSlowConsumerBounds.queued_bytes};
std::atomic<uint64_t> slow_stalled_bytes{kMsgqSlowConsumerBounds.stalled_bytes};
std::atomic<double> slow_stall_seconds{kMsgqSlowConsumerBounds.stall_seconds};

// kFlushBusy: another thread is writing; it takes what waits when it ends.
enum flush_result_t { kFlushDone, kFlushPending, kFlushFailed, kFlushBusy };

std::atomic<msgq_write_seam_t> write_seam{nullptr};
std::atomic<msgq_write_seam_t> watch_seam{nullptr};

using write_buffer_t = _msgq_write;

write_buffer_t *buffer_of(vn_list_t *link)
{
    return _vn_list_entry(link, write_buffer_t, list);
}

write_buffer_t *newest_buffer(vn_msgq_t *queue)
{
    return _vn_list_empty(&queue->writeq) ? nullptr : buffer_of(queue->writeq.next);
}

write_buffer_t *oldest_buffer(vn_msgq_t *queue)
{
    return _vn_list_empty(&queue->writeq) ? nullptr : buffer_of(queue->writeq.prev);
}

// Only the newest buffer may be empty, so the oldest tells.
bool has_unwritten(vn_msgq_t *queue)
{
    write_buffer_t *oldest = oldest_buffer(queue);
    return oldest != nullptr && oldest->len > 0;
}

void release_buffer(write_buffer_t *buffer)
{
    vn_free(buffer->buf);
    vn_free(buffer);
}

// Takes a buffer off the write list; a pin on it goes with it.
void unlink_buffer(vn_msgq_t *queue, write_buffer_t *buffer)
{
    if (queue->ssl_retry.buffer == buffer)
        queue->ssl_retry = {};
    queue->writeq_bytes -= static_cast<uint64_t>(buffer->len);
    _vn_list_del(&buffer->list);
    queue->writeq_len--;
}

void free_buffer(vn_msgq_t *queue, write_buffer_t *buffer)
{
    unlink_buffer(queue, buffer);
    release_buffer(buffer);
}

// A buffer written out in full: a busy line reuses a few instead of
// returning them to the allocator and asking again at once, under the lock.
void retire_buffer(vn_msgq_t *queue, write_buffer_t *buffer)
{
    if (queue->spare_count >= kMaxSpareBuffers || buffer->allocated_len != kMsgqChunkBytes) {
        free_buffer(queue, buffer);
        return;
    }
    unlink_buffer(queue, buffer);
    buffer->list.next = queue->spare != nullptr ? &queue->spare->list : nullptr;
    queue->spare = buffer;
    queue->spare_count++;
}

write_buffer_t *take_new_buffer(vn_msgq_t *queue, size_t bytes)
{
    write_buffer_t *buffer = queue->spare;
    if (buffer != nullptr && bytes == kMsgqChunkBytes) {
        queue->spare = buffer->list.next != nullptr ? buffer_of(buffer->list.next) : nullptr;
        queue->spare_count--;
        return buffer;
    }
    buffer = static_cast<write_buffer_t *>(vn_calloc(1, sizeof(write_buffer_t)));
    buffer->buf = static_cast<unsigned char *>(vn_malloc(bytes));
    return buffer;
}

size_t buffer_bytes(size_t room)
{
    return std::max(room, static_cast<size_t>(kMsgqChunkBytes));
}

// True when `room` bytes fit after the unwritten ones, ending strictly
// before the end of the allocation.
bool fits(const write_buffer_t *buffer, size_t room)
{
    size_t used = static_cast<size_t>(buffer->ptr - buffer->buf) + static_cast<size_t>(buffer->len);
    size_t allocated = static_cast<size_t>(buffer->allocated_len);
    return used < allocated && allocated - used > room;
}

// The buffer the next frame of `room` bytes goes into.
write_buffer_t *buffer_for(vn_msgq_t *queue, size_t room)
{
    write_buffer_t *buffer = newest_buffer(queue);
    if (buffer != nullptr && fits(buffer, room))
        return buffer;
    size_t bytes = buffer_bytes(room);
    if (buffer != nullptr && buffer->len == 0) {
        buffer->buf = static_cast<unsigned char *>(vn_realloc(buffer->buf, bytes));
    } else {
        buffer = take_new_buffer(queue, bytes);
        buffer->len = 0;
        _vn_list_add_head(&queue->writeq, &buffer->list);
        queue->writeq_len++;
    }
    buffer->allocated_len = static_cast<int>(bytes);
    buffer->ptr = buffer->buf;
    return buffer;
}

void put_u16(unsigned char *at, uint32_t value)
{
    at[0] = static_cast<unsigned char>(value >> 8);
    at[1] = static_cast<unsigned char>(value);
}

// Writes a frame's header; its length in bytes.
size_t put_header(unsigned char *at, uint16_t type, uint32_t len)
{
    put_u16(at, type);
    if (len <= kMaxShortPayload) {
        put_u16(at + 2, len);
        return kShortHeaderBytes;
    }
    uint32_t word = len | kLongLengthBit;
    put_u16(at + 2, word >> 16);
    put_u16(at + 4, word & 0xFFFF);
    return kLongHeaderBytes;
}

void append_frame(vn_msgq_t *queue, const vn_msg_t *msg)
{
    write_buffer_t *buffer = buffer_for(queue, static_cast<size_t>(msg->len) + kLongHeaderBytes);
    unsigned char *at = buffer->ptr + buffer->len;
    size_t header = put_header(at, msg->type, msg->len);
    if (msg->len != 0)
        std::memcpy(at + header, msg->msg, msg->len);
    buffer->len += static_cast<int>(header + msg->len);
    queue->writeq_bytes += header + msg->len;
}

// One write call on a plain socket; MSG_NOSIGNAL keeps a peer that went away
// from killing the process where SIGPIPE is not ignored.
ssize_t write_plain(sock_t fd, const void *bytes, size_t len)
{
    for (;;) {
        ssize_t written = send(fd, bytes, len, MSG_NOSIGNAL);
        if (written < 0 && errno == ENOTSOCK)
            written = write(fd, bytes, len);
        if (written >= 0 || errno != EINTR)
            return written;
    }
}

// One write call: how many bytes it was given and took.
struct write_attempt_t {
    size_t wanted = 0;
    ssize_t written = 0;
    bool would_block = false;
    bool broken = false; // an SSL error other than a retry: the connection is done
};

// What one write call is to take, copied out under the lock: the oldest
// buffers' unwritten bytes (one buffer for SSL, whose records go one
// buffer at a time) and the socket.
struct write_plan_t {
    struct iovec parts[kGatherBuffers];
    int count = 0;
    size_t wanted = 0;
    write_buffer_t *first = nullptr; // what a record left for a retry pins
    sock_t fd = -1;
    SSL *ssl = nullptr;
};

// From the oldest buffer on; an empty one can only be the newest.
void plan_gathered(vn_msgq_t *queue, write_plan_t &plan)
{
    for (vn_list_t *link = queue->writeq.prev; link != &queue->writeq && plan.count < kGatherBuffers;
         link = link->prev) {
        write_buffer_t *buffer = buffer_of(link);
        if (buffer->len == 0)
            break;
        plan.parts[plan.count++] = {buffer->ptr, static_cast<size_t>(buffer->len)};
        plan.wanted += static_cast<size_t>(buffer->len);
    }
}

// One record at the most, and a waiting one's very bytes again: a retry
// given more would write the waiting record, begin the next and ask for a
// retry once more, leaving bytes the remote has that no call counted yet,
// which the next link would then get a second time.
void plan_ssl(vn_msgq_t *queue, write_plan_t &plan)
{
    write_buffer_t *oldest = oldest_buffer(queue);
    if (oldest == nullptr || oldest->len == 0)
        return;
    plan.first = oldest;
    plan.wanted = queue->ssl_retry.buffer == oldest ? queue->ssl_retry.bytes
                                                    : std::min(static_cast<size_t>(oldest->len), kSslRecordBytes);
    plan.parts[plan.count++] = {oldest->ptr, plan.wanted};
}

void plan_write(vn_msgq_t *queue, write_plan_t &plan)
{
    plan.fd = queue->write_fd;
    plan.ssl = queue->write_ssl;
    if (plan.ssl != nullptr)
        plan_ssl(queue, plan);
    else
        plan_gathered(queue, plan);
}

// A busy line moves many buffers per system call.
write_attempt_t write_gathered(write_plan_t &plan)
{
    write_attempt_t attempt;
    attempt.wanted = plan.wanted;
    struct msghdr message {};
    message.msg_iov = plan.parts;
    message.msg_iovlen = static_cast<size_t>(plan.count);
    do {
        attempt.written = sendmsg(plan.fd, &message, MSG_NOSIGNAL);
        if (attempt.written < 0 && errno == ENOTSOCK)
            attempt.written = writev(plan.fd, plan.parts, plan.count);
    } while (attempt.written < 0 && errno == EINTR);
    attempt.would_block = attempt.written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    return attempt;
}

write_attempt_t write_ssl(const write_plan_t &plan)
{
    write_attempt_t attempt;
    attempt.wanted = plan.wanted;
    attempt.written = SSL_write(plan.ssl, plan.parts[0].iov_base, static_cast<int>(plan.wanted));
    int error = attempt.written > 0 ? SSL_ERROR_NONE : SSL_get_error(plan.ssl, static_cast<int>(attempt.written));
    attempt.would_block = error == SSL_ERROR_WANT_WRITE || error == SSL_ERROR_WANT_READ;
    attempt.broken = attempt.written <= 0 && !attempt.would_block;
    if (attempt.broken)
        ERR_print_errors_fp(stderr);
    return attempt;
}

// Settles an SSL write: a record left for a retry pins the bytes it was
// given, unless an appender cut the link meanwhile; a connection that
// failed otherwise is shut down, since its socket is still sound and its
// reader would never learn of the loss.
void settle_ssl(vn_msgq_t *queue, const write_plan_t &plan, const write_attempt_t &attempt)
{
    if (attempt.written > 0)
        queue->ssl_retry = {};
    else if (attempt.would_block && queue->slow_cut_bytes == 0)
        queue->ssl_retry = {plan.first, attempt.wanted};
    else if (!attempt.would_block)
        shutdown(plan.fd, SHUT_RDWR);
}

// Takes `written` bytes off the oldest buffers: the ones written out are
// freed, except the newest, which is kept for reuse.
void consume(vn_msgq_t *queue, size_t written)
{
    queue->bytes_sent += written;
    queue->writeq_bytes -= written;
    queue->last_taken = msgq_monotonic_seconds();
    while (write_buffer_t *buffer = oldest_buffer(queue)) {
        size_t taken = std::min(written, static_cast<size_t>(buffer->len));
        buffer->ptr += taken;
        buffer->len -= static_cast<int>(taken);
        written -= taken;
        if (buffer->len > 0)
            return;
        if (buffer == newest_buffer(queue)) {
            buffer->ptr = buffer->buf;
            return;
        }
        retire_buffer(queue, buffer);
    }
}

void begin_write(vn_msgq_t *queue)
{
    queue->writing = 1;
}

// Whether a step left its work to this write.
bool end_write(vn_msgq_t *queue)
{
    queue->writing = 0;
    bool owed = std::exchange(queue->stepped_aside, 0) != 0;
    if (queue->settle_waiters > 0)
        pthread_cond_broadcast(&queue->write_settled);
    return owed;
}

// A detached queue keeps fewer than writeq_max buffers, dropping the oldest;
// 0 or less keeps none. Buffers in a write on another thread are left to
// that write's settle, which bounds the queue again.
void bound_detached(vn_msgq_t *queue)
{
    if (queue->writing)
        return;
    while (queue->writeq_len >= queue->writeq_max && !_vn_list_empty(&queue->writeq))
        free_buffer(queue, oldest_buffer(queue));
}

// One write call without the lock, then its bytes taken off the buffers.
write_attempt_t write_unlocked(vn_msgq_t *queue, write_plan_t &plan)
{
    write_attempt_t attempt;
    begin_write(queue);
    {
        msgq_unlock unlocked(queue);
        attempt = plan.ssl != nullptr ? write_ssl(plan) : write_gathered(plan);
        if (msgq_write_seam_t seam = write_seam.load(std::memory_order_acquire))
            seam(queue);
    }
    if (attempt.written > 0)
        consume(queue, static_cast<size_t>(attempt.written));
    if (plan.ssl != nullptr)
        settle_ssl(queue, plan, attempt);
    // What stepped aside is taken by the flush's next plan, or handed back
    // by its caller.
    end_write(queue);
    // An appender cut the link meanwhile and left its bound to this settle.
    if (queue->slow_cut_bytes != 0)
        bound_detached(queue);
    return attempt;
}

// Writes from the oldest buffer on until all is written or the socket takes
// no more, dropping the lock across each write call. A write error leaves
// the bytes where they are: the reader reports the loss of the connection.
flush_result_t msgq_flush_queue(vn_msgq_t *queue)
{
    if (queue->writing) {
        queue->stepped_aside = 1;
        return kFlushBusy;
    }
    for (;;) {
        // Each plan takes what was appended during the write before it.
        write_plan_t plan;
        plan_write(queue, plan);
        if (plan.wanted == 0)
            return kFlushDone;
        write_attempt_t attempt = write_unlocked(queue, plan);
        if (attempt.written <= 0)
            return attempt.would_block ? kFlushPending : kFlushFailed;
        if (static_cast<size_t>(attempt.written) < attempt.wanted)
            return kFlushPending;
    }
}

void log_debug(const char *line)
{
    if (msgq_event_log != nullptr)
        vn_log(msgq_event_log, kLevelDebug, "%s", line);
}

int msgq_write_event_callback(sock_t, int, void *data)
{
    vn_msgq_t *queue = static_cast<vn_msgq_t *>(data);
    msgq_lock lock(queue);
    if (msgq_write_seam_t seam = watch_seam.load(std::memory_order_acquire))
        seam(queue);
    switch (msgq_flush_queue(queue)) {
    case kFlushPending:
        log_debug("Failed flush on write event\n");
        return 1;
    case kFlushBusy: // steps aside: that write hands what is left back when it ends
    case kFlushDone:
    case kFlushFailed:
        break;
    }
    queue->write_event = nullptr;
    return 0;
}

void add_write_watch(vn_msgq_t *queue)
{
    if (queue->write_event == nullptr && queue->write_fd != -1)
        queue->write_event = vn_add_write_event(queue->write_fd, msgq_write_event_callback, 0, queue);
}

// While this timer exists, appends only buffer; it ends on the first tick
// with nothing to write, so the next frame on the idle line goes out at once.
int msgq_write_timer_callback(int, int, void *data)
{
    vn_msgq_t *queue = static_cast<vn_msgq_t *>(data);
    msgq_lock lock(queue);
    if (queue->write_fd != -1 && has_unwritten(queue)) {
        flush_result_t result = msgq_flush_queue(queue);
        if (result == kFlushDone || result == kFlushBusy)
            return 1;
        if (result == kFlushPending) {
            log_debug("Failed flush on timed event\n");
            add_write_watch(queue);
        }
    }
    queue->write_timer = nullptr;
    return 0;
}

void start_batch_timer(vn_msgq_t *queue)
{
    if (queue->write_timer == nullptr && c_vantrix_batch_time > 0)
        queue->write_timer =
            vn_add_timed_event(0, c_vantrix_batch_time, msgq_write_timer_callback, 0, queue);
}

// The wake-up socket to write to, once per idle period.
sock_t wake_owner(vn_msgq_t *queue)
{
    if (queue->pipe_sending)
        return -1;
    queue->pipe_sending = 1;
    return queue->pipe_write_fd;
}

// The length of the frame our own put_header wrote at `at`.
size_t frame_bytes(const unsigned char *at)
{
    uint32_t word = static_cast<uint32_t>(at[2] << 8 | at[3]);
    if (!(word & kLongLengthFlag))
        return kShortHeaderBytes + word;
    uint32_t len = (word & ~kLongLengthFlag) << 16 | static_cast<uint32_t>(at[4] << 8 | at[5]);
    return kLongHeaderBytes + len;
}

// Where the frame holding byte `offset` of a buffer starts: frames are laid
// out from the start of the allocation.
size_t frame_start(const write_buffer_t *buffer, size_t offset)
{
    size_t start = 0;
    for (size_t next = frame_bytes(buffer->buf); next <= offset; next = start + frame_bytes(buffer->buf + start))
        start = next;
    return start;
}

// Where the frame holding byte `offset` of a buffer ends.
size_t frame_end(const write_buffer_t *buffer, size_t offset)
{
    size_t start = frame_start(buffer, offset);
    return start + frame_bytes(buffer->buf + start);
}

// How many of the oldest buffer's unwritten bytes the connection is bound
// to: the rest of a frame a write cut, and every frame of the bytes a
// record awaiting its retry pins there.
size_t committed_bytes(const vn_msgq_t *queue, const write_buffer_t *oldest)
{
    size_t sent = static_cast<size_t>(oldest->ptr - oldest->buf);
    size_t end = sent != 0 ? frame_end(oldest, sent - 1) : 0;
    const msgq_ssl_pin_t &pin = queue->ssl_retry;
    if (pin.buffer == oldest && pin.bytes != 0 && pin.bytes <= static_cast<size_t>(oldest->len))
        end = std::max(end, frame_end(oldest, sent + pin.bytes - 1));
    return end > sent ? end - sent : 0;
}

// Frees every buffer but the bytes the connection is bound to, which go
// out before anything appended later.
void free_uncommitted(vn_msgq_t *queue)
{
    write_buffer_t *oldest = oldest_buffer(queue);
    size_t kept = oldest != nullptr ? committed_bytes(queue, oldest) : 0;
    if (kept == 0) {
        msgq_free_buffers(queue);
        return;
    }
    _vn_list_del(&oldest->list);
    queue->writeq_len--;
    msgq_free_buffers(queue);
    oldest->len = static_cast<int>(kept);
    _vn_list_add_head(&queue->writeq, &oldest->list);
    queue->writeq_len = 1;
    queue->writeq_bytes = kept;
}

// True when the socket has room now: a consumer that reads but whose owner
// has not written for a while is not stalled.
bool socket_takes_more(sock_t fd)
{
    struct pollfd watch {fd, POLLOUT, 0};
    return poll(&watch, 1, 0) == 1 && (watch.revents & POLLOUT) != 0;
}

bool slow_consumer(vn_msgq_t *queue)
{
    if (queue->write_fd == -1 || queue->slow_cut_bytes != 0)
        return false;
    if (queue->writeq_bytes > slow_queued_bytes.load(std::memory_order_relaxed))
        return true;
    if (queue->writeq_bytes <= slow_stalled_bytes.load(std::memory_order_relaxed))
        return false;
    double idle = msgq_monotonic_seconds() - queue->last_taken;
    return idle >= slow_stall_seconds.load(std::memory_order_relaxed) && !socket_takes_more(queue->write_fd);
}

// True when the calling thread may not write the queue's connection now.
bool ssl_off_owner(const vn_msgq_t *queue, const SSL *ssl)
{
    return ssl != nullptr && !msgq_on_owner(queue);
}

// The flush on the owner's thread: 0 when all is written.
int flush_on_owner(vn_msgq_t *queue)
{
    msgq_drop(queue->write_event);
    if (queue->write_fd == -1)
        return has_unwritten(queue) ? 1 : 0;
    switch (msgq_flush_queue(queue)) {
    case kFlushDone:
        return 0;
    case kFlushPending:
        add_write_watch(queue);
        return 1;
    case kFlushFailed:
    case kFlushBusy: // the other writer hands what is left back when it ends
        break;
    }
    return 1;
}

// The flush on another thread, which may have no loop at all: a plain
// socket is written here, and what is left stays with the owner. Its watch
// is left alone (it ends itself once nothing waits); without one, or a
// batch timer, the owner is woken through *wake.
int flush_for_owner(vn_msgq_t *queue, sock_t *wake)
{
    if (queue->write_fd == -1)
        return has_unwritten(queue) ? 1 : 0;
    if (queue->write_ssl == nullptr && msgq_flush_queue(queue) == kFlushDone)
        return 0;
    if (!has_unwritten(queue))
        return 0;
    *wake = msgq_wake_writer(queue);
    return 1;
}

// The frame as one block with its 4-byte header, for a single write call.
std::vector<unsigned char> short_frame(const vn_msg_t *msg)
{
    std::vector<unsigned char> frame(kShortHeaderBytes + msg->len);
    put_header(frame.data(), msg->type, msg->len);
    if (msg->len != 0)
        std::memcpy(frame.data() + kShortHeaderBytes, msg->msg, msg->len);
    return frame;
}

// True when a frame written now would land inside another: in the middle
// of a buffered frame, or past a record that awaits its retry.
bool out_of_band_cuts_in(vn_msgq_t *queue, sock_t fd, const SSL *ssl)
{
    if (ssl != nullptr && queue->ssl_retry.buffer != nullptr)
        return true;
    write_buffer_t *oldest = oldest_buffer(queue);
    return oldest != nullptr && oldest->ptr != oldest->buf && fd == queue->write_fd;
}

// Record by record over SSL: with partial writes on, SSL_write returns
// after each record, and a frame longer than one is cut only when the
// connection stops taking it.
ssize_t write_frame_now(sock_t fd, SSL *ssl, const std::vector<unsigned char> &frame)
{
    if (ssl == nullptr)
        return write_plain(fd, frame.data(), frame.size());
    size_t done = 0;
    while (done < frame.size()) {
        int written = SSL_write(ssl, frame.data() + done, static_cast<int>(frame.size() - done));
        if (written <= 0) {
            ERR_print_errors_fp(stderr);
            return done > 0 ? static_cast<ssize_t>(done) : written;
        }
        done += static_cast<size_t>(written);
    }
    return static_cast<ssize_t>(done);
}

// The out-of-band write with the queue's turn; the caller holds the lock
// and has waited for any write in flight.
int write_out_of_band(vn_msgq_t *queue, const std::vector<unsigned char> &frame, sock_t *wake)
{
    sock_t fd = queue->read_fd != -1 ? queue->read_fd : queue->write_fd;
    SSL *ssl = queue->read_fd != -1 ? queue->read_ssl : queue->write_ssl;
    if (fd == -1 || ssl_off_owner(queue, ssl) || out_of_band_cuts_in(queue, fd, ssl))
        return -1;
    ssize_t written;
    begin_write(queue);
    {
        msgq_unlock unlocked(queue);
        written = write_frame_now(fd, ssl, frame);
        if (msgq_write_seam_t seam = write_seam.load(std::memory_order_acquire))
            seam(queue);
    }
    if (written > 0)
        queue->bytes_sent += static_cast<uint64_t>(written);
    bool whole = written == static_cast<ssize_t>(frame.size());
    // The rest of a cut frame can never follow: the stream ends before any
    // other write may begin, and its reader reports the end of the
    // connection. An SSL connection that took none of it is as broken: it
    // failed, or holds a record that wants these very bytes again.
    bool cut = !whole && (written > 0 || ssl != nullptr);
    if (cut)
        shutdown(fd, SHUT_RDWR);
    bool owed = end_write(queue);
    // On a cut stream what stepped aside waits for the next link.
    if (owed && !cut && has_unwritten(queue))
        *wake = msgq_wake_writer(queue);
    return whole ? 0 : -1;
}

} // namespace

sock_t msgq_wake_writer(vn_msgq_t *queue)
{
    if (queue->write_timer != nullptr || queue->write_event != nullptr)
        return -1;
    if (!msgq_on_owner(queue))
        return wake_owner(queue);
    msgq_write_queue(queue);
    return -1;
}

void msgq_send_wake_byte(sock_t fd)
{
    // One byte per idle period cannot fill the pair; a failed write would
    // only mean a byte is already waiting.
    if (fd != -1)
        [[maybe_unused]] ssize_t written = send(fd, &kWakeByte, 1, MSG_NOSIGNAL);
}

void msgq_wait_write_settled(vn_msgq_t *queue)
{
    queue->settle_waiters++;
    while (queue->writing)
        pthread_cond_wait(&queue->write_settled, &queue->writeq_lock);
    queue->settle_waiters--;
}

void _vn_msgq_write_seam_set(msgq_write_seam_t seam)
{
    write_seam.store(seam, std::memory_order_release);
}

void _vn_msgq_watch_seam_set(msgq_write_seam_t seam)
{
    watch_seam.store(seam, std::memory_order_release);
}

void msgq_write_queue(vn_msgq_t *queue)
{
    if (queue->write_fd == -1 || queue->slow_cut_bytes != 0) {
        bound_detached(queue);
        return;
    }
    switch (msgq_flush_queue(queue)) {
    case kFlushPending:
        log_debug("Failed flush on send message\n");
        add_write_watch(queue);
        break;
    case kFlushDone:
        start_batch_timer(queue);
        break;
    case kFlushFailed:
    case kFlushBusy: // the other writer hands what is left back when it ends
        break;
    }
}

void msgq_rewind_partial(vn_msgq_t *queue)
{
    write_buffer_t *oldest = oldest_buffer(queue);
    if (oldest == nullptr || oldest->ptr == oldest->buf)
        return;
    size_t written = static_cast<size_t>(oldest->ptr - oldest->buf);
    size_t start = oldest->len == 0 ? written : frame_start(oldest, written);
    size_t kept = written - start + static_cast<size_t>(oldest->len);
    // The complete frames before the cut one went out; the rest moves to
    // the front so that the buffer again starts with a whole frame, which
    // no record of the old connection pins.
    queue->ssl_retry = {};
    if (kept != 0 && start != 0)
        std::memmove(oldest->buf, oldest->buf + start, kept);
    oldest->ptr = oldest->buf;
    oldest->len = static_cast<int>(kept);
    queue->writeq_bytes += written - start;
}

void msgq_move_buffers(vn_msgq_t *dest, vn_msgq_t *src)
{
    // Only whole frames move: one cut on src's socket goes again in full.
    msgq_rewind_partial(src);
    src->ssl_retry = {};
    write_buffer_t *emptied = newest_buffer(dest);
    if (emptied != nullptr && emptied->len == 0 && !_vn_list_empty(&src->writeq))
        retire_buffer(dest, emptied);
    while (!_vn_list_empty(&src->writeq)) {
        vn_list_t *oldest = src->writeq.prev;
        _vn_list_del(oldest);
        _vn_list_add_head(&dest->writeq, oldest);
    }
    dest->writeq_len += src->writeq_len;
    dest->writeq_bytes += src->writeq_bytes;
    src->writeq_len = 0;
    src->writeq_bytes = 0;
}

void msgq_check_slow_consumer(vn_msgq_t *queue)
{
    if (!slow_consumer(queue))
        return;
    queue->slow_cut_bytes = queue->writeq_bytes;
    queue->ssl_retry = {};
    // Shut down, not closed: the descriptor stays the owner's, whose reader
    // now sees the end of the link and reports it lost.
    shutdown(queue->write_fd, SHUT_RDWR);
}

double msgq_monotonic_seconds()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

void _vn_msgq_slow_consumer_bounds_set(const msgq_slow_consumer_bounds_t &bounds)
{
    slow_queued_bytes.store(bounds.queued_bytes, std::memory_order_relaxed);
    slow_stalled_bytes.store(bounds.stalled_bytes, std::memory_order_relaxed);
    slow_stall_seconds.store(bounds.stall_seconds, std::memory_order_relaxed);
}

void msgq_free_buffers(vn_msgq_t *queue)
{
    while (write_buffer_t *buffer = oldest_buffer(queue))
        free_buffer(queue, buffer);
    queue->writeq_bytes = 0;
    while (write_buffer_t *spare = queue->spare) {
        queue->spare = spare->list.next != nullptr ? buffer_of(spare->list.next) : nullptr;
        release_buffer(spare);
    }
    queue->spare_count = 0;
}

int msgq_remove_write_events(vn_msgq_t *queue)
{
    int mask = msgq_drop(queue->write_event) ? kMsgqWriteWatch : 0;
    return msgq_drop(queue->write_timer) ? mask | kMsgqBatchTimer : mask;
}

void msgq_add_write_events(vn_msgq_t *queue, int mask)
{
    if (mask & kMsgqWriteWatch)
        add_write_watch(queue);
    if (mask & kMsgqBatchTimer)
        start_batch_timer(queue);
}

int msgq_pipe_read_msg(sock_t fd, int, void *data)
{
    vn_msgq_t *queue = static_cast<vn_msgq_t *>(data);
    char byte;
    [[maybe_unused]] ssize_t got = recv(fd, &byte, 1, 0);
    msgq_lock lock(queue);
    queue->pipe_sending = 0;
    msgq_wake_writer(queue); // on the owner: writes, never asks for a wake-up
    return 1;
}

extern "C" {

int vn_msgq_send_msg_stream_buffer(vn_msgq_t *queue, vn_msg_t *msg)
{
    if (queue == nullptr || msg->len > kMaxPayload || (msg->len != 0 && msg->msg == nullptr))
        return -1;
    sock_t wake = -1;
    {
        msgq_lock lock(queue);
        append_frame(queue, msg);
        msgq_check_slow_consumer(queue);
        // A cut link's buffers wait for the next one, bounded as a detached queue's.
        if (queue->slow_cut_bytes != 0)
            bound_detached(queue);
        else
            wake = msgq_wake_writer(queue);
    }
    msgq_send_wake_byte(wake);
    return 0;
}

int vn_msgq_send_msg_stream(vn_msgq_t *queue, vn_msg_t *msg)
{
    return vn_msgq_send_msg_stream_buffer(queue, msg);
}

int vn_msgq_send_msg_stream_oob(vn_msgq_t *queue, vn_msg_t *msg)
{
    // The short header is the only one an out-of-band frame has.
    if (queue == nullptr || msg->len > kMaxShortPayload || (msg->len != 0 && msg->msg == nullptr))
        return -1;
    std::vector<unsigned char> frame = short_frame(msg);
    sock_t wake = -1;
    int result;
    {
        msgq_lock lock(queue);
        msgq_wait_write_settled(queue);
        result = write_out_of_band(queue, frame, &wake);
    }
    msgq_send_wake_byte(wake);
    return result;
}

int vn_msgq_send_msg_dgram(vn_msgq_t *queue, vn_msg_t *msg)
{
    // The caller leaves room for the header: len counts it.
    if (queue == nullptr || msg->len < kDatagramHeaderBytes || msg->len > kMaxDatagramBytes || msg->msg == nullptr)
        return -1;
    put_u16(msg->msg, msg->type);
    put_u16(msg->msg + 2, msg->len);
    sock_t fd;
    struct sockaddr_in destination;
    {
        msgq_lock lock(queue);
        fd = queue->write_fd;
        destination = queue->serv_addr;
    }
    // A datagram is whole or not sent, so concurrent sends need no turn.
    ssize_t sent = sendto(fd, msg->msg, msg->len, MSG_NOSIGNAL, reinterpret_cast<const struct sockaddr *>(&destination),
                          sizeof destination);
    if (sent < 0)
        return -1;
    msgq_lock lock(queue);
    queue->bytes_sent += static_cast<uint64_t>(sent);
    return 0;
}

int vn_msgq_send_msg(vn_msgq_t *queue, vn_msg_t *msg)
{
    if (queue != nullptr && (queue->flags & 6))
        return vn_msgq_send_msg_dgram(queue, msg);
    return vn_msgq_send_msg_stream_buffer(queue, msg);
}

int vn_msgq_dgram_set(vn_msgq_t *queue, const char *addr, int port, const char *laddr, int lport)
{
    struct sockaddr_in destination {};
    sock_t fd = vn_udp_client_socket(addr, port, &destination);
    if (fd < 0)
        return -1;
    if (vn_udp_bind_client_socket(fd, laddr, lport) < 0 || vn_setnonblocking(fd) < 0) {
        close(fd);
        return -1;
    }
    msgq_lock lock(queue);
    msgq_wait_write_settled(queue);
    queue->serv_addr = destination;
    queue->write_fd = fd;
    queue->write_ssl = nullptr;
    queue->ssl_retry = {};
    return 0;
}

void vn_msgq_clear_write_queue(vn_msgq_t *queue)
{
    msgq_lock lock(queue);
    msgq_wait_write_settled(queue);
    free_uncommitted(queue);
    // The watch stays for what the connection is bound to. Another thread
    // leaves it be in any case: it ends itself once nothing waits.
    if (msgq_on_owner(queue) && !has_unwritten(queue))
        msgq_drop(queue->write_event);
}

int vn_msgq_flush_write_queue(vn_msgq_t *queue)
{
    sock_t wake = -1;
    int result;
    {
        msgq_lock lock(queue);
        result = msgq_on_owner(queue) ? flush_on_owner(queue) : flush_for_owner(queue, &wake);
    }
    msgq_send_wake_byte(wake);
    return result;
}

} // extern "C"
