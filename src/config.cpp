// The configuration engine: the option registry and its contexts, value
// conversion, the collected configuration messages, the command line and the
// configuration file reader. Everything here runs on the start-up thread.
#include "vantrix_private.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <glob.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

constexpr int kMaxTestDepth = 100;
constexpr int kMaxIncludeDepth = 32;  // beyond any sane layout; stops self-inclusion
constexpr size_t kLineSize = 1024;    // a statement is at most 1023 characters
constexpr size_t kPathSize = 4097;
constexpr size_t kMaxCommand = 8191;
constexpr size_t kMaxMessage = 4095;
constexpr int kActiveTaken = 0x81;
constexpr int kInactiveTaken = 0x80;
constexpr int kInactiveUntaken = 0;

// Per option list, the first option of each long name, so that lookups by
// name do not walk every registration.
using ListIndex = std::unordered_map<std::string_view, option_t *>;

struct ConfigState {
    vn_config_ctx_t *current_ctx = nullptr;
    vn_list_t search_list;
    vn_list_t config_tests;
    searchpath_t *current_search = nullptr;
    int test_list[kMaxTestDepth] = {};
    int test_depth = 0; // may pass kMaxTestDepth: the extra levels are inactive
    std::vector<std::string> messages;
    char filename[kPathSize] = "";
    int linenumber = 0;
    int include_depth = 0;
    std::vector<std::string> reading; // real paths of the local files being read, outermost first
    int refusals = 0;                 // local files refused so far (self-inclusion, devices)
    std::string ccd;
    // Dump state: mode -1 until the environment was read.
    int write_config_mode = -1;
    std::string write_config_dir;
    FILE *config_fp = nullptr;
    std::string last_file;
    std::unordered_map<const vn_list_t *, ListIndex> index;
    vn_log_t *event_log = nullptr;

    ConfigState()
    {
        _vn_list_init(&search_list);
        _vn_list_init(&config_tests);
    }
};

ConfigState &state()
{
    static ConfigState *instance = new ConfigState(); // never destroyed: exit paths may still read it
    return *instance;
}

char *c_preprocessor_binary = nullptr;
char *c_http_download_command = nullptr;
char c_quiet_config = 0;
char c_verbose_config = 0;

vn_config_ctx_t *ctx()
{
    ConfigState &st = state();
    if (st.current_ctx == nullptr)
        st.current_ctx = vn_config_new_ctx();
    return st.current_ctx;
}

int base_type(const option_t *option)
{
    return _VN_CONFIG_BASE_TYPE(option->type);
}

const char *type_word(int type)
{
    switch (type) {
    case VN_CONFIG_BOOL: return "boolean";
    case VN_CONFIG_INT: return "integer";
    case VN_CONFIG_DOUBLE: return "float";
    case VN_CONFIG_STRING: return "string";
    case VN_CONFIG_CHAR: return "character";
    default: return "Unknown";
    }
}

std::string vformat(const char *format, va_list ap)
{
    char buffer[kMaxMessage + 1];
    vsnprintf(buffer, sizeof(buffer), format, ap);
    return buffer;
}

const char *filename()
{
    return state().filename;
}

int linenumber()
{
    return state().linenumber;
}

void set_filename(const char *name)
{
    snprintf(state().filename, kPathSize, "%s", name);
}

// A copy of `text` split into words by the argument splitter. Text that is
// empty or only white space has no words.
class Words {
public:
    explicit Words(const char *text)
    {
        size_t length = strnlen(text, INT_MAX - 1);
        bool blank = true;
        for (size_t i = 0; i < length && blank; i++)
            blank = text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r');
        if (blank)
            return;
        copy_ = static_cast<char *>(vn_malloc(length + 1));
        memcpy(copy_, text, length);
        copy_[length] = '\0';
        words_ = tarvelutil_argument_parse(copy_, static_cast<int>(length), &count_);
    }
    ~Words()
    {
        vn_free(words_);
        vn_free(copy_);
    }
    Words(const Words &) = delete;
    Words &operator=(const Words &) = delete;

    int count() const { return count_; }
    char **words() const { return words_; }
    const char *operator[](int i) const { return words_[i]; }

private:
    char *copy_ = nullptr;
    char **words_ = nullptr;
    int count_ = 0;
};

// ---- Option index -------------------------------------------------------

void index_add(vn_list_t *list, option_t *option)
{
    state().index[list].try_emplace(std::string_view(option->longopt, option->len), option);
}

option_t *index_find(const vn_list_t *list, std::string_view name)
{
    auto &index = state().index;
    auto found = index.find(list);
    if (found == index.end())
        return nullptr;
    auto entry = found->second.find(name);
    return entry == found->second.end() ? nullptr : entry->second;
}

// After `option` was unlinked from `list`, the next option of that name (if any) answers.
void index_remove(vn_list_t *list, option_t *option)
{
    auto &names = state().index[list];
    std::string_view name(option->longopt, option->len);
    auto entry = names.find(name);
    if (entry == names.end() || entry->second != option)
        return;
    names.erase(entry);
    for (vn_list_t *link = list->next; link != list; link = link->next) {
        option_t *other = _vn_list_entry(link, option_t, list);
        if (std::string_view(other->longopt, other->len) == name) {
            names.emplace(std::string_view(other->longopt, other->len), other);
            break;
        }
    }
}

option_t *find_letter(const vn_list_t *list, char letter)
{
    for (vn_list_t *link = list->next; link != list; link = link->next) {
        option_t *option = _vn_list_entry(link, option_t, list);
        if (option->opt == letter)
            return option;
    }
    return nullptr;
}

// ---- Registration ---------------------------------------------------------

void *copy_bound(int element_type, const void *bound)
{
    if (bound == nullptr)
        return nullptr;
    if (element_type == VN_CONFIG_INT) {
        int *copy = static_cast<int *>(vn_malloc(sizeof(int)));
        memcpy(copy, bound, sizeof(int));
        return copy;
    }
    if (element_type == VN_CONFIG_DOUBLE) {
        double *copy = static_cast<double *>(vn_malloc(sizeof(double)));
        memcpy(copy, bound, sizeof(double));
        return copy;
    }
    return nullptr;
}

void *snapshot_bytes(const void *variable, size_t size)
{
    void *copy = vn_malloc(size);
    memcpy(copy, variable, size);
    return copy;
}

// The default of a top-level option: a copy of what its variable holds now.
void *snapshot(vn_config_ctx_t *context, int type, void *variable)
{
    if (variable == nullptr)
        return nullptr;
    switch (type) {
    case VN_CONFIG_BOOL:
    case VN_CONFIG_CHAR: return snapshot_bytes(variable, 1);
    case VN_CONFIG_INT: return snapshot_bytes(variable, sizeof(int32_t));
    case VN_CONFIG_DOUBLE: return snapshot_bytes(variable, sizeof(double));
    case VN_CONFIG_STRING: {
        const char *text = *static_cast<char **>(variable);
        return text ? vn_strdup(text) : nullptr;
    }
    case VN_CONFIG_FILE: {
        configfile_t *entry = static_cast<configfile_t *>(vn_calloc(1, sizeof(configfile_t)));
        const char *text = *static_cast<char **>(variable);
        entry->file = text ? vn_strdup(text) : nullptr;
        _vn_list_add_head(&context->_file_list, &entry->list);
        return entry;
    }
    default: return nullptr;
    }
}

option_t *new_option(char letter, const char *longopt, const char *help, int type, void *value)
{
    option_t *option = static_cast<option_t *>(vn_calloc(1, sizeof(option_t)));
    option->opt = letter;
    option->longopt = vn_strdup(longopt ? longopt : "");
    option->len = static_cast<int>(strlen(option->longopt));
    option->help = vn_strdup(_vn_parse_help_string(help, &option->docstring));
    option->type = type;
    option->value = value;
    return option;
}

void append_option(vn_config_ctx_t *context, option_t *option)
{
    option->owner = context->_current_group;
    _vn_list_add_tail(context->_current_list, &option->list);
    index_add(context->_current_list, option);
}

// ---- Group records --------------------------------------------------------

size_t element_size(int array_type)
{
    switch (array_type & ~VN_CONFIG_ARRAY) {
    case VN_CONFIG_INT: return sizeof(int32_t);
    case VN_CONFIG_DOUBLE: return sizeof(double);
    case VN_CONFIG_STRING: return sizeof(char *);
    default: return 1;
    }
}

// The record being filled for `group`, or NULL when the group (or a group
// around it) was opened without adding one.
char *record_of(const group_t *group)
{
    if (group == nullptr || !group->has_record)
        return nullptr;
    char *array;
    int count;
    if (group->parent != nullptr) {
        char *parent_record = record_of(group->parent);
        if (parent_record == nullptr)
            return nullptr;
        memcpy(&array, parent_record + reinterpret_cast<size_t>(group->base), sizeof(array));
        memcpy(&count, parent_record + reinterpret_cast<size_t>(group->num), sizeof(count));
    } else {
        if (group->base == nullptr || group->num == nullptr)
            return nullptr;
        array = *static_cast<char **>(group->base);
        count = *group->num;
    }
    if (array == nullptr || group->next < 0 || group->next >= count)
        return nullptr;
    return array + static_cast<size_t>(group->next) * group->size;
}

