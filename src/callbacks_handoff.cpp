// The callback layer's hand-over from other threads to the init thread.
//
// The rules, which everything below keeps:
// 1. Every delivery a thread makes goes into its slot, a FIFO that only the
//    init thread runs, one entry at a time and in the order queued. A
//    synchronous delivery waits until its own entry has run; an update of a
//    read pass does not (its record's contents move into a spare record of
//    the slot's pool, and the caller gets a spent one back to parse into),
//    and the pass's end waits until everything it queued has run. Nothing
//    starts a slot's entry while another of its entries runs further up the
//    stack (a callback that delivers at once or runs the loop): a report
//    that still owes the slot entries counts them as run by that one.
// 2. A state report also takes the next place in one process-wide line and
//    leaves a placeholder in its thread's slot. Reports reach the
//    application in line order; before a report runs, its thread's slot is
//    run up to its placeholder, and a slot that reaches a placeholder first
//    runs the line up to that report. So a report comes after everything its
//    thread handed over before it, before everything that thread hands over
//    after it, and after every report queued before it on any thread; its
//    thread does not wait for it. This holds because a report's mark is taken
//    before it enters the line and its placeholder is queued after: whatever
//    must run before a report stands earlier in the line. A report that its
//    thread waits for (a service's) needs no placeholder: it counts as that
//    thread's next delivery. The reports of the init thread and of threads
//    beyond the slots have no placeholder: instead, a delivery the init
//    thread makes at once, and one that such a thread sends through the
//    channel, first runs the line up to every report queued before it, on
//    any thread; inside a report's own delivery it does not, as the reports
//    behind that one follow it.
// 3. A thread gathers its updates and hands them over under the slot's mutex
//    a batch at a time: when kStagedUpdates have gathered, when kStageBound
//    has passed since its last hand-over (looked at as each update is
//    gathered: the first after a quiet spell goes at once, and none waits
//    longer than kStageBound plus the screening of the next), and before
//    any other delivery, report or the pass's end.
// 4. The init thread looks at the clock after every delivery: past
//    kDrainBudget it stops where it is, everything left keeps its place,
//    and it posts itself to go on after the loop's next turn. What a
//    delivery made at once owes (rule 2) runs before it, whatever the time.
//
// Threads and ownership: a slot belongs to one thread at a time, which alone
// gathers into it and publishes under its mutex; the batch taken from it,
// the line's front and the spent records are the init thread's. `drain` runs
// from the call channel, which is poked only when the hand-over goes from
// idle to busy (`owner_active`). While both sides are busy neither sleeps: a
// waiting caller spins briefly before it blocks, and the init thread spins
// briefly for more work before it goes back to its loop. Both spins are
// bounded, so an idle process sleeps. Threads beyond the slots use the
// channel's synchronous send, which runs the line first (rule 2).
#include "vantrix_private.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Longer than a peer thread takes from one read pass to the next on a busy
// link, short enough that spinning after the last update costs little.
constexpr auto kSpinBound = std::chrono::microseconds(50);
// The init thread serves its other events at least this often while a
// stream of deliveries keeps it busy.
constexpr auto kDrainBudget = std::chrono::milliseconds(2);
constexpr int kSpinsPerClockRead = 64;
constexpr int kMaxSlots = 256;
constexpr size_t kCacheLine = 64;
constexpr size_t kMaxPooledRecords = 1024;
constexpr size_t kRecordsAhead = 3; // asked for ahead of their deliveries
// One hold of the slot's lock per update would keep the init thread waiting
// for the lock; kStageBound stays well inside kSpinBound, so that an init
// thread waiting for slow updates (images that each make a tracker) does not
// fall asleep between them.
constexpr size_t kStagedUpdates = 32;
constexpr auto kStageBound = std::chrono::microseconds(20);

