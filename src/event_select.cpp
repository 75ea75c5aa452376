// The select back-end: three watched descriptor sets, copied for each wait,
// and a list of watches per type.
#include "event.h"

#include <sys/select.h>

#include <algorithm>

namespace {

constexpr size_t kWatchBytes = 64;
constexpr size_t kReadWatchesPerBlock = 4096;
constexpr size_t kOtherWatchesPerBlock = 2048;
constexpr const char *kAddNames[] = {"event_select_add_read_event", "event_select_add_write_event",
                                     "event_select_add_except_event"};

struct select_watch_t {
    event_base_t event_base;
    sock_t fd;
    vn_io_event_cb callback;
    vn_list_t list;
    unsigned in_callback : 1;
    unsigned deleted : 1;
    unsigned type : 2; // its list, pool and set
};
static_assert(sizeof(select_watch_t) <= kWatchBytes, "watches come from 64-byte pool elements");

struct select_state_t {
    vn_list_t event_lists[3]; // read, write, except; new watches at the front
    vn_memroot_t *event_caches[3];
    fd_set watched[3];
    fd_set ready[3]; // this pass's copies
    int limit;       // sockets at or above it cannot be put in a set
    // The watch the dispatch takes next; moved on when that watch is stopped.
    vn_list_t *dispatch_next;
};

select_state_t *state_of(event_globals_t *globals)
{
    return reinterpret_cast<select_state_t *>(globals->module_globals);
}

event_module_globals_t *select_globals()
{
    return reinterpret_cast<event_module_globals_t *>(vn_calloc(1, sizeof(select_state_t)));
}

void select_init(int, int max)
{
    select_state_t *state = state_of(_vn_event_get_globals());
    for (int type = kWatchRead; type <= kWatchExcept; type++) {
        _vn_list_init(&state->event_lists[type]);
        FD_ZERO(&state->watched[type]);
        FD_ZERO(&state->ready[type]);
    }
    state->event_caches[kWatchRead] = vn_new_memroot(kWatchBytes, kReadWatchesPerBlock, 0);
    state->event_caches[kWatchWrite] = vn_new_memroot(kWatchBytes, kOtherWatchesPerBlock, 0);
    state->event_caches[kWatchExcept] = vn_new_memroot(kWatchBytes, kOtherWatchesPerBlock, 0);
    state->limit = std::min(max, FD_SETSIZE);
}

void *add_watch(event_globals_t *globals, int type, sock_t fd, vn_io_event_cb cb, int val, void *data)
{
    select_state_t *state = state_of(globals);
    if (_vn_event_refuse_socket(globals, kAddNames[type], fd, state->limit))
        return nullptr;
    select_watch_t *watch = static_cast<select_watch_t *>(vn_mem_get(state->event_caches[type]));
    watch->event_base = {globals, val, data};
    watch->fd = fd;
    watch->callback = cb;
    watch->in_callback = 0;
    watch->deleted = 0;
    watch->type = static_cast<unsigned>(type) & 3u;
    _vn_list_add_head(&state->event_lists[type], &watch->list);
    FD_SET(fd, &state->watched[type]);
    return watch;
}

void stop_watching(select_state_t *state, select_watch_t *watch)
{
    FD_CLR(watch->fd, &state->watched[watch->type]);
    FD_CLR(watch->fd, &state->ready[watch->type]);
    if (state->dispatch_next == &watch->list)
        state->dispatch_next = watch->list.next;
    _vn_list_del(&watch->list);
}

void release(select_state_t *state, select_watch_t *watch)
{
    vn_mem_release(state->event_caches[watch->type], watch);
}

int del_watch(event_globals_t *globals, void *handle, int)
{
    select_state_t *state = state_of(globals);
    return _vn_event_delete_watch(
        static_cast<select_watch_t *>(handle), [=](select_watch_t *watch) { stop_watching(state, watch); },
        [=](select_watch_t *watch) { release(state, watch); });
}

void dispatch_list(select_state_t *state, int type)
{
    vn_list_t *head = &state->event_lists[type];
    for (vn_list_t *link = head->next; link != head; link = state->dispatch_next) {
        state->dispatch_next = link->next;
        select_watch_t *watch = _vn_list_entry(link, select_watch_t, list);
        if (!FD_ISSET(watch->fd, &state->ready[type]))
            continue;
        _vn_event_run_watch(
            watch, [=](select_watch_t *stopped) { stop_watching(state, stopped); },
            [=](select_watch_t *released) { release(state, released); });
    }
    state->dispatch_next = nullptr;
}

void select_loop()
{
    event_globals_t *globals = _vn_event_get_globals();
    select_state_t *state = state_of(globals);
    _vn_event_write_pid_file();
    while (!globals->stop_vnloop) {
        for (int type = kWatchRead; type <= kWatchExcept; type++)
            state->ready[type] = state->watched[type];
        struct timeval timeout;
        struct timeval *bound = _vn_event_delay_timeval(globals, &timeout) ? &timeout : nullptr;
        int ready = select(FD_SETSIZE, &state->ready[kWatchRead], &state->ready[kWatchWrite],
                           &state->ready[kWatchExcept], bound);
        _vn_event_wake(globals);
        _vn_handle_timed_events(globals);
        // After a failed wait the copies hold nothing to trust.
        if (ready < 1)
            continue;
        for (int type = kWatchRead; type <= kWatchExcept; type++)
            dispatch_list(state, type);
    }
}

using select_slots = event_typed_slots_t<select_watch_t, add_watch, del_watch>;

} // namespace

int _vn_event_select_init(event_module_functions_t *functions)
{
    select_slots::fill(functions, select_globals, select_init, select_loop);
    return 1;
}
