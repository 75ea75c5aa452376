// The unlocked hash map that grows by a factor and moves its old buckets
// into the new table a fixed number at a time.
#include "vantrix_private.h"

#include <climits>
#include <cstring>

struct _tarvelutil_hashmap_bucket_list {
    vn_list_t head;
};

namespace {

using bucket_list_t = _tarvelutil_hashmap_bucket_list;

struct bucket_t {
    const void *key;
    void *data;
    vn_list_t list;
};

constexpr int kDefaultSize = 250;

struct _vn_log *library_log;
int fill_factor = 2;
int grow_factor = 2;
int migrate_num = 100;

bucket_t *bucket_of(vn_list_t *link)
{
    return _vn_list_entry(link, bucket_t, list);
}

int default_hash(const void *key)
{
    return vn_hash_code(static_cast<const char *>(key));
}

int default_compare(const void *key1, const void *key2)
{
    return std::strcmp(static_cast<const char *>(key1), static_cast<const char *>(key2));
}

bucket_list_t *new_table(int size)
{
    bucket_list_t *table = static_cast<bucket_list_t *>(vn_malloc(size * sizeof(bucket_list_t)));
    for (int i = 0; i < size; i++)
        _vn_list_init(&table[i].head);
    return table;
}

// A negative hash from a caller's function is folded back into the table
// instead of indexing before it.
bucket_list_t *bucket_in(tarvelutil_hashmap_t *map, bucket_list_t *table, int size, const void *key)
{
    unsigned hash = static_cast<unsigned>(map->hash(key));
    return &table[hash % static_cast<unsigned>(size)];
}

bool migrating(const tarvelutil_hashmap_t *map)
{
    return map->size2 != 0;
}

// Every entry of the current table is newer than every entry of the old one,
// so moved entries go behind them, in their own order, and the newest of
// equal keys is still found first.
void migrate(tarvelutil_hashmap_t *map, int amount)
{
    int end = map->size2 - map->migrated < amount ? map->size2 : map->migrated + amount;
    for (int i = map->migrated; i < end; i++) {
        vn_list_t *head = &map->table2[i].head;
        while (!_vn_list_empty(head)) {
            bucket_t *entry = bucket_of(head->next);
            _vn_list_del(&entry->list);
            _vn_list_add_tail(&bucket_in(map, map->table, map->size, entry->key)->head, &entry->list);
        }
    }
    map->migrated = end;
    if (map->migrated == map->size2) {
        vn_free(map->table2);
        map->table2 = nullptr;
        map->size2 = 0;
        map->migrated = 0;
    }
}

void grow_or_migrate(tarvelutil_hashmap_t *map)
{
    long long grown = static_cast<long long>(map->size) * grow_factor;
    bool full = map->num > static_cast<long long>(fill_factor) * map->size;
    if (!full || grown > INT_MAX) {
        if (migrating(map))
            migrate(map, migrate_num);
        return;
    }
    if (migrating(map))
        migrate(map, map->size2);
    map->table2 = map->table;
    map->size2 = map->size;
    map->size = static_cast<int>(grown);
    map->table = new_table(map->size);
    map->migrated = 0;
    migrate(map, migrate_num);
}

bucket_t *find_in(tarvelutil_hashmap_t *map, bucket_list_t *bucket, const void *key)
{
    for (vn_list_t *link = bucket->head.next; link != &bucket->head; link = link->next) {
        if (map->compare(bucket_of(link)->key, key) == 0)
            return bucket_of(link);
    }
    return nullptr;
}

// The newest equal-keyed entry: the current table first, then the old one.
bucket_t *find(tarvelutil_hashmap_t *map, const void *key)
{
    bucket_t *entry = find_in(map, bucket_in(map, map->table, map->size, key), key);
    if (entry == nullptr && migrating(map))
        entry = find_in(map, bucket_in(map, map->table2, map->size2, key), key);
    return entry;
}

void free_entry(tarvelutil_hashmap_t *map, bucket_t *entry)
{
    _vn_list_del(&entry->list);
    vn_free(entry);
    map->num--;
}

// Walks one bucket, passing every entry, or with `only_key` only those whose
// key equals `key`; returns false when the function asked to stop.
bool walk(tarvelutil_hashmap_t *map, bucket_list_t *bucket, bool only_key, const void *key,
          tarvelutil_container_foreach_func foreach_func, void *context, int *visited)
{
    vn_list_t *link = bucket->head.next;
    while (link != &bucket->head) {
        vn_list_t *next = link->next;
        bucket_t *entry = bucket_of(link);
        if (!only_key || map->compare(entry->key, key) == 0) {
            ++*visited;
            int result = foreach_func != nullptr ? foreach_func(context, entry->key, entry->data) : 1;
            if (result == 0)
                free_entry(map, entry);
            else if (result == -1)
                return false;
        }
        link = next;
    }
    return true;
}

void dealloc_bucket(tarvelutil_hashmap_t *map, bucket_list_t *bucket)
{
    while (!_vn_list_empty(&bucket->head)) {
        bucket_t *entry = bucket_of(bucket->head.next);
        if (map->dealloc != nullptr)
            map->dealloc(map->context, entry->data);
        free_entry(map, entry);
    }
}

} // namespace

