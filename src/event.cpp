// The per-thread event loop: timer heap, timed and periodic events, socket
// watches through the chosen back-end, the loop clock and calendar helpers.
#include "event.h"

#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <vector>

namespace {

constexpr int kHeapInitialSlots = 100;
constexpr int kHeapIncrement = 20;
constexpr size_t kTimedEventBytes = 64;
constexpr size_t kTimedEventsPerBlock = 8192;
constexpr int kMinSocketTable = 65536;
// An unlimited or huge descriptor limit must not size per-loop tables.
constexpr rlim_t kMaxSocketTable = 1 << 20;
constexpr double kSecondsPerMinute = 60.0;
constexpr long kSecondsPerDay = 86400;
constexpr long kSecondsPerWeek = 604800;
constexpr int kMinutesPerDay = 1440;

static_assert(sizeof(vn_timed_event_t) <= kTimedEventBytes, "timed events come from 64-byte pool elements");

pthread_key_t _vn_event_globals_key;
std::once_flag key_once;
vn_init_t *kept_init = nullptr; // the start-up record, for loops made by vn_thread_init

// Bound to `event-module`: the back-ends to try, as a bit mask.
int c_event_module = 4;

void make_key()
{
    std::call_once(key_once, [] { pthread_key_create(&_vn_event_globals_key, nullptr); });
}

bool on_owner_thread(const event_globals_t *globals)
{
    return pthread_equal(globals->thread_id, pthread_self()) != 0;
}

double now_seconds()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return tv.tv_sec + tv.tv_usec / 1e6;
}

} // namespace

// Links to start-up, logs, configuration, monitoring and call channels (see
// the end of this file).
namespace {

void exit_no_event_module(int mask);
void activate_monitoring_on_init_thread();
void create_call_channel(event_globals_t *globals);
// Runs func(type, data) on the owner of `globals` without waiting; false
// when the loop has no channel to post through.
bool post_to_owner(event_globals_t *globals, int type, int (*func)(int, void *), void *data);
// Reports a delete from another thread that could not be posted to the owner.
void refuse_foreign_delete(event_globals_t *owner, const char *function, const void *event);

} // namespace

// ---- Timer heap ----
namespace {

bool earlier_or_equal(const vn_timed_event_t *a, const vn_timed_event_t *b)
{
    return a->time <= b->time;
}

void place(heap_t *heap, int slot, vn_timed_event_t *ev)
{
    heap->tree[slot] = ev;
    ev->heap_index = slot;
}

// Equal times move up, so the newest of equal events sits highest.
void move_up(heap_t *heap, int slot)
{
    vn_timed_event_t *ev = heap->tree[slot];
    while (slot > 0) {
        int parent = (slot + 1) / 2 - 1;
        if (!earlier_or_equal(ev, heap->tree[parent]))
            break;
        place(heap, slot, heap->tree[parent]);
        slot = parent;
    }
    place(heap, slot, ev);
}

// Returns true when the event moved.
bool move_down(heap_t *heap, int slot)
{
    vn_timed_event_t *ev = heap->tree[slot];
    int start = slot;
    for (;;) {
        int child = 2 * slot + 1;
        if (child >= heap->size)
            break;
        if (child + 1 < heap->size && heap->tree[child]->time > heap->tree[child + 1]->time)
            child++;
        if (!(heap->tree[child]->time < ev->time))
            break;
        place(heap, slot, heap->tree[child]);
        slot = child;
    }
    place(heap, slot, ev);
    return slot != start;
}

void heap_insert(heap_t *heap, vn_timed_event_t *ev)
{
    place(heap, heap->size, ev);
    heap->size++;
    move_up(heap, heap->size - 1);
    if (heap->size == heap->tree_size) {
        // A large heap grows by half its size rather than by the small step,
        // so that arming a timer per subject of a big batch does not copy the
        // whole array again every few insertions.
        heap->tree_size += std::max(heap->tree_increment, heap->tree_size / 2);
        heap->tree = static_cast<vn_timed_event_t **>(
            vn_realloc(heap->tree, sizeof(vn_timed_event_t *) * static_cast<size_t>(heap->tree_size)));
    }
}

vn_timed_event_t *heap_extract_root(heap_t *heap)
{
    vn_timed_event_t *root = heap->tree[0];
    heap->size--;
    if (heap->size > 0) {
        place(heap, 0, heap->tree[heap->size]);
        move_down(heap, 0);
    }
    root->heap_index = -1;
    return root;
}

bool heap_contains(const heap_t *heap, const vn_timed_event_t *ev)
{
    return ev->heap_index >= 0 && ev->heap_index < heap->size && heap->tree[ev->heap_index] == ev;
}

// Returns 0 when the event is not in the heap.
int heap_remove(heap_t *heap, vn_timed_event_t *ev)
{
    if (!heap_contains(heap, ev))
        return 0;
    int slot = ev->heap_index;
    heap->size--;
    ev->heap_index = -1;
    if (slot == heap->size)
        return 1;
    place(heap, slot, heap->tree[heap->size]);
    if (!move_down(heap, slot))
        move_up(heap, slot);
    return 1;
}

heap_t *new_heap()
{
    heap_t *heap = static_cast<heap_t *>(vn_calloc(1, sizeof(heap_t)));
    heap->tree_size = kHeapInitialSlots;
    heap->tree_increment = kHeapIncrement;
    heap->tree = static_cast<vn_timed_event_t **>(vn_calloc(kHeapInitialSlots, sizeof(vn_timed_event_t *)));
    return heap;
}

} // namespace

