// The peer table: the add-peer group and the peer options, the accessors,
// the request and rogue counts, the peer sets and the peer part of the
// exported XML.
//
// The table is complete before any peer thread starts and never grows after,
// so the accessors read it without a lock. The words of the process-wide sets
// and all_type are written by peer threads and read lock-free by senders and
// data services: they are stored and loaded atomically, a bit change is one
// atomic read-modify-write, and a recomputation stores finished words only.
// Counters change under peer_global_lock; a peer's event ring under its own
// leaf lock, which is never held while another lock is taken.
#include "peer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>

// Option variables.
char *c_vantrix_name = nullptr;
char *c_vantrix_interface = nullptr;
int c_vantrix_port = 0;
int c_vantrix_sslport = 0;
int c_vantrix_id = 0;
char *c_vantrix_pkt_log = nullptr;
int c_peer_thread_pool_size = -1;
char c_vantrix_reject_new_peers = 0;
char c_vantrix_tcp_nodelay_off = 0;
double c_peer_monitor_interval = 30.0;
double c_peer_accept_wait_time = 10.0;

peer_t *peer_array = nullptr;
int peer_num = 0;
int vn_num_peers = 0;
// A set holds 1024 peers, but one number is kept back.
int max_peers = 1023;
peer_t default_peer;
int all_type = 0;
vn_set_t _vn_peers_up;
vn_set_t _vn_peers_active;
// Statically initialised: requests may be counted before start-up has run.
pthread_mutex_t peer_global_lock = PTHREAD_MUTEX_INITIALIZER;
vn_log_t *peer_event_log = nullptr;
vn_init_t *peer_init_record = nullptr;
// Never destroyed: peer threads, which never end, publish until the process
// is gone.
std::string &peer_template = *new std::string;
std::string &peerstats_template = *new std::string;

