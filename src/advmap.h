// advmap.h: the data-service module's private header, shared by its files:
//   advmap_config.cpp   options, start-up checks, service lookup and queries
//   advmap_monitor.cpp  monitoring templates, values and the find method
//   advmap_tracker.cpp  the tracker table, creation, removal, timers, states
//   advmap_request.cpp  source choice, fail-over, the application's calls
//   advmap_recv.cpp     inbound updates, no-data, statuses, peer changes, clean-ups
//
// Threads and locks: requests made through the public calls run on the init
// thread (posted synchronously to request_handler); inbound packets and peer
// changes run on the peers' threads. A tracker changes only while its table
// entry's write lock is held. Lock order: a tracker's entry lock, then its
// service's data_lock; create_lock, then data_lock. No lock of this module
// is held while the application's callbacks run, and a thread holds at most
// one tracker at a time. Timers run on the loop of the thread that armed
// them; each carries a token so that one that lost a race with a re-arm on
// another thread does nothing.
#ifndef VANTRIX_ADVMAP_H
#define VANTRIX_ADVMAP_H

#include "vantrix_private.h"

#include <pthread.h>
#include <regex.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// Log levels and the flag that copies a line to standard error.
constexpr int kAdvmapLevelConfig = 0;
constexpr int kAdvmapLevelNotify = 4;
constexpr int kAdvmapLevelInfo = 6;
constexpr int kAdvmapLevelDebug = 7;
constexpr int kAdvmapToStderr = 0x100;

// Service types (bits) and states.
constexpr int kServiceActive = 1;
constexpr int kServiceBroadcast = 2;
constexpr int kServiceOk = 1;
constexpr int kServiceDown = 2;
constexpr int kServiceLimited = 8;

// Tracker states.
constexpr int kObjectOk = 1;
constexpr int kObjectMandatoryDown = 2;
constexpr int kObjectOptionalDown = 8;

// Entry lock types of the tracker table.
constexpr int kLockNone = 0;
constexpr int kLockRead = 1;
constexpr int kLockWrite = 2;

// Peer type bits and record flags.
constexpr int kPeerActive = 1;
constexpr int kPeerContrib = 2;
constexpr uint16_t kRecordFromActive = 0x2000; // an active peer's update that was not asked for
constexpr uint16_t kRecordNoCache = 0x400;     // the receiver is not to cache the contribution

// Peer change states.
constexpr int kPeerUp = 256;
constexpr int kPeerDown = 512;

// Object status flags.
constexpr int kStatusStale = 1;
constexpr int kStatusFresh = 4;
constexpr int kStatusPending = 0x100;
constexpr int kStatusSourceFailed = 0x1101;

// One include or exclude pattern of a service.
struct pattern_t {
    char *pattern;
    char exclude;
    regex_t regex;
    char compiled; // regex holds a compiled expression
};

// One priority level of a source group. subscriptions are changed by
// trackers of the service on several threads at once, through atomic_ref.
struct priority_t {
    int num_labels;
    char **labels;
    int num_peers;
    int *peers;
    int *subscriptions;
    char *mon_name;
    char **peer_mon_names;
};

struct srcgroup_t {
    char required;
    int num_priorities;
    priority_t *priorities;
    double retry_time;
    vn_set_t group_peers;
    char *mon_name;
};

// One data service; the configuration fills the first fields, start-up the rest.
struct advmap_t {
    char *service_name;
    int service_type;
    pattern_t *patterns;
    int patterns_num;
    int groups_num;
    srcgroup_t *groups;
    double request_timeout;
    double discard_timeout;
    int required_state;
    pthread_rwlock_t data_lock; // guards object_list and state
    char enabled;
    vn_list_t object_list;      // newest next to the head
    vn_set_t required_peers;
    vn_set_t optional_peers;
    int state;                  // written under data_lock, read anywhere through atomic_ref
    int *peers_map;             // per peer number, its group's index or -1
    vn_timed_event_t *cleanup_stale_tev;
    char cache_contrib;
};

// A timer of a tracker: the event and the token of its arming.
struct timer_slot_t {
    vn_timed_event_t *tev;
    uint64_t token;
};

