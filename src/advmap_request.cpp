// Data services: source choice by priority, load and hint, request and
// discard packets, source and service timeouts, fail-over and retry, and the
// application's calls around trackers.
//
// The application's requests run on the init thread (posted synchronously
// to request_handler, so they are serial); fail-over and retries run on
// whichever thread handles the tracker's timer or inbound packet.
#include "advmap.h"

#include <algorithm>
#include <cstring>

tarvelutil_signalany_t *request_handler = nullptr;

namespace {

// One request list handed to the init thread.
struct advmap_request_t {
    int num;
    char **names;
    const char **services;
    int flags;
};

int advmap_cancel_request(int id, int num, void *data);
int advmap_restart_group(int id, int num, void *data);
int advmap_request_timeout(int id, int val, void *data);

// The least loaded requestable peer of the first priority that has one:
// the first listed wins a tie. -1 when no priority has one.
int choose_source(const object_t *obj, const srcgroup_t &group, int *priority_index, int *position)
{
    for (int p = 0; p < group.num_priorities; p++) {
        const priority_t &priority = group.priorities[p];
        int best = -1;
        int best_load = 0;
        for (int i = 0; i < priority.num_peers; i++) {
            if (!peer_requestable(obj, priority.peers[i]))
                continue;
            int load = std::atomic_ref<int>(priority.subscriptions[i]).load();
            if (best < 0 || load < best_load) {
                best = i;
                best_load = load;
            }
        }
        if (best >= 0) {
            *priority_index = p;
            *position = best;
            return priority.peers[best];
        }
    }
    return -1;
}

// The hinted peer when it is set and requestable, else -1.
int hinted_source(const object_t *obj, const srcgroup_t &group, const state_t &state)
{
    if (!state.use_hint || state.hint_priority < 0 || state.first < 0 || state.hint_priority >= group.num_priorities)
        return -1;
    const priority_t &priority = group.priorities[state.hint_priority];
    if (state.first >= priority.num_peers || !peer_requestable(obj, priority.peers[state.first]))
        return -1;
    return priority.peers[state.first];
}

bool previous_provider_up(const object_t *obj, const srcgroup_t &group)
{
    vn_set_t up = advmap_peers_up();
    return !vn_and3_iszero(&obj->previous_peers, &up, &group.group_peers);
}

// A discard to every requested peer that is up, then removal.
void discard_object_internal(object_t *obj)
{
    vn_set_t up = advmap_peers_up();
    for (int peer = 0; peer < vn_num_peers; peer++) {
        if (set_has(obj->reqset, peer) && set_has(up, peer))
            send_one(VN_SUBJDSC, peer, 0, obj->name);
    }
    remove_object(obj, kLockWrite, 1);
}

// The tracker of a firing timer, write-held, when the event is still the one
// armed in the slot `slot` picks (the slot is then cleared); else null, with
// the tracker released and the event left to the delete already posted.
template <class Slot> object_t *tracker_of_timer(int id, const timer_arg_t *arg, Slot slot)
{
    object_t *obj = find_object(arg->subject, kLockWrite);
    if (obj == nullptr)
        return nullptr;
    timer_slot_t *armed = obj->object_number == id ? slot(obj) : nullptr;
    if (armed == nullptr || !claim_timer(armed, arg)) {
        release_object(arg->subject, kLockWrite);
        return nullptr;
    }
    return obj;
}

// The same for a timer of group `num`'s state.
object_t *tracker_of_group_timer(int id, int num, const timer_arg_t *arg, timer_slot_t state_t::*slot)
{
    return tracker_of_timer(id, arg, [num, slot](object_t *o) -> timer_slot_t * {
        return num >= 0 && num < o->map->groups_num ? &(o->states[num].*slot) : nullptr;
    });
}

int advmap_cancel_request(int id, int num, void *data)
{
    timer_arg_t *arg = static_cast<timer_arg_t *>(data);
    object_t *obj = tracker_of_group_timer(id, num, arg, &state_t::request_tev);
    if (obj == nullptr)
        return -1;
    state_t &state = obj->states[num];
    srcgroup_t &group = obj->map->groups[num];
    if (int peer = current_source(obj, num); peer >= 0) {
        send_cancel_discard(peer, obj);
        if (start_failover(peer, obj) < 0 && vn_iszero(&obj->reqset)) {
            if (!previous_provider_up(obj, group)) {
                if (!all_required_peers_responded_or_timedout(obj))
                    object_calculate_state(peer, obj, 0, nullptr, 0);
                else
                    advmap_request_timeout_direct(obj);
                free_timer_arg(arg);
                return 0;
            }
            arm_timer(&state.restart_tev, obj, group.retry_time, advmap_restart_group, num);
        }
    }
    release_object(arg->subject, kLockWrite);
    free_timer_arg(arg);
    return 0;
}

int advmap_restart_group(int id, int num, void *data)
{
    timer_arg_t *arg = static_cast<timer_arg_t *>(data);
    object_t *obj = tracker_of_group_timer(id, num, arg, &state_t::restart_tev);
    if (obj == nullptr)
        return -1;
    advmap_restart_group_locked(obj, num);
    release_object(arg->subject, kLockWrite);
    free_timer_arg(arg);
    return 0;
}

int advmap_request_timeout(int id, int, void *data)
{
    timer_arg_t *arg = static_cast<timer_arg_t *>(data);
    object_t *obj = tracker_of_timer(id, arg, [](object_t *o) { return &o->timeout_tev; });
    if (obj == nullptr)
        return -1;
    advmap_request_timeout_direct(obj);
    free_timer_arg(arg);
    return 0;
}

// A subject of a request list in the peers' namespace, hashed for the
// tracker table.
struct request_subject_t {
    char mapped[VN_MAP_BUFFER_BYTES];
    tracker_key_t key;
};

// Maps and hashes the subject, and has its table slot fetched from memory
// meanwhile: the list is walked in order, so the next subject's slot
// arrives while this one is handled.
void prepare_subject(const char *name, request_subject_t &subject)
{
    subject.key = tracker_key(_vn_map_name(name, subject.mapped));
    prefetch_tracker(subject.key);
}

// Request of one subject of a list; fills its service slot.
void request_one(advmap_request_t *request, int index, const request_subject_t &subject, PacketSet *packets)
{
    const tracker_key_t &key = subject.key;
    advmap_t *map = advmap_find(key.name);
    if (map == nullptr)
        return;
    bool created = false;
    object_t *obj = find_object(key, kLockWrite);
    if (obj == nullptr)
        obj = add_object(key, map, kLockWrite, &created);
    if (created)
        obj->request_flags = request->flags;
    else if (!obj->do_not_request) {
        request->services[index] = obj->map->service_name;
        release_tracker(obj, kLockWrite);
        return;
    }
    obj->do_not_request = 0;
    map = obj->map;
    if (map->request_timeout > 0) {
        vn_log(advmap_log, kAdvmapLevelDebug, "Adding service timeout in %f seconds for request <%s> in service <%s>\n",
               map->request_timeout, obj->name, map->service_name);
        arm_timer(&obj->timeout_tev, obj, map->request_timeout, advmap_request_timeout, 0);
    }
    request->services[index] = map->service_name;
    if (map->service_type & kServiceActive) {
        bool unserved = false;
        for (int g = 0; g < map->groups_num; g++) {
            int peer = advmap_request_fromgroup(obj, g, 0);
            if (peer < 0) {
                unserved = true;
                continue;
            }
            set_add(obj->reqset, peer);
            set_add(obj->pending_peers, peer);
            packets->add(peer, 0, obj->name);
        }
        if (unserved) {
            timer_arg_t *arg = new_timer_arg(obj->name, 0);
            if (vn_add_timed_event(0, 0, object_calculate_state_timed, 0, arg) == nullptr)
                free_timer_arg(arg);
        }
    }
    release_tracker(obj, kLockWrite);
}

int _vn_request_signalany_cb(int, void *data)
{
    advmap_request_t *request = static_cast<advmap_request_t *>(data);
    PacketSet packets(VN_SUBJREQ, {static_cast<uint16_t>(request->flags)});
    request_subject_t subjects[2];
    auto next_named = [request](int from) {
        while (from < request->num && request->names[from] == nullptr)
            from++;
        return from;
    };
    int slot = 0;
    int next = next_named(0);
    if (next < request->num)
        prepare_subject(request->names[next], subjects[slot]);
    while (next < request->num) {
        int index = next;
        next = next_named(index + 1);
        if (next < request->num)
            prepare_subject(request->names[next], subjects[1 - slot]);
        request_one(request, index, subjects[slot], &packets);
        slot = 1 - slot;
    }
    packets.send();
    return 0;
}

// The service slots of a request list, filled on the init thread.
const char **post_request(int num, char **names, int flags)
{
    const char **services = static_cast<const char **>(vn_calloc(static_cast<size_t>(num), sizeof(char *)));
    advmap_request_t request{num, names, services, flags};
    tarvelutil_signalany_exec(request_handler, 0, _vn_request_signalany_cb, &request, 0);
    return services;
}

// The service of a subject given in the application's namespace.
advmap_t *service_of(const char *name, char *mapped)
{
    if (!advmap_running() || name == nullptr)
        return nullptr;
    return advmap_find(_vn_map_name(name, mapped));
}

// The tracker, write-held, of a subject some service takes, made with
// do_not_request when missing.
object_t *tracker_for_application(const char *name)
{
    char mapped[VN_MAP_BUFFER_BYTES];
    advmap_t *map = service_of(name, mapped);
    if (map == nullptr)
        return nullptr;
    bool created = false;
    object_t *obj = add_object(_vn_map_name(name, mapped), map, kLockWrite, &created);
    if (created)
        obj->do_not_request = 1;
    return obj;
}

bool reachable(const vn_set_t &peers, const vn_set_t &up, const vn_set_t &active)
{
    return !vn_and3_iszero(&peers, &up, &active);
}

bool all_up(const vn_set_t &peers, const vn_set_t &up)
{
    for (int word = 0; word < 32; word++) {
        if (peers.bits[word] & ~up.bits[word])
            return false;
    }
    return true;
}

} // namespace

