// Feeds arbitrary argument vectors to the command-line parser: the input is
// cut into arguments at NUL bytes. Nothing here reads or writes a file.
#include "vantrix_private.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

int port;
double ratio;
char *name;
char quiet;
char verbose;
char letter;
char *file;
char **names;
int name_count;
double *ratios;
int ratio_count;
struct Record {
    int weight;
    char *label;
};
Record *records;
int record_count;
const vn_config_enum_t kFlags[] = {{"a", 1, nullptr}, {"b", 2, nullptr}, {"c", 4, nullptr}, {nullptr, 0, nullptr}};
int calls;

void count_call(const char *, int count, char **)
{
    calls += count;
}

void setup()
{
    vn_config_set_ctx(vn_config_new_ctx());
    int low = 1, high = 65535;
    vn_config_add_bounded_option_enum('p', "port", "", VN_CONFIG_INT, &port, kFlags, &low, &high);
    vn_config_add_option('r', "ratio", "", VN_CONFIG_DOUBLE, &ratio);
    vn_config_add_option('n', "name", "", VN_CONFIG_STRING, &name);
    vn_config_add_option('q', "quiet", "", VN_CONFIG_BOOL, &quiet);
    vn_config_add_option('v', "verbose", "", VN_CONFIG_BOOL, &verbose);
    vn_config_add_option('c', "letter", "", VN_CONFIG_CHAR, &letter);
    vn_config_add_option('f', "config-file", "", VN_CONFIG_FILE, &file);
    vn_config_add_option('x', "call", "", VN_CONFIG_FUNCTION, reinterpret_cast<void *>(count_call));
    vn_config_add_array_option("names", "", VN_CONFIG_STRING, &names, &name_count);
    vn_config_add_array_option_enum("ratios", "", VN_CONFIG_DOUBLE | VN_CONFIG_STRICT, &ratios, &ratio_count, kFlags);
    vn_config_add_group("add-record", "", &records, nullptr, sizeof(Record), &record_count);
    vn_config_add_option('w', "weight", "", VN_CONFIG_INT | VN_CONFIG_DEPRECATED,
                         reinterpret_cast<void *>(offsetof(Record, weight)));
    vn_config_add_option(0, "label", "", VN_CONFIG_STRING, reinterpret_cast<void *>(offsetof(Record, label)));
    vn_config_end_group("end-record", "");
    vn_config_add_section("start-s", "");
    vn_config_add_option('i', "inner", "", VN_CONFIG_INT, &port);
    vn_config_end_section("end-s", "");
}

// Keeps memory flat across inputs: the arrays and records start empty again.
void reset()
{
    for (int i = 0; i < name_count; i++)
        vn_free(names[i]);
    vn_free(names);
    names = nullptr;
    name_count = 0;
    vn_free(ratios);
    ratios = nullptr;
    ratio_count = 0;
    for (int i = 0; i < record_count; i++)
        vn_free(records[i].label);
    vn_free(records);
    records = nullptr;
    record_count = 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool ready = (setup(), true);
    (void)ready;
    std::string text(reinterpret_cast<const char *>(data), size);
    std::vector<std::string> args{"prog"};
    size_t start = 0;
    for (size_t i = 0; i <= text.size(); i++) {
        if (i == text.size() || text[i] == '\0') {
            args.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    std::vector<char *> argv;
    for (auto &arg : args)
        argv.push_back(arg.data());
    int kept = 0;
    vn_config_parse_args(static_cast<int>(argv.size()), argv.data(), &kept);
    if (kept < 1 || kept > static_cast<int>(argv.size()))
        abort();
    reset();
    return 0;
}
