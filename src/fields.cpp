// The process-wide field table: names, numbers, quix64 codes and print
// formats, filled while the configuration is read and read-only afterwards.
#include "vantrix_private.h"

#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kMaxFields = 131072;
constexpr int kMaxNumber = 65535;
constexpr int kAutoNumbers = 100; // automatic numbers 65535 .. 65634, then 65635 for all
constexpr int kNumberSlots = 2 * kMaxNumber + 1 + kAutoNumbers + 1;
constexpr int kNameSlots = 167117; // prime, so a probe of 13 visits every slot
constexpr int kNameProbe = 13;
constexpr int kFormatSlots = 7;   // pointer, float32, float64, int8, int16, int32, int64
constexpr int kQuixDigitBits = 6;

constexpr int kFlagDecimalPlaces = 256;
constexpr int kFlagFormat = 512;
constexpr int kFlagFormatId = 1024;

struct field_t {
    int index;
    int num;
    char *name;
    char *quixnum;
    int quixnum_len;
    int flags;
    int dp;
    int type;
    char *format_id;
    char *formats[kFormatSlots];
    const char *defined_file;
    int defined_line;
};

struct fieldfmt_t {
    char *name;
    char *formats[kFormatSlots];
};

// Entries at nextindex and beyond are never read: the lookups answer for them
// with the values of a free entry, so the 16 MB table needs no set-up pass.
field_t fields[kMaxFields];
field_t *fieldsbynum[kNumberSlots];
field_t *fieldsbyname[kNameSlots];
int nextindex;

const char *const kDefaultFormats[kFormatSlots] = {"%p", "%.8g", "%.12g", "%hhd", "%hd", "%ld", "%lld"};
const char *global_formats[kFormatSlots] = {"%p", "%.8g", "%.12g", "%hhd", "%hd", "%ld", "%lld"};
// Set once start-up has filled the formats; later fields are filled as they come.
bool formats_applied;

// Option variables.
char *c_formats[kFormatSlots]; // slot 0 has no option
char *c_numeric_locale;
fieldfmt_t *c_field_formats;
int c_field_format_count;
const fieldfmt_t field_format_template = {};

const vn_config_enum_t field_flag_enums[] = {
    {"type2_index", 1, "Type 2 index field"},
    {"index", 1, "Type 2 index field"},
    {"type2", 2, "Type 2 field"},
    {"type3", 4, "Type 3 field"},
    {"dp", kFlagDecimalPlaces, "Next value is the number of decimal places"},
    {"decimal_precision", kFlagDecimalPlaces, "Next value is the number of decimal places"},
    {"fmt", kFlagFormat, "Next values are a format type and its format"},
    {"format", kFlagFormat, "Next values are a format type and its format"},
    {"fmt_id", kFlagFormatId, "Next value is the name of a format set"},
    {"format_id", kFlagFormatId, "Next value is the name of a format set"},
    {nullptr, 0, nullptr},
};

bool number_in_range(int num)
{
    return num >= -kMaxNumber && num <= kMaxNumber;
}

const field_t *entry_by_index(int index)
{
    return (index >= 0 && index < nextindex) ? &fields[index] : nullptr;
}

const field_t *entry_by_num(int num)
{
    return number_in_range(num) ? fieldsbynum[num + kMaxNumber] : nullptr;
}

int name_slot(const char *name)
{
    return vn_hash_code(name) % kNameSlots;
}

int next_name_slot(int slot)
{
    return (slot + kNameProbe) % kNameSlots;
}

const field_t *entry_by_name(const char *name)
{
    if (name == nullptr)
        return nullptr;
    for (int slot = name_slot(name); fieldsbyname[slot] != nullptr; slot = next_name_slot(slot)) {
        if (std::strcmp(fieldsbyname[slot]->name, name) == 0)
            return fieldsbyname[slot];
    }
    return nullptr;
}

const char *current_file()
{
    const char *file = vn_config_get_filename();
    return file != nullptr ? file : "";
}

