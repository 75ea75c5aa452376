// Peer start-up: the packet log, the listen sockets, the peer threads behind
// a start barrier, the completion and checks of every peer record, the init
// thread's own thread record, the connect-all timer and the peer monitoring
// groups; and the expansion of the name templates.
//
// Start-up runs on the init thread before any peer work exists. A peer thread
// only makes its loop and call channel, then passes the barrier: start-up
// waits there, so every channel exists before anything is posted to one.
// The thread map and the pool are touched by the init thread alone.
#include "peer.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr size_t kNameChars = 255;
constexpr size_t kHostBytes = 256;
constexpr size_t kSystemThreadChars = 15;
constexpr int kAppNameMinChars = 5;
constexpr size_t kListenMessageBytes = 256;
constexpr uint16_t kNoConnectFlag = 8;
constexpr int kConfigExit = 1;
constexpr int kPacketLogExit = 2;
constexpr int kListenExit = 3;
constexpr int kNotify = 4;
constexpr int kDebug = 7;
constexpr double kConnectAllDelay = 1.0;

tarvelutil_hashmap_t *peerthread_map = nullptr;
std::vector<peer_thread_t *> c_thread_pool;
size_t thread_pool_index = 0;

// The start barrier: start-up waits until every started thread has its loop.
std::mutex init_lock;
std::condition_variable init_cond;
int init_count = 0;

peer_thread_t default_thread;

std::string short_host_name()
{
    char host[kHostBytes];
    if (gethostname(host, sizeof host) != 0)
        return "host";
    host[sizeof host - 1] = '\0';
    std::string name(host);
    return name.substr(0, name.find('.'));
}

std::string format_number(const char *format, int number)
{
    char text[64];
    std::snprintf(text, sizeof text, format, number);
    return text;
}

// Peer threads

// "%.*s-%s": as much of the application name as leaves room for the thread
// name within 15 characters, but at least 5 of it, the whole cut to 15.
std::string system_thread_name(const char *app, const char *thread)
{
    int room = static_cast<int>(kSystemThreadChars) - 1 - static_cast<int>(std::strlen(thread));
    size_t keep = static_cast<size_t>(std::max(room, kAppNameMinChars));
    std::string name = std::string(app).substr(0, keep) + "-" + thread;
    return name.substr(0, kSystemThreadChars);
}

void pass_barrier()
{
    std::unique_lock<std::mutex> lock(init_lock);
    if (--init_count == 0)
        init_cond.notify_all();
    else
        init_cond.wait(lock, [] { return init_count <= 0; });
}

void *start_peer_thread(void *arg)
{
    peer_thread_t *thread = static_cast<peer_thread_t *>(arg);
    vn_log(peer_event_log, kNotify, "Peer thread named <%s> is starting up\n", thread->name);
    std::string system_name = system_thread_name(vn_get_app_name(), thread->name);
    vn_log(peer_event_log, kDebug, "Setting name of thread to <%s> \n", system_name.c_str());
    vn_thread_setname(system_name.c_str());
    vn_set_dumpable(0);
    // A thread whose loop could not be made has had its failure reported; it
    // still passes the barrier so that start-up does not wait for it.
    bool has_loop = _vn_event_thread_init(peer_init_record, 0, 0) != 0;
    if (has_loop)
        thread->signalany = tarvelutil_signalany_create(peer_event_log);
    pass_barrier();
    if (has_loop)
        vn_loop();
    return nullptr;
}

struct StartWalk {
    bool failed = false;
    int started = 0;
};

int start_peer_threads_foreach(void *context, const void *, void *data)
{
    StartWalk *walk = static_cast<StartWalk *>(context);
    if (walk->failed)
        return 1;
    peer_thread_t *thread = static_cast<peer_thread_t *>(data);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    int error = pthread_create(&thread->thread_id, &attr, start_peer_thread, thread);
    pthread_attr_destroy(&attr);
    if (error != 0) {
        walk->failed = true;
        _vn_exit_log(kConfigExit, "Cannot start peer thread <%s>: %s\n", thread->name, std::strerror(error));
        return 1;
    }
    walk->started++;
    return 1;
}