// A new record starts as a byte copy of the template; the texts and arrays
// it points to are copied too, so that no two records (nor the template)
// share memory that a later setting frees or grows.
void own_record_fields(const group_t *group, char *record)
{
    const vn_list_t *list = &group->list;
    for (vn_list_t *link = list->next; link != list; link = link->next) {
        option_t *field = _vn_list_entry(link, option_t, list);
        int type = base_type(field);
        char *slot = record + reinterpret_cast<size_t>(field->value);
        if (type == VN_CONFIG_STRING || type == VN_CONFIG_FILE) {
            char *text;
            memcpy(&text, slot, sizeof(text));
            if (text != nullptr) {
                text = vn_strdup(text);
                memcpy(slot, &text, sizeof(text));
            }
        } else if (type & VN_CONFIG_ARRAY) {
            char *array;
            int count;
            memcpy(&array, slot, sizeof(array));
            memcpy(&count, record + reinterpret_cast<size_t>(field->def), sizeof(count));
            if (array == nullptr || count <= 0)
                continue;
            size_t size = element_size(type);
            char *copy = static_cast<char *>(vn_malloc(size * static_cast<size_t>(count)));
            memcpy(copy, array, size * static_cast<size_t>(count));
            if (type == (VN_CONFIG_ARRAY | VN_CONFIG_STRING)) {
                char **texts = reinterpret_cast<char **>(copy);
                for (int i = 0; i < count; i++)
                    texts[i] = texts[i] ? vn_strdup(texts[i]) : nullptr;
            }
            memcpy(slot, &copy, sizeof(copy));
        } else if (type == VN_CONFIG_GROUP) {
            // Records of a nested group start empty; the template's own
            // nested array belongs to the template.
            const group_t *nested = static_cast<const group_t *>(field->value);
            char *none = nullptr;
            int zero = 0;
            memcpy(record + reinterpret_cast<size_t>(nested->base), &none, sizeof(none));
            memcpy(record + reinterpret_cast<size_t>(nested->num), &zero, sizeof(zero));
        }
    }
}

void report_no_record(const group_t *group, const char *name)
{
    vn_config_add_error_message_fmt("%s:%d No record for group %s - ignoring %s\n", filename(), linenumber(),
                                    group->add_opt->longopt, name);
}

void add_record(group_t *group)
{
    group->has_record = 0;
    char **array_slot;
    int *count_slot;
    if (group->parent != nullptr) {
        char *parent_record = record_of(group->parent);
        if (parent_record == nullptr) {
            report_no_record(group->parent, group->add_opt->longopt);
            return;
        }
        array_slot = reinterpret_cast<char **>(parent_record + reinterpret_cast<size_t>(group->base));
        count_slot = reinterpret_cast<int *>(parent_record + reinterpret_cast<size_t>(group->num));
    } else {
        if (group->base == nullptr || group->num == nullptr)
            return;
        array_slot = static_cast<char **>(group->base);
        count_slot = group->num;
    }
    int count;
    memcpy(&count, count_slot, sizeof(count));
    if (count < 0 || count == INT_MAX)
        return;
    count++;
    char *array;
    memcpy(&array, array_slot, sizeof(array));
    array = static_cast<char *>(vn_realloc(array, static_cast<size_t>(count) * group->size));
    memcpy(array_slot, &array, sizeof(array));
    char *record = array + static_cast<size_t>(count - 1) * group->size;
    const void *template_record = group->add_opt->def;
    if (template_record != nullptr)
        memcpy(record, template_record, group->size);
    else
        memset(record, 0, group->size);
    own_record_fields(group, record);
    memcpy(count_slot, &count, sizeof(count));
    group->next = count - 1;
    group->has_record = 1;
}

void close_group(vn_config_ctx_t *context, group_t *group)
{
    group_t *parent = group ? group->parent : nullptr;
    context->_current_group = parent;
    context->_current_list = parent ? &parent->list : &context->_option_list;
}

} // namespace

// ---- Contexts and registration (C interface) --------------------------------

extern "C" {

const char *_vn_parse_help_string(const char *help, char **label)
{
    *label = nullptr;
    if (help == nullptr)
        return "";
    if (help[0] != '!')
        return help;
    const char *second = strchr(help + 1, '!');
    if (second == nullptr)
        return help;
    size_t length = static_cast<size_t>(second - (help + 1));
    *label = static_cast<char *>(vn_malloc(length + 1));
    memcpy(*label, help + 1, length);
    (*label)[length] = '\0';
    return second + 1;
}

vn_config_ctx_t *vn_config_new_ctx(void)
{
    vn_config_ctx_t *context = static_cast<vn_config_ctx_t *>(vn_calloc(1, sizeof(vn_config_ctx_t)));
    _vn_list_init(&context->_option_list);
    _vn_list_init(&context->_file_list);
    context->_current_list = &context->_option_list;
    return context;
}

vn_config_ctx_t *vn_config_set_ctx(vn_config_ctx_t *context)
{
    vn_config_ctx_t *previous = state().current_ctx;
    state().current_ctx = context;
    return previous;
}

vn_config_ctx_t *_vn_config_get_ctx(void)
{
    return state().current_ctx;
}

struct _macro_ctx *_vn_config_get_macro_context(void)
{
    return state().current_ctx ? state().current_ctx->macro : nullptr;
}

void vn_config_add_bounded_option_enum(char opt, const char *longopt, const char *help, int type, void *value,
                                       const vn_config_enum_t *enums, const void *min, const void *max)
{
    vn_config_ctx_t *context = ctx();
    option_t *option = new_option(opt, longopt, help, type, value);
    option->enums = enums;
    option->min = copy_bound(_VN_CONFIG_BASE_TYPE(type), min);
    option->max = copy_bound(_VN_CONFIG_BASE_TYPE(type), max);
    append_option(context, option);
    if (context->_current_group == nullptr)
        option->def = snapshot(context, _VN_CONFIG_BASE_TYPE(type), value);
}

void vn_config_add_option(char opt, const char *longopt, const char *help, int type, void *value)
{
    vn_config_add_bounded_option_enum(opt, longopt, help, type, value, nullptr, nullptr, nullptr);
}

void vn_config_add_option_enum(char opt, const char *longopt, const char *help, int type, void *value,
                               const vn_config_enum_t *enums)
{
    vn_config_add_bounded_option_enum(opt, longopt, help, type, value, enums, nullptr, nullptr);
}

void vn_config_add_bounded_option(char opt, const char *longopt, const char *help, int type, void *value,
                                  const void *min, const void *max)
{
    vn_config_add_bounded_option_enum(opt, longopt, help, type, value, nullptr, min, max);
}

void vn_config_add_bounded_array_option_enum(const char *longopt, const char *help, int type, void *value,
                                             int *count, const vn_config_enum_t *enums, const void *min,
                                             const void *max)
{
    vn_config_ctx_t *context = ctx();
    option_t *option = new_option(0, longopt, help, type | VN_CONFIG_ARRAY, value);
    option->enums = enums;
    option->min = copy_bound(_VN_CONFIG_BASE_TYPE(type) & ~VN_CONFIG_ARRAY, min);
    option->max = copy_bound(_VN_CONFIG_BASE_TYPE(type) & ~VN_CONFIG_ARRAY, max);
    option->def = count;
    append_option(context, option);
}

void vn_config_add_array_option(const char *longopt, const char *help, int type, void *value, int *count)
{
    vn_config_add_bounded_array_option_enum(longopt, help, type, value, count, nullptr, nullptr, nullptr);
}

void vn_config_add_array_option_enum(const char *longopt, const char *help, int type, void *value, int *count,
                                     const vn_config_enum_t *enums)
{
    vn_config_add_bounded_array_option_enum(longopt, help, type, value, count, enums, nullptr, nullptr);
}

void vn_config_add_bounded_array_option(const char *longopt, const char *help, int type, void *value, int *count,
                                        const void *min, const void *max)
{
    vn_config_add_bounded_array_option_enum(longopt, help, type, value, count, nullptr, min, max);
}

void vn_config_add_group(const char *longopt, const char *help, void *base, const void *template_record,
                         size_t size, int *num)
{
    vn_config_ctx_t *context = ctx();
    group_t *group = static_cast<group_t *>(vn_calloc(1, sizeof(group_t)));
    group->base = base;
    group->size = size;
    group->num = num;
    _vn_list_init(&group->list);
    group->parent = context->_current_group;
    option_t *option = new_option(0, longopt, help, VN_CONFIG_GROUP, group);
    option->def = const_cast<void *>(template_record);
    group->add_opt = option;
    append_option(context, option);
    context->_current_group = group;
    context->_current_list = &group->list;
}

void vn_config_end_group(const char *longopt, const char *help)
{
    vn_config_ctx_t *context = ctx();
    group_t *group = context->_current_group;
    if (group == nullptr)
        return; // a caller error: there is no group to end
    option_t *option = new_option(0, longopt, help, VN_CONFIG_END_GROUP, nullptr);
    context->_current_list = &group->list;
    append_option(context, option);
    group->end_opt = option;
    close_group(context, group);
}

void vn_config_add_section(const char *longopt, const char *help)
{
    vn_config_ctx_t *context = ctx();
    section_t *section = static_cast<section_t *>(vn_calloc(1, sizeof(section_t)));
    _vn_list_init(&section->list);
    option_t *option = new_option(0, longopt, help, VN_CONFIG_SECTION, section);
    section->opt = option;
    append_option(context, option);
    context->_current_section = section;
    context->_current_list = &section->list;
}

void vn_config_end_section(const char *longopt, const char *help)
{
    vn_config_ctx_t *context = ctx();
    section_t *section = context->_current_section;
    if (section == nullptr)
        return; // a caller error: there is no section to end
    option_t *option = new_option(0, longopt, help, VN_CONFIG_END_SECTION, section);
    context->_current_list = &section->list;
    append_option(context, option);
    context->_current_section = nullptr;
    context->_current_list = &context->_option_list;
}

void vn_config_add_file(const char *name)
{
    configfile_t *entry = static_cast<configfile_t *>(vn_calloc(1, sizeof(configfile_t)));
    entry->file = name ? vn_strdup(name) : nullptr;
    _vn_list_add_head(&ctx()->_file_list, &entry->list);
}

void vn_config_add_search(const char *path)
{
    if (path == nullptr)
        return;
    searchpath_t *entry = static_cast<searchpath_t *>(vn_calloc(1, sizeof(searchpath_t)));
    std::string text = path;
    if (!text.empty() && text.back() != '/')
        text += '/';
    entry->path = vn_strdup(text.c_str());
    _vn_list_add_head(&state().search_list, &entry->list);
}

namespace {
configtest_t *find_test(const char *tag)
{
    vn_list_t *tests = &state().config_tests;
    for (vn_list_t *link = tests->next; link != tests; link = link->next) {
        configtest_t *test = _vn_list_entry(link, configtest_t, list);
        if (strcmp(test->tag, tag) == 0)
            return test;
    }
    return nullptr;
}
} // namespace

void vn_config_set_test(const char *tag, char **correct_value)
{
    if (tag == nullptr)
        return;
    configtest_t *test = find_test(tag);
    if (test == nullptr) {
        test = static_cast<configtest_t *>(vn_calloc(1, sizeof(configtest_t)));
        test->tag = vn_strdup(tag);
        _vn_list_add_tail(&state().config_tests, &test->list);
    }
    test->correct_value = correct_value;
}

void vn_config_del_test(const char *tag)
{
    configtest_t *test = tag ? find_test(tag) : nullptr;
    if (test == nullptr)
        return;
    _vn_list_del(&test->list);
    vn_free(test->tag);
    vn_free(test);
}

void vn_config_del_option(const char *name)
{
    if (name == nullptr)
        return;
    vn_config_ctx_t *context = ctx();
    option_t *option = index_find(&context->_option_list, name);
    if (option == nullptr)
        return;
    _vn_list_del(&option->list);
    index_remove(&context->_option_list, option);
    switch (base_type(option)) {
    case VN_CONFIG_STRING:
        if (option->value != nullptr) {
            char **variable = static_cast<char **>(option->value);
            vn_free(*variable);
            *variable = nullptr;
        }
        vn_free(option->def);
        break;
    case VN_CONFIG_FILE:
        if (option->def != nullptr) {
            configfile_t *entry = static_cast<configfile_t *>(option->def);
            _vn_list_del(&entry->list);
            vn_free(entry->file);
            vn_free(entry);
        }
        break;
    case VN_CONFIG_BOOL:
    case VN_CONFIG_INT:
    case VN_CONFIG_DOUBLE:
    case VN_CONFIG_CHAR: vn_free(option->def); break;
    case VN_CONFIG_GROUP:
    case VN_CONFIG_SECTION:
        return; // the group or section record still names its opening option
    default: break; // arrays point at their module's data
    }
    vn_free(option->longopt);
    vn_free(option->help);
    vn_free(option->docstring);
    vn_free(option->min);
    vn_free(option->max);
    vn_free(option);
}

option_t *_vn_config_find_option(const char *name)
{
    if (name == nullptr)
        return nullptr;
    return index_find(ctx()->_current_list, name);
}

// ---- Messages -----------------------------------------------------------------

const char *vn_config_get_filename(void)
{
    return filename();
}

int vn_config_get_linenumber(void)
{
    return linenumber();
}

void vn_config_add_error_message(const char *text)
{
    if (text != nullptr)
        state().messages.emplace_back(text);
}

void vn_config_add_error_message_fmt(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    std::string text = vformat(format, ap);
    va_end(ap);
    fputs(text.c_str(), stderr);
    fflush(stderr);
    state().messages.push_back(std::move(text));
}

void vn_config_add_config_reading_message_fmt(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    std::string text = vformat(format, ap);
    va_end(ap);
    if (c_verbose_config) {
        fputs(text.c_str(), stderr);
        fflush(stderr);
    }
    state().messages.push_back(std::move(text));
}

void unknown_option(const char *name)
{
    const char *more = strlen(name) > 50 ? "..." : "";
    vn_config_ctx_t *context = ctx();
    const option_t *opener = nullptr;
    if (context->_current_group != nullptr)
        opener = context->_current_group->add_opt;
    else if (context->_current_section != nullptr)
        opener = context->_current_section->opt;
    if (opener != nullptr)
        vn_config_add_error_message_fmt("%s:%d Unknown option: %s:%.50s%s\n", filename(), linenumber(),
                                        opener->longopt, name, more);
    else
        vn_config_add_error_message_fmt("%s:%d Unknown option: %.50s%s\n", filename(), linenumber(), name, more);
}

} // extern "C"