PacketSet::PacketSet(int type, std::vector<uint16_t> flags) : type_(type), kinds_(static_cast<int>(flags.size()))
{
    int peers = vn_num_peers > 0 ? vn_num_peers : 0;
    lists_.resize(static_cast<size_t>(peers) * flags.size());
    copies_.resize(lists_.size());
    for (int peer = 0; peer < peers; peer++) {
        for (int kind = 0; kind < kinds_; kind++)
            lists_[static_cast<size_t>(peer * kinds_ + kind)].flags = flags[kind];
    }
}

PacketSet::~PacketSet()
{
    for (size_t i = 0; i < lists_.size(); i++) {
        vn_free(lists_[i].subjects);
        free_copies(i);
    }
}

void PacketSet::free_copies(size_t list)
{
    for (char *copy : copies_[list])
        vn_free(copy);
    copies_[list].clear();
}

void PacketSet::add(int peer, int kind, const char *subject)
{
    size_t index = static_cast<size_t>(peer * kinds_ + kind);
    char *copy = vn_strdup(subject);
    copies_[index].push_back(copy);
    _vn_reqpkt_add(type_, peer, &lists_[index], copy);
    // A list that filled up has just been sent: its copies are no longer read.
    if (lists_[index].count == 0)
        free_copies(index);
}

