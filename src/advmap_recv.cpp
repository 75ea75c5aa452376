// Data services: what the peer layer hands in on a peer's thread before the
// application sees it: updates (rogue ones dropped), no-data replies, object
// statuses and peer changes; and the stale and broadcast clean-ups.
//
// Service-status reports are queued under the service's data_lock in the
// order they were computed and delivered after it is released, one deliverer
// at a time; the thread that queued a report returns only once it has been
// delivered, so it reaches the application before that peer's own status.
// Each carries its thread's hand-over mark: whichever thread delivers it,
// it comes after the updates its own thread had handed over.
#include "advmap.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <string>
#include <vector>

namespace {

struct service_report_t {
    const char *service; // the service's name, fixed after start-up
    int state;
    _vn_callbacks_mark_t made;
};

std::mutex report_queue_lock;
// Never destroyed: peer threads may still report while the process exits.
std::deque<service_report_t> &report_queue = *new std::deque<service_report_t>;
std::mutex report_delivery_lock;
thread_local bool delivering_reports = false;

vn_timed_event_t *broadcast_tev;

void rogue(int peer, const char *format, ...) __attribute__((format(printf, 2, 3)));

void rogue(int peer, const char *format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    vn_log(advmap_log, kAdvmapLevelNotify, "%s", text);
    _vn_peer_update_rogue_count(_vn_peer(peer));
}

void queue_service_report(const advmap_t *map, int state)
{
    std::lock_guard<std::mutex> hold(report_queue_lock);
    report_queue.push_back({map->service_name, state, _vn_callbacks_mark()});
}

// Delivers every queued report in order. A callback that changes a peer on
// this same thread only queues: the loop below delivers it next.
void deliver_service_reports()
{
    if (delivering_reports)
        return;
    std::lock_guard<std::mutex> deliverer(report_delivery_lock);
    delivering_reports = true;
    for (;;) {
        service_report_t report;
        {
            std::lock_guard<std::mutex> hold(report_queue_lock);
            if (report_queue.empty())
                break;
            report = report_queue.front();
            report_queue.pop_front();
        }
        _vn_callbacks_recv_service_status(report.service, report.state, &report.made);
    }
    delivering_reports = false;
}

// An active peer provides a subject that lists another source and neither
// asks nor expects this one (a request that reached it after the subject
// moved on): one discard on this link ends it. Sent under the tracker's hold,
// so that it cannot overtake a request that asks this peer again.
void end_stray_subscription(object_t *obj, int g, int peer)
{
    if (!sourced_elsewhere(obj, g, peer) || set_has(obj->pending_peers, peer) || set_has(obj->stray_discards, peer))
        return;
    set_add(obj->stray_discards, peer);
    send_one(VN_SUBJDSC, peer, 0, obj->name);
}

int compute_service_state(const advmap_t *map)
{
    vn_set_t up = advmap_peers_up();
    int state = kServiceOk;
    for (int g = 0; g < map->groups_num; g++) {
        if (!vn_and_iszero(&map->groups[g].group_peers, &up))
            continue;
        if (map->groups[g].required)
            return kServiceDown;
        state = kServiceLimited;
    }
    return state;
}

int advmap_cleanup_stale(int, int num, void *data);

// Recomputes the service's state for a peer change and copies its trackers'
// names, oldest first; the state report is delivered before the walk.
std::vector<std::string> settle_service(advmap_t *map, int peer, bool down)
{
    std::vector<std::string> names;
    pthread_rwlock_wrlock(&map->data_lock);
    int state = compute_service_state(map);
    if (down && c_cleanup_stale_timeout > 0 && map->cleanup_stale_tev == nullptr)
        map->cleanup_stale_tev = vn_add_timed_event(0, c_cleanup_stale_timeout, advmap_cleanup_stale, peer, map);
    if (state != map->state) {
        std::atomic_ref<int>(map->state).store(state);
        mon_set_service_state(map);
        queue_service_report(map, state);
    }
    for (vn_list_t *link = map->object_list.prev; link != &map->object_list; link = link->prev)
        names.emplace_back(_vn_list_entry(link, object_t, slist)->name);
    pthread_rwlock_unlock(&map->data_lock);
    deliver_service_reports();
    return names;
}

bool group_has_any(const vn_set_t &group_peers, const vn_set_t &first, const vn_set_t &second)
{
    return !vn_and_iszero(&group_peers, &first) || !vn_and_iszero(&group_peers, &second);
}

// A broadcast tracker whose peer went down: the group goes stale, the peer pending.
void broadcast_peer_down(object_t *obj, int peer, const std::string &name)
{
    set_del(obj->actset, peer);
    advmap_recv_object_status_locked(peer, obj, kStatusPending | kStatusStale, 0, nullptr);
    object_calculate_state(peer, obj, 0, nullptr, 0);
    obj = find_object(name.c_str(), kLockWrite);
    if (obj == nullptr)
        return;
    set_del(obj->reqset, peer);
    object_calculate_state(peer, obj, 0, nullptr, 0);
}

// The peer was asked for the subject or provided it: find another source.
// Releases the tracker.
void requested_peer_down(object_t *obj, int g, int peer, const std::string &name, PacketSet *packets)
{
    decrement_subscriptions(obj, g);
    int next = advmap_request_fromgroup(obj, g, 0);
    if (next < 0) {
        if (set_has(obj->map->optional_peers, peer)) {
            for (int k = 0; k < obj->map->groups_num; k++) {
                if (obj->map->groups[k].required || !vn_and_iszero(&obj->map->groups[k].group_peers, &obj->actset))
                    continue;
                advmap_restart_group_locked(obj, k);
            }
        }
        advmap_recv_object_status_locked(peer, obj, kStatusStale, 0, nullptr);
    } else {
        advmap_recv_object_status_locked(peer, obj, kStatusStale, 0, nullptr);
        object_calculate_state(peer, obj, 0, nullptr, 0);
        obj = find_object(name.c_str(), kLockWrite);
        if (obj == nullptr)
            return;
        set_add(obj->reqset, next);
        set_add(obj->pending_peers, next);
        packets->add(next, reissue_flags(obj, next), name.c_str());
    }
    object_calculate_state(peer, obj, 0, nullptr, 0);
    obj = find_object(name.c_str(), kLockWrite);
    if (obj == nullptr)
        return;
    set_del(obj->reqset, peer);
    set_del(obj->actset, peer);
    release_object(name.c_str(), kLockWrite);
}

void visit_on_peer_change(int g, int peer, bool down, const std::string &name, PacketSet *packets)
{
    object_t *obj = find_object(name.c_str(), kLockWrite);
    if (obj == nullptr)
        return;
    if (down)
        set_del(obj->stray_discards, peer); // the link they ended is gone
    if (obj->broadcast) {
        if (down)
            broadcast_peer_down(obj, peer, name);
        else
            release_object(name.c_str(), kLockWrite);
        return;
    }
    if (down) {
        set_del(obj->badset, peer);
        // Only a subject this peer was the source of needs a new one; one it
        // provided beside the group's source just loses it.
        if (sourced_elsewhere(obj, g, peer)) {
            drop_peer(obj, peer);
        } else if (set_has(obj->reqset, peer) || set_has(obj->actset, peer)) {
            requested_peer_down(obj, g, peer, name, packets);
            return;
        }
    } else if (!group_has_any(obj->map->groups[g].group_peers, obj->reqset, obj->actset) && !obj->do_not_request) {
        int next = advmap_request_fromgroup(obj, g, 0);
        if (next >= 0) {
            set_add(obj->reqset, next);
            set_add(obj->pending_peers, next);
            packets->add(next, reissue_flags(obj, next), name.c_str());
        }
    }
    release_object(name.c_str(), kLockWrite);
}

// A peer's no-data: it leaves the subject and is not chosen for it again.
void peer_failed(object_t *obj, int peer)
{
    vn_log(advmap_log, kAdvmapLevelNotify, "Received nodata for <%s> from peer %d\n", obj->name, peer);
    drop_peer(obj, peer);
    set_del(obj->previous_peers, peer);
    set_add(obj->badset, peer);
}

// A no-data from the group's source (or on its behalf), the tracker
// write-held: the subject fails over, or it is removed and the application
// told. Releases the tracker.
void source_nodata(object_t *obj, int g, int peer, vn_data_t *nodata)
{
    peer_failed(obj, peer);
    decrement_subscriptions(obj, g);
    if (nodata->flags == VN_NODATA_DELETEOBJECT) {
        for (int other = 0; other < vn_num_peers; other++) {
            if (set_has(obj->reqset, other))
                send_one(VN_SUBJDSC, other, 0, obj->name);
        }
        obj->reqset = vn_set_t{};
        obj->previous_peers = vn_set_t{};
    } else {
        // A subject the application no longer asks for is not asked for again.
        if (!obj->do_not_request && advmap_request_fromgroup(obj, g, 1) >= 0) {
            release_tracker(obj, kLockWrite);
            return;
        }
        if (!vn_iszero(&obj->reqset) || !vn_iszero(&obj->previous_peers) ||
            !all_required_peers_responded_or_timedout(obj)) {
            object_calculate_state(peer, obj, 0, nullptr, 0);
            return;
        }
    }
    remove_object(obj, kLockWrite, 1);
    _vn_callbacks_recv_nodata(peer, nodata);
}

void log_bogus_nodata(int reason, int peer, const char *name)
{
    vn_log(advmap_log, kAdvmapLevelInfo, "Received bogus nodata type %d from peer %d for <%s>\n", reason, peer, name);
}

// Deletes one subject of the stale clean-up, as a deleteobject from `peer`,
// unless a source made it fresh since it was listed.
void cleanup_stale_subject(int peer, const std::string &name)
{
    object_t *obj = find_object(name.c_str(), kLockWrite);
    if (obj == nullptr)
        return;
    if (obj->state != kObjectMandatoryDown && obj->state != kObjectOptionalDown) {
        release_object(name.c_str(), kLockWrite);
        return;
    }
    vn_log(advmap_log, kAdvmapLevelInfo, "Deleting <%s> in cleanup of STALE objects\n", name.c_str());
    int g = get_peer_group_index(obj->map, peer);
    if (g < 0) {
        release_object(name.c_str(), kLockWrite);
        log_bogus_nodata(VN_NODATA_DELETEOBJECT, peer, name.c_str());
        return;
    }
    vn_data_t *nodata = vn_new_datapkt(name.c_str(), 0, VN_NODATA_DELETEOBJECT);
    source_nodata(obj, g, peer, nodata);
    vn_free_datapkt(nodata);
}

int advmap_cleanup_stale(int, int num, void *data)
{
    advmap_t *map = static_cast<advmap_t *>(data);
    pthread_rwlock_wrlock(&map->data_lock);
    if (map->cleanup_stale_tev == nullptr) {
        pthread_rwlock_unlock(&map->data_lock);
        return -1;
    }
    map->cleanup_stale_tev = nullptr;
    pthread_rwlock_unlock(&map->data_lock);
    // Copies, so that no service lock is held while trackers are taken.
    std::vector<std::string> names;
    pthread_rwlock_rdlock(&map->data_lock);
    for (vn_list_t *link = map->object_list.next; link != &map->object_list; link = link->next) {
        object_t *obj = _vn_list_entry(link, object_t, slist);
        int state = std::atomic_ref<int>(obj->state).load();
        if (state == kObjectMandatoryDown || state == kObjectOptionalDown)
            names.emplace_back(obj->name);
    }
    pthread_rwlock_unlock(&map->data_lock);
    // Each deletion waits for the application, meanwhile a new source may
    // make a listed subject fresh: its state is read again under its hold.
    for (const std::string &name : names)
        cleanup_stale_subject(num, name);
    return 0;
}

struct broadcast_sweep_t {
    time_t limit;
    std::vector<std::string> removed;
};

int sweep_broadcast(void *context, const void *, void *data)
{
    broadcast_sweep_t *sweep = static_cast<broadcast_sweep_t *>(context);
    object_t *obj = static_cast<object_t *>(data);
    if (!obj->broadcast || obj->last_updated >= sweep->limit)
        return 1;
    vn_log(advmap_log, kAdvmapLevelInfo, "Deleting <%s> in cleanup of broadcast objects\n", obj->name);
    std::string name = obj->name;
    if (!remove_object(obj, kLockNone, 0))
        return 1;
    sweep->removed.push_back(name);
    return 0;
}

int broadcast_cleanup(int, int, void *)
{
    broadcast_sweep_t sweep{time(nullptr) - static_cast<time_t>(c_broadcast_cleanup_age) * 60, {}};
    advmap_foreach_tracker(sweep_broadcast, &sweep);
    // After the walk: an application that requests from its callback must
    // not meet the table's locks held.
    for (const std::string &name : sweep.removed)
        deliver_nodata(0, name.c_str(), VN_NODATA_DELETEOBJECT);
    return vn_check_periodic_event(c_broadcast_cleanup_period, &broadcast_tev);
}

} // namespace

