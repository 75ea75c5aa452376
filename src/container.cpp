// Container records: lists of member subjects, changed by field number.
#include "vantrix_private.h"

namespace {

// What a container field does to its member.
constexpr int kAddSymbol = 1;
constexpr int kRemoveSymbol = 2;
constexpr int kAddAndRequestSymbol = 3;
constexpr int kCleardownPrefix = 4;
constexpr uint16_t kPositionField = 1;

} // namespace

vn_data_t *vn_init_container(const char *subject, uint16_t flags)
{
    return vn_init_data(subject, 228, flags);
}

void vn_add_container_symbol(vn_data_t *data, const char *symbol)
{
    vn_datapkt_add_field(data, kAddSymbol, symbol);
}

void vn_add_container_symbol_and_request(vn_data_t *data, const char *symbol, int request)
{
    vn_datapkt_add_field(data, request != 0 ? kAddAndRequestSymbol : kAddSymbol, symbol);
}

void vn_remove_container_symbol(vn_data_t *data, const char *symbol)
{
    vn_datapkt_add_field(data, kRemoveSymbol, symbol);
}

void vn_cleardown_container_with_prefix(vn_data_t *data, const char *prefix)
{
    vn_datapkt_add_field(data, kCleardownPrefix, prefix);
}

void vn_add_container_symbol_at_position(vn_data_t *data, int position, const char *symbol)
{
    vn_datapkt_add_field_with_flags(data, position, symbol, kPositionField);
}

void _vn_container_init(vn_init_t *) {}
