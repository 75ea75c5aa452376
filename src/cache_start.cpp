// The active cache's options, its include and exclude patterns, the purges
// at fixed times of day, and start-up: the senders and callbacks it takes
// over and the requests for configured subjects. Threads and locks: see cache.h.
#include "cache.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <memory>

namespace {

constexpr int kDefaultHashSize = 1024;
constexpr int kPurgePeriod = 1440;
constexpr int kPurgeValues = 3;
constexpr uint16_t kStartupRequestFlags = 4;
constexpr uint16_t kNoDataDeleteObject = 4;
constexpr uint16_t kCacheRecordType = 1;
constexpr int kLevelConfig = 0;
constexpr int kLevelError = 3;
constexpr int kLevelDebug = 7;

struct RegexFree {
    void operator()(regex_t *regex) const
    {
        regfree(regex);
        delete regex;
    }
};
using Regex = std::unique_ptr<regex_t, RegexFree>;

// One add-cache-purge entry.
struct purgecache_t {
    std::string purge_pattern;
    int purge_time;   // minutes past midnight
    int purge_period; // minutes, always a day
    int purge_age;
    Regex purge_regex; // none when the pattern did not compile
    vn_timed_event_t *purge_event;
};

// Options
int c_cache_hash_size = kDefaultHashSize;
char **c_cache_add_object;
int c_cache_add_object_num;
char **c_include_patterns;
int c_include_pattern_num;
char **c_exclude_patterns;
int c_exclude_pattern_num;
std::vector<std::unique_ptr<purgecache_t>> purge_entries;

std::vector<Regex> include_regexes; // compiled and reported, but no decision uses them
std::vector<Regex> exclude_regexes;

// The configured subjects reverse-mapped, with one more slot for the flags,
// as every request delivery has.
std::vector<std::string> c_map_object;
std::vector<char *> startup_request;

Regex compile(const char *pattern)
{
    Regex regex(new regex_t);
    if (pattern == nullptr || regcomp(regex.get(), pattern, REG_EXTENDED | REG_NOSUB) != 0) {
        delete regex.release(); // nothing was compiled, so nothing to free
        return nullptr;
    }
    return regex;
}

bool matches(const regex_t *regex, const std::string &name)
{
    return regexec(regex, name.c_str(), 0, nullptr, 0) == 0;
}

// A decimal integer with digits at its start; false otherwise.
bool leading_number(const char *text, int *value)
{
    char *end = nullptr;
    long number = std::strtol(text, &end, 10);
    if (end == text)
        return false;
    *value = static_cast<int>(std::clamp<long>(number, INT_MIN, INT_MAX));
    return true;
}

void c_add_cache_purge_exec(const char *, int count, char **words)
{
    int purge_time = 0;
    int purge_age = 0;
    if (count != kPurgeValues || !leading_number(words[1], &purge_time) || !leading_number(words[2], &purge_age))
        return;
    auto entry = std::make_unique<purgecache_t>();
    entry->purge_pattern = words[0];
    entry->purge_time = purge_time;
    entry->purge_period = kPurgePeriod;
    entry->purge_age = purge_age;
    entry->purge_event = nullptr;
    purge_entries.push_back(std::move(entry));
}

// The patterns that compile; each one that does not is reported.
std::vector<Regex> compile_patterns(char **patterns, int count, bool include)
{
    std::vector<Regex> compiled;
    for (int i = 0; i < count && patterns != nullptr; i++) {
        const char *pattern = patterns[i] != nullptr ? patterns[i] : "";
        Regex regex = compile(pattern);
        if (regex != nullptr)
            compiled.push_back(std::move(regex));
        else if (include)
            vn_log(cache_log, kLevelConfig, "Invalid inlcude regular expression <%s> configured for caching\n", pattern);
        else
            vn_log(cache_log, kLevelConfig, "Invalid exlcude regular expression <%s> configured for caching\n", pattern);
    }
    return compiled;
}

struct PurgeWalk {
    const purgecache_t *purge;
    time_t oldest; // entries last updated before this go
    std::vector<cache_t *> purged; // taken out of the table, sent to and freed after the walk
};

// A purge walk's step, with the entry's write hold.
int purge_step(void *context, const void *key, void *data)
{
    PurgeWalk *walk = static_cast<PurgeWalk *>(context);
    cache_t *cache = static_cast<cache_t *>(data);
    if (cache == nullptr) {
        vn_log(cache_log, kLevelError, "NULL cache found for object <%s>, no purge\n", static_cast<const char *>(key));
        return 0;
    }
    if (cache->active || cache->last_update_time >= walk->oldest)
        return 1;
    {
        std::lock_guard<std::mutex> patterns(pattern_mutex);
        if (!matches(walk->purge->purge_regex.get(), cache->name))
            return 1;
    }
    walk->purged.push_back(cache);
    return 0;
}

void purge_now(const purgecache_t *purge)
{
    time_t age = static_cast<time_t>(purge->purge_age) * purge->purge_period;
    PurgeWalk walk{purge, time(nullptr) - age, {}};
    tarvelutil_hashtable_foreach(cache_hash, purge_step, &walk, kCacheWrite);
    for (cache_t *cache : walk.purged) {
        vn_log(cache_log, kLevelDebug, "Purging cache for object <%s>\n", cache->name.c_str());
        for (int peer : cache_peer_list(cache->peers))
            _vn_send_nodata_to_peer_mapped(peer, cache->name.c_str(), kNoDataDeleteObject);
        free_cache(cache);
    }
}

int purge_cache(int, int, void *data)
{
    purgecache_t *purge = static_cast<purgecache_t *>(data);
    purge_now(purge);
    return vn_check_periodic_event(purge->purge_period, &purge->purge_event);
}

void start_purges()
{
    for (const std::unique_ptr<purgecache_t> &purge : purge_entries) {
        purge->purge_regex = compile(purge->purge_pattern.c_str());
        if (purge->purge_regex == nullptr) {
            vn_log(cache_log, kLevelConfig, "Invalid regular expression <%s> configured for cache purging\n",
                   purge->purge_pattern.c_str());
            continue;
        }
        if (purge->purge_time >= 0 && purge->purge_age >= 1)
            purge->purge_event =
                vn_add_periodic_event(purge->purge_time, purge->purge_period, 0, purge_cache, 0, purge.get());
    }
}

int cache_request_objects(int, int, void *)
{
    if (application_recv_request != nullptr)
        application_recv_request(-1, static_cast<int>(c_map_object.size()), startup_request.data(),
                                 kStartupRequestFlags);
    return 0;
}

void add_configured_objects()
{
    c_map_object.clear();
    for (int i = 0; i < c_cache_add_object_num && c_cache_add_object != nullptr; i++) {
        if (c_cache_add_object[i] == nullptr)
            continue;
        char buf[VN_MAP_BUFFER_BYTES];
        c_map_object.emplace_back(_vn_map_rev_name(c_cache_add_object[i], buf));
    }
    if (c_map_object.empty())
        return;
    startup_request.clear();
    for (std::string &name : c_map_object) {
        vn_cache_add_object(name.c_str());
        startup_request.push_back(name.data());
    }
    startup_request.push_back(reinterpret_cast<char *>(static_cast<uintptr_t>(kStartupRequestFlags)));
    vn_add_timed_event(0, 0.0, cache_request_objects, 0, nullptr);
}

void take_over(vn_init_t *init)
{
    vn_send_data_func = cache_send_data;
    vn_send_nodata_func = cache_send_nodata;
    vn_send_status_func = cache_send_status;
    application_recv_request = init->recv_request;
    application_recv_discard = init->recv_discard;
    application_recv_peer_status = init->recv_peer_status;
    init->recv_request = cache_recv_request;
    init->recv_discard = cache_recv_discard;
    init->recv_peer_status = cache_recv_peer_status;
}

} // namespace

