// Arbitrary bytes as a packet-log file, replayed through the replay reader:
// the header, the records and the cut of an incomplete tail, on a private
// copy. What a replay leaves must be whole records: a second replay of the
// file hands on the same updates and cuts nothing more.
#include "vantrix_private.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr size_t kMaxInput = 1 << 20;
constexpr int kPeers = 4;

size_t updates;
size_t field_bytes;

// Touches every text of the update, so a bad length shows at once.
void count_update(int peer, vn_data_t *data, time_t)
{
    if (peer < 0 || peer >= kPeers || data->subject == nullptr)
        __builtin_trap();
    field_bytes += std::strlen(data->subject);
    for (uint16_t i = 0; i < data->count; i++)
        field_bytes += std::strlen(data->fields[i].value);
    updates++;
}

std::string setup()
{
    char pattern[] = "/tmp/vantrix-replay-fuzz-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        abort();
    vn_num_peers = kPeers;
    // The log lines are formatted and thrown away.
    static vn_init_t init = {};
    init.log = vn_new_level_log("event_log", "/dev/null", nullptr);
    _vn_replay_init(&init);
    return std::string(pattern) + "/input.log";
}

off_t file_size(const std::string &path)
{
    struct stat status;
    if (stat(path.c_str(), &status) != 0)
        abort();
    return status.st_size;
}

size_t replay(const std::string &path)
{
    updates = 0;
    if (vn_replay_from_file(count_update, path.c_str()) != 0)
        abort();
    return updates;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string path = setup();
    if (size > kMaxInput)
        return 0;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || (size != 0 && write(fd, data, size) != static_cast<ssize_t>(size)))
        abort();
    close(fd);
    size_t first = replay(path);
    off_t left = file_size(path);
    if (left > static_cast<off_t>(size))
        __builtin_trap(); // a cut never lengthens the file
    if (replay(path) != first || file_size(path) != left)
        __builtin_trap();
    return 0;
}
