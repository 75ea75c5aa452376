// The callback layer's hand-over from other threads to the init thread. Every
// thread that delivers has a slot: a FIFO of deliveries that only the init
// thread runs, one at a time and in the order queued. A synchronous delivery
// waits until its own has run. Within a read pass, an update whose record the
// caller lends is queued without waiting: the record's contents move into a
// spare record taken from the slot's pool, and the caller gets a spent one
// back to parse into. Such updates are gathered a few at a time and handed
// over in one hold of the slot's mutex. The pass ends by waiting until
// everything it queued has run, so the thread never goes on past the pass with
// deliveries outstanding, and the init thread delivers while the pass parses
// on. A state report made meanwhile goes to the init thread by another way,
// with a mark of the thread's queue; before it reaches the application the
// init thread runs that queue up to the mark (`catch_up`).
//
// Threads and ownership: a slot belongs to one thread at a time, which alone
// gathers its updates and hands them over under the slot's mutex; the init
// thread takes the whole queue at once under that mutex (or, catching up, one
// entry at a time), runs it, and hands the spent records back to the pool
// under it again. `drain` runs on the init thread from its call channel, which
// is poked only when the hand-over goes from idle to busy (`owner_active`); a
// drain that has used its time budget posts itself again and returns, and the
// loop serves its timers and other watches before it takes the drain up again.
// While both sides are busy neither sleeps: a waiting caller spins briefly
// before it blocks, and the init thread spins briefly for more work before it
// goes back to its loop. Both spins are bounded, so an idle process sleeps.
// Threads beyond the slots use the channel's synchronous send.
#include "vantrix_private.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
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
// A thread gathers updates before it hands them over under its slot's
// lock: one hold per update would keep the init thread waiting for the
// lock. It gathers at most this many, and for no longer than about
// kStageBound, well inside kSpinBound, so that an init thread waiting for
// slow updates (images that each make a tracker) does not fall asleep.
constexpr size_t kStagedUpdates = 32;
constexpr auto kStageBound = std::chrono::microseconds(20);

struct entry_t {
    tarvelutil_signalmain_cb_t deliver; // a synchronous delivery and its caller's record
    void *record;
    _vn_callbacks_owned_cb owned_deliver; // a queued update and the record it owns
    vn_data_t *owned;
    int peer;
    uint64_t epoch;
};