void PacketSet::send()
{
    for (size_t i = 0; i < lists_.size(); i++) {
        _vn_reqpkt_send(type_, static_cast<int>(i) / kinds_, &lists_[i]);
        free_copies(i);
    }
}

void send_one(int type, int peer, uint16_t flags, const char *subject)
{
    std::string copy = subject;
    vn_reqpkt_t list{};
    list.flags = flags;
    _vn_reqpkt_add(type, peer, &list, copy.data());
    _vn_reqpkt_send(type, peer, &list);
    vn_free(list.subjects);
}

int reissue_flags(const object_t *obj, int peer)
{
    return (set_has(obj->previous_peers, peer) ? 1 : 0) | (obj->request_flags == 2 ? 2 : 0);
}

int advmap_request_fromgroup(object_t *obj, int num, int dorequest)
{
    srcgroup_t &group = obj->map->groups[num];
    state_t &state = obj->states[num];
    // A source still counted is released first, so no path leaks a subscription.
    decrement_subscriptions(obj, num);
    int peer = hinted_source(obj, group, state);
    if (peer >= 0) {
        state.priority = state.hint_priority;
        state.position = state.first;
    } else {
        peer = choose_source(obj, group, &state.priority, &state.position);
    }
    disarm_timer(&state.restart_tev);
    if (peer < 0) {
        state.priority = -1;
        return -1;
    }
    std::atomic_ref<int>(group.priorities[state.priority].subscriptions[state.position]).fetch_add(1);
    set_del(obj->stray_discards, peer); // a subscription after this one deserves its own discard
    vn_log(advmap_log, kAdvmapLevelDebug, "We can request object <%s> from peer %d\n", obj->name, peer);
    if (dorequest) {
        int flags = obj->request_flags | (set_has(obj->previous_peers, peer) ? 1 : 0);
        send_one(VN_SUBJREQ, peer, static_cast<uint16_t>(flags), obj->name);
        set_add(obj->reqset, peer);
        set_add(obj->pending_peers, peer);
    }
    double timeout = peer_source_timeout(peer);
    if (timeout > 0) {
        vn_log(advmap_log, kAdvmapLevelDebug, "Adding source timeout in %f seconds for request <%s> peer %d\n",
               timeout, obj->name, peer);
        arm_timer(&state.request_tev, obj, timeout, advmap_cancel_request, num);
    }
    return peer;
}