namespace {

constexpr int kMaxPeers = 1023;
constexpr int kSetWords = 32;
constexpr int kWordBits = 32;
constexpr int kSetBits = kSetWords * kWordBits;
constexpr int kTypeActive = 1;
constexpr int kTypeContrib = 2;
constexpr int kMillisPerSecond = 1000;

vn_config_enum_t flags_enums[] = {
    {"none", 0, "No special restart or reconnection"},
    {"recvautoreplay", 4, "When restarting, this peer should accept replay updates."},
    {"noconnect", 8, "Prevents the automatic connection to peers on startup."},
    {nullptr, 0, nullptr},
};

vn_config_enum_t type_enums[] = {
    {"none", 0, "This source is broadcast and can't accept contributions"},
    {"broadcast", 0, "This source is broadcast and can't accept contributions"},
    {"active", 1, "This source is active"},
    {"contrib", 2, "This source can accept contributions"},
    {nullptr, 0, nullptr},
};

// Two recomputations must not interleave their stores.
std::mutex types_mutex;

// The texts a field has pointed at, oldest first. The field's first text
// (configured, or made at start-up) is not among them: it is only kept, so
// that a reader who took it before the first change can still use it.
struct text_history_t {
    char *first = nullptr;
    std::deque<std::unique_ptr<char[]>> kept;
};
constexpr size_t kKeptTexts = 16;
std::mutex texts_mutex;
// Never destroyed: peer threads, which never end, may replace texts until
// the process is gone.
std::unordered_map<char **, text_history_t> &text_histories = *new std::unordered_map<char **, text_history_t>;

std::unique_ptr<char[]> copy_text(const char *text)
{
    size_t len = std::strlen(text);
    std::unique_ptr<char[]> copy(new char[len + 1]);
    std::memcpy(copy.get(), text, len + 1);
    return copy;
}

// The field's kept copy of `text`, taken out of the history, or a new copy.
std::unique_ptr<char[]> take_text(text_history_t &history, const char *text)
{
    auto found = std::find_if(history.kept.begin(), history.kept.end(), [text](const std::unique_ptr<char[]> &entry) {
        return std::strcmp(entry.get(), text) == 0;
    });
    if (found == history.kept.end())
        return copy_text(text);
    std::unique_ptr<char[]> entry = std::move(*found);
    history.kept.erase(found);
    return entry;
}

char *load_text(char *const *field)
{
    return __atomic_load_n(field, __ATOMIC_ACQUIRE);
}

vnset_element_t load_word(const vnset_element_t *word)
{
    return __atomic_load_n(word, __ATOMIC_ACQUIRE);
}

void store_word(vnset_element_t *word, vnset_element_t value)
{
    __atomic_store_n(word, value, __ATOMIC_RELEASE);
}

bool valid_peer(int peer)
{
    return peer >= 0 && peer < vn_num_peers && peer_array != nullptr;
}

// The template of every add-peer record, which is also the global record.
void reset_template()
{
    default_peer = peer_t{};
    default_peer.remote_id = -1;
    default_peer.local_id = -1;
    default_peer.sock = -1;
    default_peer.queue_size = 50;
    default_peer.delay = 1;
    default_peer.request_timeout = -1.0;
    default_peer.heartbeat_time = -1;
    default_peer.heartbeat_slack_time = 2.0;
    default_peer.connect_timeout = 10;
    pthread_mutex_init(&default_peer.peer_lock, nullptr);
}

void set_text_option(char **variable, const char *value)
{
    vn_free(*variable);
    *variable = value != nullptr ? vn_strdup(value) : nullptr;
}

void reset_options()
{
    set_text_option(&c_vantrix_name, "%a-%h");
    set_text_option(&c_vantrix_interface, nullptr);
    set_text_option(&c_vantrix_pkt_log, "packet-%a.log");
    c_vantrix_port = 0;
    c_vantrix_sslport = 0;
    c_vantrix_id = 0;
    c_peer_thread_pool_size = -1;
    c_vantrix_reject_new_peers = 0;
    c_vantrix_tcp_nodelay_off = 0;
    c_peer_monitor_interval = 30.0;
    c_peer_accept_wait_time = 10.0;
}

// Inside a group an option's variable is the byte offset of its field.
void *field(size_t offset)
{
    return reinterpret_cast<void *>(offset);
}

int *count_field(size_t offset)
{
    return reinterpret_cast<int *>(offset);
}

void register_peer_group()
{
    static const int kMinHeartbeat = 1;
    static const double kMinSlack = 0.1;
    vn_config_add_group("add-peer", "!VantroPeers|!Add a Vantro Peer", &peer_array, &default_peer, sizeof(peer_t),
                        &peer_num);
    vn_config_add_option(0, "label", "Label for this peer", VN_CONFIG_STRING, field(offsetof(peer_t, label)));
    vn_config_add_option(0, "remote-id", "Remote Peer ID", VN_CONFIG_INT, field(offsetof(peer_t, remote_id)));
    vn_config_add_option(0, "remote-name", "Remote Peer Name", VN_CONFIG_STRING, field(offsetof(peer_t, remote_name)));
    vn_config_add_option_enum(0, "remote-flags", "Remote Peer flags", VN_CONFIG_INT,
                              field(offsetof(peer_t, remote_flags)), flags_enums);
    vn_config_add_option_enum(0, "remote-type", "Remote Peer Type", VN_CONFIG_INT, field(offsetof(peer_t, remote_type)),
                              type_enums);
    vn_config_add_option(0, "local-id", "Local Peer ID", VN_CONFIG_INT, field(offsetof(peer_t, local_id)));
    vn_config_add_option(0, "local-name", "Local Peer Name", VN_CONFIG_STRING, field(offsetof(peer_t, local_name)));
    vn_config_add_option_enum(0, "local-flags", "Local Peer Flags", VN_CONFIG_INT, field(offsetof(peer_t, local_flags)),
                              flags_enums);
    vn_config_add_option_enum(0, "local-type", "Local Peer Type", VN_CONFIG_INT, field(offsetof(peer_t, local_type)),
                              type_enums);
    vn_config_add_array_option("addr", "Peer Address", VN_CONFIG_STRING, field(offsetof(peer_t, addr_array)),
                               count_field(offsetof(peer_t, addr_num)));
    vn_config_add_array_option("port", "Peer Port", VN_CONFIG_INT, field(offsetof(peer_t, port_array)),
                               count_field(offsetof(peer_t, port_num)));
    vn_config_add_option(0, "queue-size", "Message Queue Size", VN_CONFIG_INT, field(offsetof(peer_t, queue_size)));
    vn_config_add_option(0, "ssl", "Enable SSL for this peer", VN_CONFIG_BOOL, field(offsetof(peer_t, ssl)));
    vn_config_add_option(0, "active-request-timeout", "Use add-peer/request-timeout instead",
                         VN_CONFIG_DOUBLE | VN_CONFIG_DEPRECATED, field(offsetof(peer_t, request_timeout)));
    vn_config_add_option(0, "request-timeout", "Source request timeout", VN_CONFIG_DOUBLE,
                         field(offsetof(peer_t, request_timeout)));
    vn_config_add_bounded_option(0, "heartbeat-time", "!VantroPeers|!Time between heartbeats", VN_CONFIG_INT,
                                 field(offsetof(peer_t, heartbeat_time)), &kMinHeartbeat, nullptr);
    vn_config_add_bounded_option(0, "heartbeat-slack-time", "!VantroPeers|!Time when added to heartbeat triggers disconnect",
                                 VN_CONFIG_DOUBLE, field(offsetof(peer_t, heartbeat_slack_time)), &kMinSlack, nullptr);
    vn_config_add_option(0, "connect-timeout", "!VantroPeers|!Timeout for connections", VN_CONFIG_INT,
                         field(offsetof(peer_t, connect_timeout)));
    vn_config_add_option(0, "monitor-interval", "Interval between updating monitoring statistics", VN_CONFIG_DOUBLE,
                         field(offsetof(peer_t, mon_interval)));
    vn_config_add_option(0, "thread-name", "Name of the thread for running this peer", VN_CONFIG_STRING,
                         field(offsetof(peer_t, thread_name)));
    vn_config_end_group("end-peer", "End Peer section");
}

// Adds to one record's counter and marks it for publication.
void add_to_counter(peer_t *record, peer_counter_t counter, uint64_t count)
{
    record->counters[counter].value += count;
    record->mon_dirty |= uint64_t{1} << counter;
}

// Lowers a counter without passing 0: a discard may follow a request the
// count never saw (a closed link zeroes the subscriptions).
void take_from_counter(peer_t *record, peer_counter_t counter, uint64_t count)
{
    uint64_t &value = record->counters[counter].value;
    value -= count < value ? count : value;
    record->mon_dirty |= uint64_t{1} << counter;
}

// Stores all_type and _vn_peers_active from every peer's remote type; the
// caller holds types_mutex.
void publish_types()
{
    vn_set_t active{};
    int types = 0;
    for (int i = 0; i < peer_num && i < kSetBits; i++) {
        int type = __atomic_load_n(&peer_array[i].remote_type, __ATOMIC_RELAXED);
        types |= type;
        if (type & kTypeActive)
            active.bits[i / kWordBits] |= vnset_element_t{1} << (i % kWordBits);
    }
    for (int word = 0; word < kSetWords; word++)
        store_word(&_vn_peers_active.bits[word], active.bits[word]);
    __atomic_store_n(&all_type, types, __ATOMIC_RELEASE);
}

// The peer's word of _vn_peers_up with its bit there, or null for a number outside the set.
vnset_element_t *up_word(const peer_t *peer, vnset_element_t *bit)
{
    if (peer == nullptr || peer->num < 0 || peer->num >= kSetBits)
        return nullptr;
    *bit = vnset_element_t{1} << (peer->num % kWordBits);
    return &_vn_peers_up.bits[peer->num / kWordBits];
}

void change_up_bit(const peer_t *peer, bool up)
{
    vnset_element_t bit = 0;
    vnset_element_t *word = up_word(peer, &bit);
    if (word == nullptr)
        return;
    if (up)
        __atomic_fetch_or(word, bit, __ATOMIC_ACQ_REL);
    else
        __atomic_fetch_and(word, ~bit, __ATOMIC_ACQ_REL);
}

// XML

void add_number(void *node, const char *name, long long value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%lld", value);
    _vn_xmlNewProp(node, name, text);
}

void add_text(void *node, const char *name, const char *value)
{
    if (value != nullptr)
        _vn_xmlNewProp(node, name, value);
}

void *add_child(void *parent, const char *name)
{
    void *node = _vn_xmlNewNode(nullptr, name);
    _vn_xmlAddChild(parent, node);
    return node;
}

void add_type(void *node, int type)
{
    const char *text = nullptr;
    if ((type & kTypeActive) && (type & kTypeContrib))
        text = "ACTIVE CONTRIB";
    else if (type & kTypeActive)
        text = "ACTIVE";
    else if (type & kTypeContrib)
        text = "CONTRIB";
    add_text(node, "type", text);
}

void add_heartbeat(void *peer_node, const peer_t &peer)
{
    if (peer.heartbeat_time == -1)
        return;
    void *node = add_child(peer_node, "heartbeat");
    add_number(node, "time", static_cast<long long>(peer.heartbeat_time) * kMillisPerSecond);
    // The slack has no upper bound: printed from the double, so a value past
    // the 64-bit range is still written rather than overflowing a cast. A
    // decimal such as 2.3 s has no exact double and its product falls just
    // short of 2300, so the truncation forgives a millionth of a millisecond.
    constexpr double kForgiven = 1e-6;
    char text[400];
    std::snprintf(text, sizeof text, "%.0f", std::trunc(peer.heartbeat_slack_time * kMillisPerSecond + kForgiven));
    _vn_xmlNewProp(node, "slackTime", text);
}

// Where port k connects: its own address, else the last configured one.
const char *destination_address(const peer_t &peer, int k)
{
    if (peer.addr_num <= 0 || peer.addr_array == nullptr)
        return "localhost";
    return peer.addr_array[k < peer.addr_num ? k : peer.addr_num - 1];
}

void add_peer_element(void *root, const peer_t &peer)
{
    void *node = add_child(root, "peer");
    if (peer.ssl)
        _vn_xmlNewProp(node, "ssl", "true");
    add_number(node, "msgQueueSize", peer.queue_size);
    if (c_vantrix_reject_new_peers)
        _vn_xmlNewProp(node, "ejectExistingConnection", "false");
    add_heartbeat(node, peer);
    void *local = add_child(node, "local");
    add_text(local, "name", peer.local_name);
    add_number(local, "id", peer.local_id);
    add_type(local, peer.local_type);
    void *remote = add_child(node, "remote");
    add_text(remote, "name", peer.remote_name);
    if (peer.remote_id != -1)
        add_number(remote, "id", peer.remote_id);
    add_type(remote, peer.remote_type);
    for (int k = 0; k < peer.port_num && peer.port_array != nullptr; k++) {
        void *destination = add_child(node, "destination");
        _vn_xmlNewProp(destination, "address", destination_address(peer, k));
        add_number(destination, "port", peer.port_array[k]);
    }
}

} // namespace

