// Peer monitoring: each peer's ring of recent connection events, the values
// published when its link comes up, the periodic publication of its counters
// with their rates, counter resets and interval changes, and the commands
// that reconnect a peer or take it up or down, as monitoring methods and as
// UDP words.
//
// A record's publication timer, reset and interval change run on the thread
// that owns the record (a peer's thread; the init thread for the global
// record): methods and UDP words only post work there. Counters, their
// companions and the dirty word are read and cleared under peer_global_lock,
// which is released before any value goes to the monitoring module. The event
// rings have a lock of their own.
#include "peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

const peer_counter_member_t peer_counter_members[kPeerCounterCount] = {
    {"messages-read", "All Messages In", nullptr, nullptr},
    {"messages-written", "All Messages Out", nullptr, nullptr},
    {"bytes-read", "Bytes In", nullptr, nullptr},
    {"bytes-written", "Bytes Out", nullptr, nullptr},
    {"updates-read", "Update Messages In", nullptr, nullptr},
    {"updates-written", "Update Messages Out", nullptr, nullptr},
    {"requests-read", "Request Messages In", nullptr, nullptr},
    {"requests-written", "Request Messages Out", nullptr, nullptr},
    {"discards-read", "Discard Messages In", nullptr, nullptr},
    {"discards-written", "Discard Messages Out", "Discard Messagess Out Rate", nullptr},
    {"nodatas-read", "NoData Messages In", nullptr, nullptr},
    {"nodatas-written", "NoData Messagess Out", "NoData Messages Out Rate", "NoData Messages Out Since Reset"},
    {"notfound-read", "NotFound Messages In", nullptr, nullptr},
    {"notfound-written", "NotFound Messages Out", nullptr, nullptr},
    {"readdeny-read", "ReadDeny Messages In", nullptr, nullptr},
    {"readdeny-written", "ReadDeny Messages Out", nullptr, nullptr},
    {"writedeny-read", "WriteDeny Messages In", nullptr, nullptr},
    {"writedeny-written", "WriteDeny Messages Out", nullptr, nullptr},
    {"deleteobject-read", "DeleteObject Messages In", "DeleteObject Messages Rate", nullptr},
    {"deleteobject-written", "DeleteObject Messages Out", nullptr, nullptr},
    {"unavailable-read", "Unavailable Messages In", nullptr, nullptr},
    {"unavailable-written", "Unavailable Messages Out", nullptr, nullptr},
    {"info-read", "Info Messages In", nullptr, nullptr},
    {"info-written", "Info Messages Out", nullptr, nullptr},
    {"status-read", "Status Messages In", nullptr, nullptr},
    {"status-written", "Status Messages Out", nullptr, nullptr},
    {"heartbeats-read", "HeartBeat Messages In", nullptr, nullptr},
    {"heartbeats-written", "HeartBeat Messages Out", nullptr, nullptr},
    {"rogue-update", "Rogue Updates", nullptr, nullptr},
    {"active-subscriptions", "Number of active subscriptions made to this peer", "Active subscriptions rate Rate",
     nullptr},
};

vn_arguments_t peer_monitor_reconnect_args[] = {
    {VN_MONITOR_USHORT, "dest", "Peer to fail over to (optional)", nullptr},
    {0, nullptr, nullptr, nullptr},
};

vn_arguments_t peer_monitor_interval_args[] = {
    {VN_MONITOR_DOUBLE, "interval", "Interval in seconds", nullptr},
    {0, nullptr, nullptr, nullptr},
};

