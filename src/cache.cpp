// The active cache's entries, and the senders and callbacks it puts in front
// of the application: data, no-data and statuses go only to the peers that
// requested a subject, and requests for cached subjects are answered from the
// stored image. Threads and locks: see cache.h.
#include "cache.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr int kPeerSetWords = 32;
constexpr int kPeerSetBits = 32;
constexpr int kMaxSetPeers = kPeerSetWords * kPeerSetBits;
constexpr uint16_t kNoDataNotFound = 1;
constexpr uint16_t kPageType = 221;
constexpr uint16_t kRecordType = 222;
constexpr int kPeerDown = 512;

bool valid_set_peer(int peer)
{
    return peer >= 0 && peer < kMaxSetPeers;
}

void add_peer(vn_set_t &peers, int peer)
{
    if (valid_set_peer(peer))
        peers.bits[peer / kPeerSetBits] |= 1u << (peer % kPeerSetBits);
}

void remove_peer(vn_set_t &peers, int peer)
{
    if (valid_set_peer(peer))
        peers.bits[peer / kPeerSetBits] &= ~(1u << (peer % kPeerSetBits));
}

std::string mapped_name(const char *name)
{
    char buf[VN_MAP_BUFFER_BYTES];
    return _vn_map_name(name, buf);
}

// Records the store makes are named through vn_init_data, which maps; the
// entry's name is mapped already and must go out as it is.
void set_cached_subject(vn_data_t *data, const std::string &name)
{
    vn_free(data->subject);
    data->subject = vn_strdup(name.c_str());
}

void default_recv_data(cache_t *cache, vn_data_t *data)
{
    if (cache->vncache != nullptr)
        tarvelutil_vncache_update(cache->vncache, data);
}

void default_send_data(cache_t *cache, int peer)
{
    vn_data_t *image = cache->vncache != nullptr ? tarvelutil_vncache_retrieve(cache->vncache) : nullptr;
    if (image != nullptr) {
        set_cached_subject(image, cache->name);
        vn_send_data_to_peer(peer, image);
    }
    if (cache->status_flags != -1)
        _vn_send_status_to_peer_mapped(peer, cache->name.c_str(), static_cast<uint16_t>(cache->status_flags),
                                       cache->status_code, cache->status_msg.c_str());
}

void default_delete_data(cache_t *cache)
{
    if (cache->vncache != nullptr)
        tarvelutil_vncache_delete(cache->vncache);
    cache->vncache = nullptr;
}

void null_recv_data(cache_t *, vn_data_t *) {}
void null_send_data(cache_t *, int) {}
void null_delete_data(cache_t *) {}

cache_t *new_cache(const std::string &name, char active)
{
    cache_t *cache = new cache_t;
    cache->name = name;
    cache->peers = {};
    cache->type = kCacheUntyped;
    cache->vncache = nullptr;
    cache->status_flags = -1;
    cache->status_code = UINT16_MAX;
    cache->active = active;
    cache->ops = &cache_default_ops;
    cache->last_update_time = 0;
    return cache;
}

// The existing entry of a mapped name with its write hold, or null.
cache_t *find_cache(const std::string &name)
{
    return static_cast<cache_t *>(tarvelutil_hashtable_get(cache_hash, name.c_str(), kCacheWrite));
}

// Takes a held entry out of the table; the caller then owns it.
void unlink_cache(cache_t *cache)
{
    tarvelutil_hashtable_remove(cache_hash, cache->name.c_str(), 0);
}

// An entry without an image: still waiting for its first data, or of a
// subject the cache stores nothing for.
bool holds_no_image(const cache_t *cache)
{
    return cache->vncache == nullptr;
}

// An entry with nothing to answer from and nobody who wants the subject
// would only grow the table: requests nobody answers, and subjects the cache
// stores nothing for, must not accumulate.
bool abandoned(const cache_t *cache)
{
    return holds_no_image(cache) && !cache->active && vn_iszero(&cache->peers);
}

// Sends nothing more for a held entry: drops it when abandoned, else lets it go.
void release_or_drop(cache_t *cache)
{
    if (!abandoned(cache)) {
        release_cache(cache);
        return;
    }
    unlink_cache(cache);
    free_cache(cache);
}

// The first data of an entry decides how it is kept.
void settle_type(cache_t *cache, const vn_data_t *data)
{
    cache->type = data->type;
    bool storable = data->type == kPageType || data->type == kRecordType;
    if (!storable || cache_excluded(cache->name)) {
        cache->ops = &cache_null_ops;
        return;
    }
    cache->vncache = tarvelutil_vncache_create_withmode(cache->name.c_str(), VNCACHE_DELTA_NONE);
}

// One subject of a request, as the application's callbacks take it: the
// subject, then the flags slot of the request.
void ask_application(int peer, char *name, char *flags_slot, uint16_t flags)
{
    char *one[2] = {name, flags_slot};
    application_recv_request(peer, 1, one, flags);
}

void request_one(int peer, char *name, char *flags_slot, uint16_t flags)
{
    std::string mapped = mapped_name(name);
    if (application_recv_request == nullptr) {
        // Nobody would answer: an entry would only keep the peer waiting.
        cache_t *cache = find_cache(mapped);
        if (cache == nullptr) {
            vn_send_nodata_to_peer(peer, name, kNoDataNotFound);
            return;
        }
        add_peer(cache->peers, peer);
        if (cache->type != kCacheUntyped)
            cache->ops->send_data(cache, peer);
        release_cache(cache);
        return;
    }
    bool created = false;
    cache_t *cache = get_cache(mapped, 0, &created);
    // The requester is recorded before the application is asked, so that its
    // answer reaches it through the cache's data sender.
    add_peer(cache->peers, peer);
    // An entry still waiting for its first data has had the application
    // asked already; one that stores nothing cannot answer by itself.
    bool untyped = cache->type == kCacheUntyped;
    bool ask = created || (!untyped && holds_no_image(cache));
    if (!ask && !untyped)
        cache->ops->send_data(cache, peer);
    release_cache(cache);
    if (ask)
        ask_application(peer, name, flags_slot, flags);
}

