// Feeds arbitrary bytes to the configuration file reader as a file in a
// private temporary directory, with expressions, variables and macros live.
//
// The reader runs names that begin with "|" as commands and reads any file it
// is pointed at, so inputs that could name a command or a path outside the
// directory ("|", "/", "\" escapes, glob characters) are skipped, and the
// environment is emptied so that "ENV:" cannot bring such text in either.
//
// An unbalanced "if" ends the process by design. Each input therefore runs
// first in a forked child; only inputs that finish there run again in this
// process, where the fuzzer sees their coverage. A child that dies reports
// the input as a crash.
#include "vantrix_private.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int port;
double ratio;
char *name;
char flag;
int *numbers;
int number_count;
struct Record {
    int weight;
    char *label;
};
Record *records;
int record_count;
const vn_config_enum_t kModes[] = {{"a", 1, nullptr}, {"b", 2, nullptr}, {nullptr, 0, nullptr}};
int marker_fd = -1;
int work_dir = -1; // the private directory, current only while an input runs

std::string setup()
{
    clearenv();
    char pattern[] = "/tmp/vantrix-config-fuzz-XXXXXX";
    if (mkdtemp(pattern) == nullptr || (work_dir = open(pattern, O_RDONLY | O_DIRECTORY)) < 0)
        abort();
    vn_config_set_ctx(vn_config_new_ctx());
    vn_config_add_option('p', "port", "", VN_CONFIG_INT, &port);
    vn_config_add_option(0, "ratio", "", VN_CONFIG_DOUBLE, &ratio);
    vn_config_add_option(0, "name", "", VN_CONFIG_STRING, &name);
    vn_config_add_option(0, "flag", "", VN_CONFIG_BOOL, &flag);
    vn_config_add_option_enum(0, "mode", "", VN_CONFIG_INT | VN_CONFIG_STRICT, &port, kModes);
    vn_config_add_array_option("numbers", "", VN_CONFIG_INT, &numbers, &number_count);
    vn_config_add_group("add-record", "", &records, nullptr, sizeof(Record), &record_count);
    vn_config_add_option(0, "weight", "", VN_CONFIG_INT, reinterpret_cast<void *>(offsetof(Record, weight)));
    vn_config_add_option(0, "label", "", VN_CONFIG_STRING, reinterpret_cast<void *>(offsetof(Record, label)));
    vn_config_end_group("end-record", "");
    vn_config_add_section("start-s", "");
    vn_config_add_option(0, "inner", "", VN_CONFIG_CHAR, &flag);
    vn_config_end_section("end-s", "");
    return std::string(pattern) + "/input.conf";
}

bool acceptable(const uint8_t *data, size_t size)
{
    for (size_t i = 0; i < size; i++)
        if (strchr("|/\\*?", data[i]) != nullptr && data[i] != '\0')
            return false;
    return true;
}

// Ends the child at once: the fuzzer's own exit handler, registered before
// this one, must not report the reader's intended exit as a fault.
void mark_exit()
{
    if (marker_fd >= 0 && write(marker_fd, "E", 1) < 0)
        _exit(3);
    _exit(0);
}

// Runs the reader in a child: true when it finished without ending the process.
bool finishes_in_child(const char *path)
{
    int fds[2];
    if (pipe(fds) != 0)
        abort();
    fflush(nullptr);
    pid_t child = fork();
    if (child < 0)
        abort();
    if (child == 0) {
        close(fds[0]);
        marker_fd = fds[1];
        atexit(mark_exit);
        vn_config_parse_file(path);
        if (write(fds[1], "N", 1) < 0)
            _exit(3);
        _exit(0);
    }
    close(fds[1]);
    char marker = 0;
    // The fuzzer's timeout alarm interrupts the waits now and then.
    ssize_t got;
    do
        got = read(fds[0], &marker, 1);
    while (got < 0 && errno == EINTR);
    close(fds[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (got != 1)
        abort(); // the child died inside the reader
    return marker == 'N';
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string path = setup();
    if (size > 65536 || !acceptable(data, size))
        return 0;
    FILE *file = fopen(path.c_str(), "wb");
    if (file == nullptr)
        abort();
    fwrite(data, 1, size, file);
    fclose(file);
    // Back to the fuzzer's own directory afterwards: it opens the corpus by
    // relative names between inputs.
    int own_dir = open(".", O_RDONLY | O_DIRECTORY);
    if (own_dir < 0 || fchdir(work_dir) != 0)
        abort();
    if (finishes_in_child(path.c_str()))
        vn_config_parse_file(path.c_str());
    if (fchdir(own_dir) != 0)
        abort();
    close(own_dir);
    return 0;
}
