// msgq.h: the message queue's record, private to the modules that move
// queues between threads (msgq, peer). Everyone else uses the functions of
// the public interface.
//
// Ownership: the read side (read_buf, read_len, read_bufsize, read_event)
// belongs to the owner thread alone and takes no lock. The write list, its
// count, the write watch and the timers are guarded by writeq_lock; any
// thread may append. A queue changes owner only through
// vn_msgq_remove_from_thread on the old owner and vn_msgq_add_to_thread on
// the new one. An appender that finds the consumer too far behind shuts the
// socket down under writeq_lock; closing it stays with the owner. An SSL
// connection is the owner's alone, for writes too: its reader may be inside
// SSL_read at any moment (msgq_write.cpp).
//
// Writes run without writeq_lock, one at a time: while `writing` is set the
// bytes in the write are the writer's, and whatever moves or frees buffers
// or changes the sockets first waits for the settle on `write_settled`. A
// step that finds the queue writing leaves its work to the writer, which
// hands it to the owner when its write ends. The write watch and
// the batch timer live on the owner's loop and only the owner adds or
// deletes them, so the socket setters, close and free are called on the
// owner (or while no thread owns the queue).
//
// `ssl_retry` is what an SSL_write awaiting its retry was given: bytes from
// the start of one buffer's unwritten ones, which a clear keeps and nothing
// is written ahead of. A new write side, a close, a slow-consumer cut or a
// copy of the buffers away forgets it. The full rules are at the top of
// msgq_write.cpp.
#ifndef VANTRIX_MSGQ_H
#define VANTRIX_MSGQ_H

#include "vantrix_private.h"

#include <openssl/ssl.h>
#include <pthread.h>

#include <cstdint>

// One write buffer: the unwritten bytes are the len bytes from ptr; new
// frames go right after them.
struct _msgq_write {
    int len;
    int allocated_len;
    unsigned char *buf;
    unsigned char *ptr;
    vn_list_t list; // newest first in the queue's writeq
};

// The bytes an SSL_write that asked for a retry was given: the first `bytes`
// unwritten ones of `buffer`; none while buffer is null.
struct msgq_ssl_pin_t {
    _msgq_write *buffer;
    size_t bytes;
};

struct _vn_msgq {
    unsigned char flags; // 1 stream; a bit of mask 6 selects datagrams
    struct sockaddr_in serv_addr;
    sock_t read_fd;
    vn_read_event_t *read_event;
    int read_len;
    int read_bufsize;
    unsigned char *read_buf;
    vn_msgq_read_cb read_callback;
    int read_val;
    void *read_data;
    sock_t write_fd; // -1 while the write side is detached or closed
    vn_timed_event_t *write_timer;
    vn_write_event_t *write_event;
    int writeq_len;
    int writeq_max;
    vn_list_t writeq;
    SSL *read_ssl;
    SSL *write_ssl;
    pthread_t thread_id;
    pthread_mutex_t writeq_lock;
    unsigned char pipe_sending;
    sock_t pipe_read_fd;
    sock_t pipe_write_fd;
    vn_read_event_t *pipe_read_event;
    char *mon_name;
    uint64_t bytes_sent;
    uint64_t bytes_recvd;
    uint64_t prev_bytes_sent;
    uint64_t prev_bytes_recvd;
    int prev_writeq_len;
    vn_timed_event_t *monitor_timed_event;
    // Offset of the undispatched bytes in read_buf: a pass settles it before
    // each callback, so a queue handed over mid-pass needs nothing more from
    // the old owner.
    int read_pos;
    uint32_t frame_limit;               // largest payload accepted from the peer
    vn_timed_event_t *dispatch_event;   // the new owner's pass over frames that came with a hand-over
    bool *reader_alive;                 // the running pass's flag, cleared when the queue is freed under it
    unsigned char owned;                // 0 between vn_msgq_remove_from_thread and vn_msgq_add_to_thread
    _msgq_write *spare;                 // written-out 16 KB buffers kept for reuse, linked through list.next
    int spare_count;
    uint64_t writeq_bytes;              // unwritten bytes in the write list
    double last_taken;                  // monotonic seconds of the last write that took a byte
    uint64_t slow_cut_bytes;            // bytes queued when the link was cut as a slow consumer, else 0
    unsigned char writing;              // 1 while a write call runs without the lock
    unsigned char stepped_aside;        // 1 when a step found that write in flight and left its work to it
    pthread_cond_t write_settled;       // broadcast when `writing` clears
    int settle_waiters;                 // threads waiting on write_settled
    msgq_ssl_pin_t ssl_retry;           // the bytes an SSL_write awaiting its retry was given
};

// ---- Shared by the module's files (msgq.cpp, msgq_write.cpp, msgq_read.cpp) ----

// Holds a queue's writeq_lock for a scope.
class msgq_lock {
public:
    explicit msgq_lock(vn_msgq_t *queue) : queue_(queue) { pthread_mutex_lock(&queue_->writeq_lock); }
    ~msgq_lock() { pthread_mutex_unlock(&queue_->writeq_lock); }
    msgq_lock(const msgq_lock &) = delete;
    msgq_lock &operator=(const msgq_lock &) = delete;

private:
    vn_msgq_t *queue_;
};