int start_failover(int peer, object_t *obj)
{
    int g = get_peer_group_index(obj->map, peer);
    if (g < 0)
        return -1;
    decrement_subscriptions(obj, g);
    return advmap_request_fromgroup(obj, g, 1);
}

void send_cancel_discard(int peer, object_t *obj)
{
    send_one(VN_SUBJDSC, peer, 0, obj->name);
    set_add(obj->stray_discards, peer); // updates already on their way need no second one
    set_add(obj->badset, peer);
    set_del(obj->reqset, peer);
    set_del(obj->actset, peer);
    set_del(obj->pending_peers, peer);
}

void advmap_restart_group_locked(object_t *obj, int num)
{
    disarm_timer(&obj->states[num].restart_tev);
    // The pending source's count goes before the group starts over.
    decrement_subscriptions(obj, num);
    const srcgroup_t &group = obj->map->groups[num];
    for (int p = 0; p < group.num_priorities; p++) {
        for (int i = 0; i < group.priorities[p].num_peers; i++) {
            int peer = group.priorities[p].peers[i];
            set_del(obj->reqset, peer);
            set_del(obj->actset, peer);
            set_del(obj->badset, peer);
            set_del(obj->pending_peers, peer);
        }
    }
    advmap_request_fromgroup(obj, num, 1);
}

void advmap_request_timeout_direct(object_t *obj)
{
    vn_log(advmap_log, kAdvmapLevelInfo, "Timing out request for <%s> since no peers have responded\n", obj->name);
    std::string subject = obj->name;
    discard_object_internal(obj);
    deliver_nodata(0, subject.c_str(), VN_NODATA_NOTFOUND);
}

