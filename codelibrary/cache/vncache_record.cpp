// The record store of the object image cache: the latest value of every
// field, and the fields to send with the next delta.
#include "vantrix_private.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

constexpr int kRecordType = 222;
constexpr uint16_t kImageFlag = 0x1000;
constexpr uint16_t kImageFlags = 0x1030;
constexpr uint16_t kDeltaFlags = 0x30;

struct stored_field {
    int fieldnum;
    std::string value;
};

// The first entry whose number is not below the wanted one.
template <class Fields> auto lower_bound(Fields &fields, int fieldnum)
{
    return std::lower_bound(fields.begin(), fields.end(), fieldnum,
                            [](const stored_field &field, int wanted) { return field.fieldnum < wanted; });
}

// Fields in ascending number order, each number once.
class fieldstore {
public:
    const std::string *find(int fieldnum) const
    {
        auto at = lower_bound(fields_, fieldnum);
        return at != fields_.end() && at->fieldnum == fieldnum ? &at->value : nullptr;
    }
    void put(int fieldnum, const char *value)
    {
        auto at = lower_bound(fields_, fieldnum);
        if (at != fields_.end() && at->fieldnum == fieldnum)
            at->value = value;
        else
            fields_.insert(at, {fieldnum, value});
    }
    void add_to(vn_data_t *data) const
    {
        for (const stored_field &field : fields_)
            vn_datapkt_add_field(data, field.fieldnum, field.value.c_str());
    }
    void clear() { fields_.clear(); }

private:
    std::vector<stored_field> fields_;
};

struct record_store {
    fieldstore cache;
    fieldstore delta; // used unless the delta mode is NONE
};

record_store *store_of(tarvelutil_vncache_t *object)
{
    return static_cast<record_store *>(object->data);
}

void record_create(tarvelutil_vncache_t *object)
{
    object->data = new record_store;
}

void record_update(tarvelutil_vncache_t *object, vn_data_t *data)
{
    record_store *store = store_of(object);
    if (store == nullptr)
        return;
    if (data->flags & kImageFlag) {
        store->cache.clear();
        store->delta.clear();
    }
    for (uint16_t i = 0; i < data->count; i++) {
        const vn_field_t &field = data->fields[i];
        const char *value = field.value != nullptr ? field.value : "";
        if (object->delta == VNCACHE_DELTA_FIELDS) {
            store->delta.put(field.fieldnum, value);
        } else if (object->delta == VNCACHE_DELTA_VALUE) {
            const std::string *old = store->cache.find(field.fieldnum);
            if (old == nullptr || *old != value)
                store->delta.put(field.fieldnum, value);
        }
        store->cache.put(field.fieldnum, value);
    }
}

// The subject is stored in the peers' namespace already: no second mapping.
vn_data_t *record_retrieve(tarvelutil_vncache_t *object)
{
    record_store *store = store_of(object);
    if (store == nullptr)
        return nullptr;
    vn_data_t *data = vn_new_datapkt(object->name, kRecordType, kImageFlags);
    store->cache.add_to(data);
    return data;
}

vn_data_t *record_get_delta(tarvelutil_vncache_t *object)
{
    record_store *store = store_of(object);
    if (store == nullptr || object->delta == VNCACHE_DELTA_NONE)
        return nullptr;
    vn_data_t *data = vn_new_datapkt(object->name, kRecordType, kDeltaFlags);
    store->delta.add_to(data);
    store->delta.clear();
    if (data->count == 0) {
        vn_free_datapkt(data);
        return nullptr;
    }
    return data;
}

void record_delete(tarvelutil_vncache_t *object)
{
    delete store_of(object);
    object->data = nullptr;
}

int record_compare(tarvelutil_vncache_t *expected, tarvelutil_vncache_t *got, char *text, size_t size)
{
    vn_data_t *want = record_retrieve(expected);
    vn_data_t *have = record_retrieve(got);
    int result = tarvelutil_vncache_compare_vndata(want, have, text, size);
    vn_free_datapkt(want);
    vn_free_datapkt(have);
    return result;
}

} // namespace

extern "C" const cachefuncs_t _tarvelutil_cache_record_funcs = {record_create,    record_update, record_retrieve,
                                                                record_get_delta, record_delete, record_compare};
