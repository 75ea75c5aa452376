// The fixed-size hash table for many threads: a mutex per bucket and a
// read/write hold per entry that callers may keep across calls.
#include "vantrix_private.h"

#include <atomic>
#include <cstdint>
#include <cstring>

namespace {

constexpr int kDefaultSize = 250;

struct _vn_log *library_log;

// Counters wide enough that no number of holds or waiters can wrap them.
// All but `word` change only under the bucket mutex. `word` holds the write
// hold in its low bit and the number of waiters above it, so that the holder
// can give a write hold back without the mutex when nobody waits
// (_tarvelutil_hashtable_release_held): it changes only by atomic operations.
struct rwlock_t {
    uint64_t reading;
    uint64_t word;
    uint64_t read_waits;
    uint64_t write_waits;
};

constexpr uint64_t kWriteBit = 1;
constexpr uint64_t kWaiter = 2;

enum Removed : short { kLive = 0, kRemoving = 1, kAcknowledged = 2 };

struct bucket_t {
    bucket_t *next;
    const void *key;
    void *data;
    rwlock_t rwlock;
    pthread_cond_t condition; // waiters for this entry, with the bucket mutex
    short removed;
    // Entries enter a chain only at its front, so the stamps fall from front
    // to back; a walk that lost its place while waiting finds it again by stamp.
    uint64_t stamp;
    int hash; // the key's full hash, compared before the key itself
};

enum class Hold { kNone, kRead, kWrite };

Hold hold_of(int flags)
{
    if (flags & 1)
        return Hold::kRead;
    if (flags & 2)
        return Hold::kWrite;
    return Hold::kNone;
}

std::atomic_ref<uint64_t> word_of(bucket_t *entry)
{
    return std::atomic_ref<uint64_t>(entry->rwlock.word);
}

bool write_held(bucket_t *entry)
{
    return (word_of(entry).load() & kWriteBit) != 0;
}

bool has_waiters(const bucket_t *entry)
{
    return entry->rwlock.read_waits != 0 || entry->rwlock.write_waits != 0;
}

} // namespace

// Beside the chain, each bucket keeps its entries' full hashes in one array
// (oldest first, so the chain's front is last): a look-up in a long chain
// reads that array instead of following every entry and comparing its key.
struct _tarvelutil_hashtable_bucket_list {
    bucket_t *front;
    pthread_mutex_t mutex;
    uint64_t stamps; // last stamp given to an entry of this chain
    int *hashes;
    bucket_t **entries; // same positions as hashes
    int count;
    int capacity;
};