extern "C" {

int tarvelutil_hashmap_init(struct _vn_log *log)
{
    library_log = log;
    return 0;
}

void tarvelutil_hashmap_set_fill_factor(int value)
{
    if (value >= 1)
        fill_factor = value;
}

// A factor of 1 would "grow" into a table of the same size on every put.
void tarvelutil_hashmap_set_grow_factor(int value)
{
    if (value >= 2)
        grow_factor = value;
}

void tarvelutil_hashmap_set_migrate_num(int value)
{
    if (value >= 1)
        migrate_num = value;
}

tarvelutil_hashmap_t *tarvelutil_hashmap_create(int size, tarvelutil_container_hash_func hash,
                                                tarvelutil_container_compare_func compare,
                                                tarvelutil_container_delete_func dealloc, void *context, int)
{
    tarvelutil_hashmap_t *map = static_cast<tarvelutil_hashmap_t *>(vn_calloc(1, sizeof(tarvelutil_hashmap_t)));
    map->size = size < 1 ? kDefaultSize : size;
    map->table = new_table(map->size);
    map->context = context;
    map->hash = hash != nullptr ? hash : default_hash;
    map->compare = compare != nullptr ? compare : default_compare;
    map->dealloc = dealloc;
    return map;
}

void tarvelutil_hashmap_put(tarvelutil_hashmap_t *map, const void *key, void *data, int)
{
    bucket_t *entry = static_cast<bucket_t *>(vn_malloc(sizeof(bucket_t)));
    entry->key = key;
    entry->data = data;
    _vn_list_add_head(&bucket_in(map, map->table, map->size, key)->head, &entry->list);
    map->num++;
    grow_or_migrate(map);
}

void *tarvelutil_hashmap_put_unique(tarvelutil_hashmap_t *map, const void *key, void *data, int flags)
{
    bucket_t *entry = find(map, key);
    if (entry == nullptr) {
        tarvelutil_hashmap_put(map, key, data, flags);
        return nullptr;
    }
    void *previous = entry->data;
    entry->key = key;
    entry->data = data;
    return previous;
}

void *tarvelutil_hashmap_get(tarvelutil_hashmap_t *map, const void *key, int)
{
    bucket_t *entry = find(map, key);
    return entry != nullptr ? entry->data : nullptr;
}

void *tarvelutil_hashmap_remove(tarvelutil_hashmap_t *map, const void *key, int)
{
    bucket_t *entry = find(map, key);
    if (entry == nullptr)
        return nullptr;
    void *data = entry->data;
    free_entry(map, entry);
    return data;
}

int tarvelutil_hashmap_foreach(tarvelutil_hashmap_t *map, tarvelutil_container_foreach_func foreach_func,
                               void *context, int)
{
    int visited = 0;
    for (int i = 0; i < map->size; i++) {
        if (!walk(map, &map->table[i], false, nullptr, foreach_func, context, &visited))
            return visited;
    }
    // Only the old buckets not yet moved still hold entries; a removal by
    // the function never moves buckets, so size2 stays put during the walk.
    for (int i = map->migrated; i < map->size2; i++) {
        if (!walk(map, &map->table2[i], false, nullptr, foreach_func, context, &visited))
            return visited;
    }
    return visited;
}

int tarvelutil_hashmap_find_foreach(tarvelutil_hashmap_t *map, const void *key,
                                    tarvelutil_container_foreach_func foreach_func, void *context, int)
{
    int visited = 0;
    if (foreach_func == nullptr)
        return 0;
    if (!walk(map, bucket_in(map, map->table, map->size, key), true, key, foreach_func, context, &visited))
        return visited;
    if (migrating(map))
        walk(map, bucket_in(map, map->table2, map->size2, key), true, key, foreach_func, context, &visited);
    return visited;
}

int tarvelutil_hashmap_get_size(tarvelutil_hashmap_t *map)
{
    return map->num;
}

void tarvelutil_hashmap_delete(tarvelutil_hashmap_t *map)
{
    for (int i = 0; i < map->size; i++)
        dealloc_bucket(map, &map->table[i]);
    for (int i = map->migrated; i < map->size2; i++)
        dealloc_bucket(map, &map->table2[i]);
    vn_free(map->table);
    vn_free(map->table2);
    vn_free(map);
}

void tarvelutil_hashmap_stringtohashmap(char *text, char separator, tarvelutil_hashmap_t *map,
                                        tarvelutil_hashmap_decode_func decode)
{
    if (text == nullptr || map == nullptr)
        return;
    int count = 0;
    char **words = vn_get_words(text, static_cast<int>(std::strlen(text)), &count, separator);
    for (int i = 0; i < count; i++) {
        char *name = words[i];
        char *equals = std::strchr(name, '=');
        if (equals == nullptr)
            continue;
        *equals = '\0';
        char *value = equals + 1;
        if (decode != nullptr) {
            size_t name_len = std::strlen(name) + 1;
            decode(name, name_len, name, name_len);
            size_t value_len = std::strlen(value) + 1;
            decode(value, value_len, value, value_len);
        }
        tarvelutil_hashmap_put(map, name, value, 0);
    }
    vn_free(words);
}

} // extern "C"
