// event.h: what the event loop core shares with its back-ends. Private to the
// event modules (event, event_epoll, event_poll, event_select, event_devpoll).
#ifndef VANTRIX_EVENT_H
#define VANTRIX_EVENT_H

#include "vantrix_private.h"

#include <pthread.h>
#include <sys/time.h>
#include <time.h>

#include <cstdint>

struct event_globals_t;

// The common head of every timed event and socket watch.
struct event_base_t {
    event_globals_t *globals; // the owning loop
    int val;
    void *data;
};

struct _vn_timed_event {
    event_base_t event_base;
    int id;
    int heap_index; // slot in the timer heap while it is there; lets a delete skip the search
    double time;    // absolute due time, seconds since the epoch
    double delay;   // repeat interval, seconds
    vn_timed_event_cb callback;
    unsigned in_callback : 1;
    unsigned deleted : 1;
};

struct heap_t {
    int size;
    vn_timed_event_t **tree;
    int tree_size;
    int tree_increment;
};

// Each back-end defines its own state behind this name.
struct event_module_globals_t;

// Watch kinds, in the order the back-ends dispatch them.
enum event_watch_type_t { kWatchRead = 0, kWatchWrite = 1, kWatchExcept = 2 };

using ev_add_fn = void *(*)(event_globals_t *globals, sock_t fd, vn_io_event_cb cb, int val, void *data);
using ev_del_fn = int (*)(event_globals_t *globals, void *watch);
using ev_set_callback_fn = void (*)(void *watch, vn_io_event_cb cb, int val, void *data);

// The back-end's operations, filled by its set-up function.
struct event_module_functions_t {
    event_module_globals_t *(*ev_globals)();
    void (*ev_init)(int flags, int max);
    void (*ev_loop)();
    ev_add_fn ev_add_read_event;
    ev_add_fn ev_add_write_event;
    ev_add_fn ev_add_except_event;
    ev_del_fn ev_del_read_event;
    ev_del_fn ev_del_write_event;
    ev_del_fn ev_del_except_event;
    ev_set_callback_fn ev_read_event_set_callback;
    ev_set_callback_fn ev_write_event_set_callback;
};

struct event_globals_t {
    int stop_vnloop;
    vn_init_t *init; // its log takes the loop's messages
    heap_t *timed_event_heap;
    vn_memroot_t *timed_event_cache;
    time_t start_time;
    struct timeval timeofday;
    uint64_t vn_relative_time;
    time_t vn_time;
    struct tm gmtime_tm;
    event_module_globals_t *module_globals;
    pthread_t thread_id;
    tarvelutil_signalany_t *signalany; // the loop's call channel: deletes and calls from other threads
    // Deletes of this loop's timed events asked by other threads, gathered
    // so that a stream of them costs one posted call per batch.
    struct foreign_deletes_t *foreign_deletes;
    event_module_functions_t event_module_functions;
    // Work put off until the loop is about to wait (_vn_event_before_wait):
    // only while the thread is inside vn_loop, on this thread alone.
    int looping;
    int before_wait_count;
    void (*before_wait[4])(void);
};

// Back-end set-up: fill the table and return 1, or return 0 when unusable.
int _vn_event_epoll_init(event_module_functions_t *functions);
int _vn_event_devpoll_init(event_module_functions_t *functions);
int _vn_event_poll_init(event_module_functions_t *functions);
int _vn_event_select_init(event_module_functions_t *functions);

// The calling thread's loop, or null when it has none.
event_globals_t *_vn_event_get_globals();

// Wait bound until the earliest timed event; 0 when none is pending, else 1.
int _vn_event_delay_millis(event_globals_t *globals, int *millis);
int _vn_event_delay_timeval(event_globals_t *globals, struct timeval *tv);
// One timer pass.
void _vn_handle_timed_events(event_globals_t *globals);
// Reads the wall clock at a wake: timeofday, vn_time and the relative time.
void _vn_event_wake(event_globals_t *globals);
// Runs the work put off until the loop waits; every back-end calls it
// before it waits.
void _vn_event_run_before_wait(event_globals_t *globals);