namespace {

using bucket_list_t = _tarvelutil_hashtable_bucket_list;

// The bucket mutex, held from the first look at the chain to the return.
class BucketLock {
public:
    explicit BucketLock(bucket_list_t *bucket) : bucket_(bucket) { pthread_mutex_lock(&bucket_->mutex); }
    ~BucketLock() { pthread_mutex_unlock(&bucket_->mutex); }
    BucketLock(const BucketLock &) = delete;
    BucketLock &operator=(const BucketLock &) = delete;

private:
    bucket_list_t *bucket_;
};

int default_hash(const void *key)
{
    return vn_hash_code(static_cast<const char *>(key));
}

int default_compare(const void *key1, const void *key2)
{
    return std::strcmp(static_cast<const char *>(key1), static_cast<const char *>(key2));
}

std::atomic_ref<int> num_of(tarvelutil_hashtable_t *table)
{
    return std::atomic_ref<int>(table->num);
}

// A key with its full hash, computed once per operation before any lock.
struct hashed_key_t {
    const void *key;
    int hash;
};

hashed_key_t hashed(tarvelutil_hashtable_t *table, const void *key)
{
    return {key, table->hash(key)};
}

// A negative hash from a caller's function is folded back into the table
// instead of indexing before it.
bucket_list_t *bucket_for(tarvelutil_hashtable_t *table, const hashed_key_t &key)
{
    unsigned hash = static_cast<unsigned>(key.hash);
    unsigned size = static_cast<unsigned>(table->size);
    // The default sizes are powers of two: the same bucket without a division.
    unsigned index = (size & (size - 1)) == 0 ? hash & (size - 1) : hash % size;
    return &table->table[index];
}

bool key_equal(tarvelutil_hashtable_t *table, const bucket_list_t *bucket, int position, const hashed_key_t &key)
{
    // Equal keys hash alike, so only an equal hash needs the key compared.
    return bucket->hashes[position] == key.hash && table->compare(bucket->entries[position]->key, key.key) == 0;
}

// The position of the newest entry with an equal key, or -1.
int find_position(tarvelutil_hashtable_t *table, const bucket_list_t *bucket, const hashed_key_t &key)
{
    for (int position = bucket->count - 1; position >= 0; position--) {
        if (key_equal(table, bucket, position, key))
            return position;
    }
    return -1;
}

bucket_t *find_entry(tarvelutil_hashtable_t *table, bucket_list_t *bucket, const hashed_key_t &key)
{
    int position = find_position(table, bucket, key);
    return position >= 0 ? bucket->entries[position] : nullptr;
}

void index_append(bucket_list_t *bucket, bucket_t *entry)
{
    if (bucket->count == bucket->capacity) {
        int capacity = bucket->capacity > 0 ? bucket->capacity * 2 : 4;
        size_t slots = static_cast<size_t>(capacity);
        bucket->hashes = static_cast<int *>(vn_realloc(bucket->hashes, slots * sizeof(int)));
        bucket->entries = static_cast<bucket_t **>(vn_realloc(bucket->entries, slots * sizeof(bucket_t *)));
        bucket->capacity = capacity;
    }
    bucket->hashes[bucket->count] = entry->hash;
    bucket->entries[bucket->count] = entry;
    bucket->count++;
}

int index_position(const bucket_list_t *bucket, const bucket_t *entry)
{
    int position = bucket->count - 1;
    while (position > 0 && (bucket->hashes[position] != entry->hash || bucket->entries[position] != entry))
        position--;
    return position;
}

// Takes the entry out of the chain and the index; the entry one position
// newer is its predecessor in the chain.
void unlink_entry(bucket_list_t *bucket, const bucket_t *entry)
{
    int position = index_position(bucket, entry);
    if (position == bucket->count - 1)
        bucket->front = entry->next;
    else
        bucket->entries[position + 1]->next = entry->next;
    int after = bucket->count - position - 1;
    std::memmove(bucket->hashes + position, bucket->hashes + position + 1, static_cast<size_t>(after) * sizeof(int));
    std::memmove(bucket->entries + position, bucket->entries + position + 1,
                 static_cast<size_t>(after) * sizeof(bucket_t *));
    bucket->count--;
}

// The first entry after a stamp's position that is still in the chain.
bucket_t *first_older(bucket_list_t *bucket, uint64_t stamp)
{
    bucket_t *entry = bucket->front;
    while (entry != nullptr && entry->stamp >= stamp)
        entry = entry->next;
    return entry;
}

// Called by a waiter that found its entry removed; it must not touch the
// entry afterwards, since the remover frees it once the last waiter is gone.
void acknowledge(bucket_t *entry)
{
    if (!has_waiters(entry)) {
        entry->removed = kAcknowledged;
        pthread_cond_broadcast(&entry->condition);
    }
}

// Counts the caller, with the bucket mutex held, among the entry's waiters
// while the hold it needs is still taken; false when it is free, a write
// hold given back without the mutex having just cleared. Counting and that
// give-back are one atomic step each, so neither misses the other.
bool enlist(bucket_t *entry, bool read)
{
    std::atomic_ref<uint64_t> word = word_of(entry);
    uint64_t seen = word.load();
    for (;;) {
        bool taken = (seen & kWriteBit) != 0 || (!read && entry->rwlock.reading != 0);
        if (!taken)
            return false;
        if (word.compare_exchange_weak(seen, seen + kWaiter))
            return true;
    }
}

// Takes the hold with the bucket mutex held; false when the entry was
// removed while waiting (the removal is then acknowledged). `waited` tells
// whether the mutex was given up meanwhile, so the chain may have changed.
bool wait_for_hold(bucket_list_t *bucket, bucket_t *entry, Hold hold, bool *waited = nullptr)
{
    if (hold == Hold::kNone)
        return true;
    bool read = hold == Hold::kRead;
    uint64_t &waits = read ? entry->rwlock.read_waits : entry->rwlock.write_waits;
    while (enlist(entry, read)) {
        if (waited != nullptr)
            *waited = true;
        waits++;
        pthread_cond_wait(&entry->condition, &bucket->mutex);
        waits--;
        word_of(entry).fetch_sub(kWaiter);
        if (entry->removed != kLive) {
            acknowledge(entry);
            return false;
        }
    }
    if (read)
        entry->rwlock.reading++;
    else // free, so only holders of the mutex change the word now: a plain store
        word_of(entry).store(word_of(entry).load(std::memory_order_relaxed) | kWriteBit, std::memory_order_release);
    return true;
}

// The newest equal-keyed entry with the hold taken; null when there is none
// or it was removed while waiting.
bucket_t *held_entry(tarvelutil_hashtable_t *table, bucket_list_t *bucket, const hashed_key_t &key, Hold hold)
{
    bucket_t *entry = find_entry(table, bucket, key);
    if (entry == nullptr || !wait_for_hold(bucket, entry, hold))
        return nullptr;
    return entry;
}

void give_back(bucket_t *entry, Hold hold)
{
    if (hold == Hold::kRead && entry->rwlock.reading > 0) {
        if (--entry->rwlock.reading == 0 && entry->rwlock.write_waits != 0)
            pthread_cond_signal(&entry->condition);
    } else if (hold == Hold::kWrite && write_held(entry)) {
        word_of(entry).fetch_and(~kWriteBit);
        if (has_waiters(entry))
            pthread_cond_broadcast(&entry->condition);
    }
}

bucket_t *new_entry(const hashed_key_t &key, void *data)
{
    bucket_t *entry = static_cast<bucket_t *>(vn_calloc(1, sizeof(bucket_t)));
    entry->key = key.key;
    entry->hash = key.hash;
    entry->data = data;
    return entry;
}

// Links a filled entry at the front of its chain, with its hold per flags.
void link_entry(tarvelutil_hashtable_t *table, bucket_list_t *bucket, bucket_t *entry, Hold hold)
{
    pthread_cond_init(&entry->condition, nullptr);
    entry->rwlock.reading = hold == Hold::kRead ? 1 : 0;
    word_of(entry).store(hold == Hold::kWrite ? kWriteBit : 0, std::memory_order_release);
    entry->stamp = ++bucket->stamps;
    entry->next = bucket->front;
    bucket->front = entry;
    index_append(bucket, entry);
    num_of(table).fetch_add(1);
}

// Unlinks the entry, waits until every waiter has let go of it, and frees it;
// returns whether the bucket mutex was released meanwhile.
bool unlink_and_free(tarvelutil_hashtable_t *table, bucket_list_t *bucket, bucket_t *entry)
{
    entry->removed = kRemoving;
    unlink_entry(bucket, entry);
    bool waited = has_waiters(entry);
    if (waited) {
        pthread_cond_broadcast(&entry->condition);
        while (entry->removed == kRemoving)
            pthread_cond_wait(&entry->condition, &bucket->mutex);
    }
    pthread_cond_destroy(&entry->condition);
    vn_free(entry);
    num_of(table).fetch_sub(1);
    return waited;
}

// Visits one entry for foreach; returns the next entry to visit, or sets
// `stop` when the callback asked to end the walk.
bucket_t *visit(tarvelutil_hashtable_t *table, bucket_list_t *bucket, bucket_t *entry,
                tarvelutil_container_foreach_func foreach_func, void *context, Hold hold, bool *stop)
{
    uint64_t stamp = entry->stamp;
    bool waited = false;
    if (!wait_for_hold(bucket, entry, hold, &waited))
        return first_older(bucket, stamp);
    int result = foreach_func(context, entry->key, entry->data);
    bucket_t *next = entry->next;
    if (result == 0)
        waited |= unlink_and_free(table, bucket, entry);
    else
        give_back(entry, hold);
    if (result == -1)
        *stop = true;
    // Without a wait the chain cannot have changed under us.
    return waited ? first_older(bucket, stamp) : next;
}

} // namespace