// Finds the name's free slot; returns the index of an entry with the same name
// and number when there is one, else -1.
int probe_name(const char *name, int num, int *free_slot)
{
    int slot = name_slot(name);
    for (; fieldsbyname[slot] != nullptr; slot = next_name_slot(slot)) {
        const field_t *old = fieldsbyname[slot];
        if (std::strcmp(old->name, name) != 0)
            continue;
        if (old->num == num)
            return old->index;
        vn_config_add_error_message_fmt(
            "%s:%d Field <%s> fieldnumber is already defined at %s:%d index %d, this may cause problems - check "
            "configuration.\n",
            current_file(), vn_config_get_linenumber(), name, old->defined_file, old->defined_line, old->index);
    }
    *free_slot = slot;
    return -1;
}

int automatic_number()
{
    for (int num = kMaxNumber; num < kMaxNumber + kAutoNumbers; num++) {
        if (fieldsbynum[num + kMaxNumber] == nullptr)
            return num;
    }
    return kMaxNumber + kAutoNumbers;
}

void set_format(field_t *field, int slot, const char *format)
{
    vn_free(field->formats[slot]);
    field->formats[slot] = format != nullptr ? vn_strdup(format) : nullptr;
}

void apply_flag_values(field_t *field, int dp, const char *fmt)
{
    if (field->flags & kFlagDecimalPlaces) {
        // Without a number of places the field keeps the default formats.
        if (dp < 0)
            return;
        field->dp = dp;
        char fixed[32];
        std::snprintf(fixed, sizeof fixed, "%%.%df", dp);
        set_format(field, 1, fixed);
        set_format(field, 2, fixed);
    } else if (field->flags & kFlagFormat) {
        if (dp < 0 || dp >= kFormatSlots) {
            vn_config_add_error_message_fmt("%s:%d Field <%s>: format type %d is not one of 0 to 6, format ignored\n",
                                            current_file(), vn_config_get_linenumber(), field->name, dp);
            return;
        }
        field->type = dp;
        if (fmt != nullptr)
            set_format(field, dp, fmt);
    } else if ((field->flags & kFlagFormatId) && fmt != nullptr) {
        field->format_id = vn_strdup(fmt);
    }
}

// The digits of index + 1, most significant first, without leading zeros.
void set_quixnum(field_t *field)
{
    int code = field->index + 1;
    char digits[4];
    int len = 0;
    for (int shift = 2 * kQuixDigitBits; shift >= 0; shift -= kQuixDigitBits) {
        int digit = (code >> shift) & 0x3F;
        if (len > 0 || digit != 0 || shift == 0)
            digits[len++] = vn_quix64_map(digit);
    }
    digits[len] = '\0';
    field->quixnum = vn_strdup(digits);
    field->quixnum_len = len;
}

void apply_global_formats(field_t *field)
{
    if (field->format_id == nullptr) {
        for (int slot = 1; slot < kFormatSlots; slot++) {
            if (field->formats[slot] == nullptr)
                set_format(field, slot, global_formats[slot]);
        }
        return;
    }
    // A format set that is not found leaves the formats empty: the typed adders then add nothing.
    for (int set = 0; set < c_field_format_count; set++) {
        const fieldfmt_t &formats = c_field_formats[set];
        if (formats.name == nullptr || std::strcmp(formats.name, field->format_id) != 0)
            continue;
        for (int slot = 0; slot < kFormatSlots; slot++)
            set_format(field, slot, formats.formats[slot] != nullptr ? formats.formats[slot] : global_formats[slot]);
    }
}

void free_entry(field_t *field)
{
    vn_free(field->name);
    vn_free(field->quixnum);
    vn_free(field->format_id);
    vn_free(const_cast<char *>(field->defined_file));
    for (char *&format : field->formats) {
        vn_free(format);
        format = nullptr;
    }
}

void reset_table()
{
    for (int i = 0; i < nextindex; i++)
        free_entry(&fields[i]);
    std::memset(fields, 0, sizeof(field_t) * static_cast<size_t>(nextindex));
    if (nextindex > 0) {
        std::memset(fieldsbynum, 0, sizeof fieldsbynum);
        std::memset(fieldsbyname, 0, sizeof fieldsbyname);
    }
    nextindex = 0;
    formats_applied = false;
}

// A whole decimal integer, or false.
bool parse_int(const char *text, long *value)
{
    char *end;
    errno = 0;
    *value = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && errno == 0;
}

