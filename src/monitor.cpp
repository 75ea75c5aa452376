// The monitoring model: templates that describe what modules publish, the
// values they send, the calls forwarded to a loaded monitoring module, and
// the pipe-separated document of the templates.
#include "monitor.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

// A template as the module sees it, with the label split off its description.
struct template_record_t {
    vn_template_t tmpl;
    char *label;
};

// Built on the init thread during start-up and only read afterwards, so the
// lookups take no lock. Never destroyed: modules may publish until the very
// end of the process.
std::vector<template_record_t *> &templates = *new std::vector<template_record_t *>;

// Filled by the monitoring module when one is loaded; every slot empty until then.
vn_monitor_funcs_t monitor_funcs;

const char *const kTypeWords[] = {"",     "BINARY", "STRING",    "SHORT",  "USHORT",  "LONG",
                                  "ULONG", "LLONG", "ULLONG", "DOUBLE", "TIMESTAMP", "BOOLEAN"};

struct flag_word_t {
    int flag;
    const char *word;
};

constexpr flag_word_t kFlagWords[] = {
    {VN_MONITOR_ARRAY, " ARRAY"},   {VN_MONITOR_ACTIVE, " ACTIVE"}, {VN_MONITOR_ACTIVE2, " ACTIVE2"},
    {VN_MONITOR_METHOD, " METHOD"}, {VN_MONITOR_KEY, " KEY"},       {VN_MONITOR_HIERARCHY, " HIERARCHY"},
};

// Printed for a missing label: a label ends in "|" by convention, so lines of
// one kind keep the same number of fields either way.
constexpr const char *kNoLabel = "|";

char *dup_or_null(const char *text)
{
    return text != nullptr ? vn_strdup(text) : nullptr;
}

const char *or_empty(const char *text)
{
    return text != nullptr ? text : "";
}

// ---- Templates ----

template_record_t *find_template(const char *name)
{
    if (name == nullptr)
        return nullptr;
    for (template_record_t *record : templates) {
        if (strcmp(record->tmpl.templatename, name) == 0)
            return record;
    }
    return nullptr;
}

template_record_t *start_template(const char *name, const char *description)
{
    template_record_t *record = static_cast<template_record_t *>(vn_calloc(1, sizeof(template_record_t)));
    record->tmpl.templatename = vn_strdup(name);
    record->tmpl.description = vn_strdup(_vn_parse_help_string(description, &record->label));
    templates.push_back(record);
    return record;
}

// Members may describe a template before it was started.
template_record_t *find_or_start_template(const char *name)
{
    template_record_t *record = find_template(name);
    return record != nullptr ? record : start_template(name, "");
}

// Appends a zeroed member with its name and description; null when the
// template or member has no name.
vn_property_t *append_member(const char *template_name, const char *name, const char *description)
{
    if (template_name == nullptr || name == nullptr)
        return nullptr;
    vn_template_t *tmpl = &find_or_start_template(template_name)->tmpl;
    size_t count = static_cast<size_t>(tmpl->num_properties) + 1;
    tmpl->properties = static_cast<vn_property_t *>(vn_realloc(tmpl->properties, count * sizeof(vn_property_t)));
    vn_property_t *member = &tmpl->properties[count - 1];
    memset(member, 0, sizeof *member);
    tmpl->num_properties = static_cast<int32_t>(count);
    member->propertyname = vn_strdup(name);
    member->description = vn_strdup(_vn_parse_help_string(description, &member->docstring));
    return member;
}

vn_property_t *find_member(const char *template_name, const char *property)
{
    template_record_t *record = find_template(template_name);
    if (record == nullptr || property == nullptr)
        return nullptr;
    for (int32_t i = 0; i < record->tmpl.num_properties; i++) {
        if (strcmp(record->tmpl.properties[i].propertyname, property) == 0)
            return &record->tmpl.properties[i];
    }
    return nullptr;
}

void free_member(vn_property_t *member)
{
    vn_free(member->propertyname);
    vn_free(member->description);
    vn_free(member->targettemplate);
    vn_free(member->singleton);
    vn_free(member->docstring);
}

void free_template(template_record_t *record)
{
    for (int32_t i = 0; i < record->tmpl.num_properties; i++)
        free_member(&record->tmpl.properties[i]);
    vn_free(record->tmpl.properties);
    vn_free(record->tmpl.templatename);
    vn_free(record->tmpl.description);
    vn_free(record->label);
    vn_free(record);
}

