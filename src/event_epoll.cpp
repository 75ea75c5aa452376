// The epoll back-end: one registration per socket (a wrap holding its read,
// write and except watches), dispatched from epoll_wait.
#include "event.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr size_t kWatchBytes = 48;
constexpr size_t kWatchesPerBlock = 8192;
constexpr uint32_t kTypeBits[] = {EPOLLIN, EPOLLOUT, EPOLLPRI};
constexpr const char *kAddNames[] = {"event_epoll_add_read_event", "event_epoll_add_write_event",
                                     "event_epoll_add_except_event"};

struct epoll_watch_t {
    event_base_t event_base;
    sock_t fd;
    vn_io_event_cb callback;
    int eventmask; // the bits this watch wants, with error and hang-up
    unsigned in_callback : 1;
    unsigned deleted : 1;
};
static_assert(sizeof(epoll_watch_t) <= kWatchBytes, "watches come from 48-byte pool elements");

struct event_epoll_wrap_t {
    epoll_watch_t *io_events[3]; // read, write, except
    struct epoll_event epoll_ev;
    sock_t fd;
    vn_list_t list; // link in the clean-up list
};

struct epoll_state_t {
    int epoll_fd;
    int epoll_max;
    struct epoll_event *epoll_return_events;
    event_epoll_wrap_t **epoll_events; // by socket
    vn_list_t epoll_cleanup_list;
    vn_memroot_t *epoll_event_cache;
};

constexpr auto state_of = _vn_event_state<epoll_state_t>;

void epoll_init(int, int max)
{
    epoll_state_t *state = state_of(_vn_event_get_globals());
    state->epoll_event_cache = vn_new_memroot(kWatchBytes, kWatchesPerBlock, 0);
    state->epoll_max = max;
    size_t count = static_cast<size_t>(max);
    state->epoll_return_events = static_cast<struct epoll_event *>(vn_calloc(count, sizeof(struct epoll_event)));
    state->epoll_events = static_cast<event_epoll_wrap_t **>(vn_calloc(count, sizeof(event_epoll_wrap_t *)));
    state->epoll_fd = epoll_create(max);
    _vn_list_init(&state->epoll_cleanup_list);
}

// Returns false when the kernel refuses the socket.
bool register_wrap(epoll_state_t *state, event_epoll_wrap_t *wrap, int op)
{
    if (epoll_ctl(state->epoll_fd, op, wrap->fd, &wrap->epoll_ev) == 0)
        return true;
    // A socket closed while watched left the epoll set: register it afresh.
    return op == EPOLL_CTL_MOD && errno == ENOENT &&
           epoll_ctl(state->epoll_fd, EPOLL_CTL_ADD, wrap->fd, &wrap->epoll_ev) == 0;
}

uint32_t wanted_events(const event_epoll_wrap_t *wrap)
{
    uint32_t mask = 0;
    for (epoll_watch_t *watch : wrap->io_events)
        if (watch != nullptr)
            mask |= static_cast<uint32_t>(watch->eventmask);
    return mask;
}

void *add_watch(event_globals_t *globals, int type, sock_t fd, vn_io_event_cb cb, int val, void *data)
{
    epoll_state_t *state = state_of(globals);
    if (_vn_event_refuse_socket(globals, kAddNames[type], fd, state->epoll_max))
        return nullptr;
    epoll_watch_t *watch = static_cast<epoll_watch_t *>(vn_mem_get(state->epoll_event_cache));
    watch->event_base = {globals, val, data};
    watch->fd = fd;
    watch->callback = cb;
    watch->in_callback = 0;
    watch->deleted = 0;
    watch->eventmask = static_cast<int>(kTypeBits[type] | EPOLLERR | EPOLLHUP);
    event_epoll_wrap_t *wrap = state->epoll_events[fd];
    int op = EPOLL_CTL_MOD;
    if (wrap == nullptr) {
        wrap = static_cast<event_epoll_wrap_t *>(vn_calloc(1, sizeof(event_epoll_wrap_t)));
        wrap->epoll_ev.data.ptr = wrap;
        wrap->fd = fd;
        _vn_list_init(&wrap->list);
        state->epoll_events[fd] = wrap;
        op = EPOLL_CTL_ADD;
    }
    epoll_watch_t *replaced = wrap->io_events[type];
    wrap->epoll_ev.events |= static_cast<uint32_t>(watch->eventmask);
    wrap->io_events[type] = watch;
    if (register_wrap(state, wrap, op))
        return watch;
    // A watch that can never fire must not be handed back as if it could.
    _vn_event_log(globals, kEventLogError, "%s could not watch socket %d: %s\n", kAddNames[type], fd,
                  strerror(errno));
    wrap->io_events[type] = replaced;
    wrap->epoll_ev.events = wanted_events(wrap);
    if (op == EPOLL_CTL_ADD) {
        state->epoll_events[fd] = nullptr;
        vn_free(wrap);
    }
    vn_mem_release(state->epoll_event_cache, watch);
    return nullptr;
}

