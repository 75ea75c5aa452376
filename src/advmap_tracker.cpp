// Data services: the process-wide table of tracker objects, their creation
// and removal, the timers a tracker arms, and the computation of a tracker's
// state with its report to the application.
//
// The table and its entry locks are shared by the init thread and every peer
// thread. State reports are queued for the init thread while the tracker is
// still held, so the application gets them in the order they were computed;
// the hand-over's report line also keeps each in its place among its
// thread's other deliveries (callbacks_handoff.cpp). Removed trackers are
// freed by delete_batcher about five seconds later, on the init thread.
#include "advmap.h"

#include <cstring>

std::mutex create_lock;

namespace {

constexpr double kDeleteBatchSeconds = 5.0;
constexpr double kDeleteCheckSeconds = 1.0;

tarvelutil_hashtable_t *active_obj_hash;
std::atomic<int> object_serial{0};
std::atomic<uint64_t> timer_tokens{0};
tarvelutil_signalany_t *statuscb_handler;
tarvelutil_batch_t *delete_batcher;

// One state report on its way to the init thread, in one block with its
// copies of the subject and the message (null stays null).
struct statuscb_t {
    int conn;
    char *subject;
    int code;
    int state;
    char *message;
};

void delete_batched_object(void *, void *object)
{
    object_t *obj = static_cast<object_t *>(object);
    vn_free(obj->status_msg);
    vn_free(obj); // with its states and name, made in one block
}

int invoke_status_signalany_cb(int, void *data)
{
    statuscb_t *report = static_cast<statuscb_t *>(data);
    _vn_callbacks_recv_object_status(report->conn, report->subject, report->state, static_cast<uint16_t>(report->code),
                                report->message);
    vn_free(report);
    return 0;
}

statuscb_t *new_state_report(int peer, const char *subject, uint16_t code, int state, const char *message)
{
    size_t subject_bytes = std::strlen(subject) + 1;
    size_t message_bytes = message != nullptr ? std::strlen(message) + 1 : 0;
    statuscb_t *report = static_cast<statuscb_t *>(vn_malloc(sizeof(statuscb_t) + subject_bytes + message_bytes));
    char *text = reinterpret_cast<char *>(report + 1);
    std::memcpy(text, subject, subject_bytes);
    *report = {peer, text, code, state, nullptr};
    if (message != nullptr) {
        report->message = text + subject_bytes;
        std::memcpy(report->message, message, message_bytes);
    }
    return report;
}

void free_timer_event_data(int, void *data)
{
    free_timer_arg(static_cast<timer_arg_t *>(data));
}

object_t *new_object(const char *name, advmap_t *map)
{
    vn_log(advmap_log, kAdvmapLevelDebug, "Creating new tracker-object <%s>\n", name);
    // One block holds the object, its group states and its name, which live
    // exactly as long as it: a batch makes a tracker per subject, and each
    // allocation and page of them counts. status_msg stays null for "" until
    // a state is reported.
    static_assert(sizeof(object_t) % alignof(state_t) == 0, "the states follow the object in its block");
    size_t groups = static_cast<size_t>(map->groups_num > 0 ? map->groups_num : 1);
    size_t name_bytes = std::strlen(name) + 1;
    object_t *obj =
        static_cast<object_t *>(vn_calloc(1, sizeof(object_t) + groups * sizeof(state_t) + name_bytes));
    obj->states = reinterpret_cast<state_t *>(obj + 1);
    obj->name = reinterpret_cast<char *>(obj->states + groups);
    std::memcpy(obj->name, name, name_bytes);
    obj->object_number = ++object_serial;
    obj->map = map;
    for (int g = 0; g < map->groups_num; g++) {
        state_t &state = obj->states[g];
        state.position = state.priority = state.first = state.hint_priority = -1;
        state.stale = 1;
    }
    return obj;
}

uint32_t load_word(const vn_set_t &set, int word)
{
    return __atomic_load_n(&set.bits[word], __ATOMIC_RELAXED);
}

vn_set_t snapshot(const vn_set_t &set)
{
    vn_set_t copy;
    for (int word = 0; word < 32; word++)
        copy.bits[word] = load_word(set, word);
    return copy;
}

constexpr uint64_t kHashStep = 0x9E3779B97F4A7C15u;

// The bytes of a text after its whole 8-byte words (`at` is where they
// end) in one load, overlapping bytes already taken when the text is longer
// than a word, instead of a byte at a time.
uint64_t tail_word(const char *text, size_t at, size_t length)
{
    uint64_t tail = 0;
    if (at < length && length >= 8) {
        std::memcpy(&tail, text + length - 8, 8);
    } else if (length >= 4) {
        uint32_t low, high;
        std::memcpy(&low, text, 4);
        std::memcpy(&high, text + length - 4, 4);
        tail = low | uint64_t{high} << 32;
    } else if (length != 0) {
        tail = uint64_t{static_cast<unsigned char>(text[0])} |
               uint64_t{static_cast<unsigned char>(text[length / 2])} << 8 |
               uint64_t{static_cast<unsigned char>(text[length - 1])} << 16;
    }
    return tail;
}

int mixed_subject_hash(const char *text, size_t length)
{
    uint64_t hash = length * kHashStep;
    size_t at = 0;
    // A product carries bits only upwards: each step folds the high half
    // down again, so that bytes late in two words do not meet only in the
    // top bits and cancel there.
    auto step = [&hash](uint64_t word) {
        hash = (hash ^ word) * kHashStep;
        hash ^= hash >> 32;
    };
    for (; at + 8 <= length; at += 8) {
        uint64_t word;
        std::memcpy(&word, text + at, 8);
        step(word);
    }
    step(tail_word(text, at, length));
    // The finaliser of a well-known 64-bit mixer: every input bit reaches the low bits.
    hash ^= hash >> 33;
    hash *= 0xFF51AFD7ED558CCDu;
    hash ^= hash >> 33;
    hash *= 0xC4CEB9FE1A85EC53u;
    hash ^= hash >> 33;
    return static_cast<int>(hash & 0x7FFFFFFF);
}

#if defined(__x86_64__)
// The processor's CRC32C instruction takes a word in three cycles where the
// mixer above takes about six, and an update hashes its subject every time.
__attribute__((target("sse4.2"))) int crc_subject_hash(const char *text, size_t length)
{
    uint64_t crc = length;
    size_t at = 0;
    for (; at + 8 <= length; at += 8) {
        uint64_t word;
        std::memcpy(&word, text + at, 8);
        crc = __builtin_ia32_crc32di(crc, word);
    }
    crc = __builtin_ia32_crc32di(crc, tail_word(text, at, length));
    // A CRC is linear in its input: one product spreads all its bits over
    // the bits kept, the low ones that pick the bucket among them.
    return static_cast<int>((crc * kHashStep) >> 33);
}

bool has_crc32c()
{
    static const bool has = __builtin_cpu_supports("sse4.2") != 0;
    return has;
}
#endif

} // namespace