// ---- Values ----

bool holds_texts(int code)
{
    return code == VN_MONITOR_STRING || code == VN_MONITOR_SUBSCRIPTION;
}

// Bytes per array element; 0 for codes that hold no elements.
size_t element_size(int code)
{
    switch (code) {
    case VN_MONITOR_BINARY: return 1;
    case VN_MONITOR_STRING:
    case VN_MONITOR_SUBSCRIPTION: return sizeof(char *);
    case VN_MONITOR_SHORT:
    case VN_MONITOR_USHORT:
    case VN_MONITOR_BOOLEAN: return sizeof(uint16_t);
    case VN_MONITOR_LONG:
    case VN_MONITOR_ULONG: return sizeof(uint32_t);
    case VN_MONITOR_LLONG:
    case VN_MONITOR_ULLONG:
    case VN_MONITOR_DOUBLE:
    case VN_MONITOR_TIMESTAMP: return sizeof(uint64_t);
    default: return 0;
    }
}

void set_scalar(vn_monitor_t *value, int code, const void *datum)
{
    if (datum == nullptr)
        return;
    switch (code) {
    case VN_MONITOR_STRING: value->data.c = vn_strdup(static_cast<const char *>(datum)); break;
    case VN_MONITOR_BOOLEAN: value->data.us = *static_cast<const unsigned char *>(datum) != 0 ? 1 : 0; break;
    case VN_MONITOR_SHORT:
    case VN_MONITOR_USHORT:
    case VN_MONITOR_LONG:
    case VN_MONITOR_ULONG:
    case VN_MONITOR_LLONG:
    case VN_MONITOR_ULLONG:
    case VN_MONITOR_DOUBLE:
    case VN_MONITOR_TIMESTAMP: memcpy(&value->data, datum, element_size(code)); break;
    default: break; // BINARY and member kinds carry no scalar payload
    }
}

// Copies element `index` of the caller's array into slot `slot` of the value's.
void copy_element(vn_array_t *array, int code, int32_t slot, const void *source, int32_t index)
{
    if (holds_texts(code)) {
        array->data.c[slot] = dup_or_null(static_cast<const char *const *>(source)[index]);
    } else if (code == VN_MONITOR_BOOLEAN) {
        array->data.us[slot] = static_cast<const unsigned char *>(source)[index] != 0 ? 1 : 0;
    } else {
        size_t size = element_size(code);
        memcpy(array->data.b + static_cast<size_t>(slot) * size,
               static_cast<const unsigned char *>(source) + static_cast<size_t>(index) * size, size);
    }
}

void set_array(vn_monitor_t *value, int code, int count, const void *datum)
{
    vn_array_t *array = &value->data.array;
    if (count <= 0 || datum == nullptr || element_size(code) == 0)
        return;
    array->data.ptr = vn_malloc(static_cast<size_t>(count) * element_size(code));
    array->size = count;
    for (int32_t i = 0; i < count; i++)
        copy_element(array, code, i, datum, i);
}

// Which codes vn_monitor_add_data appends to.
bool appendable(int code)
{
    return code != VN_MONITOR_BINARY && code != VN_MONITOR_SUBSCRIPTION && element_size(code) != 0;
}

template <typename Scalar>
vn_monitor_t *new_scalar(const char *name, int code, Scalar scalar)
{
    return vn_monitor_new(name, code, 1, &scalar);
}

} // namespace