// One queued delivery: a synchronous one with its caller's record, an
// update with the record it owns, or (with neither) the placeholder of
// report number `report`.
struct entry_t {
    tarvelutil_signalmain_cb_t deliver;
    void *record;
    _vn_callbacks_owned_cb owned_deliver;
    vn_data_t *owned;
    int peer;
    uint64_t epoch;
    uint64_t report;
};

struct alignas(kCacheLine) slot_t {
    std::mutex mutex;                 // guards pending and pool
    std::vector<entry_t> pending;     // published, not yet taken by the init thread
    std::vector<vn_data_t *> pool;    // spent records for the owning thread to parse into
    uint64_t queued = 0;              // owning thread only: deliveries ever queued
    // Owning thread only: updates not yet handed over, when gathered updates
    // were last handed over, and records taken from the pool in one hold to
    // parse the next ones into.
    std::vector<entry_t> staged;
    Clock::time_point handed_over;
    std::vector<vn_data_t *> spare;
    std::atomic<bool> taken{false};   // a thread owns the slot
    // Init thread only: the entries taken from pending, the next to run, and
    // the records they owned, handed back to the pool at the next take or
    // before the init thread waits for more. On a line of their own: written
    // once an entry, they would otherwise move the owner's line, which it
    // writes once an update, at every delivery.
    alignas(kCacheLine) std::vector<entry_t> batch;
    size_t batch_at = 0;
    bool running = false; // init thread only: an entry of the slot runs further up the stack
    std::vector<vn_data_t *> spent;
    // Set under mutex when pending stops being empty, cleared when the init
    // thread takes it: written once a batch, not once an entry, and on a
    // line of its own, so that the init thread's look costs the queuing
    // thread no cache line moves.
    alignas(kCacheLine) std::atomic<bool> ready{false};
    // Read by the owning thread as it waits, on a line of its own: what the
    // init thread has run, and whether the owner sleeps on `woken`.
    alignas(kCacheLine) std::atomic<uint64_t> delivered{0};
    std::atomic<bool> sleeping{false};
};

// A report in the line: delivered by deliver(0, record) once `slot` has run
// its first `ticket` entries. A thread that waits for its report counts it
// as its next delivery (`waiter`) instead of leaving a placeholder: it
// queues nothing meanwhile, so nothing of it can overtake the report.
struct report_t {
    tarvelutil_signalmain_cb_t deliver;
    void *record;
    slot_t *slot;
    uint64_t ticket;
    slot_t *waiter;
};

// Never destroyed: detached peer threads may still wait in these while the
// process exits, and destroying a condition under a waiter hangs.
struct shared_t {
    slot_t slots[kMaxSlots];
    std::mutex sleep_mutex; // only blocked callers and their wake-ups use these
    std::condition_variable woken;
    std::mutex line_mutex;      // guards line and line_queued
    std::deque<report_t> line;  // oldest first; its front is report number reports_run
    uint64_t line_queued = 0;   // reports ever queued: the next one's number
};
shared_t &shared = *new shared_t;

std::atomic<int> slots_used{0};        // high-water mark of slots ever taken; the init thread scans below it
std::atomic<bool> owner_active{false}; // drain runs or is posted: callers need not start one
std::atomic<bool> line_ready{false};   // set under line_mutex while the line holds a report
tarvelutil_signalany_t *channel;        // to the init thread; slots are used only with it
tarvelutil_signalany_t *report_channel; // runs the line where the hand-over has no channel
pthread_t init_thread;

// Raised after the application discards or purges a subject, so that an
// update queued from a pass that began before can be screened again.
std::atomic<uint64_t> drop_epoch{0};
bool draining_now = false; // init thread only: drain is running
uint64_t reports_run = 0;  // init thread only: reports taken from the line
bool line_running = false; // init thread only: a report of the line runs further up the stack

thread_local int pass_depth = 0;
thread_local uint64_t pass_epoch = 0;
thread_local vn_data_t *lent_record = nullptr;