int advmap_subject_hash(const void *key)
{
    const char *text = static_cast<const char *>(key);
#if defined(__x86_64__)
    if (has_crc32c())
        return crc_subject_hash(text, std::strlen(text));
#endif
    return mixed_subject_hash(text, std::strlen(text));
}

int advmap_subject_hash_portable(const void *key)
{
    const char *text = static_cast<const char *>(key);
    return mixed_subject_hash(text, std::strlen(text));
}

vn_set_t advmap_peers_up()
{
    return snapshot(_vn_peers_up);
}

vn_set_t advmap_peers_active()
{
    return snapshot(_vn_peers_active);
}

void advmap_tracker_start(int hash_size)
{
    active_obj_hash = tarvelutil_hashtable_create(hash_size, advmap_subject_hash, nullptr, nullptr, nullptr, 0);
    tarvelutil_batch_init(advmap_log);
    request_handler = tarvelutil_signalany_create(advmap_log);
    statuscb_handler = tarvelutil_signalany_create(advmap_log);
    _vn_callbacks_report_channel_set(statuscb_handler);
    delete_batcher =
        tarvelutil_batch_create(delete_batched_object, nullptr, kDeleteBatchSeconds, kDeleteCheckSeconds);
}

tracker_key_t tracker_key(const char *name)
{
    if (active_obj_hash == nullptr || name == nullptr)
        return {name, 0};
    return {name, _tarvelutil_hashtable_hash(active_obj_hash, name)};
}

void prefetch_tracker(const tracker_key_t &key)
{
    if (active_obj_hash != nullptr)
        _tarvelutil_hashtable_prefetch(active_obj_hash, key.hash);
}

object_t *find_object(const tracker_key_t &key, int locktype)
{
    if (active_obj_hash == nullptr || key.name == nullptr)
        return nullptr;
    return static_cast<object_t *>(_tarvelutil_hashtable_get_hashed(active_obj_hash, key.name, key.hash, locktype));
}

object_t *find_object(const char *name, int locktype)
{
    return find_object(tracker_key(name), locktype);
}

object_t *find_object_mapped(const char *name, int locktype)
{
    if (name == nullptr)
        return nullptr;
    char mapped[VN_MAP_BUFFER_BYTES];
    return find_object(_vn_map_name(name, mapped), locktype);
}

void advmap_foreach_tracker(tarvelutil_container_foreach_func visit, void *context)
{
    if (active_obj_hash != nullptr)
        tarvelutil_hashtable_foreach(active_obj_hash, visit, context, kLockWrite);
}

