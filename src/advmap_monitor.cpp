// Data services on the monitoring model: the templates, one group per
// service, source group, priority and peer entry with their relations, the
// values computed when asked, and the find-dataservice method. Declared on
// the init thread at start-up; the getters run on the monitoring module's
// thread and take the service locks they read under.
#include "advmap.h"

#include <cstring>
#include <string>

namespace {

constexpr size_t kTemplateNameBytes = 2048;

// Never destroyed: peer threads publish states while the process exits.
std::string &mon_dataservices_name = *new std::string;
std::string &mon_dataservice_name = *new std::string;
std::string &mon_group_name = *new std::string;
std::string &mon_priority_name = *new std::string;
std::string &mon_peer_name = *new std::string;
std::string &mon_server_peers_name = *new std::string;

std::string expand(const char *format)
{
    char buffer[kTemplateNameBytes];
    vn_filename_expand(format, buffer, sizeof buffer);
    return buffer;
}

advmap_t *service_named(const char *key)
{
    for (int i = 0; key != nullptr && i < advmap_num; i++) {
        if (advmap[i].service_name != nullptr && std::strcmp(advmap[i].service_name, key) == 0)
            return &advmap[i];
    }
    return nullptr;
}

vn_monitor_t *string_value(const char *property, const char *text)
{
    return vn_monitor_new(property, VN_MONITOR_STRING, 1, text);
}

vn_monitor_t *find_dataservice(const char *, const char *, const char *property, int argc, char **argv)
{
    if (argc != 2)
        return string_value(property, "Invalid arguments");
    advmap_t *map = advmap_find(argv[1]);
    return string_value(property, map != nullptr ? map->service_name : "No Match Found");
}

// Asked for either, publishes the other and returns the one asked for.
vn_monitor_t *mon_return_objects(const char *template_name, const char *key, const char *property)
{
    advmap_t *map = service_named(key);
    if (map == nullptr || !advmap_running())
        return nullptr;
    vn_monitor_t *names = vn_monitor_new_array("objects", VN_MONITOR_STRING);
    uint32_t count = 0;
    pthread_rwlock_rdlock(&map->data_lock);
    for (vn_list_t *link = map->object_list.next; link != &map->object_list; link = link->next, count++)
        vn_monitor_add_data(names, _vn_list_entry(link, object_t, slist)->name);
    pthread_rwlock_unlock(&map->data_lock);
    if (std::strcmp(property, "objects") == 0) {
        vn_monitor_update_ulong(template_name, key, "num-objects", count);
        return names;
    }
    vn_monitor_update(template_name, key, names);
    return vn_monitor_new(property, VN_MONITOR_ULONG, 1, &count);
}

uint32_t subscriptions_of(const priority_t &priority, int index)
{
    return static_cast<uint32_t>(std::atomic_ref<int>(priority.subscriptions[index]).load());
}

vn_monitor_t *mon_return_service_subscription(const char *, const char *key, const char *property)
{
    advmap_t *map = service_named(key);
    if (map == nullptr)
        return nullptr;
    uint32_t sum = 0;
    for (int g = 0; g < map->groups_num; g++) {
        for (int p = 0; p < map->groups[g].num_priorities; p++) {
            const priority_t &priority = map->groups[g].priorities[p];
            for (int i = 0; priority.subscriptions != nullptr && i < priority.num_peers; i++)
                sum += subscriptions_of(priority, i);
        }
    }
    return vn_monitor_new(property, VN_MONITOR_ULONG, 1, &sum);
}

// The position in priority.peers of the peer a label names, or -1.
int peer_index_of_label(const priority_t &priority, int label)
{
    int peer = vn_peer_by_label(priority.labels[label]);
    for (int i = 0; peer >= 0 && i < priority.num_peers; i++) {
        if (priority.peers[i] == peer)
            return i;
    }
    return -1;
}

vn_monitor_t *mon_return_subscription(const char *, const char *key, const char *property)
{
    for (int s = 0; key != nullptr && s < advmap_num; s++) {
        for (int g = 0; g < advmap[s].groups_num; g++) {
            const srcgroup_t &group = advmap[s].groups[g];
            for (int p = 0; p < group.num_priorities; p++) {
                const priority_t &priority = group.priorities[p];
                for (int l = 0; priority.peer_mon_names != nullptr && l < priority.num_labels; l++) {
                    if (std::strcmp(priority.peer_mon_names[l], key) != 0)
                        continue;
                    int index = peer_index_of_label(priority, l);
                    uint32_t count = index >= 0 ? subscriptions_of(priority, index) : 0;
                    return vn_monitor_new(property, VN_MONITOR_ULONG, 1, &count);
                }
            }
        }
    }
    return nullptr;
}

vn_arguments_t find_arguments[] = {
    {VN_MONITOR_STRING, "object-name", "Object name for which to find the matching dataservice", nullptr},
    {0, nullptr, nullptr, nullptr},
};

void *getter(vn_monitor_active_cb cb)
{
    return reinterpret_cast<void *>(cb);
}

void declare_templates()
{
    const char *top = mon_dataservices_name.c_str();
    const char *service = mon_dataservice_name.c_str();
    const char *group = mon_group_name.c_str();
    const char *priority = mon_priority_name.c_str();
    const char *peer = mon_peer_name.c_str();
    const int key = VN_MONITOR_KEY | VN_MONITOR_STRING;
    const int active_count = VN_MONITOR_ACTIVE | VN_MONITOR_ULONG;

    vn_monitor_start_template(top, "Top level dataservices information");
    vn_monitor_add_template_member(top, "find-dataservice", "Return the dataservice that matches a supplied object name",
                                   VN_MONITOR_METHOD | VN_MONITOR_STRING, find_arguments,
                                   reinterpret_cast<void *>(find_dataservice));
    vn_monitor_add_template_relation(top, "dataservices", service, "Dataservice", 0, 1);
    vn_monitor_end_template(top);

    vn_monitor_start_template(service, "Dataservice Information");
    vn_monitor_add_template_member(service, "service-name", "Service Name", key, nullptr, nullptr);
    vn_monitor_add_template_member(service, "service-type", "Service Type", VN_MONITOR_STRING, nullptr, nullptr);
    vn_monitor_add_template_member(service, "service-state", "Service State", VN_MONITOR_STRING, nullptr, nullptr);
    vn_monitor_add_template_member(service, "patterns", "Included", VN_MONITOR_ARRAY | VN_MONITOR_STRING, nullptr,
                                   nullptr);
    vn_monitor_add_template_member(service, "excluded-patterns", "Excluded", VN_MONITOR_ARRAY | VN_MONITOR_STRING,
                                   nullptr, nullptr);
    vn_monitor_add_template_member(service, "objects", "Objects",
                                   VN_MONITOR_ACTIVE | VN_MONITOR_ARRAY | VN_MONITOR_STRING, nullptr,
                                   getter(mon_return_objects));
    vn_monitor_add_template_member(service, "num-objects", "Number of Objects", active_count, nullptr,
                                   getter(mon_return_objects));
    vn_monitor_add_template_member(service, "request-timeout", "Request timeout", VN_MONITOR_DOUBLE, nullptr, nullptr);
    vn_monitor_add_template_member(service, "required-state", "Required State", VN_MONITOR_STRING, nullptr, nullptr);
    vn_monitor_add_template_member(service, "num-subscriptions", "Active Subscriptions", active_count, nullptr,
                                   getter(mon_return_service_subscription));
    vn_monitor_add_template_relation(service, "groups", group, "Source Group", 0, 1);
    vn_monitor_end_template(service);

    vn_monitor_start_template(group, "Dataservice peer group");
    vn_monitor_add_template_member(group, "key", "Primary Key", key, nullptr, nullptr);
    vn_monitor_add_template_member(group, "required", "Required", VN_MONITOR_BOOLEAN, nullptr, nullptr);
    vn_monitor_add_template_member(group, "retry-time", "Retry Time", VN_MONITOR_DOUBLE, nullptr, nullptr);
    vn_monitor_add_template_relation(group, "priority-groups", priority, "Priority Group", 0, 1);
    vn_monitor_end_template(group);

    vn_monitor_start_template(priority, "Dataservice priority group");
    vn_monitor_add_template_member(priority, "key", "Primary key", key, nullptr, nullptr);
    vn_monitor_add_template_relation(priority, "peers", peer, "Peer", 0, 1);
    vn_monitor_end_template(priority);

    vn_monitor_start_template(peer, "Dataservice peer");
    vn_monitor_add_template_member(peer, "key", "Primary key", key, nullptr, nullptr);
    vn_monitor_add_template_member(peer, "num-subscriptions", "Active Subscriptions", active_count, nullptr,
                                   getter(mon_return_subscription));
    vn_monitor_add_template_relation(peer, "peer", mon_server_peers_name.c_str(), "Peer", 1, 0);
    vn_monitor_end_template(peer);
}

const char *service_type_text(int type)
{
    switch (type) {
    case kServiceActive: return "ACTIVE";
    case kServiceBroadcast: return "BROADCAST";
    default: return "Not configured";
    }
}

const char *required_state_text(int required)
{
    switch (required) {
    case 1: return "LIMITED";
    case 2: return "OK";
    default: return "OPTIONAL";
    }
}

void publish_patterns(const advmap_t *map)
{
    vn_monitor_t *included = vn_monitor_new_array("patterns", VN_MONITOR_STRING);
    vn_monitor_t *excluded = vn_monitor_new_array("excluded-patterns", VN_MONITOR_STRING);
    for (int p = 0; p < map->patterns_num; p++)
        vn_monitor_add_data(map->patterns[p].exclude ? excluded : included, map->patterns[p].pattern);
    vn_monitor_update(mon_dataservice_name.c_str(), map->service_name, included);
    vn_monitor_update(mon_dataservice_name.c_str(), map->service_name, excluded);
}

void publish_peer_entry(const priority_t &priority, int label)
{
    const char *entry = priority.peer_mon_names[label];
    std::string description = std::string("Information about peer ") + priority.labels[label];
    vn_monitor_create_group(mon_peer_name.c_str(), entry, entry, description.c_str());
    vn_monitor_update_string(mon_peer_name.c_str(), entry, "key", entry);
    vn_monitor_add_relation(mon_priority_name.c_str(), priority.mon_name, "peers", entry);
    int peer = vn_peer_by_label(priority.labels[label]);
    if (peer >= 0)
        vn_monitor_add_relation(mon_peer_name.c_str(), entry, "peer", std::to_string(peer).c_str());
}

void publish_group(const advmap_t *map, int index)
{
    const srcgroup_t &group = map->groups[index];
    std::string description = "Information about group number " + std::to_string(index);
    vn_monitor_create_group(mon_group_name.c_str(), group.mon_name, group.mon_name, description.c_str());
    vn_monitor_update_string(mon_group_name.c_str(), group.mon_name, "key", group.mon_name);
    vn_monitor_update_boolean(mon_group_name.c_str(), group.mon_name, "required", group.required);
    vn_monitor_update_double(mon_group_name.c_str(), group.mon_name, "retry-time", group.retry_time);
    for (int p = 0; p < group.num_priorities; p++) {
        const priority_t &priority = group.priorities[p];
        std::string priority_description = "Information about priority number " + std::to_string(p);
        vn_monitor_create_group(mon_priority_name.c_str(), priority.mon_name, priority.mon_name,
                                priority_description.c_str());
        vn_monitor_update_string(mon_priority_name.c_str(), priority.mon_name, "key", priority.mon_name);
        for (int l = 0; l < priority.num_labels; l++)
            publish_peer_entry(priority, l);
        vn_monitor_add_relation(mon_group_name.c_str(), group.mon_name, "priority-groups", priority.mon_name);
    }
    vn_monitor_add_relation(mon_dataservice_name.c_str(), map->service_name, "groups", group.mon_name);
}

} // namespace