// ---- Loop creation ----
namespace {

struct backend_choice_t {
    int bit;
    const char *name;
    int (*setup)(event_module_functions_t *);
};

constexpr backend_choice_t kBackends[] = {
    {1, "epoll", _vn_event_epoll_init},
    {2, "devpoll", _vn_event_devpoll_init},
    {4, "poll", _vn_event_poll_init},
    {8, "select", _vn_event_select_init},
};

bool choose_backend(int mask, event_module_functions_t *functions)
{
    for (const backend_choice_t &backend : kBackends) {
        if ((mask & backend.bit) == 0)
            continue;
        if (backend.setup(functions) != 0)
            return true;
        fprintf(stderr, "%s: Failed to initialise '%s' event module\n", vn_get_app_name(), backend.name);
    }
    return false;
}

int socket_table_size()
{
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur <= static_cast<rlim_t>(kMinSocketTable))
        return kMinSocketTable;
    if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > kMaxSocketTable)
        return static_cast<int>(kMaxSocketTable);
    return static_cast<int>(limit.rlim_cur);
}

} // namespace

extern "C" {

void _vn_event_init(vn_init_t *init)
{
    kept_init = init;
    make_key();
}

int _vn_event_thread_init(vn_init_t *sys_init, int event_module, int flags)
{
    make_key();
    int mask = event_module != 0 ? event_module : c_event_module;
    event_module_functions_t functions{};
    if (!choose_backend(mask, &functions)) {
        // The thread is left without a loop rather than with half of one.
        exit_no_event_module(mask);
        return 0;
    }
    event_globals_t *globals = static_cast<event_globals_t *>(vn_calloc(1, sizeof(event_globals_t)));
    pthread_setspecific(_vn_event_globals_key, globals);
    globals->thread_id = pthread_self();
    globals->init = sys_init;
    globals->event_module_functions = functions;
    globals->module_globals = functions.ev_globals();
    globals->timed_event_heap = new_heap();
    globals->timed_event_cache = vn_new_memroot(kTimedEventBytes, kTimedEventsPerBlock, 0);
    gettimeofday(&globals->timeofday, nullptr);
    globals->start_time = globals->timeofday.tv_sec;
    globals->vn_time = globals->start_time;
    functions.ev_init(flags, socket_table_size());
    create_call_channel(globals);
    return 1;
}

int vn_thread_init(int event_module, int flags)
{
    return _vn_event_thread_init(kept_init, event_module, flags) != 0 ? 0 : -1;
}

void vn_loop(void)
{
    event_globals_t *globals = _vn_event_get_globals();
    if (globals == nullptr)
        return;
    activate_monitoring_on_init_thread();
    globals->looping++;
    globals->event_module_functions.ev_loop();
    // What a last pass put off is done before the loop is left.
    _vn_event_run_before_wait(globals);
    globals->looping--;
    // A stopped loop can be run again.
    globals->stop_vnloop = 0;
}

int _vn_event_before_wait(void (*work)(void))
{
    event_globals_t *globals = _vn_event_get_globals();
    if (globals == nullptr || globals->looping == 0 || work == nullptr)
        return 0;
    for (int i = 0; i < globals->before_wait_count; i++)
        if (globals->before_wait[i] == work)
            return 1;
    if (globals->before_wait_count == static_cast<int>(std::size(globals->before_wait)))
        return 0;
    globals->before_wait[globals->before_wait_count++] = work;
    return 1;
}

void vn_stop(void)
{
    event_globals_t *globals = _vn_event_get_globals();
    if (globals != nullptr)
        globals->stop_vnloop = 1;
}

} // extern "C"