// The bits of vn_msgq_remove_from_thread's mask.
constexpr int kMsgqReadWatch = 1;
constexpr int kMsgqWriteWatch = 2;
constexpr int kMsgqBatchTimer = 4;
constexpr int kMsgqMonitorTimer = 8;

constexpr int kMsgqChunkBytes = 16384; // a write buffer, a read, the first read buffer

// msgq.cpp
extern vn_log_t *msgq_event_log;
extern double c_vantrix_batch_time;
// 1 when the calling thread owns the queue's loop; the caller holds the lock.
bool msgq_on_owner(const vn_msgq_t *queue);
// Delete the event a field holds and clear the field; true when there was one.
bool msgq_drop(vn_timed_event_t *&event);
bool msgq_drop(vn_read_event_t *&event);
bool msgq_drop(vn_write_event_t *&event);

// Releases a held writeq_lock for a scope, around a write call.
class msgq_unlock {
public:
    explicit msgq_unlock(vn_msgq_t *queue) : queue_(queue) { pthread_mutex_unlock(&queue_->writeq_lock); }
    ~msgq_unlock() { pthread_mutex_lock(&queue_->writeq_lock); }
    msgq_unlock(const msgq_unlock &) = delete;
    msgq_unlock &operator=(const msgq_unlock &) = delete;

private:
    vn_msgq_t *queue_;
};

// msgq_write.cpp; the caller holds the lock for all but msgq_pipe_read_msg.
// Writes now on the owner (dropping the lock across the write), else asks
// for the owner to be woken, unless a batch timer or a write watch will
// write anyway. Returns the wake-up socket to write one byte to once the
// lock is released (msgq_send_wake_byte), or -1.
sock_t msgq_wake_writer(vn_msgq_t *queue);
void msgq_send_wake_byte(sock_t fd);
// Waits until no write runs on another thread; what the caller does next
// moves or frees buffers or changes a socket. Never called by the writer.
void msgq_wait_write_settled(vn_msgq_t *queue);
// Tests only: runs on the writing thread between each write call and its
// settle, without the lock, so that a test can hold a writer there.
using msgq_write_seam_t = void (*)(vn_msgq_t *queue);
void _vn_msgq_write_seam_set(msgq_write_seam_t seam);
// Tests only: runs at each call of a write watch, with the lock held.
void _vn_msgq_watch_seam_set(msgq_write_seam_t seam);
// The write step: flush and arrange for the rest, or bound a detached queue.
void msgq_write_queue(vn_msgq_t *queue);
// Moves src's frames, whole, behind dest's; both locks held, neither being
// written. src forgets its pin: its buffers leave its connection.
void msgq_move_buffers(vn_msgq_t *dest, vn_msgq_t *src);
// When the oldest buffer went out in part on the current socket, rewinds it
// to the start of the frame that was cut, so the next link gets that frame
// whole with everything after it.
void msgq_rewind_partial(vn_msgq_t *queue);
// Cuts a link whose consumer has fallen too far behind (see the bounds
// below): the socket is shut down, so the owner's reader reports the link
// lost, and from then on the queue is bounded as a detached one.
void msgq_check_slow_consumer(vn_msgq_t *queue);
double msgq_monotonic_seconds();
void msgq_free_buffers(vn_msgq_t *queue);
// Removes the write watch and the batch timer; the mask of what was there.
int msgq_remove_write_events(vn_msgq_t *queue);
void msgq_add_write_events(vn_msgq_t *queue, int mask);
int msgq_pipe_read_msg(sock_t fd, int val, void *data);

// A link is a slow consumer when more than `queued_bytes` are unwritten, or
// more than `stalled_bytes` while its socket has taken no byte for
// `stall_seconds`. Tests lower the bounds to stay small; any thread.
struct msgq_slow_consumer_bounds_t {
    uint64_t queued_bytes;
    uint64_t stalled_bytes;
    double stall_seconds;
};
constexpr uint64_t kSlowConsumerQueuedBytes = 256ull << 20;
constexpr uint64_t kSlowConsumerStalledBytes = 64ull << 20;
constexpr double kSlowConsumerStallSeconds = 2.0;
constexpr msgq_slow_consumer_bounds_t kMsgqSlowConsumerBounds{kSlowConsumerQueuedBytes, kSlowConsumerStalledBytes,
                                                              kSlowConsumerStallSeconds};
void _vn_msgq_slow_consumer_bounds_set(const msgq_slow_consumer_bounds_t &bounds);

// msgq_read.cpp; owner thread only.
// The read watch callback for the queue's mode.
vn_io_event_cb msgq_reader(const vn_msgq_t *queue);
// Runs a pass over the frames already buffered from the calling loop.
void msgq_schedule_dispatch(vn_msgq_t *queue);
// The same when the queue's SSL connection holds bytes already taken off
// the socket, which would never wake the read watch.
void msgq_schedule_ssl_read(vn_msgq_t *queue);

#endif // VANTRIX_MSGQ_H
