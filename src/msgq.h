// msgq.h: the message queue's record, private to the modules that move
// queues between threads (msgq, peer). Everyone else uses the functions of
// the public interface.
//
// Ownership: the read side (read_buf, read_len, read_bufsize, read_event)
// belongs to the owner thread alone and takes no lock. The write list, its
// count, the write watch and the timers are guarded by writeq_lock; any
// thread may append. A queue changes owner only through
// vn_msgq_remove_from_thread on the old owner and vn_msgq_add_to_thread on
// the new one.
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
};

#endif // VANTRIX_MSGQ_H