event_globals_t *_vn_event_get_globals()
{
    make_key();
    return static_cast<event_globals_t *>(pthread_getspecific(_vn_event_globals_key));
}

// ---- Loop clock ----

void _vn_event_wake(event_globals_t *globals)
{
    gettimeofday(&globals->timeofday, nullptr);
    globals->vn_time = globals->timeofday.tv_sec;
    uint64_t seconds = static_cast<uint64_t>(globals->timeofday.tv_sec - globals->start_time);
    globals->vn_relative_time = seconds * 512 + static_cast<uint64_t>(globals->timeofday.tv_usec) / 2048;
}

void _vn_event_run_before_wait(event_globals_t *globals)
{
    // Work that asks again while it runs is put off to the next wait.
    int count = globals->before_wait_count;
    if (count == 0)
        return;
    void (*work[std::size(globals->before_wait)])(void);
    std::copy_n(globals->before_wait, count, work);
    globals->before_wait_count = 0;
    for (int i = 0; i < count; i++)
        work[i]();
}

int _vn_event_delay_millis(event_globals_t *globals, int *millis)
{
    heap_t *heap = globals->timed_event_heap;
    if (heap->size == 0)
        return 0;
    struct timeval now;
    gettimeofday(&now, nullptr);
    double ahead = std::trunc((heap->tree[0]->time - static_cast<double>(now.tv_sec)) * 1000.0);
    double wait = ahead - static_cast<double>(now.tv_usec / 1000);
    *millis = wait < 0 ? 0 : wait > INT_MAX ? INT_MAX : static_cast<int>(wait);
    return 1;
}

int _vn_event_delay_timeval(event_globals_t *globals, struct timeval *tv)
{
    heap_t *heap = globals->timed_event_heap;
    if (heap->size == 0)
        return 0;
    struct timeval now;
    gettimeofday(&now, nullptr);
    double due = heap->tree[0]->time;
    double whole = std::trunc(due);
    long long seconds = static_cast<long long>(whole) - now.tv_sec;
    long long micros = static_cast<long long>(std::trunc((due - whole) * 1e6)) - now.tv_usec;
    if (micros < 0) {
        micros += 1000000;
        seconds--;
    }
    if (seconds < 0) {
        seconds = 0;
        micros = 0;
    }
    tv->tv_sec = static_cast<time_t>(seconds);
    tv->tv_usec = static_cast<suseconds_t>(micros);
    return 1;
}

extern "C" {

time_t vn_get_time(void)
{
    return _vn_event_get_globals()->vn_time;
}

uint64_t vn_get_relative_time(void)
{
    return _vn_event_get_globals()->vn_relative_time;
}

struct tm *vn_localtime(void)
{
    event_globals_t *globals = _vn_event_get_globals();
    return localtime_r(&globals->vn_time, &globals->gmtime_tm);
}

struct tm *vn_gmtime(void)
{
    event_globals_t *globals = _vn_event_get_globals();
    return gmtime_r(&globals->vn_time, &globals->gmtime_tm);
}

} // extern "C"