// Refuses a socket an add cannot index: logs the line for `function` and
// returns 1 when `fd` is -1 or at or beyond `limit`.
int _vn_event_refuse_socket(event_globals_t *globals, const char *function, sock_t fd, int limit);
// A line to the loop's event log, when there is one.
void _vn_event_log(event_globals_t *globals, int level, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// A back-end's own state behind the loop's opaque pointer.
template <typename State>
State *_vn_event_state(event_globals_t *globals)
{
    return reinterpret_cast<State *>(globals->module_globals);
}

template <typename State>
event_module_globals_t *_vn_event_new_state()
{
    return reinterpret_cast<event_module_globals_t *>(vn_calloc(1, sizeof(State)));
}

// The result rules every back-end applies after a watch's callback: 1 keeps
// it, -1 stops it but keeps the handle, anything else stops and releases it.
// A watch deleted during its own callback is released whatever it returns.
template <typename Watch, typename Stop, typename Release>
void _vn_event_run_watch(Watch *watch, Stop stop_watching, Release release)
{
    watch->in_callback = 1;
    int result = watch->callback(watch->fd, watch->event_base.val, watch->event_base.data);
    watch->in_callback = 0;
    bool deleted_in_callback = watch->deleted;
    if (result == 1 && !deleted_in_callback)
        return;
    if (!deleted_in_callback)
        stop_watching(watch);
    if (result == -1 && !deleted_in_callback) {
        watch->deleted = 1;
        return;
    }
    release(watch);
}

// The delete every back-end shares; a watch in its callback is released by
// the dispatch once the callback returns.
template <typename Watch, typename Stop, typename Release>
int _vn_event_delete_watch(Watch *watch, Stop stop_watching, Release release)
{
    if (!watch->deleted)
        stop_watching(watch);
    if (watch->in_callback) {
        watch->deleted = 1;
        return 1;
    }
    release(watch);
    return 1;
}

template <typename Watch>
void _vn_event_set_watch_callback(void *handle, vn_io_event_cb cb, int val, void *data)
{
    Watch *watch = static_cast<Watch *>(handle);
    watch->callback = cb;
    watch->event_base.val = val;
    watch->event_base.data = data;
}

// The per-type watch lists and pools of the poll and select back-ends.
struct event_watch_lists_t {
    vn_list_t lists[3]; // read, write, except; new watches at the front
    vn_memroot_t *caches[3];
    vn_list_t *dispatch_next; // the link a running walk takes next
};

void _vn_event_lists_init(event_watch_lists_t *watch_lists);

// Takes a watch of `type` from its pool, fills its common fields and links
// it at the front of its list.
template <typename Watch>
Watch *_vn_event_lists_take(event_watch_lists_t *watch_lists, int type, event_globals_t *globals, sock_t fd,
                            vn_io_event_cb cb, int val, void *data)
{
    Watch *watch = static_cast<Watch *>(vn_mem_get(watch_lists->caches[type]));
    watch->event_base = {globals, val, data};
    watch->fd = fd;
    watch->callback = cb;
    watch->in_callback = 0;
    watch->deleted = 0;
    watch->type = static_cast<unsigned>(type) & 3u;
    _vn_list_add_head(&watch_lists->lists[type], &watch->list);
    return watch;
}

// Unlinks a watch; a walk that was to take it next takes its successor.
inline void _vn_event_lists_unlink(event_watch_lists_t *watch_lists, vn_list_t *link)
{
    if (watch_lists->dispatch_next == link)
        watch_lists->dispatch_next = link->next;
    _vn_list_del(link);
}

template <typename Watch>
void _vn_event_lists_release(event_watch_lists_t *watch_lists, Watch *watch)
{
    vn_mem_release(watch_lists->caches[watch->type], watch);
}

// Visits the watches of `type` front to back. A visit may stop or delete any
// watch, itself included; watches added meanwhile wait for the next walk.
template <typename Watch, typename Visit>
void _vn_event_lists_walk(event_watch_lists_t *watch_lists, int type, Visit visit)
{
    vn_list_t *head = &watch_lists->lists[type];
    for (vn_list_t *link = head->next; link != head; link = watch_lists->dispatch_next) {
        watch_lists->dispatch_next = link->next;
        visit(_vn_list_entry(link, Watch, list));
    }
    watch_lists->dispatch_next = nullptr;
}

// Fills a back-end's table from its add and delete, which take the watch type.
template <typename Watch, void *(*Add)(event_globals_t *, int, sock_t, vn_io_event_cb, int, void *),
          int (*Del)(event_globals_t *, void *, int)>
struct event_typed_slots_t {
    template <int Type>
    static void *add(event_globals_t *globals, sock_t fd, vn_io_event_cb cb, int val, void *data)
    {
        return Add(globals, Type, fd, cb, val, data);
    }
    template <int Type>
    static int del(event_globals_t *globals, void *watch)
    {
        return Del(globals, watch, Type);
    }
    static void fill(event_module_functions_t *functions, event_module_globals_t *(*globals_fn)(),
                     void (*init_fn)(int, int), void (*loop_fn)())
    {
        *functions = {globals_fn,
                      init_fn,
                      loop_fn,
                      add<kWatchRead>,
                      add<kWatchWrite>,
                      add<kWatchExcept>,
                      del<kWatchRead>,
                      del<kWatchWrite>,
                      del<kWatchExcept>,
                      _vn_event_set_watch_callback<Watch>,
                      _vn_event_set_watch_callback<Watch>};
    }
};

// Log levels the event modules use.
constexpr int kEventLogError = 3;
constexpr int kEventLogInfo = 6;

#endif
