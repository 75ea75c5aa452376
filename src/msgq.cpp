// Message queues: one connected socket turned into a stream of framed
// messages both ways. This file holds a queue's life (creation, close, free),
// its settings, its moves between threads and its monitoring group; writing
// is in msgq_write.cpp, reading in msgq_read.cpp.
//
// Threads and locks: the owner thread (the one whose loop holds the queue's
// watches and timers) reads, writes to the socket and runs the timers. Any
// thread may append frames under writeq_lock, which guards the write list,
// the watches and timers of the write side, the sockets and `owned`; the
// read side belongs to the owner alone. A peer's lock and the statistics
// lock are taken before writeq_lock, and the statistics lock released first.
// Write calls run without writeq_lock (msgq_write.cpp); close, free, copy and
// the socket setters wait for a write in flight on another thread to settle
// before they move buffers or sockets.
#include "msgq.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <string>

vn_log_t *msgq_event_log = nullptr;
double c_vantrix_batch_time = 0.01;

namespace {

constexpr int kDefaultWriteqMax = 50;
constexpr uint32_t kEstablishedFrameLimit = 256u << 20;
constexpr double kMonitorPeriod = 1.0;
constexpr uint32_t kLongHeaderBytes = 6;
constexpr int kMonitorKeyType = VN_MONITOR_ULLONG | VN_MONITOR_KEY;

std::string &template_name = *new std::string; // "%s.server.msgq", set at module start

void publish(vn_msgq_t *queue, bool force)
{
    const char *name = template_name.c_str();
    if (force || queue->bytes_sent != queue->prev_bytes_sent) {
        vn_monitor_update_ullong(name, queue->mon_name, "bytes-sent", queue->bytes_sent);
        queue->prev_bytes_sent = queue->bytes_sent;
    }
    if (force || queue->bytes_recvd != queue->prev_bytes_recvd) {
        vn_monitor_update_ullong(name, queue->mon_name, "bytes-read", queue->bytes_recvd);
        queue->prev_bytes_recvd = queue->bytes_recvd;
    }
    if (force || queue->writeq_len != queue->prev_writeq_len) {
        vn_monitor_update_ullong(name, queue->mon_name, "write-queue-size", static_cast<uint64_t>(queue->writeq_len));
        queue->prev_writeq_len = queue->writeq_len;
    }
}

int msgq_monitor_event(int, int, void *data)
{
    vn_msgq_t *queue = static_cast<vn_msgq_t *>(data);
    msgq_lock lock(queue);
    // A stalled link is cut even when nothing more is sent to it.
    msgq_check_slow_consumer(queue);
    publish(queue, false);
    return 1;
}

void start_monitoring(vn_msgq_t *queue)
{
    uint64_t id = reinterpret_cast<uintptr_t>(queue);
    queue->mon_name = vn_asprintf("%lu", static_cast<unsigned long>(id));
    std::string brief = std::string("Msgq ") + queue->mon_name;
    std::string description = std::string("Information about the message queue ") + queue->mon_name;
    vn_monitor_create_group(template_name.c_str(), queue->mon_name, brief.c_str(), description.c_str());
    vn_monitor_update_ullong(template_name.c_str(), queue->mon_name, "msgq-id", id);
    publish(queue, true);
    queue->monitor_timed_event = vn_add_timed_event(0, kMonitorPeriod, msgq_monitor_event, 0, queue);
}

// The wake-up pair: appenders on other threads write one byte to the second
// end; the owner's watch on the first end writes the queue.
bool open_wakeup_pair(vn_msgq_t *queue)
{
    sock_t ends[2];
    if (vn_pipe(ends) < 0) {
        if (msgq_event_log != nullptr)
            vn_log(msgq_event_log, 3, "Cannot make a message queue's wake-up socket pair: %s\n",
                   vn_socket_strerror(errno));
        return false;
    }
    vn_setnonblocking(ends[0]);
    vn_setnonblocking(ends[1]);
    queue->pipe_read_fd = ends[0];
    queue->pipe_write_fd = ends[1];
    queue->pipe_read_event = vn_add_read_event(queue->pipe_read_fd, msgq_pipe_read_msg, 0, queue);
    return true;
}

void close_wakeup_pair(vn_msgq_t *queue)
{
    for (sock_t fd : {queue->pipe_read_fd, queue->pipe_write_fd}) {
        shutdown(fd, SHUT_RDWR);
        close(fd);
    }
    queue->pipe_read_fd = queue->pipe_write_fd = -1;
}

// Removes the read watch and a pending pass over buffered frames; 1 when
// either was there.
int remove_read_events(vn_msgq_t *queue)
{
    bool had_watch = msgq_drop(queue->read_event);
    bool had_pass = msgq_drop(queue->dispatch_event);
    return had_watch || had_pass;
}

template <typename Event>
bool drop_event(Event *&event, int (*del)(Event *))
{
    if (event == nullptr)
        return false;
    del(event);
    event = nullptr;
    return true;
}

// The lock is held only for a plan, a settle or an append, never across a
// system call: a thread that finds it taken spins a moment rather than
// sleeping, so that the holder need not wake it with a system call of its own.
void init_write_lock(vn_msgq_t *queue)
{
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ADAPTIVE_NP);
    pthread_mutex_init(&queue->writeq_lock, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

void install_reader(vn_msgq_t *queue)
{
    if (queue->read_event == nullptr && queue->read_fd != -1)
        queue->read_event = vn_add_read_event(queue->read_fd, msgq_reader(queue), 0, queue);
}

} // namespace

bool msgq_on_owner(const vn_msgq_t *queue)
{
    return queue->owned && pthread_equal(queue->thread_id, pthread_self());
}

bool msgq_drop(vn_timed_event_t *&event)
{
    return drop_event(event, vn_del_timed_event);
}

bool msgq_drop(vn_read_event_t *&event)
{
    return drop_event(event, vn_del_read_event);
}

bool msgq_drop(vn_write_event_t *&event)
{
    return drop_event(event, vn_del_write_event);
}

extern "C" {

void _vn_msgq_config_init(void)
{
    const double min = 0, max = 10;
    vn_config_add_bounded_option(0, "vantrix-batch-time", "!VantroPeers|!Vantro Batch Time", VN_CONFIG_DOUBLE,
                                 &c_vantrix_batch_time, &min, &max);
}

void _vn_msgq_init(vn_init_t *init)
{
    msgq_event_log = init != nullptr ? init->log : nullptr;
    const char *app = init != nullptr && init->application_name != nullptr ? init->application_name : "";
    template_name = std::string(app) + ".server.msgq";
    const char *name = template_name.c_str();
    vn_monitor_start_template(name, "!System|!MessageQueue");
    vn_monitor_add_template_member(name, "msgq-id", "Message Queue ID", kMonitorKeyType, nullptr, nullptr);
    vn_monitor_add_template_member(name, "bytes-sent", "Total Bytes Sent", VN_MONITOR_ULLONG, nullptr, nullptr);
    vn_monitor_add_template_member(name, "bytes-read", "Total Bytes Received", VN_MONITOR_ULLONG, nullptr, nullptr);
    vn_monitor_add_template_member(name, "write-queue-size", "Write Queue Size", VN_MONITOR_ULLONG, nullptr,
                                   nullptr);
    vn_monitor_end_template(name);
}

vn_msgq_t *vn_new_msgq(sock_t fd, int flags, vn_msgq_read_cb cb, struct ssl_st *ssl, int val, void *data)
{
    vn_msgq_t *queue = static_cast<vn_msgq_t *>(vn_calloc(1, sizeof(vn_msgq_t)));
    queue->flags = static_cast<unsigned char>(flags != 0 ? flags : 1);
    queue->read_fd = queue->write_fd = fd;
    queue->read_ssl = queue->write_ssl = ssl;
    queue->writeq_max = kDefaultWriteqMax;
    _vn_list_init(&queue->writeq);
    queue->read_bufsize = kMsgqChunkBytes;
    queue->read_buf = static_cast<unsigned char *>(vn_malloc(kMsgqChunkBytes));
    queue->read_callback = cb;
    queue->read_val = val;
    queue->read_data = data;
    queue->frame_limit = kEstablishedFrameLimit;
    queue->thread_id = pthread_self();
    queue->owned = 1;
    queue->last_taken = msgq_monotonic_seconds();
    if (!open_wakeup_pair(queue)) {
        vn_free(queue->read_buf);
        vn_free(queue);
        return nullptr;
    }
    init_write_lock(queue);
    pthread_cond_init(&queue->write_settled, nullptr);
    if (cb != nullptr)
        install_reader(queue);
    msgq_schedule_ssl_read(queue);
    start_monitoring(queue);
    return queue;
}

void vn_close_msgq(vn_msgq_t *queue)
{
    remove_read_events(queue);
    queue->read_pos = queue->read_len = 0;
    msgq_lock lock(queue);
    msgq_wait_write_settled(queue);
    msgq_rewind_partial(queue);
    msgq_remove_write_events(queue);
    if (queue->read_fd != -1) {
        if (queue->read_ssl != nullptr)
            SSL_shutdown(queue->read_ssl);
        shutdown(queue->read_fd, SHUT_WR);
        close(queue->read_fd);
        if (queue->read_ssl != nullptr)
            SSL_free(queue->read_ssl);
    }
    queue->read_ssl = queue->write_ssl = nullptr;
    queue->read_fd = queue->write_fd = -1;
    queue->ssl_retry = {};
    queue->slow_cut_bytes = 0;
    // What waits for the next link is bounded from now on, not at the next append.
    msgq_write_queue(queue);
}

void vn_free_msgq(vn_msgq_t *queue)
{
    if (queue->reader_alive != nullptr)
        *queue->reader_alive = false;
    remove_read_events(queue);
    {
        msgq_lock lock(queue);
        msgq_wait_write_settled(queue);
        msgq_remove_write_events(queue);
        msgq_drop(queue->pipe_read_event);
        close_wakeup_pair(queue);
        msgq_free_buffers(queue);
    }
    pthread_cond_destroy(&queue->write_settled);
    pthread_mutex_destroy(&queue->writeq_lock);
    vn_monitor_delete_group(template_name.c_str(), queue->mon_name);
    msgq_drop(queue->monitor_timed_event);
    vn_free(queue->mon_name);
    vn_free(queue->read_buf);
    vn_free(queue);
}

void _vn_msgq_frame_limit_set(vn_msgq_t *queue, uint32_t max_payload)
{
    // The read buffer's size is an int holding the header as well.
    uint32_t largest = INT_MAX - kLongHeaderBytes;
    queue->frame_limit = max_payload == 0 ? kEstablishedFrameLimit : std::min(max_payload, largest);
}

void vn_msgq_read_socket_set(vn_msgq_t *queue, sock_t fd, struct ssl_st *ssl)
{
    if (fd != queue->read_fd) {
        // Bytes and watches of the old socket mean nothing on the new one.
        remove_read_events(queue);
        queue->read_pos = queue->read_len = 0;
    }
    {
        msgq_lock lock(queue);
        // The out-of-band write may be using the read side's socket.
        msgq_wait_write_settled(queue);
        queue->read_fd = fd;
        queue->read_ssl = ssl;
    }
    install_reader(queue);
    msgq_schedule_ssl_read(queue);
}

void vn_msgq_write_socket_set(vn_msgq_t *queue, sock_t fd, struct ssl_st *ssl)
{
    msgq_lock lock(queue);
    msgq_wait_write_settled(queue);
    if (fd != queue->write_fd) {
        // Half a frame must not be finished on another connection, and the
        // write watch watches the old socket.
        msgq_rewind_partial(queue);
        msgq_drop(queue->write_event);
        queue->last_taken = msgq_monotonic_seconds();
        if (fd != -1)
            queue->slow_cut_bytes = 0; // a new link starts afresh
    }
    // A record awaiting its retry binds only the connection it was made for.
    if (fd != queue->write_fd || ssl != queue->write_ssl)
        queue->ssl_retry = {};
    queue->write_fd = fd;
    queue->write_ssl = ssl;
}

void vn_msgq_write_queue_set(vn_msgq_t *queue, int max)
{
    msgq_lock lock(queue);
    queue->writeq_max = max;
}

void vn_msgq_callback_set(vn_msgq_t *queue, vn_msgq_read_cb cb, int val, void *data)
{
    queue->read_callback = cb;
    queue->read_val = val;
    queue->read_data = data;
}

void vn_msgq_callback_set_from_event(vn_msgq_t *queue, vn_msgq_read_cb cb, int val, void *data,
                                     vn_read_event_t *ev)
{
    vn_msgq_callback_set(queue, cb, val, data);
    if (queue->read_event != nullptr && queue->read_event != ev)
        vn_del_read_event(queue->read_event);
    queue->read_event = ev;
    if (ev != nullptr)
        vn_read_event_set_callback(ev, msgq_reader(queue), 0, queue);
    msgq_schedule_ssl_read(queue);
}

void vn_msgq_copy_queue(vn_msgq_t *dest, vn_msgq_t *src)
{
    if (dest == src)
        return;
    // The caller holds the peer lock that orders every sender, so taking
    // the two queue locks one after the other cannot deadlock.
    {
        msgq_lock src_lock(src);
        msgq_wait_write_settled(src);
        msgq_lock dest_lock(dest);
        msgq_wait_write_settled(dest);
        msgq_move_buffers(dest, src);
    }
    // Nothing else would write the moved frames until the next append; the
    // write drops dest's lock, so src's is not held across it.
    sock_t wake;
    {
        msgq_lock dest_lock(dest);
        wake = msgq_wake_writer(dest);
    }
    msgq_send_wake_byte(wake);
}

uint64_t _vn_msgq_slow_consumer_bytes(vn_msgq_t *queue)
{
    msgq_lock lock(queue);
    return queue->slow_cut_bytes;
}


int vn_msgq_remove_from_thread(vn_msgq_t *queue)
{
    int mask = remove_read_events(queue) ? kMsgqReadWatch : 0;
    // The running pass, if any, has settled the buffer and touches nothing
    // more; a free by the next owner must not reach back into it.
    queue->reader_alive = nullptr;
    {
        msgq_lock lock(queue);
        mask |= msgq_remove_write_events(queue);
        msgq_drop(queue->pipe_read_event);
        queue->owned = 0;
    }
    if (msgq_drop(queue->monitor_timed_event))
        mask |= kMsgqMonitorTimer;
    return mask;
}

void vn_msgq_add_to_thread(vn_msgq_t *queue, int mask)
{
    {
        msgq_lock lock(queue);
        queue->thread_id = pthread_self();
        queue->owned = 1;
        // A wake-up byte written while the queue had no owner is read here.
        if (queue->pipe_read_event == nullptr)
            queue->pipe_read_event = vn_add_read_event(queue->pipe_read_fd, msgq_pipe_read_msg, 0, queue);
        msgq_add_write_events(queue, mask);
    }
    if (mask & kMsgqReadWatch) {
        install_reader(queue);
        if (queue->read_len > 0)
            msgq_schedule_dispatch(queue);
        msgq_schedule_ssl_read(queue);
    }
    if ((mask & kMsgqMonitorTimer) && queue->monitor_timed_event == nullptr)
        queue->monitor_timed_event = vn_add_timed_event(0, kMonitorPeriod, msgq_monitor_event, 0, queue);
}

} // extern "C"