// ---- Value conversion ---------------------------------------------------------

namespace {

// The prefix of invalid-value messages: the open section's or group's keyword.
std::string option_prefix()
{
    vn_config_ctx_t *context = ctx();
    if (context->_current_section != nullptr)
        return std::string(context->_current_section->opt->longopt) + ":";
    if (context->_current_group != nullptr)
        return std::string(context->_current_group->add_opt->longopt) + ":";
    return "";
}

void report_invalid(const option_t *option, const char *word, const char *text)
{
    vn_config_add_error_message_fmt("%s:%d invalid %s value: '%s%s' = '%s'\n", filename(), linenumber(), word,
                                    option_prefix().c_str(), option->longopt, text);
}

const vn_config_enum_t *find_enum(const vn_config_enum_t *table, std::string_view name)
{
    for (; table->name != nullptr; table++)
        if (name == table->name)
            return table;
    return nullptr;
}

bool is_modifier(char c)
{
    return c == '|' || c == ',' || c == '&' || c == '+';
}

// Names joined by modifiers, through the table. Unknown names are reported
// (with an option) and count as nothing.
bool enum_convert(const option_t *option, const char *text, const vn_config_enum_t *table, double *result)
{
    if (table == nullptr)
        return false;
    const char *modifier = text;
    while (*modifier && !is_modifier(*modifier))
        modifier++;
    if (*modifier && option && (option->type & VN_CONFIG_STRICT)) {
        vn_config_add_error_message_fmt("%s:%d Found unexpected modifier ('%c') for strict enumerated type\n",
                                        filename(), linenumber(), *modifier);
        return false;
    }
    auto lookup = [&](std::string_view name) -> const vn_config_enum_t * {
        const vn_config_enum_t *row = find_enum(table, name);
        if (row == nullptr && option != nullptr) {
            std::string copy(name);
            report_invalid(option, type_word(base_type(option)), copy.c_str());
        }
        return row;
    };
    if (*modifier == '\0') {
        const vn_config_enum_t *row = lookup(text);
        *result = row ? row->value : 0;
        return true;
    }
    int accumulator = 0;
    char op = 0;
    const char *start = text;
    for (;;) {
        const char *end = start;
        while (*end && !is_modifier(*end))
            end++;
        const vn_config_enum_t *row = lookup(std::string_view(start, static_cast<size_t>(end - start)));
        if (row != nullptr) {
            int value = static_cast<int>(row->value);
            if (op == 0)
                accumulator = value;
            else if (op == '&')
                accumulator &= value;
            else if (op == '+')
                accumulator += value;
            else
                accumulator |= value;
        }
        if (*end == '\0')
            break;
        op = *end;
        start = end + 1;
    }
    *result = accumulator;
    return true;
}

bool int_convert(const option_t *option, const char *text, int32_t *result)
{
    char *end;
    errno = 0;
    long value = strtol(text, &end, 0);
    if (*end != '\0') {
        double named;
        if (!enum_convert(option, text, option->enums, &named))
            return false;
        *result = static_cast<int32_t>(named);
        return true;
    }
    // A number the 32-bit variable cannot hold is refused rather than wrapped.
    if (errno == ERANGE || value < INT32_MIN || value > INT32_MAX)
        return false;
    if (option->min && value < *static_cast<int *>(option->min)) {
        vn_config_add_error_message_fmt("%s:%d '%s' value %ld is below minimum (%d) - setting to minimum\n",
                                        filename(), linenumber(), option->longopt, value,
                                        *static_cast<int *>(option->min));
        value = *static_cast<int *>(option->min);
    }
    if (option->max && value > *static_cast<int *>(option->max)) {
        vn_config_add_error_message_fmt("%s:%d '%s' value %ld is above maximum (%d) - setting to maximum\n",
                                        filename(), linenumber(), option->longopt, value,
                                        *static_cast<int *>(option->max));
        value = *static_cast<int *>(option->max);
    }
    if (option->enums && (option->type & VN_CONFIG_STRICT)) {
        bool matched = false;
        for (const vn_config_enum_t *row = option->enums; row->name && !matched; row++)
            matched = static_cast<long>(static_cast<int>(row->value)) == value;
        if (!matched) {
            vn_config_add_error_message_fmt("%s:%d '%s' value %ld failed to match an enumerated value\n",
                                            filename(), linenumber(), option->longopt, value);
            return false;
        }
    }
    *result = static_cast<int32_t>(value);
    return true;
}

bool double_convert(const option_t *option, const char *text, double *result)
{
    char *end;
    double value = strtod(text, &end);
    if (*end != '\0')
        return enum_convert(option, text, option->enums, result);
    if (option->min && value < *static_cast<double *>(option->min)) {
        vn_config_add_error_message_fmt("%s:%d '%s' value %f is below minimum (%f) - setting to minimum\n",
                                        filename(), linenumber(), option->longopt, value,
                                        *static_cast<double *>(option->min));
        value = *static_cast<double *>(option->min);
    }
    if (option->max && value > *static_cast<double *>(option->max)) {
        vn_config_add_error_message_fmt("%s:%d '%s' value %f is above maximum (%f) - setting to maximum\n",
                                        filename(), linenumber(), option->longopt, value,
                                        *static_cast<double *>(option->max));
        value = *static_cast<double *>(option->max);
    }
    if (option->enums && (option->type & VN_CONFIG_STRICT)) {
        bool matched = false;
        for (const vn_config_enum_t *row = option->enums; row->name && !matched; row++)
            matched = row->value == value;
        if (!matched) {
            vn_config_add_error_message_fmt("%s:%d '%s' value %f failed to match an enumerated value\n",
                                            filename(), linenumber(), option->longopt, value);
            return false;
        }
    }
    *result = value;
    return true;
}

void replace_text(char **slot, const char *text)
{
    char *copy = vn_strdup(text);
    vn_free(*slot);
    *slot = copy;
}

std::string join_words(const Words &words)
{
    std::string joined;
    for (int i = 0; i < words.count(); i++) {
        if (i)
            joined += ' ';
        joined += words[i];
    }
    return joined;
}

void set_string(const option_t *option, char *variable, const char *text, int check_only)
{
    Words words(text);
    bool empty = words.count() == 0 || (words.count() == 1 && words[0][0] == '\0');
    if (empty)
        vn_config_add_error_message_fmt("%s:%d Potential dubious configuration value: '%s' = '%s'\n", filename(),
                                        linenumber(), option->longopt, text);
    if (check_only)
        return;
    replace_text(reinterpret_cast<char **>(variable), empty ? "" : join_words(words).c_str());
}

void set_char(char *variable, const char *text)
{
    if (strlen(text) < 2) {
        *variable = text[0];
        return;
    }
    std::string number = text;
    if (number[0] == '\\')
        number[0] = '0';
    char *end;
    long value = strtol(number.c_str(), &end, 0);
    if (*end == '\0')
        *variable = static_cast<char>(value & 0xff);
}

void set_file(const option_t *option, char *variable, const char *text)
{
    Words words(text);
    if (words.count() == 0)
        return;
    replace_text(reinterpret_cast<char **>(variable), words[0]);
    if (option->def != nullptr && option->owner == nullptr)
        replace_text(&static_cast<configfile_t *>(option->def)->file, words[0]);
}

void set_number_array(const option_t *option, char *variable, int *count_slot, const char *text, int check_only)
{
    Words words(text);
    if (words.count() == 0)
        return;
    bool is_int = (base_type(option) & ~VN_CONFIG_ARRAY) == VN_CONFIG_INT;
    const char *word = is_int ? "integer" : "float";
    int count = 0;
    char *array = nullptr;
    if (!check_only) {
        memcpy(&count, count_slot, sizeof(count));
        if (count < 0 || count > INT_MAX - words.count())
            return;
        memcpy(&array, variable, sizeof(array));
        size_t size = element_size(base_type(option));
        array = static_cast<char *>(vn_realloc(array, size * static_cast<size_t>(count + words.count())));
        memcpy(variable, &array, sizeof(array));
    }
    for (int i = 0; i < words.count(); i++) {
        int32_t int_value = 0;
        double double_value = 0;
        bool ok = is_int ? int_convert(option, words[i], &int_value)
                         : double_convert(option, words[i], &double_value);
        if (!ok)
            report_invalid(option, word, words[i]);
        if (check_only)
            continue;
        // An element whose word did not convert still counts, holding 0.
        if (is_int)
            memcpy(array + sizeof(int32_t) * static_cast<size_t>(count + i), &int_value, sizeof(int_value));
        else
            memcpy(array + sizeof(double) * static_cast<size_t>(count + i), &double_value, sizeof(double_value));
    }
    if (!check_only) {
        count += words.count();
        memcpy(count_slot, &count, sizeof(count));
    }
}

void set_text_array(const option_t *option, char *variable, int *count_slot, const char *text)
{
    Words words(text);
    int count;
    memcpy(&count, count_slot, sizeof(count));
    if (words.count() == 0 || count < 0 || count > INT_MAX - words.count())
        return;
    bool strings = (base_type(option) & ~VN_CONFIG_ARRAY) == VN_CONFIG_STRING;
    char *array;
    memcpy(&array, variable, sizeof(array));
    array = static_cast<char *>(
        vn_realloc(array, element_size(base_type(option)) * static_cast<size_t>(count + words.count())));
    memcpy(variable, &array, sizeof(array));
    for (int i = 0; i < words.count(); i++, count++) {
        if (strings)
            reinterpret_cast<char **>(array)[count] = vn_strdup(words[i]);
        else
            array[count] = words[i][0];
    }
    memcpy(count_slot, &count, sizeof(count));
}

// Groups, sections and booleans act with or without a value.
bool set_structural(vn_config_ctx_t *context, option_t *option, char *variable, const char *text,
                    int check_only)
{
    switch (base_type(option)) {
    case VN_CONFIG_BOOL:
        if (!check_only && variable != nullptr)
            *variable = (text != nullptr && strcasecmp(text, "false") == 0) ? 0 : 1;
        return true;
    case VN_CONFIG_GROUP: {
        group_t *group = static_cast<group_t *>(option->value);
        context->_current_group = group;
        context->_current_list = &group->list;
        if (check_only)
            group->has_record = 0; // fields on later active lines must not land in an older record
        else
            add_record(group);
        return true;
    }
    case VN_CONFIG_END_GROUP:
        close_group(context, option->owner);
        return true;
    case VN_CONFIG_SECTION:
        context->_current_section = static_cast<section_t *>(option->value);
        context->_current_list = &context->_current_section->list;
        return true;
    case VN_CONFIG_END_SECTION:
        context->_current_section = nullptr;
        context->_current_list = &context->_option_list;
        return true;
    default: return false;
    }
}

bool takes_no_value(const option_t *option)
{
    int type = base_type(option);
    return type == VN_CONFIG_BOOL || type == VN_CONFIG_GROUP || type == VN_CONFIG_END_GROUP;
}

void report_deprecated(const option_t *option)
{
    if (option->owner != nullptr)
        vn_config_add_error_message_fmt("%s:%d Option %s/%s is deprecated: %s\n", filename(), linenumber(),
                                        option->owner->add_opt->longopt, option->longopt, option->help);
    else
        vn_config_add_error_message_fmt("%s:%d Option %s is deprecated: %s\n", filename(), linenumber(),
                                        option->longopt, option->help);
}

// Converts and stores a value by the option's type; nothing is stored while only checking.
void store_value(option_t *option, char *variable, int *count_slot, const char *text, int check_only)
{
    int type = base_type(option);
    switch (type) {
    case VN_CONFIG_INT: {
        int32_t value;
        if (!int_convert(option, text, &value))
            report_invalid(option, type_word(type), text);
        else if (!check_only)
            memcpy(variable, &value, sizeof(value));
        break;
    }
    case VN_CONFIG_DOUBLE: {
        double value;
        if (!double_convert(option, text, &value))
            report_invalid(option, type_word(type), text);
        else if (!check_only)
            memcpy(variable, &value, sizeof(value));
        break;
    }
    case VN_CONFIG_STRING: set_string(option, variable, text, check_only); break;
    case VN_CONFIG_CHAR:
        if (!check_only)
            set_char(variable, text);
        break;
    case VN_CONFIG_FUNCTION:
        if (!check_only && option->value != nullptr) {
            Words words(text);
            reinterpret_cast<vn_config_func_t>(option->value)(option->longopt, words.count(), words.words());
        }
        break;
    case VN_CONFIG_FILE:
        if (!check_only)
            set_file(option, variable, text);
        break;
    case VN_CONFIG_ARRAY | VN_CONFIG_INT:
    case VN_CONFIG_ARRAY | VN_CONFIG_DOUBLE: set_number_array(option, variable, count_slot, text, check_only); break;
    case VN_CONFIG_ARRAY | VN_CONFIG_STRING:
    case VN_CONFIG_ARRAY | VN_CONFIG_CHAR:
        if (!check_only)
            set_text_array(option, variable, count_slot, text);
        break;
    default: break;
    }
}

} // namespace