void advmap_start_broadcast_cleanup(int time, int period)
{
    broadcast_tev = vn_add_periodic_event(time, period, 0, broadcast_cleanup, 0, nullptr);
}

extern "C" {

void _vn_advmap_recv_update(int peer, vn_data_t *vndata)
{
    if (!advmap_running() || vndata == nullptr || vndata->subject == nullptr)
        return;
    const char *name = vndata->subject;
    tracker_key_t key = tracker_key(name);
    bool active_peer = (vn_peer_type(peer) & kPeerActive) != 0;
    bool unsolicited_ok = (vndata->flags & kRecordFromActive) != 0;
    bool made = false;
    object_t *obj = find_object(key, kLockWrite);
    int g;
    if (obj != nullptr) {
        g = get_peer_group_index(obj->map, peer);
        if (g < 0) {
            release_tracker(obj, kLockWrite);
            rogue(peer, "Received rogue update for <%s> from peer %d\n", name, peer);
            return;
        }
    } else {
        if (active_peer && !unsolicited_ok) {
            rogue(peer, "Received rogue active update for <%s> from active peer %d\n", name, peer);
            return;
        }
        advmap_t *map = advmap_find(name);
        if (map == nullptr || !(map->service_type & kServiceBroadcast)) {
            rogue(peer, "Received rogue update for <%s> from peer %d - no service for object\n", name, peer);
            return;
        }
        g = get_peer_group_index(map, peer);
        if (g < 0) {
            rogue(peer, "Received rogue update for <%s> from peer %d - peer not part of service <%s>\n",
                  name, peer, map->service_name);
            return;
        }
        obj = add_object(key, map, kLockWrite, &made);
        if (made) {
            obj->broadcast = 1;
            set_add(obj->reqset, peer);
        }
    }
    bool providing = set_has(obj->actset, peer);
    // Recognised before anything changes: a rogue update cancels no timer and
    // marks no group fresh.
    if (!providing && !set_has(obj->reqset, peer) && active_peer && !unsolicited_ok) {
        end_stray_subscription(obj, g, peer);
        const char *service = obj->map->service_name; // fixed after start-up
        release_tracker(obj, kLockWrite);
        rogue(peer,
              "Received rogue update for <%s> from peer %d - peer is part of service <%s>, but not requested since "
              "connected\n",
              name, peer, service);
        return;
    }
    obj->states[g].stale = 0;
    disarm_timer(&obj->states[g].request_tev);
    if (!providing) {
        disarm_timer(&obj->timeout_tev);
        set_add(obj->previous_peers, peer);
        if (!set_has(obj->reqset, peer))
            set_add(obj->pending_peers, peer);
        set_add(obj->actset, peer);
        set_add(obj->reqset, peer);
    }
    obj->last_updated = time(nullptr);
    bool was_pending = set_has(obj->pending_peers, peer);
    set_del(obj->pending_peers, peer);
    // The callback may give the record the application's subject: the
    // status that follows needs the peers' one.
    std::string fresh_subject = was_pending || made ? name : "";
    release_tracker(obj, kLockWrite);
    _vn_callbacks_recv_update(peer, vndata);
    if (was_pending || made)
        _vn_advmap_recv_object_status(peer, fresh_subject.data(), kStatusFresh, 0, nullptr);
}

void _vn_advmap_recv_nodata(int peer, vn_data_t *nodata)
{
    if (!advmap_running() || nodata == nullptr || nodata->subject == nullptr)
        return;
    int reason = nodata->flags;
    std::string name = nodata->subject;
    object_t *obj = find_object(name.c_str(), kLockWrite);
    if (obj == nullptr) {
        vn_log(advmap_log, kAdvmapLevelInfo, "Received bogus nodata type %d from peer %d for unknown object <%s>\n",
               reason, peer, name.c_str());
        return;
    }
    int g = get_peer_group_index(obj->map, peer);
    // A peer neither asked nor providing (one already discarded, say) has
    // nothing to withdraw.
    if (g < 0 || (!set_has(obj->reqset, peer) && !set_has(obj->actset, peer))) {
        release_object(name.c_str(), kLockWrite);
        log_bogus_nodata(reason, peer, name.c_str());
        return;
    }
    if (sourced_elsewhere(obj, g, peer)) {
        // The group's source still provides: only this peer leaves the subject.
        peer_failed(obj, peer);
        release_object(name.c_str(), kLockWrite);
        return;
    }
    source_nodata(obj, g, peer, nodata);
}

void _vn_advmap_recv_object_status(int peer, char *name, uint16_t flags, uint16_t code, char *message)
{
    if (flags == 0) {
        _vn_callbacks_recv_object_status(peer, name, 0, code, message);
        return;
    }
    if (!advmap_running() || name == nullptr)
        return;
    object_t *obj = find_object(name, kLockWrite);
    if (obj == nullptr)
        return;
    advmap_recv_object_status_locked(peer, obj, flags, code, message);
    if (set_has(obj->reqset, peer) && !set_has(obj->actset, peer))
        set_add(obj->pending_peers, peer);
    object_calculate_state(peer, obj, code, message, 0);
}

void _vn_advmap_recv_peer_status(int peer, int peer_state, int remote_id, char *remote_name)
{
    bool down = peer_state == kPeerDown;
    if (advmap_running() && peer >= 0 && peer < vn_num_peers) {
        PacketSet packets(VN_SUBJREQ, {0, 1, 2, 3});
        for (int i = 0; i < advmap_num; i++) {
            advmap_t *map = &advmap[i];
            if (!map->enabled || (!set_has(map->required_peers, peer) && !set_has(map->optional_peers, peer)))
                continue;
            std::vector<std::string> names = settle_service(map, peer, down);
            int g = get_peer_group_index(map, peer);
            for (const std::string &name : names)
                visit_on_peer_change(g, peer, down, name, &packets);
        }
        packets.send();
    }
    _vn_callbacks_recv_peer_status(peer, peer_state, remote_id, remote_name);
}

} // extern "C"