// add-field name number [flags] [dp or type] [fmt]
void c_add_field(const char *option, int count, char **values)
{
    (void)option;
    if (count < 2)
        return;
    long num;
    if (!parse_int(values[1], &num) || num < -kMaxNumber || num > kMaxNumber) {
        vn_config_add_error_message_fmt("%s:%d: invalid field '%s %s'\n", current_file(), vn_config_get_linenumber(),
                                        values[0], values[1]);
        return;
    }
    int flags = count > 2 ? vn_config_get_enum(values[2], field_flag_enums) : 0;
    long dp = -1;
    if (count > 3 && (!parse_int(values[3], &dp) || dp < INT_MIN || dp > INT_MAX))
        dp = -1;
    const char *fmt = count > 4 ? values[4] : nullptr;
    if (vn_fields_add(static_cast<int>(num), values[0], flags, static_cast<int>(dp), fmt) == INT_MIN)
        std::fprintf(stderr, "Failed to add field '%s' %d\n", values[0], static_cast<int>(num));
}

// The format options of each type slot: the global one and the one inside a format set.
struct FormatOption {
    const char *global_name;
    const char *global_help;
    const char *set_name;
    const char *set_help;
};
const FormatOption kFormatOptions[kFormatSlots] = {
    {nullptr, nullptr, nullptr, nullptr}, // the pointer slot has no option
    {"fields-float32-fmt", "!Fields|!Format for float32 types", "float32-fmt", "Format string for 32 bit floats"},
    {"fields-float64-fmt", "!Fields|!Format for float64 types", "float64-fmt", "Format string for 64 bit floats"},
    {"fields-int8-fmt", "!Fields|!Format for int8 types", "int8-fmt", "Format string for 8 bit integers"},
    {"fields-int16-fmt", "!Fields|!Format for int16 types", "int16-fmt", "Format string for 16 bit integers"},
    {"fields-int32-fmt", "!Fields|!Format for int32 types", "int32-fmt", "Format string for 32 bit integers"},
    {"fields-int64-fmt", "!Fields|!Format for int64 types", "int64-fmt", "Format string for 64 bit integers"},
};

void register_format_options()
{
    for (int slot = 1; slot < kFormatSlots; slot++) {
        vn_free(c_formats[slot]);
        c_formats[slot] = vn_strdup(kDefaultFormats[slot]);
        vn_config_add_option(0, kFormatOptions[slot].global_name, kFormatOptions[slot].global_help, VN_CONFIG_STRING,
                             &c_formats[slot]);
    }
}

// Inside a group an option's variable is the byte offset of its field in the record.
void *field_offset(size_t offset)
{
    return reinterpret_cast<void *>(offset);
}

void register_format_group()
{
    vn_config_add_group("add-field-format", "!Fields|!Adds a field format", &c_field_formats, &field_format_template,
                        sizeof(fieldfmt_t), &c_field_format_count);
    vn_config_add_option(0, "name", "Name of this format set", VN_CONFIG_STRING, field_offset(offsetof(fieldfmt_t, name)));
    for (int slot = 1; slot < kFormatSlots; slot++) {
        size_t offset = offsetof(fieldfmt_t, formats) + sizeof(char *) * static_cast<size_t>(slot);
        vn_config_add_option(0, kFormatOptions[slot].set_name, kFormatOptions[slot].set_help, VN_CONFIG_STRING,
                             field_offset(offset));
    }
    vn_config_end_group("end-field-format", "Ends a field format");
}

} // namespace

