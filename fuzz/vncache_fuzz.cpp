// Feeds the cache store's update path with records built from the input, in
// every delta mode, and checks what it gives back: page rows always match the
// page's size, deltas stay inside the page, and an object rebuilt from a
// retrieved image compares equal to the original.
#include "vantrix_private.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr size_t kMaxInput = 1 << 14;
constexpr uint16_t kTypes[] = {221, 222, 228, 200};

// Reads the input front to back; missing bytes read as 0.
struct Input {
    const uint8_t *at;
    size_t left;

    uint8_t byte()
    {
        if (left == 0)
            return 0;
        left--;
        return *at++;
    }
    std::string text(size_t len)
    {
        len = len < left ? len : left;
        std::string out(reinterpret_cast<const char *>(at), len);
        at += len;
        left -= len;
        return out;
    }
};

// A field number from two bytes, steered towards rows, page fields, negative
// and large numbers by the top bits of the length byte.
int field_number(uint16_t bits, uint8_t selector)
{
    switch (selector >> 6) {
    case 0:
        return bits;
    case 1:
        return bits | 0xC000;
    case 2:
        return -static_cast<int>(bits);
    default:
        return bits + 0x10000;
    }
}

vn_data_t *next_record(Input &in)
{
    uint8_t kind = in.byte();
    uint16_t flags = (kind & 4) ? 0x1000 : 0;
    vn_data_t *data = vn_new_datapkt("OBJ", kTypes[kind & 3], flags);
    int count = in.byte() & 0x0F;
    for (int i = 0; i < count && in.left > 0; i++) {
        uint16_t bits = static_cast<uint16_t>(in.byte() << 8);
        bits |= in.byte();
        uint8_t selector = in.byte();
        vn_datapkt_add_field(data, field_number(bits, selector), in.text(selector & 0x3F).c_str());
    }
    return data;
}

void check(bool holds)
{
    if (!holds)
        std::abort();
}

// Every row of an image has the page's width; the rows come in order.
void check_page_image(const vn_data_t *image)
{
    check(image->count >= 1);
    int width = (image->fields[0].fieldnum >> 8) & 0xFF;
    int depth = image->fields[0].fieldnum & 0xFF;
    check(image->count >= depth + 1);
    for (int row = 0; row < depth; row++) {
        const vn_field_t &field = image->fields[row + 1];
        check(field.fieldnum == row);
        check(std::strlen(field.value) == static_cast<size_t>(width));
    }
}

void check_page_delta(const vn_data_t *delta, int depth, int width)
{
    for (uint16_t i = 0; i < delta->count; i++) {
        const vn_field_t &field = delta->fields[i];
        if (field.fieldnum >= 0xC000)
            continue;
        int row = field.fieldnum & 0xFF;
        int col = (field.fieldnum >> 8) & 0xFF;
        check(row < depth && col < width);
        check(std::strlen(field.value) <= static_cast<size_t>(width - col));
    }
}

void check_rebuilt_equal(tarvelutil_vncache_t *object, vn_data_t *image)
{
    tarvelutil_vncache_t *copy = tarvelutil_vncache_create_withmode(object->name, VNCACHE_DELTA_NONE);
    tarvelutil_vncache_update(copy, image);
    char text[256];
    check(tarvelutil_vncache_compare(object, copy, text, sizeof text) == 0);
    tarvelutil_vncache_delete(copy);
}

void check_object(tarvelutil_vncache_t *object)
{
    vn_data_t *image = tarvelutil_vncache_retrieve(object);
    vn_data_t *delta = tarvelutil_vncache_get_delta(object);
    if (image != nullptr) {
        check(image->flags == 0x1030 && static_cast<int>(image->type) == object->type);
        if (object->type == 221)
            check_page_image(image);
        if (delta != nullptr && object->type == 221)
            check_page_delta(delta, image->fields[0].fieldnum & 0xFF, (image->fields[0].fieldnum >> 8) & 0xFF);
        check_rebuilt_equal(object, image);
    }
    char text[64];
    tarvelutil_vncache_compare_vndata_present(image, delta, text, sizeof text);
    vn_free_datapkt(image);
    vn_free_datapkt(delta);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int initialised = tarvelutil_vncache_init(nullptr);
    (void)initialised;
    if (size > kMaxInput)
        return 0;
    for (int mode = VNCACHE_DELTA_NONE; mode <= VNCACHE_DELTA_VALUE; mode++) {
        Input in{data, size};
        tarvelutil_vncache_t *object =
            tarvelutil_vncache_create_withmode("OBJ", static_cast<tarvelutil_vncache_delta_mode>(mode));
        while (in.left > 0) {
            vn_data_t *record = next_record(in);
            tarvelutil_vncache_update(object, record);
            vn_free_datapkt(record);
            check_object(object);
        }
        tarvelutil_vncache_delete(object);
    }
    return 0;
}