// Configuration

void _vn_peer_config_init(void)
{
    reset_template();
    reset_options();
    vn_config_add_option(0, "vantrix-name", "!VantroPeers|!Vantro Name", VN_CONFIG_STRING, &c_vantrix_name);
    vn_config_add_option(0, "vantrix-interface", "!VantroPeers|!Vantro Listen Address", VN_CONFIG_STRING,
                         &c_vantrix_interface);
    vn_config_add_option(0, "vantrix-port", "!VantroPeers|!Vantro Listen Port", VN_CONFIG_INT, &c_vantrix_port);
    vn_config_add_option(0, "vantrix-sslport", "!VantroPeers|!Vantro SSL Listen Port", VN_CONFIG_INT,
                         &c_vantrix_sslport);
    vn_config_add_option(0, "vantrix-id", "!VantroPeers|!Vantro ID Number", VN_CONFIG_INT, &c_vantrix_id);
    vn_config_add_option(0, "vantrix-pkt-log", "!VantroPeers|!Vantro Packet Log File", VN_CONFIG_STRING,
                         &c_vantrix_pkt_log);
    vn_config_add_option(0, "peer-thread-pool-size", "!VantroPeers|!Number of threads for peers", VN_CONFIG_INT,
                         &c_peer_thread_pool_size);
    register_peer_group();
    vn_config_add_option(0, "vantrix-reject-new-peers", "!VantroPeers|!Reject Peers with same ID", VN_CONFIG_BOOL,
                         &c_vantrix_reject_new_peers);
    vn_config_add_option(0, "vantrix-tcp-nodelay-off", "!VantroPeers|!Turn off TCP_NODELAY", VN_CONFIG_BOOL,
                         &c_vantrix_tcp_nodelay_off);
    vn_config_add_option(0, "peer-monitor-interval", "!VantroPeers|!Interval between collation of statistics",
                         VN_CONFIG_DOUBLE, &c_peer_monitor_interval);
    vn_config_add_option(0, "peer-accept-wait-time",
                         "!VantroPeers|!Time to wait for an info packet when accepting a connection", VN_CONFIG_DOUBLE,
                         &c_peer_accept_wait_time);
}