extern "C" {

void _vn_fields_config_init(void)
{
    reset_table();
    vn_config_add_option(0, "add-field", "!Fields|!Add a Field", VN_CONFIG_FUNCTION,
                         reinterpret_cast<void *>(c_add_field));
    register_format_options();
    register_format_group();
    vn_free(c_numeric_locale);
    c_numeric_locale = vn_strdup("");
    vn_config_add_option(0, "numeric-locale", "!Fields|!Locale for numeric field formatting", VN_CONFIG_STRING,
                         &c_numeric_locale);
}

void _vn_fields_init(vn_init_t *init)
{
    (void)init;
    std::setlocale(LC_NUMERIC, c_numeric_locale != nullptr ? c_numeric_locale : "");
    for (int slot = 1; slot < kFormatSlots; slot++)
        global_formats[slot] = c_formats[slot] != nullptr ? c_formats[slot] : kDefaultFormats[slot];
    for (int i = 0; i < nextindex; i++)
        apply_global_formats(&fields[i]);
    formats_applied = true;
}

int vn_fields_add(int num, const char *name, int flags, int dp, const char *fmt)
{
    // Numbers outside the table's range would index past it.
    if (nextindex == kMaxFields || name == nullptr || (num != INT_MIN && !number_in_range(num)))
        return INT_MIN;
    int name_free_slot = 0;
    int existing = probe_name(name, num, &name_free_slot);
    if (existing >= 0)
        return existing;
    if (num == INT_MIN)
        num = automatic_number();

    field_t *field = &fields[nextindex];
    *field = field_t{};
    field->index = nextindex;
    field->num = num;
    field->name = vn_strdup(name);
    field->defined_file = vn_strdup(current_file());
    field->defined_line = vn_config_get_linenumber();
    field->flags = flags;
    field->dp = -1;
    apply_flag_values(field, dp, fmt);

    field_t *&by_num = fieldsbynum[num + kMaxNumber];
    if (by_num != nullptr) {
        vn_config_add_error_message_fmt("%s:%d Field <%s>, fieldnumber %d is already defined as <%s> at %s:%d, this "
                                        "may cause problems - check configuration.\n",
                                        current_file(), vn_config_get_linenumber(), name, num, by_num->name,
                                        by_num->defined_file, by_num->defined_line);
    }
    by_num = field;
    fieldsbyname[name_free_slot] = field;
    set_quixnum(field);
    if (formats_applied)
        apply_global_formats(field);
    return nextindex++;
}

int vn_fields_max(void)
{
    return nextindex;
}

const char *vn_fields_namebynum(int num)
{
    const field_t *field = entry_by_num(num);
    return field != nullptr ? field->name : nullptr;
}

int vn_fields_indexbynum(int num)
{
    const field_t *field = entry_by_num(num);
    return field != nullptr ? field->index : INT_MIN;
}

int vn_fields_numbyname(const char *name)
{
    const field_t *field = entry_by_name(name);
    return field != nullptr ? field->num : INT_MIN;
}

int vn_fields_indexbyname(const char *name)
{
    const field_t *field = entry_by_name(name);
    return field != nullptr ? field->index : INT_MIN;
}

int vn_fields_numbyindex(int index)
{
    const field_t *field = entry_by_index(index);
    return field != nullptr ? field->num : INT_MIN;
}

const char *vn_fields_namebyindex(int index)
{
    const field_t *field = entry_by_index(index);
    return field != nullptr ? field->name : nullptr;
}

const char *vn_fields_quixnumbyindex(int index)
{
    const field_t *field = entry_by_index(index);
    return field != nullptr ? field->quixnum : nullptr;
}

int vn_fields_quixnumlenbyindex(int index)
{
    const field_t *field = entry_by_index(index);
    return field != nullptr ? field->quixnum_len : 0;
}

int vn_fields_getflags(int index)
{
    const field_t *field = entry_by_index(index);
    return field != nullptr ? field->flags : 0;
}

int vn_fields_getdp(int index)
{
    const field_t *field = entry_by_index(index);
    return field != nullptr ? field->dp : -1;
}

const char *_vn_fields_fmtbynum(int num, int slot)
{
    if (!number_in_range(num) || slot < 0 || slot >= kFormatSlots)
        return nullptr;
    const field_t *field = entry_by_num(num);
    return field != nullptr ? field->formats[slot] : global_formats[slot];
}

void _vn_fields_write_xml(void *doc, void *parent)
{
    (void)doc;
    for (int i = 0; i < nextindex; i++) {
        void *node = _vn_xmlNewNode(nullptr, "field");
        _vn_xmlNewProp(node, "name", fields[i].name);
        char number[16];
        std::snprintf(number, sizeof number, "%d", fields[i].num);
        _vn_xmlNewProp(node, "number", number);
        _vn_xmlAddChild(parent, node);
    }
}

} // extern "C"
