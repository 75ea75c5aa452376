// Reads a data record's fields back as (number, value) pairs, for comparing
// what a builder or store made with what a test expects; and a field table
// for the builders that read it.
#ifndef VANTRIX_TEST_RECORD_FIELDS_H
#define VANTRIX_TEST_RECORD_FIELDS_H

#include "vantrix_private.h"

#include <string>
#include <utility>
#include <vector>

namespace vntest {

using Fields = std::vector<std::pair<int, std::string>>;

inline Fields fields_of(const vn_data_t *data)
{
    Fields out;
    for (uint16_t i = 0; data != nullptr && i < data->count; i++)
        out.emplace_back(data->fields[i].fieldnum, data->fields[i].value);
    return out;
}

// Frees the record when the test ends, failed assertions included.
struct Record {
    vn_data_t *data;
    explicit Record(vn_data_t *made) : data(made) {}
    ~Record() { vn_free_data(data); }
    Record(const Record &) = delete;
    Record &operator=(const Record &) = delete;
    vn_data_t *operator->() const { return data; }
    Fields fields() const { return fields_of(data); }
};

// A fresh field table, filled by `add` and then given its formats as at start-up.
template <class Add> void start_fields(Add add)
{
    vn_config_set_ctx(vn_config_new_ctx());
    _vn_fields_config_init();
    add();
    vn_init_t init{};
    _vn_fields_init(&init);
}

} // namespace vntest

#endif