// Accessors

peer_t *_vn_peer(int peer)
{
    return valid_peer(peer) ? &peer_array[peer] : nullptr;
}

double _vn_peer_request_timeout(int peer)
{
    return valid_peer(peer) ? peer_array[peer].request_timeout : -1.0;
}

int vn_peer_details(int peer, char **name)
{
    if (!valid_peer(peer)) {
        if (name != nullptr)
            *name = nullptr;
        return -1;
    }
    if (name != nullptr)
        *name = load_text(&peer_array[peer].remote_name);
    return peer_array[peer].remote_id;
}

int vn_peer_host_details(int peer, char **addr)
{
    if (!valid_peer(peer)) {
        if (addr != nullptr)
            *addr = nullptr;
        return -1;
    }
    if (addr != nullptr)
        *addr = load_text(&peer_array[peer].addr);
    return peer_array[peer].port;
}

int vn_peer_id(int peer)
{
    return valid_peer(peer) ? peer_array[peer].remote_id : -1;
}

char *vn_peer_name(int peer)
{
    return valid_peer(peer) ? load_text(&peer_array[peer].remote_name) : nullptr;
}

int vn_peer_flags(int peer)
{
    return valid_peer(peer) ? peer_array[peer].remote_flags : 0;
}

int vn_peer_type(int peer)
{
    return valid_peer(peer) ? __atomic_load_n(&peer_array[peer].remote_type, __ATOMIC_RELAXED) : 0;
}

