// Page records: a grid of text rows addressed by row and column, plus named
// page fields.
#include "vantrix_private.h"

namespace {

constexpr uint16_t kImageFlag = 0x1000;
constexpr int kPageFieldBit = 0xC000;
constexpr int kColumnShift = 8;
// The page type of the classic 14 x 64 page, and of every other size.
constexpr int kClassicRows = 14;
constexpr int kClassicCols = 64;

} // namespace

void _vn_page_add_size(vn_data_t *data, int rows, int cols, const char *type)
{
    if (type == nullptr)
        type = rows == kClassicRows && cols == kClassicCols ? "218" : "25";
    vn_datapkt_add_field(data, (cols << kColumnShift) + rows, type);
}

vn_data_t *vn_init_page(const char *subject, int rows, int cols, const char *type, uint16_t flags)
{
    vn_data_t *data = vn_init_data(subject, 221, flags);
    if (flags & kImageFlag)
        _vn_page_add_size(data, rows, cols, type);
    return data;
}

void vn_add_page_row(vn_data_t *data, int row, int col, const char *text)
{
    vn_datapkt_add_field(data, (col << kColumnShift) | row, text);
}

void vn_add_page_field(vn_data_t *data, int fieldnum, const char *text)
{
    vn_datapkt_add_field(data, fieldnum | kPageFieldBit, text);
}

void _vn_page_config_init(void) {}

void vn_add_page_field_by_name(vn_data_t *data, const char *name, const char *text)
{
    int fieldnum = vn_fields_numbyname(name);
    if (fieldnum != INT_MIN)
        vn_add_page_field(data, fieldnum, text);
}