// Starts every thread record and waits until each has its loop; false when
// one could not be started (reported already).
bool start_peer_threads()
{
    {
        std::lock_guard<std::mutex> lock(init_lock);
        init_count = tarvelutil_hashmap_get_size(peerthread_map);
    }
    StartWalk walk;
    tarvelutil_hashmap_foreach(peerthread_map, start_peer_threads_foreach, &walk, 0);
    std::unique_lock<std::mutex> lock(init_lock);
    if (walk.failed) {
        // Only the threads that exist will come: wait for those alone.
        init_count -= tarvelutil_hashmap_get_size(peerthread_map) - walk.started;
        if (init_count <= 0)
            init_cond.notify_all();
    }
    init_cond.wait(lock, [] { return init_count <= 0; });
    return !walk.failed;
}

void make_thread_pool()
{
    if (c_peer_thread_pool_size <= 0)
        return;
    c_peer_thread_pool_size = std::min(c_peer_thread_pool_size, peer_num);
    for (int i = 0; i < c_peer_thread_pool_size; i++)
        c_thread_pool.push_back(new_peer_thread(format_number("ptpt-%d", i).c_str()));
    for (int i = 0; i < peer_num; i++) {
        const char *name = peer_array[i].thread_name;
        bool on_pool = name != nullptr && std::any_of(c_thread_pool.begin(), c_thread_pool.end(), [name](auto *pool) {
                           return std::strcmp(pool->name, name) == 0;
                       });
        if (on_pool)
            vn_log(peer_event_log, kNotify, "Configured thread name for peer %d is a pool thread <%s>\n", i, name);
    }
}

// Peers sharing a thread name share its thread; peers without one get their
// own thread, or the pool's threads in turn.
void assign_threads()
{
    for (int i = 0; i < peer_num; i++) {
        peer_t &peer = peer_array[i];
        if (peer.thread_name == nullptr) {
            std::string name = c_thread_pool.empty() ? format_number("peer-%d", i)
                                                     : c_thread_pool[thread_pool_index++ % c_thread_pool.size()]->name;
            peer.thread_name = vn_strdup(name.c_str());
        }
        auto *thread = static_cast<peer_thread_t *>(tarvelutil_hashmap_get(peerthread_map, peer.thread_name, 0));
        peer.thread = thread != nullptr ? thread : new_peer_thread(peer.thread_name);
        vn_log(peer_event_log, kDebug, "Peer %d is on thread <%s>\n", i, peer.thread_name);
    }
}

// Files and sockets

// The configured name with its first "%a" replaced; the log module expands
// the rest of the pattern.
bool open_packet_log()
{
    std::string name = c_vantrix_pkt_log != nullptr ? c_vantrix_pkt_log : "";
    size_t at = name.find("%a");
    if (at != std::string::npos)
        name.replace(at, 2, vn_get_app_name());
    if (peer_packet_log_open(name.c_str()))
        return true;
    _vn_exit_log(kPacketLogExit, "Cannot create packet_log: %s", name.c_str());
    return false;
}

bool open_listen_sockets()
{
    if (c_vantrix_port != 0) {
        char message[kListenMessageBytes] = "";
        sock_t sock = get_vantrix_listen_socket(c_vantrix_interface, c_vantrix_port, message, sizeof message);
        if (sock < 0) {
            _vn_exit_log(kListenExit, "%s", message);
            return false;
        }
        vn_sock = sock;
        vn_add_timed_event(0, 0.0, start_peer_accept, 0, nullptr);
    }
    // The SSL listen socket on vantrix-sslport joins here with the SSL server set-up.
    return true;
}

// Peer records

bool accept_only(const peer_t &peer)
{
    return peer.addr_num == 0 && peer.port_num == 0;
}

// An accepted PEERINFO is matched by its id, so two accept-only peers may not
// share one; a label names one peer.
void check_against_earlier(int i)
{
    const peer_t &peer = peer_array[i];
    for (int j = 0; j < i; j++) {
        const peer_t &earlier = peer_array[j];
        if (std::strcmp(earlier.label, peer.label) == 0)
            _vn_exit_log(kConfigExit, "Peer label <%s> is duplicated defined in peer index %d and peer index %d\n",
                         peer.label, j, i);
        if (accept_only(peer) && peer.remote_id != -1 && earlier.addr_num == 0 && earlier.remote_id == peer.remote_id)
            _vn_exit_log(kConfigExit, "Peer remote-id <%d> is duplicated defined in peer index %d and peer index %d\n",
                         peer.remote_id, j, i);
    }
}