// ---- Timed events ----
namespace {

void release_timed_event(vn_timed_event_t *ev)
{
    vn_mem_release(ev->event_base.globals->timed_event_cache, ev);
}

// What the pass does with an event once its callback has returned.
void settle_fired_event(heap_t *heap, vn_timed_event_t *ev, int result, double now)
{
    bool deleted_in_callback = ev->deleted;
    if (result == 1 && !deleted_in_callback) {
        ev->time += ev->delay;
        // Without a positive interval it would be due again at once and the
        // pass would never end: it waits for the next pass instead.
        if (ev->delay <= 0 && ev->time <= now)
            ev->time = std::nextafter(now, INFINITY);
        heap_insert(heap, ev);
        return;
    }
    // An event its own callback deleted has no other owner left, even on -1.
    if (result == -1 && !deleted_in_callback) {
        ev->deleted = 1;
        return;
    }
    release_timed_event(ev);
}

} // namespace

void _vn_handle_timed_events(event_globals_t *globals)
{
    heap_t *heap = globals->timed_event_heap;
    double now = globals->timeofday.tv_sec + globals->timeofday.tv_usec / 1e6;
    while (heap->size > 0 && heap->tree[0]->time <= now) {
        vn_timed_event_t *ev = heap_extract_root(heap);
        ev->in_callback = 1;
        int result = ev->callback(ev->id, ev->event_base.val, ev->event_base.data);
        ev->in_callback = 0;
        settle_fired_event(heap, ev, result, now);
    }
}

namespace {

// A delete posted to the owner loop, with what to dispose of first.
struct posted_delete_t {
    void *event;
    vn_event_free_cb free_data;
};

} // namespace

// Owned by the loop; other threads add under the mutex, the owner takes the
// whole of `pending` under it. Lock order: this mutex, then the channel's queue.
struct foreign_deletes_t {
    std::mutex mutex;
    std::vector<posted_delete_t> pending;
};

namespace {

int delete_timed_on_owner(vn_timed_event_t *ev)
{
    if (ev->in_callback) {
        ev->deleted = 1; // the pass releases it when the callback returns
        return 1;
    }
    if (!ev->deleted && heap_remove(ev->event_base.globals->timed_event_heap, ev) == 0)
        return 1; // neither pending nor kept: nothing of ours to release
    release_timed_event(ev);
    return 1;
}

posted_delete_t *new_posted_delete(void *event, vn_event_free_cb free_data)
{
    posted_delete_t *posted = static_cast<posted_delete_t *>(vn_malloc(sizeof(posted_delete_t)));
    posted->event = event;
    posted->free_data = free_data;
    return posted;
}

vn_timed_event_t *add_timed_event_at(event_globals_t *globals, int id, double time, double delay,
                                     vn_timed_event_cb cb, int val, void *data)
{
    vn_timed_event_t *ev = static_cast<vn_timed_event_t *>(vn_mem_get(globals->timed_event_cache));
    ev->event_base.globals = globals;
    ev->event_base.val = val;
    ev->event_base.data = data;
    ev->id = id;
    ev->heap_index = -1;
    ev->time = time;
    ev->delay = delay;
    ev->callback = cb;
    ev->in_callback = 0;
    ev->deleted = 0;
    heap_insert(globals->timed_event_heap, ev);
    return ev;
}

} // namespace

extern "C" {

vn_timed_event_t *vn_add_timed_event(int id, double delay, vn_timed_event_cb cb, int value, void *data)
{
    event_globals_t *globals = _vn_event_get_globals();
    if (globals == nullptr || cb == nullptr)
        return nullptr;
    return add_timed_event_at(globals, id, now_seconds() + delay, delay, cb, value, data);
}

void vn_set_timed_delay(vn_timed_event_t *ev, double delay)
{
    ev->delay = delay;
}

void vn_set_timed_delay_next(vn_timed_event_t *ev, double delay)
{
    heap_t *heap = ev->event_base.globals->timed_event_heap;
    // Outside its callback the event sits in the heap and must be re-placed.
    bool pending = heap_contains(heap, ev);
    if (pending)
        heap_remove(heap, ev);
    ev->time += delay - ev->delay;
    if (pending)
        heap_insert(heap, ev);
}

void vn_timed_event_set_callback(vn_timed_event_t *ev, vn_timed_event_cb cb, int value, void *data)
{
    ev->callback = cb;
    ev->event_base.val = value;
    ev->event_base.data = data;
}

} // extern "C"