void release_object(const char *name, int locktype)
{
    tarvelutil_hashtable_release(active_obj_hash, name, locktype);
}

void release_tracker(object_t *obj, int locktype)
{
    _tarvelutil_hashtable_release_held(active_obj_hash, obj->table_entry, locktype);
}

object_t *add_object(const char *name, advmap_t *map, int locktype, bool *created)
{
    return add_object(tracker_key(name), map, locktype, created);
}

object_t *add_object(const tracker_key_t &key, advmap_t *map, int locktype, bool *created)
{
    if (created != nullptr)
        *created = false;
    // A tracker that exists is taken outside create_lock, so that waiting for
    // its holder never stalls every other creation.
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(create_lock);
            if (find_object(key, kLockNone) == nullptr) {
                object_t *obj = new_object(key.name, map);
                // Recorded while the new tracker is still held: whoever
                // finds it next waits for that hold, and sees the entry.
                _tarvelutil_hashtable_put_hashed(active_obj_hash, obj->name, key.hash, obj, locktype,
                                                 &obj->table_entry);
                pthread_rwlock_wrlock(&map->data_lock);
                _vn_list_add_head(&map->object_list, &obj->slist);
                pthread_rwlock_unlock(&map->data_lock);
                if (created != nullptr)
                    *created = true;
                return obj;
            }
        }
        if (object_t *obj = find_object(key, locktype))
            return obj;
        // Removed while we waited for it: make it afresh.
    }
}

int remove_object(object_t *obj, int locktype, int remove_from_hash)
{
    for (int g = 0; g < obj->map->groups_num; g++) {
        disarm_timer(&obj->states[g].restart_tev);
        disarm_timer(&obj->states[g].request_tev);
        decrement_subscriptions(obj, g);
    }
    disarm_timer(&obj->timeout_tev);
    if (obj->data != nullptr) {
        // The application's pointer keeps the tracker, emptied, for its next request.
        obj->actset = obj->badset = obj->reqset = obj->pending_peers = obj->previous_peers = vn_set_t{};
        obj->do_not_request = 1;
        release_tracker(obj, locktype);
        return 0;
    }
    vn_log(advmap_log, kAdvmapLevelDebug, "Removing tracker-object <%s>\n", obj->name);
    if (remove_from_hash)
        tarvelutil_hashtable_remove(active_obj_hash, obj->name, kLockNone);
    pthread_rwlock_wrlock(&obj->map->data_lock);
    _vn_list_del(&obj->slist);
    pthread_rwlock_unlock(&obj->map->data_lock);
    tarvelutil_batch_add(delete_batcher, obj);
    return 1;
}

bool peer_requestable(const object_t *obj, int peer)
{
    if (set_has(obj->badset, peer))
        return false;
    int word = peer / 32;
    uint32_t bit = 1u << (peer % 32);
    return (load_word(_vn_peers_active, word) & bit) != 0 && (load_word(_vn_peers_up, word) & bit) != 0;
}

int current_source(const object_t *obj, int num)
{
    const state_t &state = obj->states[num];
    if (state.priority < 0 || state.position < 0)
        return -1;
    const priority_t &priority = obj->map->groups[num].priorities[state.priority];
    return state.position < priority.num_peers ? priority.peers[state.position] : -1;
}

bool sourced_elsewhere(const object_t *obj, int num, int peer)
{
    int source = current_source(obj, num);
    return source >= 0 && source != peer;
}

void drop_peer(object_t *obj, int peer)
{
    set_del(obj->reqset, peer);
    set_del(obj->actset, peer);
    set_del(obj->pending_peers, peer);
}

void decrement_subscriptions(object_t *obj, int num)
{
    state_t &state = obj->states[num];
    if (state.priority >= 0 && state.position >= 0) {
        priority_t &priority = obj->map->groups[num].priorities[state.priority];
        if (state.position < priority.num_peers)
            std::atomic_ref<int>(priority.subscriptions[state.position]).fetch_sub(1);
    }
    state.position = -1;
}

bool all_required_peers_responded_or_timedout(const object_t *obj)
{
    for (int word = 0; word < 32; word++) {
        if (obj->map->required_peers.bits[word] & ~obj->badset.bits[word])
            return false;
    }
    return true;
}

void post_state_report(int peer, const char *subject, uint16_t code, int state, const char *message)
{
    // The report only carries the state to the application's callback; every
    // image of a large batch changes a state, so without a callback none is made.
    if (!_vn_callbacks_wants_object_status())
        return;
    // Queued even on the init thread: the caller still holds the tracker, and
    // the application may ask for the same subject from its callback.
    statuscb_t *report = new_state_report(peer, subject, code, state, message);
    if (_vn_callbacks_report(invoke_status_signalany_cb, report) == 0)
        invoke_status_signalany_cb(0, report);
}

