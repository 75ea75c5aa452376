// cache.h: the active cache's private header, shared by its files:
//   cache.cpp        entries, the replaced senders and callbacks
//   cache_start.cpp  options, patterns, purges and start-up
//
// Threads and locks: senders run on any thread, the callbacks where the
// callback layer delivers them. An entry is read and changed only under its
// table entry write hold, and peers are sent to with it held. Entry creation
// is serialised by cache_create_mutex, which is never held while waiting for
// an entry. The compiled patterns are used under pattern_mutex, taken briefly
// with an entry held and never the other way round; nothing else is locked
// under it. Table walks run their callback with a bucket mutex held, so the
// callbacks only decide and unlink: what they take out is sent to and freed
// after the walk.
#ifndef VANTRIX_CACHE_H
#define VANTRIX_CACHE_H

#include "vantrix_private.h"

#include <regex.h>

#include <ctime>
#include <mutex>
#include <string>
#include <vector>

struct cache_t;

// An entry's operations: a default table that keeps an image, and a null one.
struct cache_ops_t {
    void (*recv_data)(cache_t *cache, vn_data_t *data);
    void (*send_data)(cache_t *cache, int peer);
    void (*delete_data)(cache_t *cache);
};

// One cached subject, keyed by its mapped name.
struct cache_t {
    std::string name;
    vn_set_t peers;    // the peers that requested the subject and still want it
    uint16_t type;     // 200 until the first data
    tarvelutil_vncache_t *vncache;
    int32_t status_flags; // -1 while no status was sent
    uint16_t status_code;
    std::string status_msg;
    char active;       // configured with cache-add-object: never purged or dropped
    const cache_ops_t *ops;
    time_t last_update_time;
};

constexpr uint16_t kCacheUntyped = 200;
constexpr int kCacheWrite = 2;

// cache.cpp
extern tarvelutil_hashtable_t *cache_hash;
extern std::mutex cache_create_mutex;
extern std::mutex pattern_mutex;
extern const cache_ops_t cache_default_ops;
extern const cache_ops_t cache_null_ops;
extern vn_log_t *cache_log;
// The application's callbacks the cache stands in front of.
extern recv_request_t application_recv_request;
extern recv_discard_t application_recv_discard;
extern recv_peer_status_t application_recv_peer_status;

// The entry of a mapped name with its write hold, made when missing; a
// missing entry is made with `active`, an existing one made active when
// `active` is 1. *created tells whether it was made here.
cache_t *get_cache(const std::string &name, char active, bool *created);
void release_cache(cache_t *cache);
// Frees an entry that is no longer in the table.
void free_cache(cache_t *cache);
// Each peer of a set in number order.
std::vector<int> cache_peer_list(const vn_set_t &peers);

void cache_send_data(vn_data_t *data);
void cache_send_nodata(const char *name, uint16_t flags);
void cache_send_status(const char *name, uint16_t flags, uint16_t code, const char *message);
void cache_recv_request(int peer, int count, char **names, uint16_t flags);
void cache_recv_discard(int peer, int count, char **names, uint16_t flags);
void cache_recv_peer_status(int peer, int peer_state, int val, void *data);

// cache_start.cpp
extern char c_cache_objects;
// True when an exclude pattern matches the mapped name (takes pattern_mutex).
bool cache_excluded(const std::string &name);
// The add-cache-purge entries, and one purge run now (as its timer runs it).
size_t cache_purge_count();
void cache_purge_run(size_t index);

#endif // VANTRIX_CACHE_H
