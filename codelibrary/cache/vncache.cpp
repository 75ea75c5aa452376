// The object image cache store: the current image of one object, built from
// the records sent for it, behind a table of operations per object type.
#include "vantrix_private.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr int kUntyped = 200;
constexpr int kPageType = 221;
constexpr int kRecordType = 222;

struct datatype_t {
    int type;
    const cachefuncs_t *funcs;
};

// Filled once by tarvelutil_vncache_init before any object is made.
std::vector<datatype_t> registry;

const cachefuncs_t *funcs_for(int type)
{
    for (const datatype_t &row : registry) {
        if (row.type == type)
            return row.funcs;
    }
    return nullptr;
}

/* The untyped object: it waits for its first record to learn its type. */

void null_create(tarvelutil_vncache_t *) {}

void null_update(tarvelutil_vncache_t *object, vn_data_t *data);

vn_data_t *null_retrieve(tarvelutil_vncache_t *)
{
    return nullptr;
}

vn_data_t *null_get_delta(tarvelutil_vncache_t *)
{
    return nullptr;
}

void null_delete(tarvelutil_vncache_t *) {}

int null_compare(tarvelutil_vncache_t *, tarvelutil_vncache_t *, char *, size_t)
{
    return 0;
}

const cachefuncs_t null_funcs = {null_create, null_update, null_retrieve, null_get_delta, null_delete, null_compare};

void null_update(tarvelutil_vncache_t *object, vn_data_t *data)
{
    object->type = data->type;
    const cachefuncs_t *funcs = funcs_for(data->type);
    // A type without a store of its own (the untyped one too) keeps the null
    // table: the object then holds and answers nothing, and never recurses here.
    if (funcs == nullptr || funcs == &null_funcs)
        return;
    object->funcs = funcs;
    funcs->create(object);
    funcs->update(object, data);
}

const char *shown(const char *text)
{
    return text != nullptr ? text : "";
}

bool same_text(const char *left, const char *right)
{
    return std::strcmp(shown(left), shown(right)) == 0;
}

// The checks every record comparison starts with; -1 when they all pass.
int compare_heads(const vn_data_t *expected, const vn_data_t *got, char *text, size_t size)
{
    if (expected == nullptr)
        return _tarvelutil_cache_mismatch(text, size, "No expected data supplied");
    if (got == nullptr)
        return _tarvelutil_cache_mismatch(text, size, "No got data supplied");
    if (!same_text(got->subject, expected->subject))
        return _tarvelutil_cache_mismatch(text, size, "Got name <%s> expected <%s>", shown(got->subject),
                                          shown(expected->subject));
    if (got->type != expected->type)
        return _tarvelutil_cache_mismatch(text, size, "Got type %d expected %d", got->type, expected->type);
    return -1;
}

const vn_field_t *first_field(const vn_data_t *data, int fieldnum)
{
    for (uint16_t i = 0; i < data->count; i++) {
        if (data->fields[i].fieldnum == fieldnum)
            return &data->fields[i];
    }
    return nullptr;
}

int compare_unordered(const vn_data_t *expected, const vn_data_t *got, char *text, size_t size, bool check_count)
{
    int result = compare_heads(expected, got, text, size);
    if (result != -1)
        return result;
    if (check_count && got->count != expected->count)
        return _tarvelutil_cache_mismatch(text, size, "Got %d fields expected %d", got->count, expected->count);
    if (expected->flags != 0 && got->flags != expected->flags)
        return _tarvelutil_cache_mismatch(text, size, "Got flags %d expected %d", got->flags, expected->flags);
    for (uint16_t i = 0; i < expected->count; i++) {
        const vn_field_t &want = expected->fields[i];
        const vn_field_t *have = first_field(got, want.fieldnum);
        if (have == nullptr)
            return _tarvelutil_cache_mismatch(text, size, "Expected fieldnum %d not found\n", want.fieldnum);
        if (!same_text(have->value, want.value))
            return _tarvelutil_cache_mismatch(text, size, "Fieldnum %d. Got value <%s> expected <%s>\n", want.fieldnum,
                                              shown(have->value), shown(want.value));
    }
    return 0;
}

} // namespace

/* Registry */

void _tarvelutil_cache_register_funcs(int type, const cachefuncs_t *funcs)
{
    for (datatype_t &row : registry) {
        if (row.type == type) {
            row.funcs = funcs;
            return;
        }
    }
    for (auto row = registry.rbegin(); row != registry.rend(); ++row) {
        if (row->type == 0) {
            *row = {type, funcs};
            return;
        }
    }
    registry.push_back({type, funcs});
}