void relax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// Spins until `ready` holds or the bound passes; whether it held.
template <class Ready> bool spin_for(Ready ready)
{
    Clock::time_point until = Clock::now() + kSpinBound;
    for (;;) {
        for (int i = 0; i < kSpinsPerClockRead; i++) {
            if (ready())
                return true;
            relax();
        }
        if (Clock::now() >= until)
            return ready();
        // On a busy machine the other side may be waiting for this core.
        sched_yield();
    }
}

// ---- The init thread's side ----

bool batch_left(const slot_t &slot)
{
    return slot.batch_at < slot.batch.size();
}

bool has_work(const slot_t &slot)
{
    return batch_left(slot) || slot.ready.load(std::memory_order_acquire);
}

bool any_work()
{
    if (line_ready.load(std::memory_order_acquire))
        return true;
    int used = slots_used.load();
    for (int i = 0; i < used; i++)
        if (has_work(shared.slots[i]))
            return true;
    return false;
}

// Under each mutex, which orders it with the callers' queuing.
bool any_work_locked()
{
    {
        std::lock_guard<std::mutex> hold(shared.line_mutex);
        if (!shared.line.empty())
            return true;
    }
    int used = slots_used.load();
    for (int i = 0; i < used; i++) {
        slot_t &slot = shared.slots[i];
        if (batch_left(slot))
            return true;
        std::lock_guard<std::mutex> hold(slot.mutex);
        if (!slot.pending.empty())
            return true;
    }
    return false;
}

void mark_delivered(slot_t &slot)
{
    slot.delivered.fetch_add(1);
    if (!slot.sleeping.load())
        return;
    // Taking the mutex orders this wake-up after the sleeper's last check.
    { std::lock_guard<std::mutex> hold(shared.sleep_mutex); }
    shared.woken.notify_all();
}

// Under the slot's mutex: into the pool, or freed when the pool is full.
void pool_spent_locked(slot_t &slot)
{
    for (vn_data_t *record : slot.spent) {
        if (slot.pool.size() < kMaxPooledRecords) {
            slot.pool.push_back(record);
            continue;
        }
        vn_free_datapkt_data(record);
        vn_free(record);
    }
    slot.spent.clear();
}

// Takes what the slot's thread has published, in one hold that also hands
// the spent records back; false when there was nothing.
bool take_batch(slot_t &slot)
{
    slot.batch.clear();
    slot.batch_at = 0;
    std::lock_guard<std::mutex> hold(slot.mutex);
    pool_spent_locked(slot);
    slot.batch.swap(slot.pending);
    slot.ready.store(false, std::memory_order_relaxed);
    return !slot.batch.empty();
}

void return_spent(slot_t &slot)
{
    if (slot.spent.empty())
        return;
    std::lock_guard<std::mutex> hold(slot.mutex);
    pool_spent_locked(slot);
}

// Before the init thread waits for more: the slot's thread takes its spare
// records from the pool as it hands over, before the next take could bring
// these back, and would make new ones that the pool, full again later, frees.
void return_all_spent()
{
    int used = slots_used.load();
    for (int i = 0; i < used; i++)
        return_spent(shared.slots[i]);
}

// The slot's next entry, or null when it has none.
const entry_t *front(slot_t &slot)
{
    if (!batch_left(slot) && !take_batch(slot))
        return nullptr;
    // The next records and their subjects were last written by the slot's
    // thread: asking for them ahead overlaps their moves with the deliveries
    // before. A subject is asked for once its record is likely here.
    size_t next = slot.batch_at + 1;
    if (next + kRecordsAhead < slot.batch.size() && slot.batch[next + kRecordsAhead].owned != nullptr)
        __builtin_prefetch(slot.batch[next + kRecordsAhead].owned);
    if (next < slot.batch.size() && slot.batch[next].owned != nullptr)
        __builtin_prefetch(slot.batch[next].owned->subject);
    return &slot.batch[slot.batch_at];
}