void replace_text(char **text, char *replacement)
{
    vn_free(*text);
    *text = replacement;
}

void complete_peer(int i, const vn_init_t *init)
{
    peer_t &peer = peer_array[i];
    peer.num = i;
    replace_text(&peer.mon_name, vn_strdup(format_number("%d", i).c_str()));
    peer.mon_tev = nullptr;
    if (peer.label == nullptr)
        peer.label = vn_strdup(peer.mon_name);
    check_against_earlier(i);
    if (peer.mon_interval == 0)
        peer.mon_interval = c_peer_monitor_interval;
    if (peer.local_id == -1)
        peer.local_id = c_vantrix_id;
    if (peer.local_name != nullptr)
        replace_text(&peer.local_name, _vn_create_vantrix_name(peer.local_name));
    else
        peer.local_name = vn_strdup(c_vantrix_name);
    if (peer.remote_name == nullptr)
        peer.remote_name = vn_strdup(format_number("src-%d", i).c_str());
    peer.local_flags |= init->flags;
    peer.local_type |= init->type;
    if (peer.local_flags & kNoConnectFlag) {
        peer.local_flags &= ~kNoConnectFlag;
        peer.reject_conns = 1;
    }
    if (peer.heartbeat_slack_time < 0)
        peer.heartbeat_slack_time = default_peer.heartbeat_slack_time;
    pthread_mutex_init(&peer.peer_lock, nullptr);
}

void setup_global_record()
{
    default_thread.name = vn_strdup("DefaultPeerThread");
    default_thread.thread_id = pthread_self();
    default_thread.signalany = tarvelutil_signalany_create(peer_event_log);
    default_peer.thread = &default_thread;
    replace_text(&default_peer.mon_name, vn_strdup("global"));
    default_peer.mon_tev = nullptr;
    default_peer.mon_interval = c_peer_monitor_interval;
    pthread_mutex_init(&default_peer.peer_lock, nullptr);
}

// Monitoring

struct Member {
    const char *name;
    const char *label;
    int typeflags;
};

// The value members; the event getter and the command methods are added with
// peer monitoring.
const Member kPeerMembers[] = {
    {"peer-number", "Number", VN_MONITOR_KEY | VN_MONITOR_USHORT},
    {"label", "Label", VN_MONITOR_STRING},
    {"local-type", "Local Type", VN_MONITOR_USHORT},
    {"local-id", "Local ID", VN_MONITOR_USHORT},
    {"local-name", "Local Name", VN_MONITOR_STRING},
    {"remote-type", "Remote Type", VN_MONITOR_USHORT},
    {"remote-id", "Remote ID", VN_MONITOR_USHORT},
    {"remote-name", "Remote Name", VN_MONITOR_STRING},
    {"state", "Connection State", VN_MONITOR_STRING},
    {"configured-addresses", "Connection Addresses (configured)", VN_MONITOR_ARRAY | VN_MONITOR_STRING},
    {"configured-ipaddresses", "Connection Addresses (resolved)", VN_MONITOR_ARRAY | VN_MONITOR_STRING},
    {"configured-ports", "Configured ports", VN_MONITOR_ARRAY | VN_MONITOR_USHORT},
    {"connected-port", "Connected Remote Port", VN_MONITOR_USHORT},
    {"connected-address", "Connected Remote Address", VN_MONITOR_STRING},
    {"local-port", "Connected Local Port", VN_MONITOR_USHORT},
    {"local-address", "Connected Local Address", VN_MONITOR_STRING},
    {"last-update-time", "Last Update Time", VN_MONITOR_TIMESTAMP},
    {"failed-connection-count", "Failed Connection Count", VN_MONITOR_ULONG},
};

struct CounterMember {
    const char *name;
    const char *label;
    const char *rate_label;  // null: the label and " Rate"
    const char *since_label; // null: the label and " Since Reset"
};

