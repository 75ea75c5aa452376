// The poll back-end: one dense pollfd array with an entry per watched socket,
// and a list of watches per type.
#include "event.h"

#include <poll.h>

namespace {

constexpr int kInitialEntries = 10;
constexpr unsigned kLiveMagic = 0xCAFBABE;
constexpr unsigned kReleasedMagic = 0xDEDBEEF;
constexpr short kTypeBits[] = {POLLIN, POLLOUT, POLLPRI};
constexpr short kCheckMasks[] = {POLLIN | POLLERR | POLLHUP | POLLNVAL, POLLOUT | POLLERR | POLLHUP | POLLNVAL,
                                 POLLPRI | POLLERR | POLLHUP | POLLNVAL};
constexpr const char *kAddNames[] = {"event_poll_add_read_event", "event_poll_add_write_event",
                                     "event_poll_add_except_event"};

struct poll_watch_t {
    event_base_t event_base;
    sock_t fd;
    vn_io_event_cb callback;
    vn_list_t list;
    unsigned in_callback : 1;
    unsigned deleted : 1;
    unsigned magic_number : 28;
    unsigned type : 2; // its list, pool and poll bit
};
static_assert(sizeof(poll_watch_t) <= 64, "watches come from 64-byte pool elements");

struct poll_state_t {
    event_watch_lists_t watch_lists;
    struct pollfd *ufds;
    int nfds;
    int nfds_alloc;
    int max;
    int *fd2pollfd; // by socket, -1 for none
};

constexpr auto state_of = _vn_event_state<poll_state_t>;

void poll_init(int, int max)
{
    poll_state_t *state = state_of(_vn_event_get_globals());
    _vn_event_lists_init(&state->watch_lists);
    state->nfds = 0;
    state->nfds_alloc = kInitialEntries;
    state->ufds = static_cast<struct pollfd *>(vn_calloc(kInitialEntries, sizeof(struct pollfd)));
    state->max = max;
    state->fd2pollfd = static_cast<int *>(vn_malloc(sizeof(int) * static_cast<size_t>(max)));
    for (int fd = 0; fd < max; fd++)
        state->fd2pollfd[fd] = -1;
}

void append_entry(event_globals_t *globals, poll_state_t *state, sock_t fd, short bit)
{
    if (state->nfds + 1 > state->nfds_alloc) {
        _vn_event_log(globals, kEventLogInfo, "Resizing event fd array from %d to %d\n", state->nfds_alloc,
                      state->nfds + 1);
        state->nfds_alloc = state->nfds + 1;
        state->ufds = static_cast<struct pollfd *>(
            vn_realloc(state->ufds, sizeof(struct pollfd) * static_cast<size_t>(state->nfds_alloc)));
    }
    state->ufds[state->nfds] = {fd, bit, 0};
    state->fd2pollfd[fd] = state->nfds;
    state->nfds++;
}

void *add_watch(event_globals_t *globals, int type, sock_t fd, vn_io_event_cb cb, int val, void *data)
{
    poll_state_t *state = state_of(globals);
    if (_vn_event_refuse_socket(globals, kAddNames[type], fd, state->max))
        return nullptr;
    poll_watch_t *watch = _vn_event_lists_take<poll_watch_t>(&state->watch_lists, type, globals, fd, cb, val, data);
    watch->magic_number = kLiveMagic;
    int index = state->fd2pollfd[fd];
    if (index >= 0 && index < state->nfds)
        state->ufds[index].events = static_cast<short>(state->ufds[index].events | kTypeBits[type]);
    else
        append_entry(globals, state, fd, kTypeBits[type]);
    return watch;
}

void clear_entry_bit(event_globals_t *globals, poll_state_t *state, int index, short bit)
{
    if (index < 0) {
        _vn_event_log(globals, kEventLogInfo, "Ignoring negative index into event fd array\n");
        return;
    }
    struct pollfd &entry = state->ufds[index];
    entry.events = static_cast<short>(entry.events & ~bit);
    if (entry.events != 0)
        return;
    // Keep ufds dense: the last entry fills the gap.
    state->fd2pollfd[entry.fd] = -1;
    state->nfds--;
    if (index != state->nfds) {
        entry = state->ufds[state->nfds];
        state->fd2pollfd[entry.fd] = index;
    }
}

void stop_watching(event_globals_t *globals, poll_watch_t *watch)
{
    poll_state_t *state = state_of(globals);
    clear_entry_bit(globals, state, state->fd2pollfd[watch->fd], kTypeBits[watch->type]);
    _vn_event_lists_unlink(&state->watch_lists, &watch->list);
}

void release(poll_state_t *state, poll_watch_t *watch)
{
    watch->magic_number = kReleasedMagic;
    _vn_event_lists_release(&state->watch_lists, watch);
}

int del_watch(event_globals_t *globals, void *handle, int)
{
    poll_state_t *state = state_of(globals);
    return _vn_event_delete_watch(
        static_cast<poll_watch_t *>(handle), [=](poll_watch_t *watch) { stop_watching(globals, watch); },
        [=](poll_watch_t *watch) { release(state, watch); });
}

// Runs the due watches of one type; returns the entries it left with nothing
// pending.
int dispatch_list(event_globals_t *globals, poll_state_t *state, int type)
{
    int handled = 0;
    _vn_event_lists_walk<poll_watch_t>(&state->watch_lists, type, [&](poll_watch_t *watch) {
        int index = state->fd2pollfd[watch->fd];
        if (index < 0)
            return;
        struct pollfd &entry = state->ufds[index];
        short due = static_cast<short>(entry.revents & kCheckMasks[type]);
        if (due == 0)
            return;
        // Taken off, so an error or hang-up goes to the first due watch only.
        entry.revents = static_cast<short>(entry.revents & ~due);
        if (entry.revents == 0)
            handled++;
        _vn_event_run_watch(
            watch, [=](poll_watch_t *stopped) { stop_watching(globals, stopped); },
            [=](poll_watch_t *released) { release(state, released); });
    });
    return handled;
}

void drop_unhandled(event_globals_t *globals, poll_state_t *state)
{
    for (int index = 0; index < state->nfds; index++) {
        struct pollfd &entry = state->ufds[index];
        if (entry.revents == 0)
            continue;
        _vn_event_log(globals, kEventLogError, "Unhandled event %0x on fd %d\n", entry.revents, entry.fd);
        entry.events = static_cast<short>(entry.events & ~entry.revents);
        entry.revents = 0;
    }
}

void poll_loop()
{
    event_globals_t *globals = _vn_event_get_globals();
    poll_state_t *state = state_of(globals);
    _vn_write_pid_file();
    while (!globals->stop_vnloop) {
        _vn_event_run_before_wait(globals);
        int millis = -1;
        if (!_vn_event_delay_millis(globals, &millis))
            millis = -1;
        int ready = poll(state->ufds, static_cast<nfds_t>(state->nfds), millis);
        _vn_event_wake(globals);
        _vn_handle_timed_events(globals);
        if (ready < 1)
            continue;
        int handled = 0;
        for (int type = kWatchRead; type <= kWatchExcept; type++)
            handled += dispatch_list(globals, state, type);
        if (ready > handled)
            drop_unhandled(globals, state);
    }
}

using poll_slots = event_typed_slots_t<poll_watch_t, add_watch, del_watch>;

} // namespace

int _vn_event_poll_init(event_module_functions_t *functions)
{
    poll_slots::fill(functions, _vn_event_new_state<poll_state_t>, poll_init, poll_loop);
    return 1;
}