namespace {

// Runs on the owner: every delete gathered since the last batch, in the
// order asked. The batch is taken whole first, so a delete asked meanwhile
// (from a free function, say) starts the next one.
int run_foreign_deletes(int, void *data)
{
    foreign_deletes_t *deletes = static_cast<foreign_deletes_t *>(data);
    std::vector<posted_delete_t> batch;
    {
        std::lock_guard<std::mutex> hold(deletes->mutex);
        batch.swap(deletes->pending);
    }
    for (const posted_delete_t &posted : batch) {
        vn_timed_event_t *ev = static_cast<vn_timed_event_t *>(posted.event);
        if (posted.free_data != nullptr)
            posted.free_data(ev->event_base.val, ev->event_base.data);
        delete_timed_on_owner(ev);
    }
    return 0;
}

// From another thread: the delete joins the owner's gathered ones; the one
// that finds none gathered posts the call that runs them all. It posts under
// the mutex, so a gathered delete always has its call queued already, ahead
// of anything its thread posts next, as a delete posted on its own would be.
bool gather_foreign_delete(event_globals_t *owner, vn_timed_event_t *ev, vn_event_free_cb free_data)
{
    foreign_deletes_t *deletes = owner->foreign_deletes;
    if (deletes == nullptr)
        return false;
    std::lock_guard<std::mutex> hold(deletes->mutex);
    if (deletes->pending.empty() && !post_to_owner(owner, 0, run_foreign_deletes, deletes))
        return false;
    deletes->pending.push_back({ev, free_data});
    return true;
}

// Returns 0 when a delete from another thread cannot reach the owner loop:
// the event then stays as it is, data included.
int del_timed_event(const char *function, vn_timed_event_t *ev, vn_event_free_cb free_data)
{
    if (ev == nullptr)
        return 0;
    event_globals_t *owner = ev->event_base.globals;
    if (on_owner_thread(owner)) {
        if (free_data != nullptr)
            free_data(ev->event_base.val, ev->event_base.data);
        return delete_timed_on_owner(ev);
    }
    if (!gather_foreign_delete(owner, ev, free_data)) {
        refuse_foreign_delete(owner, function, ev);
        return 0;
    }
    return 1;
}

} // namespace

extern "C" {

int vn_del_timed_event_free_data(vn_timed_event_t *ev, vn_event_free_cb free_data)
{
    return del_timed_event("vn_del_timed_event_free_data", ev, free_data);
}

int vn_del_timed_event(vn_timed_event_t *ev)
{
    return del_timed_event("vn_del_timed_event", ev, nullptr);
}

} // extern "C"

// ---- Calendar and periodic events ----
namespace {

int minute_of_day(const struct tm &broken)
{
    return broken.tm_hour * 60 + broken.tm_min;
}

// The shift of the local clock over the day before `t`, in seconds. Taken
// modulo a day, so a shift next to midnight is not read as a day's worth.
long get_daylight_savings_offset(time_t t)
{
    time_t day_before = t - kSecondsPerDay;
    struct tm now_local;
    struct tm then_local;
    localtime_r(&t, &now_local);
    localtime_r(&day_before, &then_local);
    int shift = minute_of_day(now_local) - minute_of_day(then_local);
    if (shift > kMinutesPerDay / 2)
        shift -= kMinutesPerDay;
    else if (shift <= -kMinutesPerDay / 2)
        shift += kMinutesPerDay;
    return shift * 60L;
}

// Seconds from now (s, usec) to the first firing; negative only when `then`
// lies in the past.
double first_periodic_delay(time_t then, int starttime, int period)
{
    struct timeval wall;
    gettimeofday(&wall, nullptr);
    time_t now = then != 0 ? then : wall.tv_sec;
    long period_seconds = period * 60L;
    long base = (starttime - vn_get_gmt_offset(now)) * 60L;
    long first = starttime < kMinutesPerDay ? base - kSecondsPerDay - now % kSecondsPerDay
                                            : base - 10 * kSecondsPerDay - now % kSecondsPerWeek;
    if (first < 0)
        first += ((-first + period_seconds - 1) / period_seconds) * period_seconds;
    double delay = first + 0.001 - static_cast<double>(get_daylight_savings_offset(first + wall.tv_sec))
                   - wall.tv_usec / 1e6 - static_cast<double>(wall.tv_sec - now);
    if (then == 0 && delay < 0)
        delay += std::ceil(-delay / static_cast<double>(period_seconds)) * static_cast<double>(period_seconds);
    return delay;
}

} // namespace

