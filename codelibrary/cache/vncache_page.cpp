// The page store of the object image cache: the rows of a page, its page
// fields and, in delta mode, what changed since the last delta.
#include "vantrix_private.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kPageType = 221;
constexpr uint16_t kImageFlag = 0x1000;
constexpr uint16_t kImageFlags = 0x1030;
constexpr uint16_t kDeltaFlags = 0x30;
constexpr int kPageFieldBit = 0xC000;
constexpr int kRowMask = 0x3F; // at most 63 rows
constexpr int kDefaultDepth = 25;
constexpr int kDefaultWidth = 80;
constexpr char kUnchanged = '\0';

struct page_t {
    int depth = kDefaultDepth;
    int width = kDefaultWidth;
    std::string type = "25";
    std::vector<std::string> rows; // depth rows of width characters
    vn_data_t *pagefields = nullptr;
    std::vector<std::string> deltas; // delta mode: one byte per column, kUnchanged or the character written
    vn_data_t *deltafields = nullptr;
};

page_t *page_of(tarvelutil_vncache_t *object)
{
    return static_cast<page_t *>(object->data);
}

bool keeps_delta(const tarvelutil_vncache_t *object)
{
    return object->delta != VNCACHE_DELTA_NONE;
}

const char *text_of(const vn_field_t &field)
{
    return field.value != nullptr ? field.value : "";
}

void page_create(tarvelutil_vncache_t *object)
{
    page_t *page = new page_t;
    page->rows.assign(page->depth, std::string(page->width, ' '));
    page->pagefields = vn_new_datapkt(object->name, kPageType, kDeltaFlags);
    if (keeps_delta(object)) {
        page->deltas.assign(page->depth, std::string(page->width, kUnchanged));
        page->deltafields = vn_new_datapkt(object->name, kPageType, kDeltaFlags);
    }
    object->data = page;
}

// The rows always match depth and width, so row text can never land outside
// a row; a page of a new size is sent whole with the next delta.
void apply_size(tarvelutil_vncache_t *object, page_t *page, const vn_field_t &size)
{
    int cols = (size.fieldnum >> 8) & 0xFF;
    int rows = size.fieldnum & kRowMask;
    page->type = text_of(size);
    if (rows != page->depth || cols != page->width) {
        page->depth = rows;
        page->width = cols;
        page->rows.assign(rows, std::string(cols, ' '));
        if (keeps_delta(object))
            page->deltas.assign(rows, std::string(cols, ' '));
        return;
    }
    for (std::string &row : page->rows)
        row.assign(cols, ' ');
}

void apply_field(tarvelutil_vncache_t *object, page_t *page, const vn_field_t &field)
{
    if (field.fieldnum >= kPageFieldBit) {
        _tarvelutil_cache_update_field(page->pagefields, field.fieldnum, text_of(field));
        if (keeps_delta(object))
            _tarvelutil_cache_update_field(page->deltafields, field.fieldnum, text_of(field));
        return;
    }
    int row = field.fieldnum & 0xFF;
    int col = (field.fieldnum >> 8) & 0xFF;
    if (row >= page->depth || col >= page->width)
        return;
    const char *text = text_of(field);
    size_t count = std::min(std::strlen(text), static_cast<size_t>(page->width - col));
    page->rows[row].replace(col, count, text, count);
    if (keeps_delta(object))
        page->deltas[row].replace(col, count, text, count);
}

void page_update(tarvelutil_vncache_t *object, vn_data_t *data)
{
    page_t *page = page_of(object);
    if (page == nullptr)
        return;
    uint16_t first = 0;
    if (data->flags & kImageFlag) {
        if (data->count == 0)
            return;
        apply_size(object, page, data->fields[0]);
        first = 1;
    }
    for (uint16_t i = first; i < data->count; i++)
        apply_field(object, page, data->fields[i]);
}

void add_fields(vn_data_t *to, const vn_data_t *from)
{
    for (uint16_t i = 0; i < from->count; i++)
        vn_datapkt_add_field(to, from->fields[i].fieldnum, text_of(from->fields[i]));
}

// The subject is stored in the peers' namespace already: no second mapping.
vn_data_t *page_retrieve(tarvelutil_vncache_t *object)
{
    page_t *page = page_of(object);
    if (page == nullptr)
        return nullptr;
    vn_data_t *data = vn_new_datapkt(object->name, kPageType, kImageFlags);
    _vn_page_add_size(data, page->depth, page->width, page->type.c_str());
    for (int i = 0; i < page->depth; i++)
        vn_add_page_row(data, i, 0, page->rows[i].c_str());
    add_fields(data, page->pagefields);
    return data;
}

// Each run of changed columns in a row becomes one row-text field.
void add_changed_runs(vn_data_t *data, int row, std::string &delta)
{
    size_t col = 0;
    while (col < delta.size()) {
        if (delta[col] == kUnchanged) {
            col++;
            continue;
        }
        size_t end = delta.find(kUnchanged, col);
        if (end == std::string::npos)
            end = delta.size();
        vn_add_page_row(data, row, static_cast<int>(col), delta.substr(col, end - col).c_str());
        col = end;
    }
    delta.assign(delta.size(), kUnchanged);
}

vn_data_t *page_get_delta(tarvelutil_vncache_t *object)
{
    page_t *page = page_of(object);
    if (page == nullptr || !keeps_delta(object))
        return nullptr;
    vn_data_t *data = vn_new_datapkt(object->name, kPageType, kDeltaFlags);
    for (int i = 0; i < page->depth; i++)
        add_changed_runs(data, i, page->deltas[i]);
    add_fields(data, page->deltafields);
    vn_free_datapkt(page->deltafields);
    page->deltafields = vn_new_datapkt(object->name, kPageType, kDeltaFlags);
    if (data->count == 0) {
        vn_free_datapkt(data);
        return nullptr;
    }
    return data;
}

void page_delete(tarvelutil_vncache_t *object)
{
    page_t *page = page_of(object);
    if (page == nullptr)
        return;
    vn_free_datapkt(page->pagefields);
    vn_free_datapkt(page->deltafields);
    delete page;
    object->data = nullptr;
}

int page_compare(tarvelutil_vncache_t *expected, tarvelutil_vncache_t *got, char *text, size_t size)
{
    const page_t *want = page_of(expected);
    const page_t *have = page_of(got);
    if (want == nullptr || have == nullptr)
        return want == have ? 0
                            : _tarvelutil_cache_mismatch(
                                  text, size, want == nullptr ? "No expected data supplied" : "No got data supplied");
    if (want->depth != have->depth)
        return _tarvelutil_cache_mismatch(text, size, "Expected depth was %d, we got %d", want->depth, have->depth);
    if (want->width != have->width)
        return _tarvelutil_cache_mismatch(text, size, "Expected width was %d, we got %d", want->width, have->width);
    if (want->type != have->type)
        return _tarvelutil_cache_mismatch(text, size, "Expected type was <%s>, we got <%s>", want->type.c_str(),
                                          have->type.c_str());
    for (int i = 0; i < want->depth; i++) {
        if (want->rows[i] != have->rows[i])
            return _tarvelutil_cache_mismatch(text, size, "Row %d Expected value <%s>, we got <%s>", i,
                                              want->rows[i].c_str(), have->rows[i].c_str());
    }
    return tarvelutil_vncache_compare_vndata(want->pagefields, have->pagefields, text, size);
}

} // namespace

extern "C" const cachefuncs_t _tarvelutil_cache_page_funcs = {page_create,    page_update, page_retrieve,
                                                              page_get_delta, page_delete, page_compare};