void advmap_monitor_templates()
{
    mon_dataservices_name = expand("%a.dataservices");
    mon_dataservice_name = expand("%a.dataservices.dataservice");
    mon_group_name = expand("%a.dataservices.group");
    mon_priority_name = expand("%a.dataservices.priority");
    mon_peer_name = expand("%a.dataservices.peer");
    mon_server_peers_name = expand("%a.server.peers");
    declare_templates();
    vn_monitor_create_group(mon_dataservices_name.c_str(), "default", "Dataservices", "Inoformation about dataservices");
}

void mon_set_service_state(const advmap_t *map)
{
    int state = std::atomic_ref<int>(const_cast<advmap_t *>(map)->state).load();
    const char *text = state == kServiceOk ? "OK" : state == kServiceLimited ? "LIMITED" : "DOWN";
    vn_monitor_update_string(mon_dataservice_name.c_str(), map->service_name, "service-state", text);
}

void advmap_monitor_service(advmap_t *map)
{
    const char *tmpl = mon_dataservice_name.c_str();
    const char *key = map->service_name;
    std::string description = std::string("Information about the dataservice ") + key;
    vn_monitor_create_group(tmpl, key, key, description.c_str());
    vn_monitor_update_string(tmpl, key, "service-name", key);
    vn_monitor_update_string(tmpl, key, "service-type", service_type_text(map->service_type));
    mon_set_service_state(map);
    publish_patterns(map);
    vn_monitor_update_double(tmpl, key, "request-timeout", map->request_timeout);
    vn_monitor_update_string(tmpl, key, "required-state", required_state_text(map->required_state));
    for (int g = 0; g < map->groups_num; g++)
        publish_group(map, g);
    vn_monitor_add_relation(mon_dataservices_name.c_str(), "default", "dataservices", key);
}