struct alignas(kCacheLine) slot_t {
    std::mutex mutex;                 // guards pending, head and pool
    std::vector<entry_t> pending;     // queued, not yet taken by the init thread
    size_t head = 0;                  // entries of pending a catch-up has taken already
    std::vector<vn_data_t *> pool;    // spent records for the owning thread to parse into
    uint64_t queued = 0;              // owning thread only: deliveries ever queued
    // Owning thread only: updates not yet handed over, and records taken
    // from the pool in one hold to parse the next ones into.
    std::vector<entry_t> staged;
    std::vector<vn_data_t *> spare;
    // How many to gather: halved when a batch took longer than kStageBound
    // to gather, doubled when it took less than half of it.
    size_t stage_limit = kStagedUpdates;
    Clock::time_point stage_started;
    std::atomic<bool> taken{false};   // a thread owns the slot
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

// Never destroyed: detached peer threads may still wait in these while the
// process exits, and destroying a condition under a waiter hangs.
struct shared_t {
    slot_t slots[kMaxSlots];
    std::mutex sleep_mutex; // only blocked callers and their wake-ups use these
    std::condition_variable woken;
    // The init thread's batch being run and its spent records, kept for
    // their capacity.
    std::vector<entry_t> running;
    std::vector<vn_data_t *> spent;
};
shared_t &shared = *new shared_t;

std::atomic<int> slots_used{0};        // high-water mark of slots ever taken; the init thread scans below it
std::atomic<bool> owner_active{false}; // drain runs or is posted: callers need not start one
tarvelutil_signalany_t *channel;

// Raised after the application discards or purges a subject, so that an
// update queued from a pass that began before can be screened again.
std::atomic<uint64_t> drop_epoch{0};
bool draining_now = false; // init thread only: drain is running
// Init thread only: the slot whose taken batch drain is running; entries
// still queued there come after the rest of that batch.
const slot_t *batch_slot = nullptr;

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

bool has_work(const slot_t &slot)
{
    return slot.ready.load(std::memory_order_acquire);
}

bool any_work()
{
    int used = slots_used.load();
    for (int i = 0; i < used; i++)
        if (has_work(shared.slots[i]))
            return true;
    return false;
}

// Under each slot's mutex, which orders it with the callers' queuing.
bool any_work_locked()
{
    int used = slots_used.load();
    for (int i = 0; i < used; i++) {
        std::lock_guard<std::mutex> hold(shared.slots[i].mutex);
        if (!shared.slots[i].pending.empty())
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

// Runs one entry; the record it owned, now spent, or null.
vn_data_t *run_entry(slot_t &slot, const entry_t &entry)
{
    if (entry.owned != nullptr)
        entry.owned_deliver(entry.peer, entry.owned, entry.epoch);
    else
        entry.deliver(0, entry.record);
    mark_delivered(slot);
    return entry.owned;
}

// Under the slot's mutex: into the pool, or freed when the pool is full.
void pool_spent_locked(slot_t &slot, vn_data_t *record)
{
    if (slot.pool.size() < kMaxPooledRecords) {
        slot.pool.push_back(record);
        return;
    }
    vn_free_datapkt_data(record);
    vn_free(record);
}

void return_spent(slot_t &slot)
{
    if (shared.spent.empty())
        return;
    std::lock_guard<std::mutex> hold(slot.mutex);
    for (vn_data_t *record : shared.spent)
        pool_spent_locked(slot, record);
    shared.spent.clear();
}

// Under the slot's mutex: the queue is empty once a catch-up took it all.
void settle_head_locked(slot_t &slot)
{
    if (slot.head != slot.pending.size())
        return;
    slot.pending.clear();
    slot.head = 0;
    slot.ready.store(false, std::memory_order_relaxed);
}

// Takes and runs each slot's queue; how many ran.
size_t run_queued()
{
    int used = slots_used.load();
    size_t ran = 0;
    for (int i = 0; i < used; i++) {
        slot_t &slot = shared.slots[i];
        if (!has_work(slot))
            continue;
        size_t first;
        {
            std::lock_guard<std::mutex> hold(slot.mutex);
            shared.running.swap(slot.pending);
            first = slot.head;
            slot.head = 0;
            slot.ready.store(false, std::memory_order_relaxed);
        }
        batch_slot = &slot;
        for (size_t at = first; at < shared.running.size(); at++) {
            if (vn_data_t *spent = run_entry(slot, shared.running[at]))
                shared.spent.push_back(spent);
        }
        batch_slot = nullptr;
        ran += shared.running.size() - first;
        shared.running.clear();
        return_spent(slot);
    }
    return ran;
}

int drain(int, void *);

void post_drain()
{
    tarvelutil_signalany_send(channel, 0, drain, nullptr, 1);
}

// True when the init thread may go back to its loop. A caller queues and
// reads owner_active under its slot's mutex: when it did so after the
// rescan took that mutex, it sees owner_active cleared and starts a drain.
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
    Clock::time_point started = Clock::now();
    for (;;) {
        if (run_queued() == 0) {
            if (spin_for(any_work))
                continue;
            if (leave())
                return 0;
            continue;
        }
        if (Clock::now() - started >= kDrainBudget) {
            // Still active: the loop comes back here after its other events.
            post_drain();
            return 0;
        }
    }
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
    bool start;
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
        start = !owner_active.load(std::memory_order_relaxed);
    }
    slot.staged.clear();
    if (start && !owner_active.exchange(true))
        post_drain();
}

// The entry's ticket, the delivered count that means it has run.
uint64_t queue_entry(slot_t &slot, const entry_t &entry)
{
    slot.staged.push_back(entry);
    publish(slot);
    return ++slot.queued;
}

// Fits the next batch to the time the last full one took to gather.
void adapt_stage_limit(slot_t &slot)
{
    auto took = Clock::now() - slot.stage_started;
    if (took > kStageBound)
        slot.stage_limit = std::max<size_t>(1, slot.stage_limit / 2);
    else if (took < kStageBound / 2)
        slot.stage_limit = std::min(kStagedUpdates, slot.stage_limit * 2);
}

// Stages the update with a spare record (or a new one), which takes the
// update's contents and gives `data` its spent ones.
void queue_update(slot_t &slot, int peer, vn_data_t *data, _vn_callbacks_owned_cb deliver)
{
    vn_data_t *owned;
    if (!slot.spare.empty()) {
        owned = slot.spare.back();
        slot.spare.pop_back();
    } else {
        owned = static_cast<vn_data_t *>(vn_calloc(1, sizeof(vn_data_t)));
    }
    std::swap(*owned, *data);
    if (slot.staged.empty())
        slot.stage_started = Clock::now();
    slot.staged.push_back(entry_t{nullptr, nullptr, deliver, owned, peer, pass_epoch});
    slot.queued++;
    if (slot.staged.size() < slot.stage_limit)
        return;
    adapt_stage_limit(slot);
    publish(slot);
}

} // namespace