extern "C" {

void set_value(option_t *option, const char *text, int check_only)
{
    if (option == nullptr)
        return;
    vn_config_ctx_t *context = ctx();
    int type = base_type(option);
    bool is_field = option->owner != nullptr && type != VN_CONFIG_GROUP && type != VN_CONFIG_END_GROUP &&
                    type != VN_CONFIG_SECTION && type != VN_CONFIG_END_SECTION && type != VN_CONFIG_FUNCTION;
    char *base = nullptr;
    if (is_field && !check_only) {
        base = record_of(option->owner);
        if (base == nullptr) {
            report_no_record(option->owner, option->longopt);
            return;
        }
    }
    if (option->type & VN_CONFIG_DEPRECATED)
        report_deprecated(option);
    // Nothing is stored while only checking; a top-level option registered
    // without a variable has nowhere to store.
    char *variable = nullptr;
    int *count_slot = nullptr;
    if (base != nullptr) {
        variable = base + reinterpret_cast<size_t>(option->value);
        count_slot = reinterpret_cast<int *>(base + reinterpret_cast<size_t>(option->def));
    } else if (!is_field) {
        variable = static_cast<char *>(option->value);
        count_slot = static_cast<int *>(option->def);
    }
    if (set_structural(context, option, variable, text, check_only) || text == nullptr)
        return;
    bool has_storage = check_only || (variable != nullptr && (!(type & VN_CONFIG_ARRAY) || count_slot));
    if (!has_storage && type != VN_CONFIG_FUNCTION)
        return;
    store_value(option, variable, count_slot, text, check_only);
}

void vn_config_set_option(const char *name, const char *text)
{
    option_t *option = _vn_config_find_option(name);
    if (option == nullptr)
        return;
    std::string copy = text ? text : "";
    set_value(option, text ? copy.c_str() : nullptr, 0);
}

int vn_config_get_enum(const char *text, const vn_config_enum_t *table)
{
    if (text == nullptr)
        return 0;
    char *end;
    long value = strtol(text, &end, 0);
    if (*end == '\0')
        return static_cast<int>(value);
    double named = 0;
    if (!enum_convert(nullptr, text, table, &named))
        return 0;
    return static_cast<int>(named);
}

char *_vn_config_get_option_value(const char *name, char *buffer, size_t size)
{
    option_t *option = _vn_config_find_option(name);
    if (option == nullptr || buffer == nullptr || size == 0)
        return nullptr;
    const char *variable;
    if (option->owner != nullptr) {
        const char *record = record_of(option->owner);
        if (record == nullptr)
            return nullptr;
        variable = record + reinterpret_cast<size_t>(option->value);
    } else {
        variable = static_cast<const char *>(option->value);
    }
    if (variable == nullptr)
        return nullptr;
    switch (base_type(option)) {
    case VN_CONFIG_BOOL: snprintf(buffer, size, "%d", *variable); break;
    case VN_CONFIG_INT: {
        int32_t value;
        memcpy(&value, variable, sizeof(value));
        snprintf(buffer, size, "%d", value);
        break;
    }
    case VN_CONFIG_DOUBLE: {
        double value;
        memcpy(&value, variable, sizeof(value));
        snprintf(buffer, size, "%g", value);
        break;
    }
    case VN_CONFIG_STRING: {
        const char *text;
        memcpy(&text, variable, sizeof(text));
        snprintf(buffer, size, "%s", text ? text : "");
        break;
    }
    case VN_CONFIG_CHAR: snprintf(buffer, size, "%c", *variable); break;
    default: return nullptr;
    }
    return buffer;
}

// ---- Command line -------------------------------------------------------------

namespace {

// Applies one argument; `next` is the following argument or NULL. Returns how
// many arguments it consumed beyond itself (0 or 1), -1 when a value is
// missing (which ends the parsing), or -2 when the argument matched nothing.
int parse_long_argument(const vn_list_t *list, const char *name, const char *next)
{
    const char *equals = strchr(name, '=');
    size_t length = equals ? static_cast<size_t>(equals - name) : strlen(name);
    option_t *option = index_find(list, std::string_view(name, length));
    if (option == nullptr)
        return -2;
    if (takes_no_value(option)) {
        set_value(option, nullptr, 0);
        return 0;
    }
    if (equals != nullptr) {
        set_value(option, equals + 1, 0);
        return 0;
    }
    if (next == nullptr)
        return -1;
    set_value(option, next, 0);
    return 1;
}

int parse_short_argument(const char *letters, const char *next)
{
    bool matched = false;
    for (const char *letter = letters; *letter; letter++) {
        option_t *option = find_letter(ctx()->_current_list, *letter);
        if (option == nullptr)
            continue;
        matched = true;
        if (takes_no_value(option)) {
            set_value(option, nullptr, 0);
        } else if (letter[1] == '\0') {
            if (next == nullptr)
                return -1;
            set_value(option, next, 0);
            return 1;
        }
    }
    return matched ? 0 : -2;
}

} // namespace

void vn_config_parse_args(int argc, char **argv, int *kept)
{
    set_filename("args");
    std::vector<char *> keep;
    for (int i = 1; i < argc && argv != nullptr; i++) {
        state().linenumber = i;
        char *argument = argv[i];
        if (argument == nullptr)
            break;
        const char *next = i + 1 < argc ? argv[i + 1] : nullptr;
        int used = -2;
        if (argument[0] == '-' && argument[1] == '-')
            used = parse_long_argument(ctx()->_current_list, argument + 2, next);
        else if (argument[0] == '-' && argument[1] != '\0')
            used = parse_short_argument(argument + 1, next);
        if (used == -1)
            break;
        if (used == -2)
            keep.push_back(argument);
        else
            i += used;
    }
    if (kept != nullptr) {
        for (size_t k = 0; k < keep.size(); k++)
            argv[k + 1] = keep[k];
        *kept = argc < 1 ? argc : static_cast<int>(keep.size()) + 1;
    }
    // A group or section opened on the command line ends with it, so that
    // later registrations and lookups are made at the top level again.
    vn_config_ctx_t *context = ctx();
    context->_current_group = nullptr;
    context->_current_section = nullptr;
    context->_current_list = &context->_option_list;
}

} // extern "C"