void run_entry(slot_t &slot, const entry_t &entry)
{
    if (entry.owned != nullptr) {
        entry.owned_deliver(entry.peer, entry.owned, entry.epoch);
        slot.spent.push_back(entry.owned);
    } else if (entry.deliver != nullptr) {
        entry.deliver(0, entry.record);
    }
    mark_delivered(slot);
}

bool step_line();

// The placeholder of a report the line has not run yet.
bool waits_for_line(const entry_t &entry)
{
    return entry.deliver == nullptr && entry.owned == nullptr && entry.report >= reports_run;
}

// One delivery toward the slot's next entry: the entry itself, or, for the
// placeholder of a report still in the line, the line's next delivery.
// False when the slot has nothing.
bool step(slot_t &slot)
{
    const entry_t *next = front(slot);
    if (next == nullptr)
        return false;
    if (waits_for_line(*next))
        return step_line();
    // Taken before it runs: a callback that runs the loop finds the next one.
    entry_t entry = *next;
    slot.batch_at++;
    slot.running = true;
    run_entry(slot, entry);
    slot.running = false;
    return true;
}

// Whether the slot's entries up to `ticket` are still to run. An entry of
// the slot running further up the stack (its callback delivers at once or
// runs the loop) stands for all of them: starting the next one there would
// run it inside that one.
bool owes(const slot_t &slot, uint64_t ticket)
{
    return !slot.running && slot.delivered.load(std::memory_order_acquire) < ticket;
}

// One delivery toward the line's oldest report: first its thread's entries
// before it (none of which is a placeholder still waiting, rule 2), then the
// report. False when the line is empty.
bool step_line()
{
    if (!line_ready.load(std::memory_order_acquire))
        return false;
    report_t report;
    {
        std::lock_guard<std::mutex> hold(shared.line_mutex);
        if (shared.line.empty())
            return false;
        report = shared.line.front();
    }
    if (report.slot != nullptr && owes(*report.slot, report.ticket)) {
        const entry_t *next = front(*report.slot);
        if (next != nullptr && !waits_for_line(*next)) {
            step(*report.slot);
            return true;
        }
        // What it owes is running further up this stack (a callback that
        // runs the loop): delivering beats stalling.
    }
    {
        std::lock_guard<std::mutex> hold(shared.line_mutex);
        shared.line.pop_front();
        line_ready.store(!shared.line.empty(), std::memory_order_relaxed);
    }
    reports_run++;
    bool outer = line_running;
    line_running = true;
    report.deliver(0, report.record);
    line_running = outer;
    if (report.waiter != nullptr)
        mark_delivered(*report.waiter);
    return true;
}

// On the init thread, before a delivery it makes at once: the reports lined
// up so far, each after what it owes. Not inside a report's own delivery,
// which those lined up after it must follow.
void run_line_first()
{
    if (line_running || !line_ready.load(std::memory_order_acquire))
        return;
    uint64_t lined;
    {
        std::lock_guard<std::mutex> hold(shared.line_mutex);
        lined = shared.line_queued;
    }
    while (reports_run < lined && step_line()) {
    }
}

enum round_t { kRoundIdle, kRoundRan, kRoundOutOfTime };

// One round: the line, then one batch of each slot, so that a slot that
// never runs dry still lets the others in.
round_t serve_round(Clock::time_point due)
{
    bool ran = false;
    while (step_line()) {
        ran = true;
        if (Clock::now() >= due)
            return kRoundOutOfTime;
    }
    int used = slots_used.load();
    for (int i = 0; i < used; i++) {
        slot_t &slot = shared.slots[i];
        if (!has_work(slot) || front(slot) == nullptr)
            continue;
        while (batch_left(slot)) {
            step(slot);
            ran = true;
            if (Clock::now() >= due)
                return kRoundOutOfTime;
        }
    }
    return ran ? kRoundRan : kRoundIdle;
}

int drain(int, void *);