extern "C" {

int vn_get_gmt_offset(time_t t)
{
    struct tm local;
    struct tm utc;
    localtime_r(&t, &local);
    gmtime_r(&t, &utc);
    int offset = minute_of_day(local) - minute_of_day(utc);
    if (local.tm_yday != utc.tm_yday) {
        // Comparing (year, day) counts the turn of the year either way.
        bool local_later = local.tm_year != utc.tm_year ? local.tm_year > utc.tm_year : local.tm_yday > utc.tm_yday;
        offset += local_later ? kMinutesPerDay : -kMinutesPerDay;
    }
    return offset;
}

vn_timed_event_t *vn_add_periodic_event_from_time(time_t then, int starttime, int period, int id,
                                                  vn_timed_event_cb cb, int value, void *data)
{
    // A period of 0 or less has no next firing to find.
    if (period <= 0)
        return nullptr;
    vn_timed_event_t *ev = vn_add_timed_event(id, first_periodic_delay(then, starttime, period), cb, value, data);
    if (ev != nullptr)
        ev->delay = period * kSecondsPerMinute;
    return ev;
}

vn_timed_event_t *vn_add_periodic_event(int starttime, int period, int id, vn_timed_event_cb cb, int value,
                                        void *data)
{
    return vn_add_periodic_event_from_time(0, starttime, period, id, cb, value, data);
}

int vn_check_periodic_event(int period, vn_timed_event_t **tev)
{
    vn_timed_event_t *old = *tev;
    double period_seconds = period * kSecondsPerMinute;
    long shift = get_daylight_savings_offset(static_cast<time_t>(old->time + period_seconds));
    if (shift == 0)
        return 1;
    // The signed shift keeps the event at its local time whichever way the
    // clocks moved.
    double delay = period_seconds - static_cast<double>(shift);
    while (delay <= 0 && period > 0)
        delay += period_seconds;
    vn_timed_event_t *replacement =
        vn_add_timed_event(old->id, delay, old->callback, old->event_base.val, old->event_base.data);
    if (replacement == nullptr)
        return 1;
    replacement->delay = period_seconds;
    *tev = replacement;
    return 0;
}

} // extern "C"

namespace {

// The ZONE="..." value of /etc/sysconfig/clock, when the file has one.
bool zone_from_clock_file(char *buf, size_t len)
{
    FILE *file = fopen("/etc/sysconfig/clock", "r");
    if (file == nullptr)
        return false;
    char line[256];
    bool found = false;
    while (!found && fgets(line, sizeof line, file) != nullptr) {
        const char *cursor = line + strspn(line, " \t");
        if (strncmp(cursor, "ZONE", 4) != 0)
            continue;
        cursor += 4;
        cursor += strspn(cursor, " \t");
        if (*cursor != '=')
            break;
        cursor++;
        cursor += strspn(cursor, " \t");
        if (*cursor != '"')
            break;
        cursor++;
        const char *close = strchr(cursor, '"');
        if (close == nullptr)
            break;
        snprintf(buf, len, "%.*s", static_cast<int>(close - cursor), cursor);
        found = true;
    }
    fclose(file);
    return found;
}

} // namespace

extern "C" char *vn_get_timezone(char *buf, int len)
{
    if (buf == nullptr || len <= 0)
        return buf;
    size_t size = static_cast<size_t>(len);
    const char *tz = getenv("TZ");
    if (tz != nullptr) {
        snprintf(buf, size, "%s", tz);
        return buf;
    }
    if (zone_from_clock_file(buf, size))
        return buf;
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    if (strftime(buf, size, "%Z", &local) == 0)
        buf[0] = '\0';
    return buf;
}

// ---- Socket watches ----