// ---- Configuration file reader ----------------------------------------------------

namespace {

bool level_active(int level)
{
    return level >= kMaxTestDepth ? false : (state().test_list[level] & ~kInactiveTaken) == 1;
}

bool test_active()
{
    int depth = state().test_depth;
    return depth == 0 || level_active(depth - 1);
}

bool enclosing_active()
{
    int depth = state().test_depth;
    return depth <= 1 || level_active(depth - 2);
}

// 1 true, 0 false, -1 no condition at all.
int evaluate_condition(const char *argument)
{
    if (argument != nullptr) {
        Words words(argument);
        if (words.count() >= 2) {
            configtest_t *test = find_test(words[0]);
            if (test != nullptr) {
                const char *value = test->correct_value ? *test->correct_value : nullptr;
                return value != nullptr && strcmp(value, words[1]) == 0;
            }
        }
    }
    if (argument == nullptr) {
        vn_config_add_error_message_fmt("%s:%d Expected expression\n", filename(), linenumber());
        return -1;
    }
    vn_config_expr_t *expression = _vn_config_expr_compile(argument);
    if (expression == nullptr) {
        vn_config_add_error_message_fmt("%s:%d Invalid condition '%s'\n", filename(), linenumber(), argument);
        return 0;
    }
    char *result = _vn_config_expr_eval(expression);
    long number = result ? strtol(result, nullptr, 10) : 0;
    vn_free(result);
    _vn_config_expr_delete(expression);
    return number != 0;
}

void push_test(int value)
{
    ConfigState &st = state();
    st.test_list[st.test_depth++] = value;
}

void handle_if(const char *argument)
{
    ConfigState &st = state();
    if (st.test_depth >= kMaxTestDepth) {
        vn_config_add_error_message_fmt("%s:%d Too many sub tests in file - Max %d\n", filename(), linenumber(),
                                        kMaxTestDepth);
        st.test_depth++; // a level beyond the stack: inactive until its endif
        return;
    }
    bool active = test_active();
    int result = evaluate_condition(argument);
    if (result == 1)
        push_test(active ? kActiveTaken : kInactiveUntaken);
    else if (result == 0)
        push_test(kInactiveUntaken);
    else
        push_test(kInactiveTaken); // no condition: no branch of this if is taken
}

void handle_elseif(const char *argument)
{
    ConfigState &st = state();
    if (st.test_depth == 0) {
        vn_config_add_error_message_fmt("%s:%d Can't Perform an 'elseif' outside an if/endif\n", filename(),
                                        linenumber());
        return;
    }
    if (st.test_depth > kMaxTestDepth || !enclosing_active())
        return;
    int result = evaluate_condition(argument);
    int &top = st.test_list[st.test_depth - 1];
    if (top != kInactiveUntaken)
        top = kInactiveTaken;
    else if (result == 1)
        top = kActiveTaken;
    else if (result == -1)
        top = kInactiveTaken;
}

void handle_else()
{
    ConfigState &st = state();
    if (st.test_depth == 0) {
        vn_config_add_error_message_fmt("%s:%d Can't Perform an 'else' outside an if/endif\n", filename(),
                                        linenumber());
        return;
    }
    if (st.test_depth > kMaxTestDepth || !enclosing_active())
        return;
    int &top = st.test_list[st.test_depth - 1];
    top = top == kInactiveUntaken ? kActiveTaken : kInactiveTaken;
}

void handle_endif()
{
    ConfigState &st = state();
    if (st.test_depth == 0) {
        vn_config_add_error_message_fmt("%s:%d Can't delete a test level as there are none available\n", filename(),
                                        linenumber());
        return;
    }
    st.test_depth--;
}

void set_ccd(const std::string &directory)
{
    ConfigState &st = state();
    st.ccd = directory;
    vn_config_ctx_t *context = ctx();
    if (context->macro != nullptr)
        _vn_config_macro_store_var(context->macro, "ccd", directory.c_str());
}

// "ccd" is the absolute directory of the file being read.
void update_ccd(const char *name)
{
    const char *slash = strrchr(name, '/');
    // One initialisation: g++ 12 at -O2 and above takes a later assignment of
    // "/" for an overlapping copy (a false -Wrestrict inside std::string).
    std::string directory = slash == nullptr ? "."
                            : slash == name  ? "/"
                                             : std::string(name, static_cast<size_t>(slash - name));
    char *absolute = realpath(directory.c_str(), nullptr);
    if (absolute == nullptr)
        return; // the directory cannot be entered: "ccd" keeps its value
    set_ccd(absolute);
    free(absolute);
}

int config_glob_and_parse(const std::string &pattern, bool is_pattern)
{
    glob_t matches;
    if (glob(pattern.c_str(), 0, nullptr, &matches) != 0)
        return 0;
    int read = 0;
    for (size_t i = 0; i < matches.gl_pathc; i++) {
        int refusals = state().refusals;
        if (vn_config_parse_file(matches.gl_pathv[i])) {
            read++;
        } else if (state().refusals != refusals) {
            continue; // already reported
        } else if (is_pattern) {
            vn_config_add_config_reading_message_fmt("%s:%d Configuration File '%s' not available\n", filename(),
                                                     linenumber(), matches.gl_pathv[i]);
        } else {
            vn_config_add_error_message_fmt("%s:%d Configuration File '%s' not available\n", filename(),
                                            linenumber(), matches.gl_pathv[i]);
        }
    }
    globfree(&matches);
    return read;
}

void include_file(const char *name)
{
    ConfigState &st = state();
    if (st.include_depth >= kMaxIncludeDepth) {
        vn_config_add_error_message_fmt("%s:%d Include depth of %d exceeded - not including '%s'\n", filename(),
                                        linenumber(), kMaxIncludeDepth, name);
        return;
    }
    bool is_pattern = strpbrk(name, "?*") != nullptr;
    char mapped[kLineSize];
    snprintf(mapped, sizeof(mapped), "%s", name);
    vn_config_percent_mappings_r(mapped);
    std::string including = st.filename;
    int line = st.linenumber;
    std::string ccd = st.ccd;

    // A refused file was found and reported: looking elsewhere would only
    // find and refuse it again.
    int read = 0;
    int refusals = st.refusals;
    auto settled = [&] { return read != 0 || st.refusals != refusals; };
    if (st.current_search != nullptr)
        read = config_glob_and_parse(std::string(st.current_search->path) + mapped, is_pattern);
    if (!settled())
        read = config_glob_and_parse(mapped, is_pattern);
    if (!settled()) {
        size_t slash = including.rfind('/');
        if (slash != std::string::npos)
            read = config_glob_and_parse(including.substr(0, slash + 1) + mapped, is_pattern);
        else
            read = vn_config_parse_file(name);
    }

    set_filename(including.c_str());
    st.linenumber = line;
    set_ccd(ccd);
    if (settled())
        return;
    if (is_pattern)
        vn_config_add_config_reading_message_fmt("%s:%d Configuration File '%s' not available\n", filename(),
                                                 linenumber(), mapped);
    else
        vn_config_add_error_message_fmt("%s:%d Configuration File '%s' not available\n", filename(), linenumber(),
                                        mapped);
}

// The first word of an argument, or nothing.
std::string first_word(const char *argument)
{
    if (argument == nullptr)
        return "";
    Words words(argument);
    return words.count() ? words[0] : "";
}

void handle_keyword(const char *keyword, const char *argument)
{
    bool active = test_active();
    _vn_set_define_warning_reporting(active);
    if (strcmp(keyword, "include-file") == 0) {
        std::string name = first_word(argument);
        if (active && !name.empty())
            include_file(name.c_str());
        return;
    }
    if (strcmp(keyword, "include-dir") == 0) {
        std::string path = first_word(argument);
        if (active && argument != nullptr)
            vn_config_add_search(path.c_str());
        return;
    }
    vn_config_ctx_t *context = ctx();
    option_t *option = index_find(context->_current_list, keyword);
    if (option == nullptr && context->_current_group != nullptr && strncmp(keyword, "end-", 4) == 0)
        option = context->_current_group->end_opt;
    if (option != nullptr)
        set_value(option, argument, !active);
    else
        unknown_option(keyword);
}

// Cuts a "#" comment outside quotes and the blanks before it.
void cut_comment(char *text)
{
    char quote = 0;
    for (char *p = text; *p; p++) {
        if (*p == '\\') {
            if (p[1] == '\0')
                break;
            p++;
        } else if (quote != 0) {
            if (*p == quote)
                quote = 0;
        } else if (*p == '"' || *p == '\'') {
            quote = *p;
        } else if (*p == '#') {
            *p = '\0';
            break;
        }
    }
    size_t length = strlen(text);
    while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\t'))
        text[--length] = '\0';
}

void trim_trailing_space(std::string &text)
{
    while (!text.empty() && (text.back() == ' ' || (text.back() >= '\t' && text.back() <= '\r')))
        text.pop_back();
}

void dump_piece(const char *piece)
{
    ConfigState &st = state();
    if (st.config_fp == nullptr)
        return;
    if (st.write_config_mode == 1 && st.last_file != st.filename) {
        fprintf(st.config_fp, "# %s\n", st.filename);
        st.last_file = st.filename;
    }
    fprintf(st.config_fp, "%s\n", piece);
}

bool is_keyword(const char *keyword, const char *name)
{
    return strcasecmp(keyword, name) == 0;
}

void handle_piece(std::string_view raw)
{
    std::string untouched(raw);
    std::string piece = untouched;
    trim_trailing_space(piece);
    size_t start = piece.find_first_not_of(" \t");
    if (start == std::string::npos || piece[start] == '#')
        return;
    dump_piece(piece.c_str());
    char *text = piece.data() + start;
    cut_comment(text);
    char *keyword = text;
    char *argument = nullptr;
    char *end = keyword + strcspn(keyword, " \t");
    if (*end != '\0') {
        *end = '\0';
        argument = end + 1 + strspn(end + 1, " \t");
    }
    struct _macro_ctx *macro = ctx()->macro;
    if (is_keyword(keyword, "endmacro")) {
        _vn_config_macro_end(macro);
        return;
    }
    if (_vn_config_macro_add(macro, untouched.c_str()) == 0)
        return;
    if (is_keyword(keyword, "if"))
        handle_if(argument);
    else if (is_keyword(keyword, "elseif"))
        handle_elseif(argument);
    else if (is_keyword(keyword, "else"))
        handle_else();
    else if (is_keyword(keyword, "endif"))
        handle_endif();
    else
        handle_keyword(keyword, argument);
}

// An expanded line may hold several lines (a macro call): each is cut at its
// newline, or at a carriage return when it has none.
void handle_expanded(const char *expanded)
{
    std::string_view rest(expanded);
    while (!rest.empty()) {
        size_t cut = rest.find('\n');
        if (cut == std::string_view::npos)
            cut = rest.find('\r');
        handle_piece(rest.substr(0, cut));
        if (cut == std::string_view::npos)
            break;
        rest.remove_prefix(cut + 1);
    }
}

enum class SourceKind { kFile, kPipe };

struct Source {
    FILE *fp = nullptr;
    SourceKind kind = SourceKind::kFile;
    bool plain_file = false;
};

FILE *open_command(const std::string &command)
{
    if (command.size() > kMaxCommand) {
        vn_config_add_error_message_fmt("%s:%d Command too long - not run: %.50s...\n", filename(), linenumber(),
                                        command.c_str());
        return nullptr;
    }
    fflush(nullptr); // the child must not repeat our unwritten output
    return popen(command.c_str(), "r");
}

Source open_source(const char *resolved, bool exists)
{
    Source source;
    if (strncmp(resolved, "http://", 7) == 0 || strncmp(resolved, "https://", 8) == 0) {
        if (c_http_download_command != nullptr)
            source.fp = open_command(std::string(c_http_download_command) + " " + resolved);
        source.kind = SourceKind::kPipe;
    } else if (resolved[0] == '|') {
        source.fp = open_command(resolved + 1);
        source.kind = SourceKind::kPipe;
    } else if (exists) {
        struct stat info;
        if (stat(resolved, &info) == 0 && S_ISDIR(info.st_mode))
            return source; // a directory is not a configuration file
        if (c_preprocessor_binary != nullptr && c_preprocessor_binary[0] != '\0') {
            source.fp = open_command(std::string(c_preprocessor_binary) + " " + resolved);
            source.kind = SourceKind::kPipe;
        } else {
            source.fp = fopen(resolved, "r");
            source.plain_file = true;
        }
    }
    return source;
}

bool is_local(const char *resolved)
{
    return resolved[0] != '|' && strncmp(resolved, "http://", 7) != 0 && strncmp(resolved, "https://", 8) != 0;
}

// A local file already being read would include itself again without end,
// and an included device such as /dev/zero would never end: both are
// refused. `real` gets the file's real path.
bool refuse_local(const char *resolved, std::string &real)
{
    ConfigState &st = state();
    char *absolute = realpath(resolved, nullptr);
    real = absolute ? absolute : resolved;
    free(absolute);
    struct stat info;
    if (std::find(st.reading.begin(), st.reading.end(), real) != st.reading.end()) {
        vn_config_add_error_message_fmt("%s:%d Configuration File '%s' is already being read - not including it\n",
                                        filename(), linenumber(), resolved);
    } else if (st.include_depth > 0 && stat(real.c_str(), &info) == 0 && !S_ISREG(info.st_mode) &&
               !S_ISDIR(info.st_mode)) {
        vn_config_add_error_message_fmt("%s:%d Configuration File '%s' is not a regular file - not including it\n",
                                        filename(), linenumber(), resolved);
    } else {
        return false;
    }
    st.refusals++;
    return true;
}

void record_reading(const char *resolved, const Source &source)
{
    if (source.plain_file && resolved[0] != '/') {
        char cwd[kPathSize];
        if (getcwd(cwd, sizeof(cwd)) == nullptr)
            cwd[0] = '\0';
        vn_config_add_config_reading_message_fmt("Reading config file %s/%s\n", cwd, resolved);
    } else {
        vn_config_add_config_reading_message_fmt("Reading config file %s\n", resolved);
    }
}

// Reads the lines of an open source; returns whether any line was read.
bool read_lines(FILE *fp)
{
    ConfigState &st = state();
    char line[kLineSize];
    bool any = false;
    while (fgets(line, sizeof(line), fp) != nullptr) {
        any = true;
        st.linenumber++;
        if (st.write_config_mode == 2 && st.config_fp != nullptr)
            fprintf(st.config_fp, "# %s:%d << %s", st.filename, st.linenumber, line);
        char *expanded = _vn_config_macro_parse(ctx()->macro, line);
        if (expanded == nullptr)
            continue;
        handle_expanded(expanded);
        vn_free(expanded);
    }
    return any;
}

bool same_file(const char *first, const char *second)
{
    struct stat a, b;
    return stat(first, &a) == 0 && stat(second, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

void close_dump()
{
    ConfigState &st = state();
    if (st.config_fp != nullptr)
        fclose(st.config_fp);
    st.config_fp = nullptr;
}

void read_dump_environment()
{
    ConfigState &st = state();
    if (st.write_config_mode >= 0)
        return;
    const char *mode = getenv("VNTK_CONFIG_DUMP");
    const char *directory = getenv("VNTK_CONFIG_DUMP_DIR");
    st.write_config_mode = 0;
    if (mode == nullptr || directory == nullptr)
        return;
    if (strcasecmp(mode, "processed") == 0)
        st.write_config_mode = 1;
    else if (strcasecmp(mode, "complete") == 0)
        st.write_config_mode = 2;
    st.write_config_dir = directory;
}

// Opens the dump for one attempt at `registered` (read from `source`).
void open_dump(const char *registered, const char *source)
{
    read_dump_environment();
    ConfigState &st = state();
    if (st.write_config_mode == 0)
        return;
    close_dump();
    const char *slash = strrchr(registered, '/');
    std::string path = st.write_config_dir + "/" + (slash ? slash + 1 : registered);
    // Truncating the dump must never truncate the configuration itself.
    if (same_file(path.c_str(), source)) {
        vn_config_add_error_message_fmt("Not writing configuration dump %s: it is the file being read\n",
                                        path.c_str());
        return;
    }
    st.config_fp = fopen(path.c_str(), "w");
    st.last_file.clear();
}

} // namespace

extern "C" {

int vn_config_parse_file(const char *name)
{
    if (name == nullptr)
        return 0;
    ConfigState &st = state();
    char resolved[kPathSize];
    bool exists = vn_filename_resolve(name, resolved, sizeof(resolved)) == 0;
    std::string real;
    bool local = exists && is_local(resolved);
    if (local && refuse_local(resolved, real))
        return 0;
    Source source = open_source(resolved, exists);
    if (source.fp == nullptr)
        return 0;
    record_reading(resolved, source);
    set_filename(resolved);
    st.linenumber = 0;
    vn_config_ctx_t *context = ctx();
    if (context->macro == nullptr)
        context->macro = _vn_config_macro_ctx_create();
    update_ccd(resolved);

    int depth = st.test_depth;
    st.include_depth++;
    if (local)
        st.reading.push_back(real);
    bool any = read_lines(source.fp);
    if (local)
        st.reading.pop_back();
    st.include_depth--;
    if (source.kind == SourceKind::kPipe)
        pclose(source.fp);
    else
        fclose(source.fp);
    if (st.test_depth != depth) {
        _vn_exit_log(1, "Missing endif in file %s\n", resolved);
        st.test_depth = depth; // only reached when the start-up record takes the exit
    }
    set_filename("None");
    st.linenumber = 0;
    if (any || source.plain_file)
        return 1;
    vn_config_add_error_message_fmt("Nothing read from file %s\n", resolved);
    return 0;
}

void vn_config_parse_files(void)
{
    ConfigState &st = state();
    vn_list_t *files = &ctx()->_file_list;
    for (vn_list_t *link = files->prev; link != files; link = link->prev) {
        configfile_t *entry = _vn_list_entry(link, configfile_t, list);
        for (vn_list_t *path = st.search_list.prev; path != &st.search_list; path = path->prev) {
            if (entry->file == nullptr)
                break;
            searchpath_t *search = _vn_list_entry(path, searchpath_t, list);
            st.current_search = search;
            std::string joined = std::string(search->path) + entry->file;
            if (joined.size() >= kPathSize)
                continue; // no such file can exist
            char expanded[kPathSize];
            vn_filename_expand(joined.c_str(), expanded, sizeof(expanded));
            char resolved[kPathSize];
            vn_filename_resolve(expanded, resolved, sizeof(resolved));
            open_dump(entry->file, resolved);
            if (vn_config_parse_file(expanded))
                break;
            close_dump();
        }
    }
    close_dump();
    st.current_search = nullptr;
}

void vn_config_percent_mappings_r(char *text)
{
    if (text == nullptr)
        return;
    std::string mapped;
    size_t length = strnlen(text, kLineSize - 1);
    for (size_t i = 0; i < length; i++) {
        char letter = i + 1 < length ? text[i + 1] : '\0';
        if (text[i] == '%' && letter == 'h') {
            char host[kLineSize];
            mapped += vn_filename_expand("%h", host, sizeof(host));
            i++;
        } else if (text[i] == '%' && (letter == 'a' || letter == 'n')) {
            const char *name = vn_get_app_name();
            mapped += name ? name : "";
            i++;
        } else {
            mapped += text[i];
        }
    }
    // The text lives in a buffer of a statement's size: a longer result is cut.
    size_t kept = std::min(mapped.size(), kLineSize - 1);
    memcpy(text, mapped.data(), kept);
    text[kept] = '\0';
}

} // extern "C"

// ---- The reader's own options and the end of a context ------------------------------

extern "C" {

void _vn_config_config_init(void)
{
    if (c_http_download_command == nullptr)
        c_http_download_command = vn_strdup("wget -nv -O -");
    vn_config_add_option(0, "preprocessor-binary", "Path to config file preprocessor", VN_CONFIG_STRING,
                         &c_preprocessor_binary);
    vn_config_add_option(0, "http-download-command", "HTTP config file download command", VN_CONFIG_STRING,
                         &c_http_download_command);
    vn_config_add_option('q', "quiet-config", "This is now the default", VN_CONFIG_BOOL, &c_quiet_config);
    vn_config_add_option('v', "verbose-config", "Report all messages for config files being loaded",
                         VN_CONFIG_BOOL, &c_verbose_config);
}

void _vn_config_init(vn_init_t *init)
{
    if (init != nullptr)
        state().event_log = init->log;
}

void _vn_config_log_errors(vn_log_t *log)
{
    if (log == nullptr)
        return;
    for (const std::string &message : state().messages)
        vn_log(log, 0, "%s", message.c_str());
    state().messages.clear();
}

void vn_config_free_ctx(vn_config_ctx_t *context)
{
    if (context == nullptr)
        return;
    _vn_config_macro_ctx_destroy(context->macro);
    context->macro = nullptr;
    _vn_config_log_errors(state().event_log);
    // Options are never freed (modules may hold their defaults), but the
    // index of a list whose head is about to be freed must go.
    state().index.erase(&context->_option_list);
    while (!_vn_list_empty(&context->_file_list)) {
        configfile_t *entry = _vn_list_entry(context->_file_list.next, configfile_t, list);
        _vn_list_del(&entry->list);
        vn_free(entry->file);
        vn_free(entry);
    }
    if (state().current_ctx == context)
        state().current_ctx = nullptr;
    vn_free(context);
}

} // extern "C"

// ---- Option documentation and listings ------------------------------------------------

namespace {

const char *doc_type_word(int type)
{
    switch (type) {
    case VN_CONFIG_BOOL: return "Boolean";
    case VN_CONFIG_INT: return "Integer";
    case VN_CONFIG_DOUBLE: return "Floating Point Value";
    case VN_CONFIG_STRING:
    case VN_CONFIG_FILE: return "String";
    case VN_CONFIG_CHAR: return "Character";
    case VN_CONFIG_FUNCTION: return "Function";
    case VN_CONFIG_ARRAY | VN_CONFIG_INT: return "Integer Array";
    case VN_CONFIG_ARRAY | VN_CONFIG_DOUBLE: return "Floating Point Array";
    case VN_CONFIG_ARRAY | VN_CONFIG_STRING: return "String Array";
    case VN_CONFIG_ARRAY | VN_CONFIG_CHAR: return "Character Array";
    case VN_CONFIG_END_GROUP: return "End of group";
    case VN_CONFIG_END_SECTION: return "End of section";
    default: return "";
    }
}

// The default column: what `variable` holds now, or empty when there is no
// variable to read (a field of a group without a template record).
std::string doc_default(int type, const char *variable)
{
    if (type == VN_CONFIG_BOOL)
        return "FALSE"; // on purpose, whatever the variable holds
    if (variable == nullptr)
        return "";
    char buffer[64];
    switch (type) {
    case VN_CONFIG_INT: {
        int32_t value;
        memcpy(&value, variable, sizeof(value));
        snprintf(buffer, sizeof(buffer), "%d", value);
        return buffer;
    }
    case VN_CONFIG_DOUBLE: {
        double value;
        memcpy(&value, variable, sizeof(value));
        return std::to_string(value); // "%f"
    }
    case VN_CONFIG_STRING:
    case VN_CONFIG_FILE: {
        const char *text;
        memcpy(&text, variable, sizeof(text));
        return text ? text : "";
    }
    case VN_CONFIG_CHAR: return *variable ? std::string(1, *variable) : "";
    default: return "";
    }
}

std::string doc_bound(int type, const void *bound)
{
    if (bound == nullptr)
        return "";
    int element = type & ~VN_CONFIG_ARRAY;
    char buffer[64] = "";
    if (element == VN_CONFIG_INT)
        snprintf(buffer, sizeof(buffer), "%d", *static_cast<const int *>(bound));
    else if (element == VN_CONFIG_DOUBLE)
        snprintf(buffer, sizeof(buffer), "%f", *static_cast<const double *>(bound));
    return buffer;
}

// A registered label keeps its own closing bar; without one the column is "|".
const char *doc_label(const char *label)
{
    return label ? label : "|";
}

void doc_enum_rows(FILE *stream, const option_t *option)
{
    bool is_int = base_type(option) == VN_CONFIG_INT;
    for (const vn_config_enum_t *row = option->enums; row->name != nullptr; row++) {
        char *label;
        const char *help = _vn_parse_help_string(row->docstring, &label);
        if (is_int)
            fprintf(stream, "enum|%s|%d|%s|%s\n", row->name, static_cast<int>(row->value), doc_label(label), help);
        else
            fprintf(stream, "enum|%s|%f|%s|%s\n", row->name, row->value, doc_label(label), help);
        vn_free(label);
    }
}

void doc_option_row(FILE *stream, const option_t *option, const char *template_record)
{
    int type = base_type(option);
    const char *kind = type == VN_CONFIG_END_GROUP ? "endgroup" : type == VN_CONFIG_END_SECTION ? "endsection"
                                                                                                   : "option";
    std::string letter = option->opt ? std::string(1, option->opt) : "";
    const char *variable = nullptr;
    if (option->owner == nullptr)
        variable = static_cast<const char *>(option->value);
    else if (template_record != nullptr)
        variable = template_record + reinterpret_cast<size_t>(option->value);
    bool has_default = type != VN_CONFIG_END_GROUP && type != VN_CONFIG_END_SECTION && !(type & VN_CONFIG_ARRAY);
    std::string value = has_default ? doc_default(type, variable) : "";
    fprintf(stream, "%s|%s|%s|%s|%d|%d|%s|%s|%s|%s|%s\n", kind, letter.c_str(), option->longopt,
            doc_type_word(type), (option->type & VN_CONFIG_STRICT) ? 1 : 0,
            (option->type & VN_CONFIG_DEPRECATED) ? 1 : 0, value.c_str(), doc_bound(type, option->min).c_str(),
            doc_bound(type, option->max).c_str(), doc_label(option->docstring), option->help);
    if (option->enums != nullptr)
        doc_enum_rows(stream, option);
}

} // namespace

extern "C" {

void config_doc_options_dump(FILE *stream, const vn_list_t *list, const void *template_record)
{
    if (stream == nullptr || list == nullptr)
        return;
    for (const vn_list_t *link = list->next; link != list; link = link->next) {
        const option_t *option = _vn_list_entry(link, option_t, list);
        if (option->type & VN_CONFIG_PRIVATE)
            continue;
        int type = base_type(option);
        if (type == VN_CONFIG_GROUP) {
            const group_t *group = static_cast<const group_t *>(option->value);
            fprintf(stream, "group|%s|Start of group|%s|%s\n", option->longopt, doc_label(option->docstring),
                    option->help);
            config_doc_options_dump(stream, &group->list, option->def);
        } else if (type == VN_CONFIG_SECTION) {
            const section_t *section = static_cast<const section_t *>(option->value);
            fprintf(stream, "section|%s|Start of section|%s|%s\n", option->longopt, doc_label(option->docstring),
                    option->help);
            config_doc_options_dump(stream, &section->list, nullptr);
        } else {
            doc_option_row(stream, option, static_cast<const char *>(template_record));
        }
    }
}

void vn_config_document_options(FILE *stream)
{
    config_doc_options_dump(stream, &ctx()->_option_list, nullptr);
}

} // extern "C"

namespace {

const char *list_marker(int type)
{
    switch (type) {
    case VN_CONFIG_BOOL: return "(bool)    ";
    case VN_CONFIG_INT: return "(integer) ";
    case VN_CONFIG_DOUBLE: return "(float)   ";
    case VN_CONFIG_STRING: return "(string)  ";
    case VN_CONFIG_CHAR: return "(char)    ";
    case VN_CONFIG_ARRAY | VN_CONFIG_INT: return "(int arr) ";
    case VN_CONFIG_ARRAY | VN_CONFIG_DOUBLE: return "(flt arr) ";
    case VN_CONFIG_ARRAY | VN_CONFIG_STRING: return "(str arr) ";
    case VN_CONFIG_ARRAY | VN_CONFIG_CHAR: return "(char arr)";
    case VN_CONFIG_GROUP: return "(group)   ";
    case VN_CONFIG_SECTION: return "(section) ";
    case VN_CONFIG_END_GROUP: return "(end grp) ";
    case VN_CONFIG_END_SECTION: return "(end sect)";
    default: return nullptr;
    }
}

bool label_starts(const option_t *option, const char *prefix)
{
    return option->docstring != nullptr && strncmp(option->docstring, prefix, strlen(prefix)) == 0;
}

bool list_leaves_out(const option_t *option)
{
    int type = base_type(option);
    if (option->type & (VN_CONFIG_DEPRECATED | VN_CONFIG_PRIVATE))
        return true;
    if (type == VN_CONFIG_FUNCTION || type == VN_CONFIG_FILE)
        return true;
    return type == VN_CONFIG_GROUP && (label_starts(option, "Private|") || label_starts(option, "Deprecated|"));
}

void list_line(const option_t *option, int level)
{
    int type = base_type(option);
    const char *marker = list_marker(type);
    if (marker == nullptr)
        return;
    printf("%*s", level * 4, "");
    if (option->opt)
        printf("-%c,", option->opt);
    else
        printf("   ");
    bool structural = type == VN_CONFIG_GROUP || type == VN_CONFIG_SECTION || type == VN_CONFIG_END_GROUP ||
                      type == VN_CONFIG_END_SECTION;
    if (structural)
        printf("%-23s   %s%s\n", option->longopt, marker, option->help);
    else
        printf("%s%-23s%s%s\n", level == 0 ? "--" : "  ", option->longopt, marker, option->help);
}

void list_options(const vn_list_t *list, int level)
{
    for (const vn_list_t *link = list->next; link != list; link = link->next) {
        const option_t *option = _vn_list_entry(link, option_t, list);
        if (list_leaves_out(option))
            continue;
        int type = base_type(option);
        // A closing keyword stands at its opener's indentation.
        bool closing = type == VN_CONFIG_END_GROUP || type == VN_CONFIG_END_SECTION;
        list_line(option, closing ? level - 1 : level);
        if (type == VN_CONFIG_GROUP)
            list_options(&static_cast<const group_t *>(option->value)->list, level + 1);
        else if (type == VN_CONFIG_SECTION)
            list_options(&static_cast<const section_t *>(option->value)->list, level + 1);
    }
}

void list_value(const option_t *option)
{
    const char *variable = static_cast<const char *>(option->value);
    const char *initial = static_cast<const char *>(option->def);
    if (variable == nullptr)
        return;
    switch (base_type(option)) {
    case VN_CONFIG_BOOL:
        if (initial != nullptr)
            printf("%s (%d - %d)\n", option->longopt, *variable, *initial);
        break;
    case VN_CONFIG_INT:
        if (initial != nullptr)
            printf("%s (%d - %d)\n", option->longopt, *reinterpret_cast<const int32_t *>(variable),
                   *reinterpret_cast<const int32_t *>(initial));
        break;
    case VN_CONFIG_DOUBLE:
        if (initial != nullptr)
            printf("%s (%g - %g)\n", option->longopt, *reinterpret_cast<const double *>(variable),
                   *reinterpret_cast<const double *>(initial));
        break;
    case VN_CONFIG_STRING: {
        const char *text = *reinterpret_cast<char *const *>(variable);
        printf("%s (%s - %s)\n", option->longopt, text ? text : "NULL", initial ? initial : "NULL");
        break;
    }
    case VN_CONFIG_CHAR:
        if (initial != nullptr)
            printf("%s (%c - %c)\n", option->longopt, *variable, *initial);
        break;
    default: break;
    }
}

} // namespace

extern "C" {

void vn_config_list_options(void)
{
    list_options(&ctx()->_option_list, 0);
}

void vn_config_list_values(void)
{
    const vn_list_t *list = &ctx()->_option_list;
    for (const vn_list_t *link = list->next; link != list; link = link->next)
        list_value(_vn_list_entry(link, option_t, list));
}

} // extern "C"