extern "C" {

int vn_request_objects_with_flags(int num, char **names, int flags, const char ***services)
{
    if (services != nullptr)
        *services = nullptr;
    if (!advmap_running() || num <= 0 || names == nullptr)
        return 0;
    const char **slots = post_request(num, names, flags);
    if (services != nullptr)
        *services = slots;
    else
        vn_free(slots);
    return num;
}

int vn_request_objects(int num, char **names, const char ***services)
{
    return vn_request_objects_with_flags(num, names, 0, services);
}

const char *vn_request_object_with_flags(const char *name, int flags)
{
    if (!advmap_running() || name == nullptr)
        return nullptr;
    char *names[] = {const_cast<char *>(name)};
    const char **slots = post_request(1, names, flags);
    const char *service = slots[0];
    vn_free(slots);
    return service;
}

const char *vn_request_object(const char *name)
{
    return vn_request_object_with_flags(name, 0);
}

void vn_discard_objects(int num, char **names)
{
    if (!advmap_running() || names == nullptr)
        return;
    PacketSet packets(VN_SUBJDSC, {0, 2});
    for (int i = 0; i < num; i++) {
        object_t *obj = names[i] != nullptr ? find_object_mapped(names[i], kLockWrite) : nullptr;
        if (obj == nullptr)
            continue;
        int kind = obj->request_flags == 2 ? 1 : 0;
        vn_set_t up = advmap_peers_up();
        for (int peer = 0; peer < vn_num_peers; peer++) {
            if (set_has(obj->reqset, peer) && set_has(up, peer))
                packets.add(peer, kind, obj->name);
        }
        remove_object(obj, kLockWrite, 1);
    }
    packets.send();
    _vn_callbacks_note_drop();
}

void vn_discard_object(const char *name)
{
    if (!advmap_running())
        return;
    if (object_t *obj = find_object_mapped(name, kLockWrite)) {
        discard_object_internal(obj);
        _vn_callbacks_note_drop();
    }
}

void vn_purge_object(const char *name)
{
    if (!advmap_running())
        return;
    if (object_t *obj = find_object_mapped(name, kLockWrite)) {
        remove_object(obj, kLockWrite, 1);
        _vn_callbacks_note_drop();
    }
}

const char *vn_get_service(const char *name)
{
    char mapped[VN_MAP_BUFFER_BYTES];
    advmap_t *map = service_of(name, mapped);
    return map != nullptr ? map->service_name : nullptr;
}

void vn_set_object_data(const char *name, void *data)
{
    object_t *obj = tracker_for_application(name);
    if (obj == nullptr)
        return;
    obj->data = data;
    release_tracker(obj, kLockWrite);
}

void *vn_get_object_data(const char *name)
{
    object_t *obj = advmap_running() ? find_object_mapped(name, kLockRead) : nullptr;
    if (obj == nullptr)
        return nullptr;
    void *data = obj->data;
    release_tracker(obj, kLockRead);
    return data;
}

const char **vn_get_request_hints(const char *name, int *ret)
{
    if (ret != nullptr)
        *ret = 0;
    object_t *obj = advmap_running() ? find_object_mapped(name, kLockRead) : nullptr;
    if (obj == nullptr)
        return nullptr;
    const char **labels = static_cast<const char **>(vn_calloc(static_cast<size_t>(vn_num_peers), sizeof(char *)));
    int count = 0;
    for (int peer = 0; peer < vn_num_peers; peer++) {
        if (set_has(obj->reqset, peer))
            labels[count++] = vn_peer_label_byindex(peer);
    }
    release_tracker(obj, kLockRead);
    if (ret != nullptr)
        *ret = count;
    return labels;
}

int vn_set_request_hint(const char *name, int num, char **hints)
{
    object_t *obj = tracker_for_application(name);
    if (obj == nullptr)
        return 0;
    int taken = 0;
    for (int h = 0; h < num && hints != nullptr; h++) {
        int peer = hints[h] != nullptr ? vn_peer_by_label(hints[h]) : -1;
        int g = get_peer_group_index(obj->map, peer);
        if (g < 0)
            continue;
        const srcgroup_t &group = obj->map->groups[g];
        for (int p = 0; p < group.num_priorities; p++) {
            const priority_t &priority = group.priorities[p];
            const int *found = std::find(priority.peers, priority.peers + priority.num_peers, peer);
            if (found == priority.peers + priority.num_peers)
                continue;
            state_t &state = obj->states[g];
            state.hint_priority = p;
            state.first = static_cast<int>(found - priority.peers);
            state.use_hint = 1;
            taken++;
            break;
        }
    }
    release_tracker(obj, kLockWrite);
    return taken;
}

int vn_object_available(const char *name)
{
    char mapped[VN_MAP_BUFFER_BYTES];
    advmap_t *map = service_of(name, mapped);
    if (map == nullptr)
        return -1;
    if (!(map->service_type & kServiceActive))
        return -2;
    vn_set_t up = advmap_peers_up();
    vn_set_t active = advmap_peers_active();
    bool required = reachable(map->required_peers, up, active);
    bool optional = reachable(map->optional_peers, up, active);
    if (required && optional)
        return 3;
    if (required)
        return 1;
    if (optional)
        return 2;
    return all_up(map->required_peers, up) ? -3 : 0;
}

int vn_object_can_contrib(const char *name)
{
    char mapped[VN_MAP_BUFFER_BYTES];
    advmap_t *map = service_of(name, mapped);
    if (map == nullptr)
        return -1;
    for (const vn_set_t *peers : {&map->optional_peers, &map->required_peers}) {
        for (int peer = 0; peer < vn_num_peers; peer++) {
            if (set_has(*peers, peer) && (vn_peer_type(peer) & kPeerContrib))
                return 1;
        }
    }
    return 0;
}

int vn_send_contribution(vn_data_t *vndata)
{
    if (vndata == nullptr)
        return 0;
    object_t *obj = advmap_running() ? find_object(vndata->subject, kLockWrite) : nullptr;
    if (obj == nullptr) {
        vn_free_data(vndata);
        return 0;
    }
    advmap_t *map = advmap_find(vndata->subject);
    if (map == nullptr || !map->cache_contrib)
        vndata->flags |= kRecordNoCache;
    int sent = 0;
    for (int peer = 0; peer < vn_num_peers; peer++) {
        if (set_has(obj->actset, peer) && (vn_peer_type(peer) & kPeerContrib)) {
            vn_send_data_to_peer_no_free(peer, vndata);
            sent++;
        }
    }
    release_tracker(obj, kLockWrite);
    vn_free_data(vndata);
    return sent;
}

} // extern "C"
