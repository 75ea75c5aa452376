// Cross-thread call channels: a locked queue of calls plus a socket pair whose
// wake-up byte makes the owner's loop run them.
#include "signalmain/signalmain.h"

#include <unistd.h>

namespace {

constexpr size_t kDrainBytes = 4096;
constexpr char kWakeByte = 1;

struct signalany_msg_t {
    int async; // 0: a sender waits for it
    int type;
    tarvelutil_signalmain_cb_t func;
    void *data;
    int *done; // the waiting sender's flag, guarded by cond_mutex
};

tarvelutil_signalany_t *signalmain;

// Without a default channel nothing is run or set, and the caller is told so.
constexpr int kNoDefaultChannel = -1;

bool on_owner(const tarvelutil_signalany_t *channel)
{
    return pthread_equal(channel->main_thread, pthread_self()) != 0;
}

void write_wake_byte(tarvelutil_signalany_t *channel)
{
    // A full pipe already holds a wake-up byte, so a failed write loses nothing.
    [[maybe_unused]] ssize_t written = write(channel->message_pipe[1], &kWakeByte, 1);
}

// Called by the queue after each push, with the queue locked: one byte per
// burst. A burst ends when the owner finds the queue empty, not when it takes
// the last call, so that calls posted while it runs one cost no byte.
void on_push(void *context, tarvelutil_queue_t *, int)
{
    tarvelutil_signalany_t *channel = static_cast<tarvelutil_signalany_t *>(context);
    if (!channel->signalled.exchange(true))
        write_wake_byte(channel);
}

void pass_idle_gate(tarvelutil_signalany_t *channel, int stage)
{
    if (channel->idle_gate != nullptr)
        channel->idle_gate(channel, stage);
}

// The owner found the queue empty. A sender that pushed before `signalled`
// is cleared wrote no byte, so the queue is read again after clearing it
// (the push's count comes before the sender's look at the flag, the clear
// before this look at the count); true when calls came and are the owner's
// to run now.
bool more_after_idle(tarvelutil_signalany_t *channel)
{
    pass_idle_gate(channel, 0);
    channel->signalled.store(false);
    pass_idle_gate(channel, 1);
    return tarvelutil_queue_count(channel->queue) > 0 && !channel->signalled.exchange(true);
}

signalany_msg_t *new_message(int type, tarvelutil_signalmain_cb_t func, void *data, int async, int *done)
{
    signalany_msg_t *msg = static_cast<signalany_msg_t *>(vn_calloc(1, sizeof(signalany_msg_t)));
    msg->async = async;
    msg->type = type;
    msg->func = func;
    msg->data = data;
    msg->done = done;
    return msg;
}

// Runs a synchronous call with cond_mutex held, which the caller has taken.
void run_sync_locked(tarvelutil_signalany_t *channel, signalany_msg_t *msg)
{
    msg->func(msg->type, msg->data);
    *msg->done = 1;
    channel->cond.notify_all();
}

void run_message(tarvelutil_signalany_t *channel, signalany_msg_t *msg)
{
    if (msg->async != 0) {
        msg->func(msg->type, msg->data);
    } else {
        std::lock_guard<std::mutex> lock(channel->cond_mutex);
        run_sync_locked(channel, msg);
    }
    vn_free(msg);
}

// Runs every call still queued and waits until each synchronous sender that
// had entered send has been served and has left, so nothing is destroyed
// under a sender and no sender waits forever.
void drain_for_delete(tarvelutil_signalany_t *channel)
{
    std::unique_lock<std::mutex> lock(channel->cond_mutex);
    channel->closing = true;
    for (;;) {
        signalany_msg_t *msg = static_cast<signalany_msg_t *>(tarvelutil_queue_pop_front(channel->queue));
        if (msg != nullptr) {
            if (msg->async != 0) {
                // As in ordinary dispatch, only synchronous calls run under cond_mutex.
                lock.unlock();
                msg->func(msg->type, msg->data);
                lock.lock();
            } else {
                run_sync_locked(channel, msg);
            }
            vn_free(msg);
            continue;
        }
        if (channel->senders.load() == 0)
            break;
        channel->cond.wait(lock);
    }
}

void destroy(tarvelutil_signalany_t *channel)
{
    vn_del_read_event(channel->read_event);
    drain_for_delete(channel);
    tarvelutil_queue_delete(channel->queue);
    close(channel->message_pipe[0]);
    close(channel->message_pipe[1]);
    delete channel;
}

int run_delete(int, void *data)
{
    return tarvelutil_signalany_delete(static_cast<tarvelutil_signalany_t *>(data));
}

// Runs queued calls, up to yield_count of them when it is above 0.
int on_wakeup(sock_t fd, int, void *data)
{
    tarvelutil_signalany_t *channel = static_cast<tarvelutil_signalany_t *>(data);
    char drained[kDrainBytes];
    [[maybe_unused]] ssize_t got = read(fd, drained, sizeof drained);
    int limit = channel->yield_count.load();
    int run = 0;
    channel->dispatching = true;
    while (!channel->delete_requested && (limit <= 0 || run < limit)) {
        signalany_msg_t *msg = static_cast<signalany_msg_t *>(tarvelutil_queue_pop_front(channel->queue));
        if (msg == nullptr) {
            if (more_after_idle(channel))
                continue;
            break;
        }
        run_message(channel, msg);
        run++;
    }
    channel->dispatching = false;
    if (channel->delete_requested) {
        destroy(channel);
        return 1; // the watch was deleted in its callback and is released anyway
    }
    // Stopped by the limit with `signalled` still set: let the loop serve its
    // other events and come back for the rest, whose senders wrote no byte.
    if (limit > 0 && run == limit && (tarvelutil_queue_count(channel->queue) > 0 || more_after_idle(channel)))
        write_wake_byte(channel);
    return 1;
}

void send_sync(tarvelutil_signalany_t *channel, int type, tarvelutil_signalmain_cb_t func, void *data)
{
    channel->senders.fetch_add(1);
    {
        std::lock_guard<std::mutex> control(channel->control_mutex);
        std::unique_lock<std::mutex> lock(channel->cond_mutex);
        // Held from before the push until the wait releases it, so the owner
        // cannot finish the call before this sender is waiting.
        int done = 0;
        tarvelutil_queue_push_back(channel->queue, new_message(type, func, data, 0, &done));
        if (channel->closing)
            channel->cond.notify_all(); // a deleting owner waits for this push
        channel->cond.wait(lock, [&done] { return done != 0; });
    }
    // Leaving is announced under cond_mutex, so a deleting owner that sees no
    // senders left knows no sender touches the channel any more.
    std::lock_guard<std::mutex> lock(channel->cond_mutex);
    channel->senders.fetch_sub(1);
    if (channel->closing)
        channel->cond.notify_all();
}

} // namespace