void stop_watching(epoll_state_t *state, epoll_watch_t *watch, int type)
{
    event_epoll_wrap_t *wrap = state->epoll_events[watch->fd];
    // A watch replaced by a newer one of its type no longer owns the slot.
    if (wrap == nullptr || wrap->io_events[type] != watch)
        return;
    wrap->io_events[type] = nullptr;
    uint32_t mask = wanted_events(wrap);
    if (mask == 0) {
        epoll_ctl(state->epoll_fd, EPOLL_CTL_DEL, wrap->fd, &wrap->epoll_ev);
        state->epoll_events[watch->fd] = nullptr;
        // Events of this pass may still name the wrap: free it at the pass end.
        _vn_list_add_tail(&state->epoll_cleanup_list, &wrap->list);
        return;
    }
    wrap->epoll_ev.events = mask;
    register_wrap(state, wrap, EPOLL_CTL_MOD);
}

void release(epoll_state_t *state, epoll_watch_t *watch)
{
    vn_mem_release(state->epoll_event_cache, watch);
}

int del_watch(event_globals_t *globals, void *handle, int type)
{
    epoll_state_t *state = state_of(globals);
    return _vn_event_delete_watch(
        static_cast<epoll_watch_t *>(handle), [=](epoll_watch_t *watch) { stop_watching(state, watch, type); },
        [=](epoll_watch_t *watch) { release(state, watch); });
}

void dispatch(epoll_state_t *state, epoll_watch_t *watch, int type)
{
    _vn_event_run_watch(
        watch, [=](epoll_watch_t *stopped) { stop_watching(state, stopped, type); },
        [=](epoll_watch_t *released) { release(state, released); });
}

void dispatch_ready(epoll_state_t *state, int ready)
{
    for (int i = 0; i < ready; i++) {
        const struct epoll_event &returned = state->epoll_return_events[i];
        event_epoll_wrap_t *wrap = static_cast<event_epoll_wrap_t *>(returned.data.ptr);
        for (int type = kWatchRead; type <= kWatchExcept; type++) {
            // Looked up afresh each time: an earlier callback may have deleted it.
            epoll_watch_t *watch = wrap->io_events[type];
            if (watch != nullptr && (static_cast<uint32_t>(watch->eventmask) & returned.events) != 0)
                dispatch(state, watch, type);
        }
    }
}

void free_released_wraps(epoll_state_t *state)
{
    while (!_vn_list_empty(&state->epoll_cleanup_list)) {
        vn_list_t *link = state->epoll_cleanup_list.next;
        _vn_list_del(link);
        vn_free(_vn_list_entry(link, event_epoll_wrap_t, list));
    }
}

void epoll_loop()
{
    event_globals_t *globals = _vn_event_get_globals();
    epoll_state_t *state = state_of(globals);
    _vn_write_pid_file();
    while (!globals->stop_vnloop) {
        _vn_event_run_before_wait(globals);
        int millis = -1;
        if (!_vn_event_delay_millis(globals, &millis))
            millis = -1;
        int ready = epoll_wait(state->epoll_fd, state->epoll_return_events, state->epoll_max, millis);
        _vn_event_wake(globals);
        _vn_handle_timed_events(globals);
        dispatch_ready(state, ready);
        free_released_wraps(state);
    }
}

using epoll_slots = event_typed_slots_t<epoll_watch_t, add_watch, del_watch>;

} // namespace

int _vn_event_epoll_init(event_module_functions_t *functions)
{
    int probe = epoll_create(1);
    if (probe < 0)
        return 0;
    close(probe);
    epoll_slots::fill(functions, _vn_event_new_state<epoll_state_t>, epoll_init, epoll_loop);
    return 1;
}