// In counter order.
const CounterMember kCounterMembers[kPeerCounterCount] = {
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

void add_member(const std::string &tmpl, const std::string &name, const std::string &label, int typeflags)
{
    vn_monitor_add_template_member(tmpl.c_str(), name.c_str(), label.c_str(), typeflags, nullptr, nullptr);
}

void declare_templates()
{
    std::string app = vn_get_app_name();
    peer_template = app + ".server.peers";
    peerstats_template = app + ".server.peerstats";
    vn_monitor_start_template(peer_template.c_str(), "!System|!Peer information");
    for (const Member &member : kPeerMembers)
        add_member(peer_template, member.name, member.label, member.typeflags);
    std::string msgq_template = app + ".server.msgq";
    vn_monitor_add_template_relation(peer_template.c_str(), "msgq", msgq_template.c_str(), "Message Queue Relation", 1,
                                     0);
    vn_monitor_end_template(peer_template.c_str());

    vn_monitor_start_template(peerstats_template.c_str(), "!System|!Peer statistics");
    add_member(peerstats_template, "identifier", "Identifier", VN_MONITOR_KEY | VN_MONITOR_STRING);
    for (const CounterMember &counter : kCounterMembers) {
        std::string name = counter.name;
        std::string label = counter.label;
        add_member(peerstats_template, name + "-count", label, VN_MONITOR_ULLONG);
        add_member(peerstats_template, name + "-count-since-reset",
                   counter.since_label ? counter.since_label : label + " Since Reset", VN_MONITOR_ULLONG);
        add_member(peerstats_template, name + "-rate", counter.rate_label ? counter.rate_label : label + " Rate",
                   VN_MONITOR_DOUBLE);
    }
    add_member(peerstats_template, "monitoring-interval", "Current Monitoring Interval", VN_MONITOR_DOUBLE);
    vn_monitor_end_template(peerstats_template.c_str());
}

std::string resolved_address(const char *address)
{
    struct in_addr resolved;
    char text[INET_ADDRSTRLEN] = "";
    if (vn_getaddr(address, &resolved) < 0 || inet_ntop(AF_INET, &resolved, text, sizeof text) == nullptr)
        return "";
    return text;
}

// Address k as a connect uses it: its own, else the last configured one.
const char *configured_address(const peer_t &peer, int k)
{
    if (peer.addr_num == 0)
        return "127.0.0.1";
    return peer.addr_array[std::min(k, peer.addr_num - 1)];
}

void publish_configured_links(const peer_t &peer)
{
    const char *key = peer.mon_name;
    int count = std::max(peer.addr_num, peer.port_num);
    vn_monitor_t *addresses = vn_monitor_new_array("configured-addresses", VN_MONITOR_STRING);
    vn_monitor_t *resolved = vn_monitor_new_array("configured-ipaddresses", VN_MONITOR_STRING);
    for (int k = 0; k < count; k++) {
        vn_monitor_add_data(addresses, configured_address(peer, k));
        vn_monitor_add_data(resolved, resolved_address(configured_address(peer, k)).c_str());
    }
    vn_monitor_update(peer_template.c_str(), key, addresses);
    vn_monitor_update(peer_template.c_str(), key, resolved);
    if (peer.port_num == 0)
        return;
    vn_monitor_t *ports = vn_monitor_new_array("configured-ports", VN_MONITOR_USHORT);
    for (int k = 0; k < count; k++) {
        uint16_t port = static_cast<uint16_t>(peer.port_array[std::min(k, peer.port_num - 1)]);
        vn_monitor_add_data(ports, &port);
    }
    vn_monitor_update(peer_template.c_str(), key, ports);
}

// The peer's groups and the values known at start-up; statistics are
// published by the peer monitoring timers.
void publish_peer(const peer_t &peer)
{
    const char *tmpl = peer_template.c_str();
    const char *key = peer.mon_name;
    std::string label = format_number("Peer %d", peer.num);
    vn_monitor_create_group(tmpl, key, label.c_str(), ("Information about peer " + std::string(key)).c_str());
    vn_monitor_create_group(peerstats_template.c_str(), key, label.c_str(),
                            ("Statistics about peer " + std::string(key)).c_str());
    vn_monitor_update_string(peerstats_template.c_str(), key, "identifier", key);
    vn_monitor_update_string(tmpl, key, "label", peer.label);
    vn_monitor_update_ushort(tmpl, key, "peer-number", static_cast<uint16_t>(peer.num));
    vn_monitor_update_ushort(tmpl, key, "local-id", static_cast<uint16_t>(peer.local_id));
    vn_monitor_update_string(tmpl, key, "local-name", peer.local_name);
    vn_monitor_update_ushort(tmpl, key, "local-type", static_cast<uint16_t>(peer.local_type));
    vn_monitor_update_ushort(tmpl, key, "remote-id", static_cast<uint16_t>(peer.remote_id));
    vn_monitor_update_string(tmpl, key, "remote-name", peer.remote_name);
    vn_monitor_update_ushort(tmpl, key, "remote-type", static_cast<uint16_t>(peer.remote_type));
    vn_monitor_update_string(tmpl, key, "state", "DOWN");
    vn_monitor_update_double(tmpl, key, "monitoring-interval", peer.mon_interval);
    if (accept_only(peer))
        vn_monitor_update_ushort(tmpl, key, "local-port", static_cast<uint16_t>(c_vantrix_port));
    publish_configured_links(peer);
}

void publish_global()
{
    vn_monitor_create_group(peerstats_template.c_str(), "global", "Global", "Global statistics");
    vn_monitor_update_string(peerstats_template.c_str(), "global", "identifier", "global");
    vn_monitor_update_double(peer_template.c_str(), "global", "monitoring-interval", default_peer.mon_interval);
}

} // namespace