char c_cache_objects;

bool cache_excluded(const std::string &name)
{
    std::lock_guard<std::mutex> patterns(pattern_mutex);
    for (const Regex &regex : exclude_regexes)
        if (matches(regex.get(), name))
            return true;
    return false;
}

size_t cache_purge_count()
{
    return purge_entries.size();
}

void cache_purge_run(size_t index)
{
    if (index < purge_entries.size() && purge_entries[index]->purge_regex != nullptr)
        purge_now(purge_entries[index].get());
}

extern "C" {

void _vn_cache_config_init(void)
{
    c_cache_hash_size = kDefaultHashSize;
    c_cache_objects = 0;
    purge_entries.clear();
    // The buckets are allocated at once: a size beyond memory would end the process.
    static const int kMinHashSize = 1;
    static const int kMaxHashSize = 1 << 24;
    vn_config_add_bounded_option(0, "cache-hash-size", "!ActiveCache|!Size of Object Cache", VN_CONFIG_INT,
                                 &c_cache_hash_size, &kMinHashSize, &kMaxHashSize);
    vn_config_add_option(0, "cache-objects", "!ActiveCache|!Turn on Active Cache", VN_CONFIG_BOOL, &c_cache_objects);
    vn_config_add_array_option("cache-add-object", "!ActiveCache|!Configure an object to be in the active cache",
                               VN_CONFIG_STRING, &c_cache_add_object, &c_cache_add_object_num);
    vn_config_add_array_option(
        "cache-add-include-pattern",
        "!ActiveCache|!Configure an pattern to match for objects to be included in the active cache",
        VN_CONFIG_STRING, &c_include_patterns, &c_include_pattern_num);
    vn_config_add_array_option(
        "cache-add-exclude-pattern",
        "!ActiveCache|!Configure an pattern to match for objects to be excluded from the active cache",
        VN_CONFIG_STRING, &c_exclude_patterns, &c_exclude_pattern_num);
    vn_config_add_option(0, "add-cache-purge", "!ActiveCache|!Add a purging event", VN_CONFIG_FUNCTION,
                         reinterpret_cast<void *>(c_add_cache_purge_exec));
}

void _vn_cache_init(vn_init_t *init)
{
    if (!c_cache_objects)
        return;
    cache_log = init->log;
    tarvelutil_vncache_init(init->log);
    init->type |= kCacheRecordType;
    take_over(init);
    cache_hash = tarvelutil_hashtable_create(c_cache_hash_size, nullptr, nullptr, nullptr, nullptr, 0);
    add_configured_objects();
    start_purges();
    include_regexes = compile_patterns(c_include_patterns, c_include_pattern_num, true);
    std::vector<Regex> excludes = compile_patterns(c_exclude_patterns, c_exclude_pattern_num, false);
    std::lock_guard<std::mutex> patterns(pattern_mutex);
    exclude_regexes = std::move(excludes);
}

} // extern "C"