extern "C" {

// ---- Templates ----

vn_template_t *vn_monitor_start_template(const char *name, const char *description)
{
    if (name == nullptr)
        return nullptr;
    return &start_template(name, description)->tmpl;
}

void vn_monitor_add_template_member(const char *template_name, const char *name, const char *description,
                                    int typeflags, vn_arguments_t *args, void *ptr)
{
    vn_property_t *member = append_member(template_name, name, description);
    if (member == nullptr)
        return;
    member->typeflags = typeflags;
    member->arguments = args;
    member->genptr = ptr;
}

void vn_monitor_add_template_relation(const char *template_name, const char *name, const char *target,
                                      const char *description, int thisend, int thatend)
{
    vn_property_t *member = append_member(template_name, name, description);
    if (member == nullptr)
        return;
    member->typeflags = VN_MONITOR_RELATION;
    member->targettemplate = dup_or_null(target);
    member->thisend = thisend;
    member->thatend = thatend;
}

void vn_monitor_add_template_subscription(const char *template_name, const char *name, const char *target,
                                          const char *description, const char *singleton,
                                          vn_monitor_active_cb callback)
{
    vn_property_t *member = append_member(template_name, name, description);
    if (member == nullptr)
        return;
    member->typeflags = VN_MONITOR_SUBSCRIPTION;
    member->targettemplate = dup_or_null(target);
    member->singleton = dup_or_null(singleton);
    member->genptr = reinterpret_cast<void *>(callback);
}

void vn_monitor_end_template(const char *name)
{
    template_record_t *record = find_template(name);
    if (record != nullptr && monitor_funcs.monitor_new_template != nullptr)
        monitor_funcs.monitor_new_template(name, &record->tmpl);
}

vn_template_t *vnmon_get_template(const char *name)
{
    template_record_t *record = find_template(name);
    return record != nullptr ? &record->tmpl : nullptr;
}

// ---- Values ----

vn_monitor_t *vn_monitor_new(const char *name, int type, int datasize, const void *datum)
{
    vn_monitor_t *value = static_cast<vn_monitor_t *>(vn_calloc(1, sizeof(vn_monitor_t)));
    value->propertyname = dup_or_null(name);
    int code = type & VN_MONITOR_TYPE_MASK;
    bool array = (type & VN_MONITOR_ARRAY) != 0;
    // Member flags such as ACTIVE are not part of a value's type.
    value->datatype = code | (array ? VN_MONITOR_ARRAY : 0);
    if (array)
        set_array(value, code, datasize, datum);
    else
        set_scalar(value, code, datum);
    return value;
}

vn_monitor_t *vn_monitor_new_array(const char *name, int type)
{
    return vn_monitor_new(name, type | VN_MONITOR_ARRAY, 0, nullptr);
}

void vn_monitor_add_data(vn_monitor_t *value, const void *datum)
{
    // A scalar has no element array to grow: appending would overwrite its payload.
    if (value == nullptr || datum == nullptr || (value->datatype & VN_MONITOR_ARRAY) == 0)
        return;
    int code = value->datatype & VN_MONITOR_TYPE_MASK;
    if (!appendable(code))
        return;
    vn_array_t *array = &value->data.array;
    size_t count = static_cast<size_t>(array->size) + 1;
    array->data.ptr = vn_realloc(array->data.ptr, count * element_size(code));
    array->size = static_cast<int32_t>(count);
    // A text element arrives as the text itself, not as an array of texts.
    const void *source = code == VN_MONITOR_STRING ? static_cast<const void *>(&datum) : datum;
    copy_element(array, code, array->size - 1, source, 0);
}

vn_monitor_t *vn_monitor_new_double(const char *, const char *, const char *name, double value)
{
    return new_scalar(name, VN_MONITOR_DOUBLE, value);
}

vn_monitor_t *vn_monitor_new_timestamp(const char *, const char *, const char *name, int64_t value)
{
    return new_scalar(name, VN_MONITOR_TIMESTAMP, value);
}

vn_monitor_t *vn_monitor_new_llong(const char *, const char *, const char *name, int64_t value)
{
    return new_scalar(name, VN_MONITOR_LLONG, value);
}

vn_monitor_t *vn_monitor_new_ullong(const char *, const char *, const char *name, uint64_t value)
{
    return new_scalar(name, VN_MONITOR_ULLONG, value);
}

vn_monitor_t *vn_monitor_new_long(const char *, const char *, const char *name, int32_t value)
{
    return new_scalar(name, VN_MONITOR_LONG, value);
}

vn_monitor_t *vn_monitor_new_ulong(const char *, const char *, const char *name, uint32_t value)
{
    return new_scalar(name, VN_MONITOR_ULONG, value);
}

vn_monitor_t *vn_monitor_new_short(const char *, const char *, const char *name, int16_t value)
{
    return new_scalar(name, VN_MONITOR_SHORT, value);
}

vn_monitor_t *vn_monitor_new_boolean(const char *, const char *, const char *name, int value)
{
    return new_scalar(name, VN_MONITOR_BOOLEAN, static_cast<unsigned char>(value != 0 ? 1 : 0));
}

vn_monitor_t *vn_monitor_new_ushort(const char *, const char *, const char *name, uint16_t value)
{
    return new_scalar(name, VN_MONITOR_USHORT, value);
}

vn_monitor_t *vn_monitor_new_string(const char *, const char *, const char *name, const char *value)
{
    return vn_monitor_new(name, VN_MONITOR_STRING, 1, value);
}

void vn_monitor_free_data(vn_monitor_t *value)
{
    if (value == nullptr)
        return;
    vn_free(value->propertyname);
    value->propertyname = nullptr;
    int code = value->datatype & VN_MONITOR_TYPE_MASK;
    if ((value->datatype & VN_MONITOR_ARRAY) != 0) {
        vn_array_t *array = &value->data.array;
        if (holds_texts(code)) {
            for (int32_t i = 0; i < array->size; i++)
                vn_free(array->data.c[i]);
        }
        vn_free(array->data.ptr);
        array->data.ptr = nullptr;
        array->size = 0;
    } else if (code == VN_MONITOR_STRING) {
        vn_free(value->data.c);
        value->data.c = nullptr;
    }
}

void vn_monitor_free(vn_monitor_t *value)
{
    vn_monitor_free_data(value);
    vn_free(value);
}

// ---- Groups and updates ----

void vn_monitor_create_group(const char *template_name, const char *key, const char *brief, const char *description)
{
    if (monitor_funcs.monitor_create != nullptr)
        monitor_funcs.monitor_create(template_name, key, brief, description);
}

void vn_monitor_delete_group(const char *template_name, const char *key)
{
    if (monitor_funcs.monitor_delete != nullptr)
        monitor_funcs.monitor_delete(template_name, key);
}

void vn_monitor_add_relation(const char *template_name, const char *key, const char *property,
                             const char *target_key)
{
    if (monitor_funcs.monitor_add_relation != nullptr)
        monitor_funcs.monitor_add_relation(template_name, key, property, target_key);
}

void vn_monitor_del_relation(const char *template_name, const char *key, const char *property,
                             const char *target_key)
{
    if (monitor_funcs.monitor_del_relation != nullptr)
        monitor_funcs.monitor_del_relation(template_name, key, property, target_key);
}

void vn_monitor_add_subscription(const char *template_name, const char *key, const char *property,
                                 const char *value)
{
    if (monitor_funcs.monitor_add_subscription != nullptr)
        monitor_funcs.monitor_add_subscription(template_name, key, property, value);
}

void vn_monitor_del_subscription(const char *template_name, const char *key, const char *property,
                                 const char *value)
{
    if (monitor_funcs.monitor_del_subscription != nullptr)
        monitor_funcs.monitor_del_subscription(template_name, key, property, value);
}

void vn_monitor_update(const char *template_name, const char *key, vn_monitor_t *value)
{
    if (monitor_funcs.monitor_update != nullptr)
        monitor_funcs.monitor_update(template_name, key, value);
    else
        vn_monitor_free(value);
}

void vn_monitor_update_double(const char *template_name, const char *key, const char *name, double value)
{
    vn_monitor_update(template_name, key, vn_monitor_new_double(template_name, key, name, value));
}

void vn_monitor_update_timestamp(const char *template_name, const char *key, const char *name, int64_t value)
{
    vn_monitor_update(template_name, key, vn_monitor_new_timestamp(template_name, key, name, value));
}

void vn_monitor_update_llong(const char *template_name, const char *key, const char *name, int64_t value)
{
    vn_monitor_update(template_name, key, vn_monitor_new_llong(template_name, key, name, value));
}

void vn_monitor_update_ullong(const char *template_name, const char *key, const char *name, uint64_t value)
{
    vn_monitor_update(template_name, key, vn_monitor_new_ullong(template_name, key, name, value));
}

void vn_monitor_update_long(const char *template_name, const char *key, const char *name, int32_t value)
{
    vn_monitor_update(template_name, key, vn_monitor_new_long(template_name, key, name, value));
}

void vn_monitor_update_ulong(const char *template_name, const char *key, const char *name, uint32_t value)
{
    vn_monitor_update(template_name, key, vn_monitor_new_ulong(template_name, key, name, value));
}

void vn_monitor_update_short(const char *template_name, const char *key, const char *name, int16_t value)
{
    vn_monitor_update(template_name, key, vn_monitor_new_short(template_name, key, name, value));
}

void vn_monitor_update_boolean(const char *template_name, const char *key, const char *name, int value)
{
    vn_monitor_update(template_name, key, vn_monitor_new_boolean(template_name, key, name, value));
}

void vn_monitor_update_ushort(const char *template_name, const char *key, const char *name, uint16_t value)
{
    vn_monitor_update(template_name, key, vn_monitor_new_ushort(template_name, key, name, value));
}

void vn_monitor_update_string(const char *template_name, const char *key, const char *name, const char *value)
{
    vn_monitor_update(template_name, key, vn_monitor_new_string(template_name, key, name, value));
}

// ---- Calls for the module ----

vn_monitor_t *vnmon_get_active(const char *template_name, const char *key, const char *property)
{
    vn_property_t *member = find_member(template_name, property);
    if (member == nullptr || member->genptr == nullptr)
        return nullptr;
    if (member->typeflags == VN_MONITOR_SUBSCRIPTION || (member->typeflags & VN_MONITOR_ACTIVE) != 0) {
        vn_monitor_active_cb getter = reinterpret_cast<vn_monitor_active_cb>(member->genptr);
        return getter(template_name, key, property);
    }
    if ((member->typeflags & VN_MONITOR_ACTIVE2) != 0) {
        constexpr int kValueTypeBits = 127;
        return vn_monitor_new(member->propertyname, member->typeflags & kValueTypeBits, 1, member->genptr);
    }
    return nullptr;
}

vn_monitor_t *vnmon_call_method(const char *template_name, const char *key, const char *property, int argc,
                                char **argv)
{
    vn_property_t *member = find_member(template_name, property);
    if (member == nullptr || (member->typeflags & VN_MONITOR_METHOD) == 0 || member->genptr == nullptr)
        return nullptr;
    vn_monitor_method_cb method = reinterpret_cast<vn_monitor_method_cb>(member->genptr);
    return method(template_name, key, property, argc, argv);
}

} // extern "C"