// What a tracker's timer carries: a copy of the subject and its arming's token.
struct timer_arg_t {
    char *subject;
    uint64_t token;
};

// A tracker's state in one source group. The hint is kept apart from the
// current source (priority, position), whose subscription it must not touch.
struct state_t {
    int position;
    int priority;
    int first;         // the hinted peer's index within hint_priority
    int hint_priority;
    timer_slot_t restart_tev;
    timer_slot_t request_tev;
    char use_hint;
    char stale;
};

// One tracked subject, in the peers' namespace.
struct object_t {
    vn_list_t slist;
    char *name;
    int object_number;
    advmap_t *map;
    state_t *states;
    vn_set_t actset;
    vn_set_t badset;
    vn_set_t reqset;
    int state;
    vn_set_t pending_peers;
    vn_set_t previous_peers;
    int request_flags;
    char broadcast;
    char *status_msg;
    timer_slot_t timeout_tev;
    void *data;
    int do_not_request;
    time_t last_updated;
    vn_set_t stray_discards; // peers sent a discard on their current link since last asked
    void *table_entry;       // its entry in the tracker table, fixed while it is in the table
};

// Peer sets: one bit per peer number.
inline bool set_has(const vn_set_t &set, int peer)
{
    return (set.bits[peer / 32] >> (peer % 32)) & 1u;
}

inline void set_add(vn_set_t &set, int peer)
{
    set.bits[peer / 32] |= 1u << (peer % 32);
}

inline void set_del(vn_set_t &set, int peer)
{
    set.bits[peer / 32] &= ~(1u << (peer % 32));
}

// The process-wide sets change on peer threads; these read them word by word
// without tearing a word.
vn_set_t advmap_peers_up();
vn_set_t advmap_peers_active();

// advmap_config.cpp
extern advmap_t *advmap;
extern int advmap_num;
extern double c_service_request_timeout;
extern double c_source_request_timeout;
extern double c_cleanup_stale_timeout;
extern int c_broadcast_cleanup_period;
extern int c_broadcast_cleanup_age;
extern vn_log_t *advmap_log;
// True once start-up made the tables (a process with peers).
bool advmap_running();
// The enabled service whose patterns take the subject (mapped), or null.
advmap_t *advmap_find(const char *symbol);
// The index of the peer's group in the service, or -1.
int get_peer_group_index(const advmap_t *map, int peer);
srcgroup_t *get_peer_group(advmap_t *map, int peer);
// The peer's request-timeout when above 0, else source-request-timeout.
double peer_source_timeout(int peer);

// advmap_monitor.cpp
void advmap_monitor_templates();
void advmap_monitor_service(advmap_t *map);
void mon_set_service_state(const advmap_t *map);