extern "C" {

int tarvelutil_hashtable_init(struct _vn_log *log)
{
    library_log = log;
    return 0;
}

tarvelutil_hashtable_t *tarvelutil_hashtable_create(int size, tarvelutil_container_hash_func hash,
                                                    tarvelutil_container_compare_func compare,
                                                    tarvelutil_container_delete_func dealloc, void *context,
                                                    int flags)
{
    tarvelutil_hashtable_t *table = static_cast<tarvelutil_hashtable_t *>(vn_calloc(1, sizeof(tarvelutil_hashtable_t)));
    table->size = size < 1 ? kDefaultSize : size;
    table->table = static_cast<bucket_list_t *>(vn_calloc(table->size, sizeof(bucket_list_t)));
    for (int i = 0; i < table->size; i++)
        pthread_mutex_init(&table->table[i].mutex, nullptr);
    table->context = context;
    table->flags = flags;
    table->hash = hash != nullptr ? hash : default_hash;
    table->compare = compare != nullptr ? compare : default_compare;
    table->dealloc = dealloc;
    return table;
}

void tarvelutil_hashtable_put(tarvelutil_hashtable_t *table, const void *key, void *data, int flags)
{
    _tarvelutil_hashtable_put_hashed(table, key, table->hash(key), data, flags, nullptr);
}

void *tarvelutil_hashtable_put_unique(tarvelutil_hashtable_t *table, const void *key, void *data, int flags)
{
    Hold hold = hold_of(flags);
    hashed_key_t hashed_key = hashed(table, key);
    bucket_list_t *bucket = bucket_for(table, hashed_key);
    BucketLock lock(bucket);
    for (;;) {
        bucket_t *entry = find_entry(table, bucket, hashed_key);
        if (entry == nullptr) {
            link_entry(table, bucket, new_entry(hashed_key, data), hold);
            return nullptr;
        }
        if (!wait_for_hold(bucket, entry, hold))
            continue; // removed while we waited: look again
        void *previous = entry->data;
        entry->key = key;
        entry->data = data;
        return previous;
    }
}

void *tarvelutil_hashtable_get(tarvelutil_hashtable_t *table, const void *key, int flags)
{
    return _tarvelutil_hashtable_get_hashed(table, key, table->hash(key), flags);
}

void tarvelutil_hashtable_release(tarvelutil_hashtable_t *table, const void *key, int flags)
{
    Hold hold = hold_of(flags);
    if (hold == Hold::kNone)
        return;
    hashed_key_t hashed_key = hashed(table, key);
    bucket_list_t *bucket = bucket_for(table, hashed_key);
    BucketLock lock(bucket);
    for (int position = 0; position < bucket->count; position++) {
        if (key_equal(table, bucket, position, hashed_key))
            give_back(bucket->entries[position], hold);
    }
}

void *tarvelutil_hashtable_remove(tarvelutil_hashtable_t *table, const void *key, int flags)
{
    hashed_key_t hashed_key = hashed(table, key);
    bucket_list_t *bucket = bucket_for(table, hashed_key);
    BucketLock lock(bucket);
    bucket_t *entry = held_entry(table, bucket, hashed_key, hold_of(flags));
    if (entry == nullptr)
        return nullptr;
    void *data = entry->data;
    unlink_and_free(table, bucket, entry);
    return data;
}

int tarvelutil_hashtable_foreach(tarvelutil_hashtable_t *table, tarvelutil_container_foreach_func foreach_func,
                                 void *context, int flags)
{
    Hold hold = hold_of(flags);
    int visited = 0;
    bool stop = false;
    for (int i = 0; i < table->size && !stop; i++) {
        bucket_list_t *bucket = &table->table[i];
        BucketLock lock(bucket);
        bucket_t *entry = bucket->front;
        while (entry != nullptr && !stop) {
            visited++;
            if (foreach_func == nullptr)
                entry = entry->next;
            else
                entry = visit(table, bucket, entry, foreach_func, context, hold, &stop);
        }
    }
    return visited;
}

int tarvelutil_hashtable_get_size(tarvelutil_hashtable_t *table)
{
    return num_of(table).load();
}

void tarvelutil_hashtable_delete(tarvelutil_hashtable_t *table)
{
    for (int i = 0; i < table->size; i++) {
        bucket_list_t *bucket = &table->table[i];
        while (bucket_t *entry = bucket->front) {
            bucket->front = entry->next;
            if (table->dealloc != nullptr)
                table->dealloc(table->context, entry->data);
            pthread_cond_destroy(&entry->condition);
            vn_free(entry);
        }
        vn_free(bucket->hashes);
        vn_free(bucket->entries);
        pthread_mutex_destroy(&bucket->mutex);
    }
    vn_free(table->table);
    vn_free(table);
}

int _tarvelutil_hashtable_hash(tarvelutil_hashtable_t *table, const void *key)
{
    return table->hash(key);
}

void _tarvelutil_hashtable_put_hashed(tarvelutil_hashtable_t *table, const void *key, int hash, void *data, int flags,
                                      void **held)
{
    hashed_key_t hashed_key{key, hash};
    bucket_t *entry = new_entry(hashed_key, data);
    bucket_list_t *bucket = bucket_for(table, hashed_key);
    BucketLock lock(bucket);
    link_entry(table, bucket, entry, hold_of(flags));
    if (held != nullptr)
        *held = entry;
}

void *_tarvelutil_hashtable_get_hashed(tarvelutil_hashtable_t *table, const void *key, int hash, int flags)
{
    hashed_key_t hashed_key{key, hash};
    bucket_list_t *bucket = bucket_for(table, hashed_key);
    BucketLock lock(bucket);
    bucket_t *entry = held_entry(table, bucket, hashed_key, hold_of(flags));
    return entry != nullptr ? entry->data : nullptr;
}

void _tarvelutil_hashtable_prefetch(tarvelutil_hashtable_t *table, int hash)
{
    const bucket_list_t *bucket = bucket_for(table, hashed_key_t{nullptr, hash});
    __builtin_prefetch(bucket, 1);
    __builtin_prefetch(reinterpret_cast<const char *>(bucket + 1) - 1, 1);
}

void _tarvelutil_hashtable_release_held(tarvelutil_hashtable_t *table, void *held, int flags)
{
    Hold hold = hold_of(flags);
    bucket_t *entry = static_cast<bucket_t *>(held);
    if (hold == Hold::kNone || entry == nullptr)
        return;
    // Without waiters nobody needs the mutex to learn the hold is gone.
    uint64_t alone = kWriteBit;
    if (hold == Hold::kWrite && word_of(entry).compare_exchange_strong(alone, 0))
        return;
    // The hash is fixed; the key may be replaced by a put_unique beside a read hold.
    bucket_list_t *bucket = bucket_for(table, hashed_key_t{nullptr, entry->hash});
    BucketLock lock(bucket);
    give_back(entry, hold);
}

} // extern "C"
