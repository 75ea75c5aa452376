// Permission records: a subject and its keys.
#include "vantrix_private.h"

namespace {

constexpr int kKeyField = 1;

} // namespace

vn_data_t *vn_init_permission(const char *subject, const char *key, uint16_t flags)
{
    vn_data_t *data = vn_init_data(subject, 230, flags);
    if (key != nullptr)
        vn_add_permission_key(data, key);
    return data;
}

void vn_add_permission_key(vn_data_t *data, const char *key)
{
    vn_datapkt_add_field(data, kKeyField, key);
}

void _vn_permission_init(vn_init_t *) {}