char _vn_callbacks_queueing = 0;

void _vn_callbacks_handoff_init(tarvelutil_signalany_t *init_channel)
{
    channel = init_channel;
    // One call per wake-up: a drain that posts itself again is taken up only
    // after the loop's next turn, not straight away by the same read.
    if (channel != nullptr)
        tarvelutil_signalany_set_yield_count(channel, 1);
    owner_active.store(false);
    _vn_callbacks_queueing = init_channel != nullptr ? 1 : 0;
}

void _vn_callbacks_handoff(tarvelutil_signalmain_cb_t deliver, void *record)
{
    slot_t *slot = my_slot();
    if (slot == nullptr) {
        tarvelutil_signalany_send(channel, 0, deliver, record, 0);
        return;
    }
    wait_delivered(*slot, queue_entry(*slot, entry_t{deliver, record, nullptr, nullptr, 0, 0}));
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

_vn_callbacks_mark_t _vn_callbacks_mark(void)
{
    slot_t *slot = own_slot.slot;
    if (slot == nullptr)
        return {nullptr, 0};
    // The init thread catches up only with what it can see.
    publish(*slot);
    return {slot, slot->queued};
}

void _vn_callbacks_catch_up(const _vn_callbacks_mark_t *mark)
{
    if (mark == nullptr || mark->slot == nullptr)
        return;
    slot_t &slot = *static_cast<slot_t *>(mark->slot);
    // A batch taken from this slot is running (the report is its own entry,
    // or a callback of it runs the loop): what the batch still holds comes
    // before anything queued, and only the batch may run it.
    if (&slot == batch_slot)
        return;
    // One entry at a time, so that a drain started by a callback meanwhile
    // finds the rest still queued, in order.
    vn_data_t *spent = nullptr;
    while (slot.delivered.load(std::memory_order_acquire) < mark->ticket) {
        entry_t entry{};
        {
            std::lock_guard<std::mutex> hold(slot.mutex);
            if (spent != nullptr)
                pool_spent_locked(slot, spent);
            spent = nullptr;
            if (slot.head == slot.pending.size())
                return;
            entry = slot.pending[slot.head++];
            settle_head_locked(slot);
        }
        spent = run_entry(slot, entry);
    }
    if (spent != nullptr) {
        std::lock_guard<std::mutex> hold(slot.mutex);
        pool_spent_locked(slot, spent);
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