// advmap_tracker.cpp
// Serialises tracker creation and the pattern matching of advmap_find.
extern std::mutex create_lock;
// Makes the table, channels, batcher; on the init thread.
void advmap_tracker_start(int hash_size);
// The tracker table's hash of a subject. Every update and every requested
// subject is hashed, so it takes eight bytes a step where the library's text
// hash takes one (with the processor's CRC32C instruction where it has one),
// and mixes them fully, since the bucket is the low bits.
int advmap_subject_hash(const void *key);
// The hash of processors without that instruction, which the one above
// falls back to.
int advmap_subject_hash_portable(const void *key);
// A subject with its hash in the tracker table, for the paths that look a
// tracker up and make it for every update or requested subject: they hash
// the subject once.
struct tracker_key_t {
    const char *name;
    int hash;
};
tracker_key_t tracker_key(const char *name);
// Starts fetching the key's table slot from memory, for a look-up soon after.
void prefetch_tracker(const tracker_key_t &key);
object_t *find_object(const tracker_key_t &key, int locktype);
object_t *find_object(const char *name, int locktype);
object_t *find_object_mapped(const char *name, int locktype);
void release_object(const char *name, int locktype);
// Gives back the caller's hold on a tracker that is still in the table,
// through its entry: no look-up, and no bucket mutex when nobody waits.
void release_tracker(object_t *obj, int locktype);
// Visits every tracker write-held; a visit returning 0 drops it from the
// table. The visit must not call into the table.
void advmap_foreach_tracker(tarvelutil_container_foreach_func visit, void *context);
// The subject's tracker with its entry lock, made when missing (created tells
// which). `locktype` is a hold (read or write): a new tracker records its
// table entry before that hold is given back.
object_t *add_object(const tracker_key_t &key, advmap_t *map, int locktype, bool *created = nullptr);
object_t *add_object(const char *name, advmap_t *map, int locktype, bool *created = nullptr);
int remove_object(object_t *obj, int locktype, int remove_from_hash);
bool peer_requestable(const object_t *obj, int peer);
// The peer group `num`'s state points at as its current source, or -1.
int current_source(const object_t *obj, int num);
// True when group `num` has a current source and it is not `peer`: what
// `peer` reports or loses then concerns only its own place in the subject.
bool sourced_elsewhere(const object_t *obj, int num, int peer);
// Takes the peer out of the subject's requested and providing sets.
void drop_peer(object_t *obj, int peer);
void decrement_subscriptions(object_t *obj, int num);
// Always releases the tracker; returns the state.
int object_calculate_state(int peer, object_t *obj, uint16_t code, const char *message, int nosave);
int object_calculate_state_timed(int id, int val, void *data);
int advmap_recv_object_status_locked(int peer, object_t *obj, int flags, uint16_t code, const char *message);
bool all_required_peers_responded_or_timedout(const object_t *obj);
// Timers: arming adds the event to the calling thread's loop.
void arm_timer(timer_slot_t *slot, const object_t *obj, double delay, vn_timed_event_cb cb, int value);
void disarm_timer(timer_slot_t *slot);
// In a timer's callback, with the tracker held: true when the event is the
// one armed in slot, which is then cleared and left to end with the callback.
bool claim_timer(timer_slot_t *slot, const timer_arg_t *arg);
timer_arg_t *new_timer_arg(const char *subject, uint64_t token);
void free_timer_arg(timer_arg_t *arg);
// Hands a state report to the application through the init thread, in order.
void post_state_report(int peer, const char *subject, uint16_t code, int state, const char *message);
// A no-data of reason `reason` for a subject in the peers' namespace, as from `peer`.
void deliver_nodata(int peer, const char *subject, uint16_t reason);

// advmap_request.cpp
extern tarvelutil_signalany_t *request_handler;

// Request or discard packets gathered per peer during one walk, one list per
// peer and flags value; the subjects they borrow are copies kept here until
// their list is sent, so a long walk holds at most one packet's worth per list.
class PacketSet {
public:
    PacketSet(int type, std::vector<uint16_t> flags);
    ~PacketSet();
    PacketSet(const PacketSet &) = delete;
    PacketSet &operator=(const PacketSet &) = delete;
    // Adds the subject to the peer's list of the flags value at `kind`.
    void add(int peer, int kind, const char *subject);
    // Sends every peer's lists, in peer order and flags order within a peer.
    void send();

private:
    void free_copies(size_t list);

    int type_;
    int kinds_;
    std::vector<vn_reqpkt_t> lists_;
    std::vector<std::vector<char *>> copies_; // per list, what its subjects point at
};

int advmap_request_fromgroup(object_t *obj, int num, int dorequest);
int start_failover(int peer, object_t *obj);
void send_cancel_discard(int peer, object_t *obj);
void advmap_restart_group_locked(object_t *obj, int num);
void advmap_request_timeout_direct(object_t *obj);
// The flags of a request for obj to peer: 1 when the peer provided it before, 2 from the request.
int reissue_flags(const object_t *obj, int peer);
// Sends a one-subject request or discard packet at once.
void send_one(int type, int peer, uint16_t flags, const char *subject);

// advmap_recv.cpp
// Arms the periodic clean-up at `time` minutes past midnight, every `period` minutes.
void advmap_start_broadcast_cleanup(int time, int period);

#endif // VANTRIX_ADVMAP_H