void _vn_event_lists_init(event_watch_lists_t *watch_lists)
{
    constexpr size_t kWatchBytes = 64;
    constexpr size_t kReadWatchesPerBlock = 4096;
    constexpr size_t kOtherWatchesPerBlock = 2048;
    for (vn_list_t &list : watch_lists->lists)
        _vn_list_init(&list);
    watch_lists->caches[kWatchRead] = vn_new_memroot(kWatchBytes, kReadWatchesPerBlock, 0);
    watch_lists->caches[kWatchWrite] = vn_new_memroot(kWatchBytes, kOtherWatchesPerBlock, 0);
    watch_lists->caches[kWatchExcept] = vn_new_memroot(kWatchBytes, kOtherWatchesPerBlock, 0);
    watch_lists->dispatch_next = nullptr;
}

namespace {

const char *const kAddNames[] = {"vn_add_read_event", "vn_add_write_event", "vn_add_except_event"};
const char *const kDelNames[] = {"vn_del_read_event", "vn_del_write_event", "vn_del_except_event"};

ev_add_fn add_slot(event_globals_t *globals, int type)
{
    event_module_functions_t &functions = globals->event_module_functions;
    return type == kWatchRead ? functions.ev_add_read_event
           : type == kWatchWrite ? functions.ev_add_write_event
                                 : functions.ev_add_except_event;
}

ev_del_fn del_slot(event_globals_t *globals, int type)
{
    event_module_functions_t &functions = globals->event_module_functions;
    return type == kWatchRead ? functions.ev_del_read_event
           : type == kWatchWrite ? functions.ev_del_write_event
                                 : functions.ev_del_except_event;
}

void *add_watch(int type, sock_t fd, vn_io_event_cb cb, int val, void *data)
{
    event_globals_t *globals = _vn_event_get_globals();
    if (globals == nullptr)
        return nullptr;
    if (fd == -1) {
        _vn_event_log(globals, kEventLogError, "%s called with socket %d, will not add event\n", kAddNames[type], fd);
        return nullptr;
    }
    void *watch = add_slot(globals, type)(globals, fd, cb, val, data);
    if (watch != nullptr) {
        event_base_t *base = static_cast<event_base_t *>(watch);
        base->globals = globals;
        base->val = val;
        base->data = data;
    }
    return watch;
}

int run_posted_watch_delete(int type, void *record)
{
    posted_delete_t *posted = static_cast<posted_delete_t *>(record);
    event_base_t *base = static_cast<event_base_t *>(posted->event);
    if (posted->free_data != nullptr)
        posted->free_data(base->val, base->data);
    del_slot(base->globals, type)(base->globals, posted->event);
    vn_free(posted);
    return 0;
}

int del_watch(int type, void *watch, vn_event_free_cb free_data)
{
    if (watch == nullptr)
        return 0;
    event_base_t *base = static_cast<event_base_t *>(watch);
    event_globals_t *owner = base->globals;
    if (on_owner_thread(owner)) {
        if (free_data != nullptr)
            free_data(base->val, base->data);
        return del_slot(owner, type)(owner, watch);
    }
    posted_delete_t *posted = new_posted_delete(watch, free_data);
    if (!post_to_owner(owner, type, run_posted_watch_delete, posted)) {
        vn_free(posted);
        refuse_foreign_delete(owner, kDelNames[type], watch);
        return 0;
    }
    return 1;
}

void set_watch_callback(void *watch, int type, vn_io_event_cb cb, int val, void *data)
{
    event_globals_t *owner = static_cast<event_base_t *>(watch)->globals;
    event_module_functions_t &functions = owner->event_module_functions;
    ev_set_callback_fn slot =
        type == kWatchRead ? functions.ev_read_event_set_callback : functions.ev_write_event_set_callback;
    slot(watch, cb, val, data);
}

} // namespace

int _vn_event_refuse_socket(event_globals_t *globals, const char *function, sock_t fd, int limit)
{
    if (fd >= 0 && fd < limit)
        return 0;
    _vn_event_log(globals, kEventLogError, "%s called with socket %d, will not add event\n", function, fd);
    return 1;
}