int vn_peer_local_type(int peer)
{
    return valid_peer(peer) ? peer_array[peer].local_type : 0;
}

int vn_peer_enabled_state(int peer)
{
    return valid_peer(peer) && !peer_array[peer].reject_conns ? 1 : 0;
}

int vn_peer_up(int peer)
{
    return valid_peer(peer) ? __atomic_load_n(&peer_array[peer].connected, __ATOMIC_ACQUIRE) : 0;
}

char *vn_peer_label_byindex(int index)
{
    return valid_peer(index) ? peer_array[index].label : nullptr;
}

int vn_peer_by_label(const char *label)
{
    if (label == nullptr)
        return -1;
    for (int i = 0; i < vn_num_peers && peer_array != nullptr; i++) {
        if (peer_array[i].label != nullptr && std::strcmp(peer_array[i].label, label) == 0)
            return i;
    }
    return -1;
}

int vn_peer_all_type(int flag)
{
    return flag & __atomic_load_n(&all_type, __ATOMIC_ACQUIRE);
}

void vn_decrement_peers(int num)
{
    long long lowered = static_cast<long long>(max_peers) - num;
    max_peers = static_cast<int>(lowered < 0 ? 0 : lowered > kMaxPeers ? kMaxPeers : lowered);
}

void vn_peer_send_message(int peer, int type, void *param, tarvelutil_signalmain_cb_t callback_func)
{
    if (!valid_peer(peer) || callback_func == nullptr)
        return;
    const peer_thread_t *thread = peer_array[peer].thread;
    if (thread == nullptr || thread->signalany == nullptr)
        return;
    tarvelutil_signalany_exec(thread->signalany, type, callback_func, param, 0);
}

// Statistics counts

void peer_count(peer_t *conn, peer_counter_t counter, uint64_t count)
{
    if (conn != &default_peer)
        add_to_counter(conn, counter, count);
    add_to_counter(&default_peer, counter, count);
}

void _vn_peer_packet_log_lock(void)
{
    pthread_mutex_lock(&peer_global_lock);
}

void _vn_peer_packet_log_unlock(void)
{
    pthread_mutex_unlock(&peer_global_lock);
}

void _vn_peer_update_reqdsc_count(peer_t *conn, int type, int count)
{
    if (conn == nullptr)
        return;
    uint64_t subjects = count > 0 ? static_cast<uint64_t>(count) : 0;
    peer_mutex_guard lock(peer_global_lock);
    peer_count(conn, kMessagesWritten, 1);
    if (type == VN_SUBJREQ) {
        peer_count(conn, kRequestsWritten, subjects);
        peer_count(conn, kActiveSubscriptions, subjects);
        return;
    }
    peer_count(conn, kDiscardsWritten, subjects);
    if (conn != &default_peer)
        take_from_counter(conn, kActiveSubscriptions, subjects);
    take_from_counter(&default_peer, kActiveSubscriptions, subjects);
}