void post_drain()
{
    tarvelutil_signalany_t *to = channel != nullptr ? channel : report_channel;
    if (to != nullptr)
        tarvelutil_signalany_send(to, 0, drain, nullptr, 1);
}

// Starts the init thread when it is idle; the caller has just published
// under a mutex that leave() takes after clearing owner_active.
void start_owner(bool idle_seen)
{
    if (idle_seen && !owner_active.exchange(true))
        post_drain();
}

// True when the init thread may go back to its loop. A caller queues and
// reads owner_active under a mutex that the rescan takes: when it did so
// after the rescan took that mutex, it sees owner_active cleared and starts
// a drain.
bool leave()
{
    owner_active.store(false);
    if (!any_work_locked())
        return true;
    // Either a caller has just posted a drain, or this one goes on.
    return owner_active.exchange(true);
}

// Runs on the init thread from its call channel. A drain started from
// within a delivery (a callback running the loop) leaves the work to the
// one already running.
int drain(int, void *)
{
    if (draining_now)
        return 0;
    draining_now = true;
    struct done_t {
        ~done_t() { draining_now = false; }
    } done;
    Clock::time_point due = Clock::now() + kDrainBudget;
    for (;;) {
        switch (serve_round(due)) {
        case kRoundRan:
            continue;
        case kRoundOutOfTime:
            // Still active: the loop comes back here after its other events.
            post_drain();
            return 0;
        case kRoundIdle:
            return_all_spent();
            if (spin_for(any_work))
                continue;
            if (leave())
                return 0;
            continue;
        }
    }
}

// ---- The delivering threads' side ----

// A delivery of a thread beyond the slots, which goes through the channel's
// send: the reports it lined up before are not in its slot, so the line
// runs first.
struct sent_t {
    tarvelutil_signalmain_cb_t deliver;
    void *record;
};

int deliver_sent(int, void *record)
{
    const sent_t *sent = static_cast<const sent_t *>(record);
    run_line_first();
    return sent->deliver(0, sent->record);
}

void send_beyond_slots(tarvelutil_signalmain_cb_t deliver, void *record)
{
    sent_t sent{deliver, record};
    tarvelutil_signalany_send(channel, 0, deliver_sent, &sent, 0);
}

void wait_delivered(slot_t &slot, uint64_t target)
{
    auto reached = [&slot, target] { return slot.delivered.load(std::memory_order_acquire) >= target; };
    if (spin_for(reached))
        return;
    std::unique_lock<std::mutex> hold(shared.sleep_mutex);
    slot.sleeping.store(true);
    shared.woken.wait(hold, [&slot, target] { return slot.delivered.load() >= target; });
    slot.sleeping.store(false);
}

slot_t *take_slot()
{
    for (int i = 0; i < kMaxSlots; i++) {
        bool free = false;
        if (!shared.slots[i].taken.compare_exchange_strong(free, true))
            continue;
        int used = slots_used.load();
        while (used <= i && !slots_used.compare_exchange_weak(used, i + 1)) {
        }
        return &shared.slots[i];
    }
    return nullptr;
}

// A thread's slot, given back with nothing outstanding when the thread ends.
struct slot_owner_t {
    slot_t *slot = nullptr;
    bool tried = false;
    ~slot_owner_t()
    {
        if (slot == nullptr)
            return;
        std::vector<vn_data_t *> pool;
        pool.swap(slot->spare);
        {
            std::lock_guard<std::mutex> hold(slot->mutex);
            pool.insert(pool.end(), slot->pool.begin(), slot->pool.end());
            slot->pool.clear();
        }
        for (vn_data_t *record : pool) {
            vn_free_datapkt_data(record);
            vn_free(record);
        }
        slot->taken.store(false);
    }
};
thread_local slot_owner_t own_slot;

slot_t *my_slot()
{
    if (!own_slot.tried) {
        own_slot.tried = true;
        own_slot.slot = take_slot();
    }
    return own_slot.slot;
}