int tarvelutil_vncache_init(struct _vn_log *)
{
    _tarvelutil_cache_register_funcs(kUntyped, &null_funcs);
    _tarvelutil_cache_register_funcs(kPageType, &_tarvelutil_cache_page_funcs);
    _tarvelutil_cache_register_funcs(kRecordType, &_tarvelutil_cache_record_funcs);
    return 0;
}

/* Objects */

tarvelutil_vncache_t *tarvelutil_vncache_create_withmode(const char *name, tarvelutil_vncache_delta_mode delta)
{
    auto *object = static_cast<tarvelutil_vncache_t *>(vn_calloc(1, sizeof(tarvelutil_vncache_t)));
    object->name = vn_strdup(shown(name));
    object->type = kUntyped;
    object->funcs = &null_funcs;
    object->delta = delta;
    return object;
}

void tarvelutil_vncache_update(tarvelutil_vncache_t *object, vn_data_t *data)
{
    if (object == nullptr || data == nullptr)
        return;
    if (data->type != object->type && object->type != kUntyped)
        return;
    object->funcs->update(object, data);
}

vn_data_t *tarvelutil_vncache_retrieve(tarvelutil_vncache_t *object)
{
    return object != nullptr ? object->funcs->retrieve(object) : nullptr;
}

vn_data_t *tarvelutil_vncache_get_delta(tarvelutil_vncache_t *object)
{
    return object != nullptr ? object->funcs->get_delta(object) : nullptr;
}

void tarvelutil_vncache_delete(tarvelutil_vncache_t *object)
{
    if (object == nullptr)
        return;
    object->funcs->del(object);
    vn_free(object->name);
    vn_free(object);
}

/* Comparisons */

int tarvelutil_vncache_compare(tarvelutil_vncache_t *expected, tarvelutil_vncache_t *got, char *text, size_t size)
{
    if (expected == nullptr)
        return _tarvelutil_cache_mismatch(text, size, "No expected data supplied");
    if (got == nullptr)
        return _tarvelutil_cache_mismatch(text, size, "No got data supplied");
    if (!same_text(expected->name, got->name))
        return _tarvelutil_cache_mismatch(text, size, "Expected to get name <%s> got <%s>\n", expected->name,
                                          got->name);
    if (expected->type != got->type)
        return _tarvelutil_cache_mismatch(text, size, "Expected to get type %d got %d\n", expected->type, got->type);
    return expected->funcs->compare(expected, got, text, size);
}

int tarvelutil_vncache_compare_vndata(const vn_data_t *expected, const vn_data_t *got, char *text, size_t size)
{
    int result = compare_heads(expected, got, text, size);
    if (result != -1)
        return result;
    if (got->count != expected->count)
        return _tarvelutil_cache_mismatch(text, size, "Got %d fields expected %d", got->count, expected->count);
    if (got->flags != expected->flags)
        return _tarvelutil_cache_mismatch(text, size, "Got flags %d expected %d", got->flags, expected->flags);
    for (int i = 0; i < expected->count; i++) {
        const vn_field_t &want = expected->fields[i];
        const vn_field_t &have = got->fields[i];
        if (have.fieldnum != want.fieldnum)
            return _tarvelutil_cache_mismatch(text, size, "Field #%d. Got fieldnum %d expected %d\n", i, have.fieldnum,
                                              want.fieldnum);
        if (!same_text(have.value, want.value))
            return _tarvelutil_cache_mismatch(text, size, "Field #%d. Got value <%s> expected <%s>\n", i,
                                              shown(have.value), shown(want.value));
    }
    return 0;
}

int tarvelutil_vncache_compare_vndata_out_of_order(const vn_data_t *expected, const vn_data_t *got, char *text,
                                                   size_t size)
{
    return compare_unordered(expected, got, text, size, true);
}

int tarvelutil_vncache_compare_vndata_present(const vn_data_t *expected, const vn_data_t *got, char *text, size_t size)
{
    return compare_unordered(expected, got, text, size, false);
}

/* Helpers of the stores */

int _tarvelutil_cache_mismatch(char *text, size_t size, const char *format, ...)
{
    if (text != nullptr && size != 0) {
        va_list args;
        va_start(args, format);
        vsnprintf(text, size, format, args);
        va_end(args);
    }
    return 1;
}

int _tarvelutil_cache_update_field(vn_data_t *data, int fieldnum, const char *value)
{
    for (uint16_t i = 0; i < data->count; i++) {
        vn_field_t &field = data->fields[i];
        if (field.fieldnum != fieldnum)
            continue;
        char *copy = vn_strdup(shown(value));
        vn_free(field.value);
        field.value = copy;
        field.len = static_cast<int32_t>(std::strlen(copy));
        return 1;
    }
    vn_datapkt_add_field(data, fieldnum, shown(value));
    return 0;
}