namespace {

constexpr const char *kGlobalKey = "global";
constexpr size_t kAddressTextBytes = 18;

std::mutex event_ring_mutex;

// Active subscriptions come first, then the others in counter order.
constexpr std::array<peer_counter_t, kPeerCounterCount> publication_order()
{
    std::array<peer_counter_t, kPeerCounterCount> order{};
    order[0] = kActiveSubscriptions;
    for (int i = 0; i < kActiveSubscriptions; i++)
        order[static_cast<size_t>(i) + 1] = static_cast<peer_counter_t>(i);
    return order;
}
constexpr std::array<peer_counter_t, kPeerCounterCount> kPublicationOrder = publication_order();

// Text that is not a number reads as 0.
int number_of(const char *text)
{
    return text != nullptr ? static_cast<int>(std::strtol(text, nullptr, 10)) : 0;
}

// "global" or a peer number; null for a number outside the table.
peer_t *record_of(const char *key)
{
    if (key != nullptr && std::strcmp(key, kGlobalKey) == 0)
        return &default_peer;
    return _vn_peer(number_of(key));
}

// Work for a record runs on the thread that owns it, queued without waiting.
void post_to_owner(peer_t *record, tarvelutil_signalmain_cb_t func, int type)
{
    if (record->thread != nullptr && record->thread->signalany != nullptr)
        tarvelutil_signalany_send(record->thread->signalany, type, func, record, 1);
}

std::string member(peer_counter_t counter, const char *suffix)
{
    return std::string(peer_counter_members[counter].name) + suffix;
}

// One counter as the publication sees it.
struct counter_view_t {
    uint64_t value;
    uint64_t since_reset;
    double rate;
    bool changed;
};

// Reads and settles the counters under the global lock; rates are 0 for an
// interval of 0 or less.
std::array<counter_view_t, kPeerCounterCount> take_counters(peer_t *record)
{
    std::array<counter_view_t, kPeerCounterCount> views{};
    double interval = record->mon_interval;
    peer_mutex_guard counters(peer_global_lock);
    for (int i = 0; i < kPeerCounterCount; i++) {
        peer_counter_value_t &counter = record->counters[i];
        uint64_t bit = uint64_t{1} << i;
        double moved = static_cast<double>(counter.value - counter.last);
        views[static_cast<size_t>(i)] = {counter.value, counter.value - counter.at_reset,
                                         interval > 0 ? moved / interval : 0.0, (record->mon_dirty & bit) != 0};
        if ((record->mon_dirty & bit) != 0) {
            record->mon_dirty &= ~bit;
            counter.last = counter.value;
        }
    }
    return views;
}

void publish_statistics(peer_t *record)
{
    std::array<counter_view_t, kPeerCounterCount> views = take_counters(record);
    const char *tmpl = peerstats_template.c_str();
    for (peer_counter_t counter : kPublicationOrder) {
        const counter_view_t &view = views[counter];
        if (view.changed) {
            vn_monitor_update_ullong(tmpl, record->mon_name, member(counter, "-count").c_str(), view.value);
            vn_monitor_update_ullong(tmpl, record->mon_name, member(counter, "-count-since-reset").c_str(),
                                     view.since_reset);
        }
        vn_monitor_update_double(tmpl, record->mon_name, member(counter, "-rate").c_str(), view.rate);
    }
}

void arm_publication(peer_t *record)
{
    if (record->mon_interval > 0)
        record->mon_tev = vn_add_timed_event(0, record->mon_interval, peer_monitor_timed_event, 0, record);
}

int start_publication(int, void *data)
{
    peer_t *record = static_cast<peer_t *>(data);
    peer_monitor_timed_event(0, 1, record);
    arm_publication(record);
    return 0;
}

vn_monitor_t *text_value(const char *property, const char *text)
{
    return vn_monitor_new_string(nullptr, nullptr, property, text);
}

vn_monitor_t *zero_value(const char *property)
{
    return vn_monitor_new_ushort(nullptr, nullptr, property, 0);
}

// The local end of the link's socket.
void publish_local_end(peer_t *conn)
{
    const char *tmpl = peer_template.c_str();
    struct sockaddr_in local {};
    socklen_t len = sizeof local;
    if (conn->sock < 0 || getsockname(conn->sock, reinterpret_cast<struct sockaddr *>(&local), &len) != 0) {
        vn_monitor_update_string(tmpl, conn->mon_name, "local-address", "");
        if (conn->addr_num == 0 && conn->port_num == 0)
            vn_monitor_update_ushort(tmpl, conn->mon_name, "local-port", 0);
        return;
    }
    char text[kAddressTextBytes];
    if (inet_ntop(AF_INET, &local.sin_addr, text, sizeof text) == nullptr)
        text[0] = '\0';
    vn_monitor_update_string(tmpl, conn->mon_name, "local-address", text);
    vn_monitor_update_ushort(tmpl, conn->mon_name, "local-port", ntohs(local.sin_port));
}

} // namespace

// ---- Event ring ----

void peer_monitor_event_add(peer_t *conn, const char *format, ...)
{
    if (conn == nullptr)
        return;
    std::lock_guard<std::mutex> lock(event_ring_mutex);
    va_list args;
    va_start(args, format);
    std::vsnprintf(conn->events[conn->events_head], kPeerEventBytes, format, args);
    va_end(args);
    conn->events_head = (conn->events_head + 1) % kPeerEventCount;
    if (conn->events_head == conn->events_tail)
        conn->events_tail = (conn->events_tail + 1) % kPeerEventCount;
}

std::vector<std::string> peer_monitor_event_list(const peer_t *conn)
{
    std::vector<std::string> events;
    std::lock_guard<std::mutex> lock(event_ring_mutex);
    for (int slot = conn->events_tail; slot != conn->events_head; slot = (slot + 1) % kPeerEventCount)
        events.emplace_back(conn->events[slot]);
    return events;
}

vn_monitor_t *peer_monitor_events(const char *, const char *key, const char *property)
{
    vn_monitor_t *value = vn_monitor_new_array(property, VN_MONITOR_STRING);
    peer_t *peer = _vn_peer(number_of(key));
    if (peer == nullptr) {
        std::string unknown = std::string("Peer ") + (key != nullptr ? key : "") + " not known";
        vn_monitor_add_data(value, unknown.c_str());
        return value;
    }
    std::vector<std::string> events = peer_monitor_event_list(peer);
    if (events.empty())
        vn_monitor_add_data(value, "No events available");
    for (const std::string &event : events)
        vn_monitor_add_data(value, event.c_str());
    return value;
}

// ---- Published values ----