// Hands what the owning thread staged over to the init thread in one hold
// of the slot's lock, and takes spent records for the next ones; starts the
// init thread when it is idle.
void publish(slot_t &slot)
{
    if (slot.staged.empty())
        return;
    bool idle_seen;
    {
        std::lock_guard<std::mutex> hold(slot.mutex);
        if (slot.pending.empty()) {
            slot.ready.store(true, std::memory_order_release);
            slot.pending.swap(slot.staged);
        } else {
            slot.pending.insert(slot.pending.end(), slot.staged.begin(), slot.staged.end());
        }
        // Spare records never number more than one batch.
        size_t take = std::min(slot.pool.size(), kStagedUpdates - slot.spare.size());
        slot.spare.insert(slot.spare.end(), slot.pool.end() - static_cast<std::ptrdiff_t>(take), slot.pool.end());
        slot.pool.resize(slot.pool.size() - take);
        idle_seen = !owner_active.load(std::memory_order_relaxed);
    }
    slot.staged.clear();
    start_owner(idle_seen);
    // The init thread read these last: asking for them now overlaps the
    // moves with the screening of the next updates.
    for (vn_data_t *record : slot.spare)
        __builtin_prefetch(record, 1);
}

// Queues the entry behind what was gathered; its ticket, the delivered
// count that means it has run.
uint64_t queue_entry(slot_t &slot, const entry_t &entry)
{
    slot.staged.push_back(entry);
    publish(slot);
    return ++slot.queued;
}

// Stages the update with a spare record (or a new one), which takes the
// update's contents and gives `data` its spent ones.
void queue_update(slot_t &slot, int peer, vn_data_t *data, _vn_callbacks_owned_cb deliver)
{
    vn_data_t *owned;
    if (!slot.spare.empty()) {
        owned = slot.spare.back();
        slot.spare.pop_back();
        // The init thread read the next one's subject last; the parse after
        // next writes into it.
        if (!slot.spare.empty())
            __builtin_prefetch(slot.spare.back()->subject, 1);
    } else {
        owned = static_cast<vn_data_t *>(vn_calloc(1, sizeof(vn_data_t)));
    }
    std::swap(*owned, *data);
    slot.staged.push_back(entry_t{nullptr, nullptr, deliver, owned, peer, pass_epoch, 0});
    slot.queued++;
    Clock::time_point now = Clock::now();
    if (slot.staged.size() < kStagedUpdates && now - slot.handed_over < kStageBound)
        return;
    slot.handed_over = now;
    publish(slot);
}

// The calling thread's slot when its deliveries are queued for the init
// thread, else null.
slot_t *queueing_slot()
{
    if (channel == nullptr || pthread_equal(init_thread, pthread_self()) != 0)
        return nullptr;
    return my_slot();
}

// Puts a report at the end of the line; its number.
uint64_t line_up(const report_t &report)
{
    bool idle_seen;
    uint64_t number;
    {
        std::lock_guard<std::mutex> hold(shared.line_mutex);
        number = shared.line_queued++;
        shared.line.push_back(report);
        line_ready.store(true, std::memory_order_release);
        idle_seen = !owner_active.load(std::memory_order_relaxed);
    }
    start_owner(idle_seen);
    return number;
}

// The thread's mark: everything it has queued, published so that the init
// thread can run up to it.
_vn_callbacks_mark_t mark_of(slot_t *slot)
{
    if (slot == nullptr)
        return {nullptr, 0};
    publish(*slot);
    return {slot, slot->queued};
}

} // namespace

char _vn_callbacks_queueing = 0;

void _vn_callbacks_handoff_init(tarvelutil_signalany_t *init_channel)
{
    channel = init_channel;
    init_thread = pthread_self();
    // One call per wake-up: a drain that posts itself again is taken up only
    // after the loop's next turn, not straight away by the same read.
    if (channel != nullptr)
        tarvelutil_signalany_set_yield_count(channel, 1);
    owner_active.store(false);
    _vn_callbacks_queueing = init_channel != nullptr ? 1 : 0;
}