void _vn_peer_update_rogue_count(peer_t *conn)
{
    if (conn == nullptr)
        return;
    peer_mutex_guard lock(peer_global_lock);
    peer_count(conn, kRogueUpdate, 1);
}

// Peer sets

int vn_iszero(const vn_set_t *set)
{
    for (int word = 0; word < kSetWords; word++) {
        if (load_word(&set->bits[word]) != 0)
            return 0;
    }
    return 1;
}

void vn_or(const vn_set_t *p1, const vn_set_t *p2, vn_set_t *o)
{
    for (int word = 0; word < kSetWords; word++)
        store_word(&o->bits[word], load_word(&p1->bits[word]) | load_word(&p2->bits[word]));
}

void vn_and(const vn_set_t *p1, const vn_set_t *p2, vn_set_t *a)
{
    for (int word = 0; word < kSetWords; word++)
        store_word(&a->bits[word], load_word(&p1->bits[word]) & load_word(&p2->bits[word]));
}

int vn_and_iszero(const vn_set_t *p1, const vn_set_t *p2)
{
    for (int word = 0; word < kSetWords; word++) {
        if ((load_word(&p1->bits[word]) & load_word(&p2->bits[word])) != 0)
            return 0;
    }
    return 1;
}

int vn_and3_iszero(const vn_set_t *p1, const vn_set_t *p2, const vn_set_t *p3)
{
    for (int word = 0; word < kSetWords; word++) {
        if ((load_word(&p1->bits[word]) & load_word(&p2->bits[word]) & load_word(&p3->bits[word])) != 0)
            return 0;
    }
    return 1;
}

int vn_isequal(const vn_set_t *p1, const vn_set_t *p2)
{
    for (int word = 0; word < kSetWords; word++) {
        if (load_word(&p1->bits[word]) != load_word(&p2->bits[word]))
            return 0;
    }
    return 1;
}

void peer_mark_up(peer_t *peer)
{
    change_up_bit(peer, true);
}

void peer_mark_down(peer_t *peer)
{
    change_up_bit(peer, false);
}

bool peer_marked_up(const peer_t *peer)
{
    vnset_element_t bit = 0;
    const vnset_element_t *word = up_word(peer, &bit);
    return word != nullptr && (__atomic_load_n(word, __ATOMIC_ACQUIRE) & bit) != 0;
}

void peer_set_remote_type(peer_t *peer, int remote_type)
{
    std::lock_guard<std::mutex> lock(types_mutex);
    __atomic_store_n(&peer->remote_type, remote_type, __ATOMIC_RELAXED);
    publish_types();
}

void peer_recalc_types(void)
{
    std::lock_guard<std::mutex> lock(types_mutex);
    publish_types();
}

void peer_replace_text(char **field, const char *text)
{
    if (text == nullptr)
        text = "";
    std::lock_guard<std::mutex> lock(texts_mutex);
    const char *current = *field;
    if (current != nullptr && std::strcmp(current, text) == 0)
        return; // not a change: nothing ages
    text_history_t &history = text_histories[field];
    if (history.first == nullptr && history.kept.empty())
        history.first = *field;
    history.kept.push_back(take_text(history, text));
    __atomic_store_n(field, history.kept.back().get(), __ATOMIC_RELEASE);
    // The text just replaced is among the 16 kept, so a reader still using it
    // has 15 more changes' time.
    if (history.kept.size() > kKeptTexts)
        history.kept.pop_front();
}

// XML

void _vn_peer_write_xml(void *doc, void *root)
{
    (void)doc;
    add_number(root, "id", c_vantrix_id);
    _vn_xmlNewProp(root, "appName", vn_get_app_name());
    if (c_vantrix_port != 0)
        add_number(root, "port", c_vantrix_port);
    if (c_vantrix_sslport != 0)
        add_number(root, "SSLPort", c_vantrix_sslport);
    for (int i = 0; i < peer_num && peer_array != nullptr; i++)
        add_peer_element(root, peer_array[i]);
}