void discard_one(int peer, char *name, uint16_t flags)
{
    cache_t *cache = find_cache(mapped_name(name));
    if (cache == nullptr) {
        if (application_recv_discard != nullptr) {
            char *one[1] = {name};
            application_recv_discard(peer, 1, one, flags);
        }
        return;
    }
    remove_peer(cache->peers, peer);
    release_or_drop(cache);
}

struct PeerDownWalk {
    int peer;
    std::vector<cache_t *> abandoned; // taken out of the table, freed after the walk
};

// A table walk's step for a peer that went down.
int drop_peer_from(void *context, const void *, void *data)
{
    PeerDownWalk *walk = static_cast<PeerDownWalk *>(context);
    cache_t *cache = static_cast<cache_t *>(data);
    remove_peer(cache->peers, walk->peer);
    if (!abandoned(cache))
        return 1;
    walk->abandoned.push_back(cache);
    return 0;
}

} // namespace

tarvelutil_hashtable_t *cache_hash;
std::mutex cache_create_mutex;
std::mutex pattern_mutex;
vn_log_t *cache_log;
recv_request_t application_recv_request;
recv_discard_t application_recv_discard;
recv_peer_status_t application_recv_peer_status;

const cache_ops_t cache_default_ops = {default_recv_data, default_send_data, default_delete_data};
const cache_ops_t cache_null_ops = {null_recv_data, null_send_data, null_delete_data};

cache_t *get_cache(const std::string &name, char active, bool *created)
{
    *created = false;
    for (;;) {
        cache_t *cache = find_cache(name);
        if (cache != nullptr) {
            if (active)
                cache->active = 1;
            return cache;
        }
        std::unique_lock<std::mutex> creating(cache_create_mutex);
        // A look without a hold never waits; an entry found here is waited
        // for outside the creation lock, and may be gone by then.
        if (tarvelutil_hashtable_get(cache_hash, name.c_str(), 0) != nullptr)
            continue;
        cache = new_cache(name, active);
        tarvelutil_hashtable_put(cache_hash, cache->name.c_str(), cache, kCacheWrite);
        *created = true;
        return cache;
    }
}

void release_cache(cache_t *cache)
{
    tarvelutil_hashtable_release(cache_hash, cache->name.c_str(), kCacheWrite);
}

void free_cache(cache_t *cache)
{
    cache->ops->delete_data(cache);
    delete cache;
}

std::vector<int> cache_peer_list(const vn_set_t &peers)
{
    std::vector<int> list;
    for (int word = 0; word < kPeerSetWords; word++)
        for (int bit = 0; bit < kPeerSetBits && (peers.bits[word] >> bit) != 0; bit++)
            if (peers.bits[word] & (1u << bit))
                list.push_back(word * kPeerSetBits + bit);
    return list;
}

void cache_send_data(vn_data_t *data)
{
    if (data == nullptr)
        return;
    if (data->subject == nullptr) {
        vn_free_data(data);
        return;
    }
    bool created = false;
    cache_t *cache = get_cache(data->subject, 0, &created);
    if (cache->type == kCacheUntyped)
        settle_type(cache, data);
    cache->last_update_time = time(nullptr);
    cache->ops->recv_data(cache, data);
    for (int peer : cache_peer_list(cache->peers))
        vn_send_data_to_peer_no_free(peer, data);
    release_or_drop(cache);
    vn_free_data(data);
}

void cache_send_nodata(const char *name, uint16_t flags)
{
    if (name == nullptr)
        return;
    cache_t *cache = find_cache(mapped_name(name));
    if (cache == nullptr)
        return;
    for (int peer : cache_peer_list(cache->peers))
        _vn_send_nodata_to_peer_mapped(peer, cache->name.c_str(), flags);
    unlink_cache(cache);
    free_cache(cache);
}

void cache_send_status(const char *name, uint16_t flags, uint16_t code, const char *message)
{
    if (name == nullptr)
        return;
    cache_t *cache = find_cache(mapped_name(name));
    if (cache == nullptr)
        return;
    cache->status_flags = flags;
    cache->status_code = code;
    cache->status_msg = message != nullptr ? message : "";
    for (int peer : cache_peer_list(cache->peers))
        _vn_send_status_to_peer_mapped(peer, cache->name.c_str(), flags, code, cache->status_msg.c_str());
    release_cache(cache);
}

void cache_recv_request(int peer, int count, char **names, uint16_t flags)
{
    for (int i = 0; i < count; i++)
        request_one(peer, names[i], names[count], flags);
}

void cache_recv_discard(int peer, int count, char **names, uint16_t flags)
{
    for (int i = 0; i < count; i++)
        discard_one(peer, names[i], flags);
}

void cache_recv_peer_status(int peer, int peer_state, int val, void *data)
{
    if (peer_state == kPeerDown) {
        PeerDownWalk walk{peer, {}};
        tarvelutil_hashtable_foreach(cache_hash, drop_peer_from, &walk, kCacheWrite);
        for (cache_t *cache : walk.abandoned)
            free_cache(cache);
    }
    if (application_recv_peer_status != nullptr)
        application_recv_peer_status(peer, peer_state, val, data);
}

extern "C" void vn_cache_add_object(const char *name)
{
    if (!c_cache_objects || cache_hash == nullptr || name == nullptr)
        return;
    bool created = false;
    release_cache(get_cache(mapped_name(name), 1, &created));
}
