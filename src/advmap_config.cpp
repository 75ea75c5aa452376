// Data services: the options, the start-up that turns configured services,
// source groups and priorities into routing records (or builds the default
// service), the service lookup by pattern and the application's queries.
#include "advmap.h"

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

advmap_t *advmap = nullptr;
int advmap_num = 0;
double c_service_request_timeout = 10.0;
double c_source_request_timeout = -1.0;
double c_cleanup_stale_timeout = -1.0;
int c_broadcast_cleanup_period = 1440;
int c_broadcast_cleanup_age = -1;
vn_log_t *advmap_log = nullptr;

namespace {

constexpr double kDefaultRetryTime = 30.0;
constexpr double kMinRetryTime = 1.0;
constexpr int kDuplicateMapBuckets = 10;

int c_default_obj_hash_size = 16384;
int c_broadcast_cleanup_time = -1;

bool running = false;

// Templates of new records; a service starts DOWN, so that a process
// without peers (where start-up stops early) reports it so.
advmap_t service_template = [] {
    advmap_t map{};
    map.service_type = kServiceActive | kServiceBroadcast;
    map.request_timeout = -1.0;
    map.discard_timeout = -1.0;
    map.state = kServiceDown;
    return map;
}();

srcgroup_t group_template = [] {
    srcgroup_t group{};
    group.retry_time = kDefaultRetryTime;
    return group;
}();

priority_t priority_template{};

const vn_config_enum_t service_type_enums[] = {
    {"active", kServiceActive, nullptr},
    {"broadcast", kServiceBroadcast, nullptr},
    {nullptr, 0, nullptr},
};

const vn_config_enum_t required_state_enums[] = {
    {"down", 0, nullptr}, {"optional", 0, nullptr}, {"limited", 1, nullptr},
    {"ok", 2, nullptr},   {"up", 2, nullptr},       {nullptr, 0, nullptr},
};

void *field(size_t offset)
{
    return reinterpret_cast<void *>(offset);
}

int *count_field(size_t offset)
{
    return reinterpret_cast<int *>(offset);
}

void add_pattern(advmap_t *map, const char *object_pattern, char exclude)
{
    map->patterns = static_cast<pattern_t *>(
        vn_realloc(map->patterns, sizeof(pattern_t) * static_cast<size_t>(map->patterns_num + 1)));
    pattern_t &entry = map->patterns[map->patterns_num++];
    entry = pattern_t{};
    entry.pattern = vn_strdup(object_pattern);
    entry.exclude = exclude;
}

// include-pattern and exclude-pattern share one ordered list of the service
// being configured, the last one added.
void c_add_pattern(const char *cmd, int num, char **values)
{
    if (advmap_num == 0)
        return;
    char exclude = std::strcmp(cmd, "exclude-pattern") == 0 ? 1 : 0;
    for (int i = 0; i < num; i++)
        add_pattern(&advmap[advmap_num - 1], values[i], exclude);
}

void register_priority_group()
{
    vn_config_add_group("add-priority", "!DataServices|!Start a priority group", field(offsetof(srcgroup_t, priorities)),
                        &priority_template, sizeof(priority_t), count_field(offsetof(srcgroup_t, num_priorities)));
    vn_config_add_array_option("label", "Peer labels", VN_CONFIG_STRING, field(offsetof(priority_t, labels)),
                               count_field(offsetof(priority_t, num_labels)));
    vn_config_end_group("end-priority", "End a priority");
}

void register_source_group()
{
    static const double min_retry = kMinRetryTime;
    vn_config_add_group("add-source-group", "!DataServices|!Add a source group", field(offsetof(advmap_t, groups)),
                        &group_template, sizeof(srcgroup_t), count_field(offsetof(advmap_t, groups_num)));
    vn_config_add_option(0, "required", "Whether this source group is required", VN_CONFIG_BOOL,
                         field(offsetof(srcgroup_t, required)));
    vn_config_add_bounded_option(0, "retry-time", "Time to retry when we've looped through all priorities",
                                 VN_CONFIG_DOUBLE, field(offsetof(srcgroup_t, retry_time)), &min_retry, nullptr);
    register_priority_group();
    vn_config_end_group("end-source-group", "End a source group");
}

void register_service_group()
{
    vn_config_add_group("add-data-service", "!DataServices|!Add a service group", &advmap, &service_template,
                        sizeof(advmap_t), &advmap_num);
    vn_config_add_option(0, "service-name", "Name of the service group", VN_CONFIG_STRING,
                         field(offsetof(advmap_t, service_name)));
    vn_config_add_option_enum(0, "service-type", "Type of the service group", VN_CONFIG_INT,
                              field(offsetof(advmap_t, service_type)), service_type_enums);
    vn_config_add_option(0, "request-timeout", "Timeout for all requests for this service", VN_CONFIG_DOUBLE,
                         field(offsetof(advmap_t, request_timeout)));
    vn_config_add_option(0, "discard-timeout", "Timeout for all discards for this service", VN_CONFIG_DOUBLE,
                         field(offsetof(advmap_t, discard_timeout)));
    vn_config_add_option(0, "exclude-pattern", "Patterns to exclude", VN_CONFIG_FUNCTION,
                         reinterpret_cast<void *>(c_add_pattern));
    vn_config_add_option(0, "include-pattern", "Patterns to include", VN_CONFIG_FUNCTION,
                         reinterpret_cast<void *>(c_add_pattern));
    vn_config_add_option_enum(0, "required-state", "Required state for this service", VN_CONFIG_INT,
                              field(offsetof(advmap_t, required_state)), required_state_enums);
    vn_config_add_option(0, "cache-contrib", "Whether contrib symbols from this group are cached", VN_CONFIG_BOOL,
                         field(offsetof(advmap_t, cache_contrib)));
    register_source_group();
    vn_config_end_group("end-data-service", "End a data service");
}

void config_log(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Configuration problems of a service: level 0, copied to standard error.
void config_log(const char *format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    vn_log(advmap_log, kAdvmapLevelConfig | kAdvmapToStderr, "%s", text);
}

// With no service configured: "default", taking every subject that starts
// with "/", one optional group per peer in peer-number order.
void make_default_service()
{
    advmap = static_cast<advmap_t *>(vn_calloc(1, sizeof(advmap_t)));
    advmap_num = 1;
    advmap_t *map = &advmap[0];
    *map = service_template;
    map->service_name = vn_strdup("default");
    add_pattern(map, "^/", 0);
    map->groups_num = vn_num_peers;
    map->groups = static_cast<srcgroup_t *>(vn_calloc(static_cast<size_t>(vn_num_peers), sizeof(srcgroup_t)));
    for (int peer = 0; peer < vn_num_peers; peer++) {
        srcgroup_t *group = &map->groups[peer];
        *group = group_template;
        group->num_priorities = 1;
        group->priorities = static_cast<priority_t *>(vn_calloc(1, sizeof(priority_t)));
        group->priorities[0].num_labels = 1;
        group->priorities[0].labels = static_cast<char **>(vn_calloc(1, sizeof(char *)));
        group->priorities[0].labels[0] = vn_strdup(vn_peer_label_byindex(peer));
    }
}

int compile_patterns(advmap_t *map)
{
    int errors = 0;
    for (int i = 0; i < map->patterns_num; i++) {
        pattern_t &entry = map->patterns[i];
        entry.compiled = regcomp(&entry.regex, entry.pattern, REG_EXTENDED) == 0 ? 1 : 0;
        if (!entry.compiled) {
            config_log("Invalid regular expression <%s> in service group <%s>\n", entry.pattern, map->service_name);
            errors++;
        }
    }
    return errors;
}

// Places one label's peer in the service; returns the errors it found.
int place_label(advmap_t *map, int group_index, priority_t *priority, int label_index)
{
    const char *label = priority->labels[label_index];
    int peer = vn_peer_by_label(label);
    if (peer < 0) {
        config_log("Unknown peer label <%s>\n", label);
        return 1;
    }
    if (map->peers_map[peer] != -1) {
        config_log("Label <%s> already seen for service <%s>\n", label, map->service_name);
        return 1;
    }
    srcgroup_t *group = &map->groups[group_index];
    priority->peers[priority->num_peers++] = peer;
    set_add(group->required ? map->required_peers : map->optional_peers, peer);
    set_add(group->group_peers, peer);
    map->peers_map[peer] = group_index;
    double source_timeout = peer_source_timeout(peer);
    if (map->request_timeout > 0 && source_timeout > 0 && source_timeout > map->request_timeout)
        config_log("request-timeout for label <%s> is %f, service <%s> timeout is %f - possible request problems\n",
                   label, source_timeout, map->service_name, map->request_timeout);
    return 0;
}

int resolve_group(advmap_t *map, int group_index)
{
    srcgroup_t *group = &map->groups[group_index];
    group->group_peers = vn_set_t{};
    int errors = 0;
    for (int p = 0; p < group->num_priorities; p++) {
        priority_t *priority = &group->priorities[p];
        size_t slots = static_cast<size_t>(std::max(priority->num_labels, 1));
        priority->peers = static_cast<int *>(vn_calloc(slots, sizeof(int)));
        priority->subscriptions = static_cast<int *>(vn_calloc(slots, sizeof(int)));
        priority->num_peers = 0;
        if (priority->num_labels == 0) {
            config_log("No labels defined for srcgroup %d in service <%s>\n", group_index, map->service_name);
            errors++;
        }
        for (int l = 0; l < priority->num_labels; l++)
            errors += place_label(map, group_index, priority, l);
    }
    return errors;
}

// Completes one service; returns the errors found.
int resolve_service(advmap_t *map)
{
    int errors = compile_patterns(map);
    map->peers_map = static_cast<int *>(vn_malloc(sizeof(int) * static_cast<size_t>(std::max(vn_num_peers, 1))));
    std::fill(map->peers_map, map->peers_map + vn_num_peers, -1);
    map->required_peers = vn_set_t{};
    map->optional_peers = vn_set_t{};
    map->state = kServiceDown;
    if (map->request_timeout < 0)
        map->request_timeout = c_service_request_timeout;
    for (int g = 0; g < map->groups_num; g++)
        errors += resolve_group(map, g);
    _vn_list_init(&map->object_list);
    if (vn_iszero(&map->required_peers) && vn_iszero(&map->optional_peers))
        errors++;
    return errors;
}

void name_monitoring_entries(advmap_t *map)
{
    for (int g = 0; g < map->groups_num; g++) {
        srcgroup_t *group = &map->groups[g];
        group->mon_name = vn_asprintf("%s-%d", map->service_name, g);
        for (int p = 0; p < group->num_priorities; p++) {
            priority_t *priority = &group->priorities[p];
            priority->mon_name = vn_asprintf("%s-%d", group->mon_name, p);
            priority->peer_mon_names =
                static_cast<char **>(vn_calloc(static_cast<size_t>(std::max(priority->num_labels, 1)), sizeof(char *)));
            for (int l = 0; l < priority->num_labels; l++)
                priority->peer_mon_names[l] = vn_asprintf("%s-%s", priority->mon_name, priority->labels[l]);
        }
    }
}

struct startup_result_t {
    int enabled = 0;
    int disabled = 0;
    std::string duplicate; // the first duplicate's message
};

void start_service(int index, tarvelutil_hashmap_t *names, startup_result_t *result)
{
    advmap_t *map = &advmap[index];
    if (map->service_name == nullptr)
        map->service_name = vn_asprintf("Servicegroup%d", index);
    if (tarvelutil_hashmap_get(names, map->service_name, 0) != nullptr) {
        char text[512];
        std::snprintf(text, sizeof text, "Duplicate service name <%s> in srcgroup %d\n", map->service_name, index);
        config_log("%s", text);
        if (result->duplicate.empty())
            result->duplicate = text;
    } else {
        tarvelutil_hashmap_put(names, map->service_name, map, 0);
    }
    int errors = resolve_service(map);
    name_monitoring_entries(map);
    if (errors > 0) {
        config_log("Disabling service <%s> due to previous configuration errors\n", map->service_name);
        map->enabled = 0;
        result->disabled++;
    } else {
        map->enabled = 1;
        result->enabled++;
    }
    map->cleanup_stale_tev = nullptr;
    pthread_rwlock_init(&map->data_lock, nullptr);
    advmap_monitor_service(map);
}

// Ends start-up when no service works or a name was used twice; true when it exits.
bool exit_on_fatal_errors(const startup_result_t &result)
{
    if (result.disabled > 0 && result.enabled == 0) {
        vn_log(advmap_log, kAdvmapLevelConfig, "No correctly configured services, exiting\n");
        _vn_exit_log(1, "No correctly configured services, exiting");
        return true;
    }
    if (!result.duplicate.empty()) {
        std::string text = result.duplicate.substr(0, result.duplicate.size() - 1);
        _vn_exit_log(1, "%s", text.c_str());
        return true;
    }
    return false;
}

bool pattern_matches(const pattern_t &entry, const char *symbol)
{
    return entry.compiled && regexec(&entry.regex, symbol, 0, nullptr, 0) == 0;
}

} // namespace

bool advmap_running()
{
    return running;
}

advmap_t *advmap_find(const char *symbol)
{
    if (symbol == nullptr)
        return nullptr;
    // The patterns are fixed after start-up; the lock keeps matching serial
    // with tracker creation.
    std::lock_guard<std::mutex> hold(create_lock);
    for (int i = 0; i < advmap_num; i++) {
        advmap_t *map = &advmap[i];
        if (!map->enabled)
            continue;
        for (int p = 0; p < map->patterns_num; p++) {
            if (!pattern_matches(map->patterns[p], symbol))
                continue;
            if (!map->patterns[p].exclude)
                return map;
            break;
        }
    }
    return nullptr;
}

int get_peer_group_index(const advmap_t *map, int peer)
{
    if (map == nullptr || map->peers_map == nullptr || peer < 0 || peer >= vn_num_peers)
        return -1;
    return map->peers_map[peer];
}

srcgroup_t *get_peer_group(advmap_t *map, int peer)
{
    int index = get_peer_group_index(map, peer);
    return index < 0 ? nullptr : &map->groups[index];
}

double peer_source_timeout(int peer)
{
    double timeout = _vn_peer_request_timeout(peer);
    return timeout > 0 ? timeout : c_source_request_timeout;
}

extern "C" {

void _vn_advmap_config_init(void)
{
    vn_config_add_option(0, "active-request-timeout", "Use service-request-timeout instead",
                         VN_CONFIG_DOUBLE | VN_CONFIG_DEPRECATED, &c_service_request_timeout);
    vn_config_add_option(0, "service-request-timeout", "!DataServices|!Global request timeout for all services",
                         VN_CONFIG_DOUBLE, &c_service_request_timeout);
    vn_config_add_option(0, "source-request-timeout", "!DataServices|!Global request timeout for all sources",
                         VN_CONFIG_DOUBLE, &c_source_request_timeout);
    register_service_group();
    vn_config_add_option(0, "vantrix-default-obj-hash-size", "!DataServices|!Default Active Object Hash Size",
                         VN_CONFIG_INT, &c_default_obj_hash_size);
    vn_config_add_option(0, "cleanup-stale-timeout",
                         "!DataServices|!Default delay in seconds before cleaning STALE objects from the cache",
                         VN_CONFIG_DOUBLE, &c_cleanup_stale_timeout);
    vn_config_add_option(0, "broadcast-cleanup-time",
                         "!DataServices|!Time in minutes past midnight to clean up broadcast objects", VN_CONFIG_INT,
                         &c_broadcast_cleanup_time);
    vn_config_add_option(0, "broadcast-cleanup-period", "!DataServices|!How often to cleanup broadcast objects",
                         VN_CONFIG_INT, &c_broadcast_cleanup_period);
    vn_config_add_option(0, "broadcast-cleanup-age",
                         "!DataServices|!How old broadcast objects need to be for cleanup", VN_CONFIG_INT,
                         &c_broadcast_cleanup_age);
}

void _vn_advmap_init(vn_init_t *init)
{
    advmap_log = init->log;
    tarvelutil_hashmap_t *names = tarvelutil_hashmap_create(kDuplicateMapBuckets, nullptr, nullptr, nullptr, nullptr, 0);
    if (vn_num_peers <= 0) {
        tarvelutil_hashmap_delete(names);
        return;
    }
    if (advmap_num == 0)
        make_default_service();
    advmap_monitor_templates();
    startup_result_t result;
    for (int i = 0; i < advmap_num; i++)
        start_service(i, names, &result);
    tarvelutil_hashmap_delete(names);
    if (exit_on_fatal_errors(result))
        return;
    advmap_tracker_start(c_default_obj_hash_size);
    running = true;
    if (c_broadcast_cleanup_time >= 1) {
        if (c_broadcast_cleanup_age == -1)
            c_broadcast_cleanup_age = c_broadcast_cleanup_period;
        advmap_start_broadcast_cleanup(c_broadcast_cleanup_time, c_broadcast_cleanup_period);
    }
}

int vn_get_num_services(void)
{
    return advmap_num;
}

int vn_get_service_by_index(int index, const char **name_ptr)
{
    if (index < 0 || index >= advmap_num)
        return -1;
    if (name_ptr != nullptr)
        *name_ptr = advmap[index].service_name;
    return std::atomic_ref<int>(advmap[index].state).load();
}

int vn_required_services_status(char *buf, int buflen)
{
    std::string text;
    for (int i = 0; i < advmap_num; i++) {
        int state = std::atomic_ref<int>(advmap[i].state).load();
        int level = state == kServiceDown ? 0 : state == kServiceLimited ? 1 : 2;
        if (level >= advmap[i].required_state)
            continue;
        if (text.empty())
            text = "The following services are not available: ";
        text += " ";
        text += advmap[i].service_name != nullptr ? advmap[i].service_name : "";
        text += " ";
    }
    if (buf != nullptr && buflen > 0) {
        size_t room = static_cast<size_t>(buflen) - 1;
        size_t take = std::min(room, text.size());
        std::memcpy(buf, text.data(), take);
        buf[take] = '\0';
    }
    return text.empty() ? 1 : 0;
}

double vn_get_service_active_discard_timeout(const char *service)
{
    if (service == nullptr)
        return -1.0;
    for (int i = 0; i < advmap_num; i++) {
        if (advmap[i].service_name != nullptr && std::strcmp(advmap[i].service_name, service) == 0)
            return advmap[i].discard_timeout;
    }
    return -1.0;
}

} // extern "C"