void _vn_callbacks_report_channel_set(tarvelutil_signalany_t *line_channel)
{
    report_channel = line_channel;
    if (report_channel != nullptr)
        tarvelutil_signalany_set_yield_count(report_channel, 1);
}

void _vn_callbacks_handoff(tarvelutil_signalmain_cb_t deliver, void *record)
{
    slot_t *slot = my_slot();
    if (slot == nullptr) {
        send_beyond_slots(deliver, record);
        return;
    }
    wait_delivered(*slot, queue_entry(*slot, entry_t{deliver, record, nullptr, nullptr, 0, 0, 0}));
}

int _vn_callbacks_handoff_update(int peer, vn_data_t *data, _vn_callbacks_owned_cb deliver)
{
    if (pass_depth == 0 || data != lent_record)
        return 0;
    slot_t *slot = my_slot();
    if (slot == nullptr)
        return 0;
    queue_update(*slot, peer, data, deliver);
    return 1;
}

int _vn_callbacks_report(tarvelutil_signalmain_cb_t deliver, void *record)
{
    if (channel == nullptr && report_channel == nullptr)
        return 0;
    slot_t *slot = queueing_slot();
    _vn_callbacks_mark_t made = mark_of(slot);
    uint64_t number = line_up({deliver, record, slot, made.ticket, nullptr});
    if (slot != nullptr)
        queue_entry(*slot, entry_t{nullptr, nullptr, nullptr, nullptr, 0, 0, number});
    return 1;
}

void _vn_callbacks_report_and_wait(tarvelutil_signalmain_cb_t deliver, void *record, const _vn_callbacks_mark_t *made)
{
    slot_t *slot = my_slot();
    if (slot == nullptr) {
        send_beyond_slots(deliver, record);
        return;
    }
    publish(*slot);
    bool made_elsewhere = made != nullptr && made->slot != nullptr && made->slot != slot;
    // The report's own order covers the thread that made it; what this one
    // handed over goes first, so that the report may count as its next.
    if (made_elsewhere)
        wait_delivered(*slot, slot->queued);
    report_t report{deliver, record, slot, slot->queued, slot};
    if (made_elsewhere) {
        report.slot = static_cast<slot_t *>(made->slot);
        report.ticket = made->ticket;
    }
    uint64_t ticket = ++slot->queued;
    line_up(report);
    wait_delivered(*slot, ticket);
}

_vn_callbacks_mark_t _vn_callbacks_mark(void)
{
    return mark_of(own_slot.slot);
}

void _vn_callbacks_catch_up(const _vn_callbacks_mark_t *mark)
{
    if (mark == nullptr || mark->slot == nullptr)
        return;
    slot_t &slot = *static_cast<slot_t *>(mark->slot);
    while (owes(slot, mark->ticket) && step(slot)) {
    }
}

void _vn_callbacks_pass_begin(void)
{
    // Read before anything of the pass is screened.
    if (pass_depth++ == 0)
        pass_epoch = drop_epoch.load();
}

void _vn_callbacks_pass_end(void)
{
    if (--pass_depth != 0)
        return;
    slot_t *slot = own_slot.slot;
    if (slot == nullptr)
        return;
    publish(*slot);
    if (slot->queued != slot->delivered.load(std::memory_order_acquire))
        wait_delivered(*slot, slot->queued);
}

void _vn_callbacks_line_first(void)
{
    if (pthread_equal(init_thread, pthread_self()) != 0)
        run_line_first();
}

void _vn_callbacks_lend(vn_data_t *record)
{
    lent_record = record;
}

void _vn_callbacks_note_drop(void)
{
    drop_epoch.fetch_add(1);
}

uint64_t _vn_callbacks_drop_epoch(void)
{
    return drop_epoch.load();
}