int object_calculate_state(int peer, object_t *obj, uint16_t code, const char *message, int nosave)
{
    int state = kObjectOk;
    const char *text = message != nullptr ? message : "All peers providing";
    for (int g = 0; g < obj->map->groups_num; g++) {
        if (!obj->states[g].stale)
            continue;
        if (obj->map->groups[g].required) {
            state = kObjectMandatoryDown;
            text = "Mandatory source down";
        } else if (state == kObjectOk) {
            state = kObjectOptionalDown;
            text = "Optional source down";
        }
    }
    if (state == obj->state && std::strcmp(text, obj->status_msg != nullptr ? obj->status_msg : "") == 0) {
        release_tracker(obj, kLockWrite);
        return state;
    }
    vn_log(advmap_log, kAdvmapLevelInfo, "<%s> has changed status from %d to %d <%s>\n", obj->name, obj->state, state,
           text);
    char *copy = vn_strdup(text);
    vn_free(obj->status_msg);
    obj->status_msg = copy;
    if (!nosave)
        std::atomic_ref<int>(obj->state).store(state); // the stale clean-up reads it under data_lock only
    post_state_report(peer, obj->name, code, state, obj->status_msg);
    release_tracker(obj, kLockWrite);
    return state;
}

int object_calculate_state_timed(int, int val, void *data)
{
    timer_arg_t *arg = static_cast<timer_arg_t *>(data);
    if (object_t *obj = find_object(arg->subject, kLockWrite))
        object_calculate_state(val, obj, 0, nullptr, 1);
    free_timer_arg(arg);
    return 0;
}

int advmap_recv_object_status_locked(int peer, object_t *obj, int flags, uint16_t, const char *)
{
    if (!set_has(obj->actset, peer) && !set_has(obj->reqset, peer))
        return 0;
    int g = get_peer_group_index(obj->map, peer);
    auto mark_stale = [&] {
        set_add(obj->pending_peers, peer);
        if (g >= 0)
            obj->states[g].stale = 1;
    };
    if (flags == kStatusSourceFailed) {
        // A failing peer that is not the group's source takes only itself away.
        if (g >= 0 && sourced_elsewhere(obj, g, peer)) {
            drop_peer(obj, peer);
            return 1;
        }
        if (set_has(obj->map->required_peers, peer))
            mark_stale();
        send_cancel_discard(peer, obj);
        start_failover(peer, obj);
    } else if (flags & kStatusPending) {
        if ((flags & kStatusStale) && g >= 0)
            obj->states[g].stale = 1;
        set_add(obj->pending_peers, peer);
    } else if (flags == kStatusStale) {
        mark_stale();
    } else if (flags == kStatusFresh) {
        set_del(obj->pending_peers, peer);
        if (g >= 0)
            obj->states[g].stale = 0;
    }
    return 1;
}

void arm_timer(timer_slot_t *slot, const object_t *obj, double delay, vn_timed_event_cb cb, int value)
{
    disarm_timer(slot);
    timer_arg_t *arg = new_timer_arg(obj->name, ++timer_tokens);
    vn_timed_event_t *tev = vn_add_timed_event(obj->object_number, delay, cb, value, arg);
    if (tev == nullptr) {
        // A thread without a loop cannot time anything.
        free_timer_arg(arg);
        return;
    }
    *slot = {tev, arg->token};
}

void disarm_timer(timer_slot_t *slot)
{
    if (slot->tev == nullptr)
        return;
    // From another thread the delete is posted to the owner loop; an event
    // that fires before it arrives finds its token gone and leaves itself to it.
    vn_del_timed_event_free_data(slot->tev, free_timer_event_data);
    *slot = {nullptr, 0};
}

bool claim_timer(timer_slot_t *slot, const timer_arg_t *arg)
{
    if (slot->tev == nullptr || slot->token != arg->token)
        return false;
    *slot = {nullptr, 0};
    return true;
}

timer_arg_t *new_timer_arg(const char *subject, uint64_t token)
{
    // One block holds the record and its copy of the subject: a batch arms a
    // timer per subject, so each saves an allocation.
    size_t length = std::strlen(subject) + 1;
    timer_arg_t *arg = static_cast<timer_arg_t *>(vn_malloc(sizeof(timer_arg_t) + length));
    arg->subject = reinterpret_cast<char *>(arg + 1);
    std::memcpy(arg->subject, subject, length);
    arg->token = token;
    return arg;
}

void free_timer_arg(timer_arg_t *arg)
{
    vn_free(arg);
}

void deliver_nodata(int peer, const char *subject, uint16_t reason)
{
    // The subject is already in the peers' namespace: it is not mapped again.
    vn_data_t *nodata = vn_new_datapkt(subject, 0, reason);
    _vn_callbacks_recv_nodata(peer, nodata);
    vn_free_datapkt(nodata);
}