void peer_monitor_update(peer_t *conn)
{
    const char *tmpl = peer_template.c_str();
    const char *key = conn->mon_name;
    vn_monitor_update_ushort(tmpl, key, "remote-id", static_cast<uint16_t>(conn->remote_id));
    vn_monitor_update_ushort(tmpl, key, "remote-type", static_cast<uint16_t>(conn->remote_type));
    vn_monitor_update_string(tmpl, key, "remote-name", conn->remote_name != nullptr ? conn->remote_name : "");
    vn_monitor_update_string(tmpl, key, "connected-address", conn->addr != nullptr ? conn->addr : "");
    vn_monitor_update_ushort(tmpl, key, "connected-port", static_cast<uint16_t>(conn->port));
    vn_monitor_update_string(tmpl, key, "state", "UP");
    publish_local_end(conn);
}

int peer_monitor_timed_event(int, int force, void *data)
{
    peer_t *record = static_cast<peer_t *>(data);
    if (record != &default_peer) {
        if (force || record->last_update_time != record->prev_last_update_time) {
            vn_monitor_update_timestamp(peer_template.c_str(), record->mon_name, "last-update-time",
                                        static_cast<int64_t>(record->last_update_time) * 1000);
            record->prev_last_update_time = record->last_update_time;
        }
        if (record->msgq == nullptr && !force)
            return 1;
    }
    publish_statistics(record);
    return 1;
}

void peer_monitor_start(peer_t *record)
{
    post_to_owner(record, start_publication, 0);
}

int mon_reset_counters_direct(int, void *data)
{
    peer_t *record = static_cast<peer_t *>(data);
    {
        peer_mutex_guard counters(peer_global_lock);
        for (peer_counter_value_t &counter : record->counters)
            counter.at_reset = counter.value;
    }
    for (peer_counter_t counter : kPublicationOrder)
        vn_monitor_update_ullong(peerstats_template.c_str(), record->mon_name,
                                 member(counter, "-count-since-reset").c_str(), 0);
    return 0;
}

int mon_set_statistics_interval(int seconds, void *data)
{
    peer_t *record = static_cast<peer_t *>(data);
    {
        peer_mutex_guard hold(record->peer_lock);
        record->mon_interval = seconds;
        if (record->mon_tev != nullptr) {
            vn_del_timed_event(record->mon_tev);
            record->mon_tev = nullptr;
        }
        arm_publication(record);
    }
    vn_monitor_update_double(peerstats_template.c_str(), record->mon_name, "monitoring-interval", seconds);
    return 0;
}

// ---- Methods ----

vn_monitor_t *peer_monitor_reset(const char *, const char *key, const char *property, int argc, char **argv)
{
    peer_t *peer = _vn_peer(number_of(key));
    if (peer == nullptr)
        return text_value(property, "Invalid peer number");
    post_to_owner(peer, peer_reset_connection, argc > 1 ? number_of(argv[1]) : 0);
    return text_value(property, "Attempting to failover peer");
}

vn_monitor_t *peer_monitor_status(const char *, const char *key, const char *property, int, char **)
{
    peer_t *peer = _vn_peer(number_of(key));
    if (peer == nullptr)
        return text_value(property, "Invalid peer number");
    if (property != nullptr && std::strcmp(property, "set-up") == 0)
        vn_set_status_up_to_peer(peer->num);
    else
        vn_set_status_down_to_peer(peer->num);
    return text_value(property, "Set peer state");
}

vn_monitor_t *mon_peer_reset(const char *, const char *key, const char *property, int, char **)
{
    peer_t *record = record_of(key);
    if (record != nullptr)
        post_to_owner(record, mon_reset_counters_direct, 0);
    return zero_value(property);
}

// The interval is taken in whole seconds.
vn_monitor_t *mon_peer_interval(const char *, const char *key, const char *property, int argc, char **argv)
{
    peer_t *record = record_of(key);
    if (record != nullptr)
        post_to_owner(record, mon_set_statistics_interval, argc > 1 ? number_of(argv[1]) : 0);
    return zero_value(property);
}

// ---- UDP words ----

int peer_udp_reset_connection(int argc, char **argv, int, void *)
{
    peer_t *peer = argc > 1 ? _vn_peer(number_of(argv[1])) : nullptr;
    if (peer != nullptr)
        post_to_owner(peer, peer_reset_connection, argc > 2 ? number_of(argv[2]) : 0);
    return 1;
}

int peer_udp_status_down(int argc, char **argv, int, void *)
{
    if (argc > 1)
        vn_set_status_down_to_peer(number_of(argv[1]));
    return 1;
}

int peer_udp_status_up(int argc, char **argv, int, void *)
{
    if (argc > 1)
        vn_set_status_up_to_peer(number_of(argv[1]));
    return 1;
}

void peer_monitor_register_commands(void)
{
    vn_add_udp_event("peer-reconnect", peer_udp_reset_connection, 0, nullptr);
    vn_add_udp_event("peer-status-down", peer_udp_status_down, 0, nullptr);
    vn_add_udp_event("peer-status-up", peer_udp_status_up, 0, nullptr);
}
