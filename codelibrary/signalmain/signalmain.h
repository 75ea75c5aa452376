// signalmain.h: the call channel's record, shared with its tests.
#ifndef VANTRIX_SIGNALMAIN_H
#define VANTRIX_SIGNALMAIN_H

#include "vantrix_private.h"

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

struct _tarvelutil_signalany {
    tarvelutil_queue_t *queue;
    std::condition_variable cond; // a synchronous call has run, or a sender arrived while closing
    std::mutex cond_mutex;        // guards cond, the done flags and closing
    std::mutex control_mutex;     // admits one synchronous sender at a time
    vn_log_t *logfile;
    sock_t message_pipe[2]; // read by the owner, written by senders
    vn_read_event_t *read_event;
    pthread_t main_thread;
    std::atomic<int> yield_count{0};
    // Synchronous senders inside send, counted from before they queue for
    // control_mutex, so a delete can wait for every one of them.
    std::atomic<int> senders{0};
    // Set by a sender that wrote a wake-up byte, and kept set while the owner
    // reads the queue; cleared by the owner only once it found the queue
    // empty. While it is set, a sender has no byte to write: the owner is
    // awake or about to be.
    std::atomic<bool> signalled{false};
    // A test's gate, run by the owner as it finds the queue empty: stage 0
    // before it clears `signalled`, stage 1 after, before it looks again.
    void (*idle_gate)(tarvelutil_signalany_t *channel, int stage) = nullptr;
    bool dispatching = false;      // owner only: the read callback is running calls
    bool delete_requested = false; // owner only: a call deleted the channel
    bool closing = false;
};

#endif
