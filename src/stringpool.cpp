// The string pool: one shared, reference-counted copy of each distinct text.
#include "vantrix_private.h"

#include <mutex>


namespace {

constexpr int kLogCrit = 2;
constexpr int kHoldWrite = 2;

struct shared_string_t {
    char *value; // the pool's own copy, also the entry's key
    int refcount;
};

int c_stringpool_hashtable_size = 100000;
vn_log_t *pool_log;
// Taken only when a text is missing, and always before a bucket mutex, so
// two threads cannot both add the same text.
std::mutex string_create_lock;
std::once_flag pool_made;
tarvelutil_hashtable_t *pool_table;

// The pool is made by start-up; a caller that comes earlier gets it made
// on first use rather than a crash.
tarvelutil_hashtable_t *pool()
{
    std::call_once(pool_made, [] {
        pool_table = tarvelutil_hashtable_create(c_stringpool_hashtable_size, nullptr, nullptr, nullptr, nullptr, 0);
    });
    return pool_table;
}

shared_string_t *find_held(const char *text)
{
    return static_cast<shared_string_t *>(tarvelutil_hashtable_get(pool(), text, kHoldWrite));
}

shared_string_t *find_or_add_held(const char *text)
{
    std::lock_guard<std::mutex> lock(string_create_lock);
    shared_string_t *shared = find_held(text);
    if (shared == nullptr) {
        shared = static_cast<shared_string_t *>(vn_malloc(sizeof(shared_string_t)));
        shared->value = vn_strdup(text);
        shared->refcount = 0;
        tarvelutil_hashtable_put(pool(), shared->value, shared, kHoldWrite);
    }
    return shared;
}

} // namespace

extern "C" {

void _vn_stringpool_config_init(void)
{
    vn_config_add_option(0, "stringpool-hashtable-size", "Size of hashtable for stringpool", VN_CONFIG_INT,
                         &c_stringpool_hashtable_size);
}

void _vn_stringpool_init(vn_init_t *init)
{
    pool_log = init->log;
    pool();
}

char *vn_stringpool_alloc(const char *wanted)
{
    if (wanted == nullptr)
        return nullptr;
    shared_string_t *shared = find_held(wanted);
    if (shared == nullptr)
        shared = find_or_add_held(wanted);
    shared->refcount++;
    char *value = shared->value;
    tarvelutil_hashtable_release(pool(), value, kHoldWrite);
    return value;
}

void vn_stringpool_release(const char *torelease)
{
    if (torelease == nullptr)
        return;
    shared_string_t *shared = find_held(torelease);
    if (shared == nullptr) {
        vn_log(pool_log, kLogCrit, "Stringpool passed unknown string value <%s>\n", torelease);
        return;
    }
    if (shared->value != torelease) {
        vn_log(pool_log, kLogCrit, "Stringpool passed string value <%s>/%p which isn't part of the pool\n",
               torelease, static_cast<const void *>(torelease));
        tarvelutil_hashtable_release(pool(), torelease, kHoldWrite);
        return;
    }
    if (--shared->refcount > 0) {
        tarvelutil_hashtable_release(pool(), torelease, kHoldWrite);
        return;
    }
    // Removed while we hold it: no release follows.
    tarvelutil_hashtable_remove(pool(), torelease, 0);
    vn_free(shared->value);
    vn_free(shared);
}

} // extern "C"