// ---- Template document ----
namespace {

const char *type_word(int typeflags)
{
    int code = typeflags & VN_MONITOR_TYPE_MASK;
    return code >= VN_MONITOR_BINARY && code <= VN_MONITOR_BOOLEAN ? kTypeWords[code] : "";
}

std::string flag_words(int typeflags)
{
    std::string words;
    for (const flag_word_t &flag : kFlagWords) {
        if ((typeflags & flag.flag) != 0)
            words += flag.word;
    }
    return words;
}

const char *label_or_none(const char *label)
{
    return label != nullptr ? label : kNoLabel;
}

void document_arguments(FILE *fp, const vn_arguments_t *args)
{
    for (; args != nullptr && args->name != nullptr; args++) {
        fprintf(fp, "ARGUMENT|%s|%s|%d|%s|%s\n", args->name, type_word(args->typeflags),
                (args->typeflags & VN_MONITOR_ARGUMENT_FLAG) != 0 ? 1 : 0, label_or_none(args->docstring),
                or_empty(args->description));
    }
}

void document_member(FILE *fp, const vn_property_t *member)
{
    if (member->typeflags == VN_MONITOR_RELATION || member->typeflags == VN_MONITOR_SUBSCRIPTION) {
        fprintf(fp, "%s|%s|%s|%s|%d|%d|%s|%s\n",
                member->typeflags == VN_MONITOR_RELATION ? "RELATION" : "SUBSCRIPTION", member->propertyname,
                or_empty(member->targettemplate), or_empty(member->singleton), member->thisend, member->thatend,
                label_or_none(member->docstring), member->description);
    } else {
        fprintf(fp, "%s|%s|%s|%s|%s|%s\n", (member->typeflags & VN_MONITOR_METHOD) != 0 ? "METHOD" : "ATTRIBUTE",
                member->propertyname, type_word(member->typeflags), flag_words(member->typeflags).c_str(),
                label_or_none(member->docstring), member->description);
    }
    document_arguments(fp, member->arguments);
}

} // namespace

extern "C" {

void vn_monitor_document_templates(FILE *fp)
{
    if (fp == nullptr)
        return;
    for (const template_record_t *record : templates) {
        fprintf(fp, "TEMPLATE|%s|%s|%s\n", record->tmpl.templatename, label_or_none(record->label),
                record->tmpl.description);
        for (int32_t i = 0; i < record->tmpl.num_properties; i++)
            document_member(fp, &record->tmpl.properties[i]);
    }
}

// ---- Hooks for the module loader ----

vn_monitor_funcs_t *_vn_monitor_funcs(void)
{
    return &monitor_funcs;
}

} // extern "C"

void monitor_clear_templates()
{
    for (template_record_t *record : templates)
        free_template(record);
    templates.clear();
}
