// The select back-end: three watched descriptor sets, copied for each wait,
// and a list of watches per type.
#include "event.h"

#include <sys/select.h>

#include <algorithm>

namespace {

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
static_assert(sizeof(select_watch_t) <= 64, "watches come from 64-byte pool elements");

struct select_state_t {
    event_watch_lists_t watch_lists;
    fd_set watched[3];
    fd_set ready[3]; // this pass's copies
    int limit;       // sockets at or above it cannot be put in a set
};

constexpr auto state_of = _vn_event_state<select_state_t>;

void select_init(int, int max)
{
    select_state_t *state = state_of(_vn_event_get_globals());
    _vn_event_lists_init(&state->watch_lists);
    for (int type = kWatchRead; type <= kWatchExcept; type++) {
        FD_ZERO(&state->watched[type]);
        FD_ZERO(&state->ready[type]);
    }
    state->limit = std::min(max, FD_SETSIZE);
}

void *add_watch(event_globals_t *globals, int type, sock_t fd, vn_io_event_cb cb, int val, void *data)
{
    select_state_t *state = state_of(globals);
    if (_vn_event_refuse_socket(globals, kAddNames[type], fd, state->limit))
        return nullptr;
    select_watch_t *watch = _vn_event_lists_take<select_watch_t>(&state->watch_lists, type, globals, fd, cb, val, data);
    FD_SET(fd, &state->watched[type]);
    return watch;
}

void stop_watching(select_state_t *state, select_watch_t *watch)
{
    FD_CLR(watch->fd, &state->watched[watch->type]);
    FD_CLR(watch->fd, &state->ready[watch->type]);
    _vn_event_lists_unlink(&state->watch_lists, &watch->list);
}

void release(select_state_t *state, select_watch_t *watch)
{
    _vn_event_lists_release(&state->watch_lists, watch);
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
    _vn_event_lists_walk<select_watch_t>(&state->watch_lists, type, [=](select_watch_t *watch) {
        if (!FD_ISSET(watch->fd, &state->ready[type]))
            return;
        _vn_event_run_watch(
            watch, [=](select_watch_t *stopped) { stop_watching(state, stopped); },
            [=](select_watch_t *released) { release(state, released); });
    });
}

void select_loop()
{
    event_globals_t *globals = _vn_event_get_globals();
    select_state_t *state = state_of(globals);
    _vn_write_pid_file();
    while (!globals->stop_vnloop) {
        _vn_event_run_before_wait(globals);
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
    select_slots::fill(functions, _vn_event_new_state<select_state_t>, select_init, select_loop);
    return 1;
}