extern "C" {

vn_read_event_t *vn_add_read_event(sock_t fd, vn_io_event_cb cb, int value, void *data)
{
    return static_cast<vn_read_event_t *>(add_watch(kWatchRead, fd, cb, value, data));
}

vn_write_event_t *vn_add_write_event(sock_t fd, vn_io_event_cb cb, int value, void *data)
{
    return static_cast<vn_write_event_t *>(add_watch(kWatchWrite, fd, cb, value, data));
}

vn_except_event_t *vn_add_except_event(sock_t fd, vn_io_event_cb cb, int value, void *data)
{
    return static_cast<vn_except_event_t *>(add_watch(kWatchExcept, fd, cb, value, data));
}

void vn_read_event_set_callback(vn_read_event_t *ev, vn_io_event_cb cb, int value, void *data)
{
    set_watch_callback(ev, kWatchRead, cb, value, data);
}

void vn_write_event_set_callback(vn_write_event_t *ev, vn_io_event_cb cb, int value, void *data)
{
    set_watch_callback(ev, kWatchWrite, cb, value, data);
}

int vn_del_read_event(vn_read_event_t *ev)
{
    return del_watch(kWatchRead, ev, nullptr);
}

int vn_del_write_event(vn_write_event_t *ev)
{
    return del_watch(kWatchWrite, ev, nullptr);
}

int vn_del_except_event(vn_except_event_t *ev)
{
    return del_watch(kWatchExcept, ev, nullptr);
}

int vn_del_read_event_free_data(vn_read_event_t *ev, vn_event_free_cb free_data)
{
    return del_watch(kWatchRead, ev, free_data);
}

int vn_del_write_event_free_data(vn_write_event_t *ev, vn_event_free_cb free_data)
{
    return del_watch(kWatchWrite, ev, free_data);
}

int vn_del_except_event_free_data(vn_except_event_t *ev, vn_event_free_cb free_data)
{
    return del_watch(kWatchExcept, ev, free_data);
}

} // extern "C"

// ---- Links to neighbouring modules ----
// The init thread's identity, start-up, monitoring and call channels belong
// to their own modules; the loop reaches them here.
extern "C" const vn_config_enum_t vn_event_module_enums[] = {
    {"epoll", 1, "Use the epoll event manager (Linux only)"},
    {"devpoll", 2, "Use the /dev/poll event manager (Solaris only)"},
    {"poll", 4, "Use the poll event manager (Unix only)"},
    {"select", 8, "Use the select event manager (not recommended)"},
    {"iocomp", 16, "Use the IO completion event manager (Windows only)"},
    {nullptr, 0, nullptr},
};

namespace {

void exit_no_event_module(int mask)
{
    _vn_exit_log(1, "No supported event module configured (%d)", mask);
}

void activate_monitoring_on_init_thread()
{
    if (pthread_equal(vn_main_thread(), pthread_self()))
        _vn_monitor_activate();
}

void create_call_channel(event_globals_t *globals)
{
    globals->signalany = tarvelutil_signalany_create(nullptr);
    if (globals->signalany != nullptr)
        globals->foreign_deletes = new foreign_deletes_t;
}

bool post_to_owner(event_globals_t *globals, int type, int (*func)(int, void *), void *data)
{
    if (globals->signalany == nullptr)
        return false;
    tarvelutil_signalany_exec(globals->signalany, type, func, data, 1);
    return true;
}

// Only the owner may touch its loop, so such a delete cannot be done here;
// dropping it while answering success would leave the event to fire.
void refuse_foreign_delete(event_globals_t *owner, const char *function, const void *event)
{
    _vn_event_log(owner, kEventLogError,
                  "%s refused: event %p belongs to the loop of another thread, which has no call channel\n",
                  function, event);
}

} // namespace

extern "C" void _vn_event_config_init(void)
{
    vn_config_add_option_enum(0, "event-module", "", 2, &c_event_module, vn_event_module_enums);
}

void _vn_event_log(event_globals_t *globals, int level, const char *format, ...)
{
    vn_init_t *init = globals->init;
    if (init == nullptr || init->log == nullptr)
        return;
    char line[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    vn_log(init->log, level, "%s", line);
}