extern "C" {

tarvelutil_signalany_t *tarvelutil_signalany_create(struct _vn_log *log)
{
    tarvelutil_signalany_t *channel = new tarvelutil_signalany_t;
    channel->logfile = log;
    channel->main_thread = pthread_self();
    if (vn_pipe(channel->message_pipe) != 0) {
        delete channel;
        return nullptr;
    }
    vn_setnonblocking(channel->message_pipe[0]);
    vn_setnonblocking(channel->message_pipe[1]);
    channel->read_event = vn_add_read_event(channel->message_pipe[0], on_wakeup, 0, channel);
    if (channel->read_event == nullptr) {
        // Without a loop to read them, calls would never run and senders would wait forever.
        close(channel->message_pipe[0]);
        close(channel->message_pipe[1]);
        delete channel;
        return nullptr;
    }
    channel->queue = tarvelutil_queue_create(nullptr, on_push, channel);
    return channel;
}

int tarvelutil_signalany_exec(tarvelutil_signalany_t *channel, int type, tarvelutil_signalmain_cb_t func, void *data,
                              int async)
{
    if (on_owner(channel)) {
        func(type, data);
        return 0;
    }
    return tarvelutil_signalany_send(channel, type, func, data, async);
}

int tarvelutil_signalany_send(tarvelutil_signalany_t *channel, int type, tarvelutil_signalmain_cb_t func, void *data,
                              int async)
{
    if (async != 0) {
        tarvelutil_queue_push_back(channel->queue, new_message(type, func, data, async, nullptr));
        return 0;
    }
    // The owner waiting for itself would never return.
    if (on_owner(channel)) {
        func(type, data);
        return 0;
    }
    send_sync(channel, type, func, data);
    return 0;
}

int tarvelutil_signalany_delete(tarvelutil_signalany_t *channel)
{
    if (channel == nullptr)
        return 0;
    if (!on_owner(channel)) {
        // The channel's own queue carries the delete to the owner, behind the
        // calls already queued.
        tarvelutil_signalany_send(channel, 0, run_delete, channel, 1);
        return 0;
    }
    if (channel->closing || channel->delete_requested)
        return 0;
    if (channel->dispatching) {
        // A call is running from the read callback, which destroys the
        // channel once that call returns.
        channel->delete_requested = true;
        return 0;
    }
    destroy(channel);
    return 0;
}

int tarvelutil_signalany_set_yield_count(tarvelutil_signalany_t *channel, int count)
{
    channel->yield_count.store(count);
    return 0;
}

int tarvelutil_signalany_get_yield_count(tarvelutil_signalany_t *channel)
{
    return channel->yield_count.load();
}

int tarvelutil_signalmain_init(struct _vn_log *log)
{
    if (signalmain == nullptr)
        signalmain = tarvelutil_signalany_create(log);
    return 0;
}

int tarvelutil_signalmain_exec(int type, tarvelutil_signalmain_cb_t func, void *data, int async)
{
    if (signalmain == nullptr)
        return kNoDefaultChannel;
    return tarvelutil_signalany_exec(signalmain, type, func, data, async);
}

int tarvelutil_signalmain_send(int type, tarvelutil_signalmain_cb_t func, void *data, int async)
{
    if (signalmain == nullptr)
        return kNoDefaultChannel;
    return tarvelutil_signalany_send(signalmain, type, func, data, async);
}

int tarvelutil_signalmain_set_yield_count(int count)
{
    if (signalmain == nullptr)
        return kNoDefaultChannel;
    return tarvelutil_signalany_set_yield_count(signalmain, count);
}

int tarvelutil_signalmain_get_yield_count(int)
{
    if (signalmain == nullptr)
        return kNoDefaultChannel;
    return tarvelutil_signalany_get_yield_count(signalmain);
}

int tarvelutil_signalmain_exit(void)
{
    if (signalmain == nullptr)
        return 0;
    tarvelutil_signalany_delete(signalmain);
    signalmain = nullptr;
    return 0;
}

} // extern "C"