peer_thread_t *new_peer_thread(const char *name)
{
    auto *thread = static_cast<peer_thread_t *>(vn_calloc(1, sizeof(peer_thread_t)));
    thread->name = vn_strdup(name);
    tarvelutil_hashmap_put(peerthread_map, thread->name, thread, 0);
    return thread;
}

char *_vn_create_vantrix_name(const char *name)
{
    std::string out;
    // Copies what fits of `text`; false once the result is full.
    auto append = [&out](std::string_view text) {
        out.append(text.substr(0, kNameChars - out.size()));
        return out.size() < kNameChars;
    };
    for (const char *at = name != nullptr ? name : ""; *at != '\0' && out.size() < kNameChars; at++) {
        if (*at != '%') {
            out += *at;
            continue;
        }
        char letter = *++at;
        if (letter == '\0') {
            out += '%';
            break;
        }
        bool room = true;
        if (letter == 'h')
            room = append(short_host_name());
        else if (letter == 'a' || letter == 'n')
            room = append(vn_get_app_name());
        else
            room = append(std::string{'%', letter});
        if (!room)
            break;
    }
    return vn_strdup(out.c_str());
}

void _vn_peer_init(vn_init_t *init)
{
    peer_init_record = init;
    peer_event_log = init->log;
    _vn_peers_up = vn_set_t{};
    _vn_peers_active = vn_set_t{};
    if (peer_num > max_peers) {
        _vn_exit_log(kConfigExit, "Too many peers configured, %d, maximum is %d\n", peer_num, max_peers);
        return;
    }
    peerthread_map = tarvelutil_hashmap_create(10, nullptr, nullptr, nullptr, nullptr, 0);
    if (peer_num > 0 && !open_packet_log())
        return;
    if (!(init->flags & kNoConnectFlag) && !open_listen_sockets())
        return;
    vn_num_peers = peer_num;
    replace_text(&c_vantrix_name, _vn_create_vantrix_name(c_vantrix_name));
    // peer_global_lock is initialised statically: counts may come before start-up.
    make_thread_pool();
    assign_threads();
    if (!start_peer_threads())
        return;
    for (int i = 0; i < peer_num; i++)
        complete_peer(i, init);
    setup_global_record();
    peer_recalc_types();
    peer_connect_ev = vn_add_timed_event(0, kConnectAllDelay, peer_connect_to_all, 1, nullptr);
    // The UDP command words "peer-reconnect", "peer-status-down" and
    // "peer-status-up" are registered here by peer monitoring.
    declare_templates();
    for (int i = 0; i < peer_num; i++)
        publish_peer(peer_array[i]);
    publish_global();
}
