// Packet-log replay: reads packet-log files record by record and hands the
// updates in them to a callback, from a time or a field value on.
//
// A replay runs on the calling thread and blocks it. Its filter lives in the
// call's own run, so replays share nothing but the option values. A file is
// cut back only at the place where its incomplete record began; the process's
// own packet log is cut under the packet-log lock, so a record that a peer
// thread is writing at that moment is finished first and never cut.
#include "vantrix_private.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kAutoReplayOff = 999999;
constexpr size_t kHeaderBytes = 80;
constexpr size_t kRecordHeadBytes = 28;
constexpr size_t kReadChunk = 65536;
constexpr int kNewestVersion = 4;
constexpr time_t kDaySeconds = 86400;
constexpr time_t kMinuteSeconds = 60;
constexpr int kLevelError = 3;
constexpr int kLevelNotify = 4;
constexpr char kMagic[] = "VNBLog";
constexpr size_t kMagicBytes = sizeof kMagic - 1;

// Options
int c_auto_replay = kAutoReplayOff;
int c_auto_replay_days = 0;
char **replay_files_array;
int replay_files_num;

vn_log_t *replay_log;
std::string log_root;

// The reader's view of one record header. Seconds are unsigned on disk.
struct pkt_logent_t {
    uint32_t tv_sec;
    int32_t tv_usec;
    uint32_t addr;
    char dir;
    int16_t type;
    int16_t id;
    int16_t num;
    int32_t len;
};

// Reads big-endian values; every caller asks has() first.
struct Reader {
    const unsigned char *at;
    size_t left;

    bool has(size_t count) const { return left >= count; }
    uint8_t u8()
    {
        left -= 1;
        return *at++;
    }
    uint16_t u16()
    {
        uint16_t high = u8();
        return static_cast<uint16_t>((high << 8) | u8());
    }
    uint32_t u32()
    {
        uint32_t high = u16();
        return (high << 16) | u16();
    }
};

bool read_entry(const unsigned char *bytes, size_t len, pkt_logent_t *entry)
{
    Reader in{bytes, len};
    if (!in.has(kRecordHeadBytes))
        return false;
    entry->tv_sec = in.u32();
    entry->tv_usec = static_cast<int32_t>(in.u32());
    entry->addr = in.u32();
    entry->dir = static_cast<char>(in.u8());
    in.u8();
    entry->type = static_cast<int16_t>(in.u16());
    entry->id = static_cast<int16_t>(in.u16());
    entry->num = static_cast<int16_t>(in.u16());
    entry->len = static_cast<int32_t>(in.u32());
    return true;
}

enum class Filter { kNone, kByTime, kByField };

// One replay call: the application's callback behind its filter. Once the
// filter's condition holds, every later record passes untested.
struct ReplayRun {
    recv_replay_t callback = nullptr;
    Filter filter = Filter::kNone;
    time_t from = 0;
    int fieldnum = 0;
    std::string value;
    bool passing = false;

    bool admits(const vn_datapkt_t *pkt, time_t stamp) const
    {
        switch (filter) {
        case Filter::kByTime:
            return stamp >= from;
        case Filter::kByField:
            for (uint16_t i = 0; i < pkt->count; i++)
                if (pkt->fields[i].fieldnum == fieldnum)
                    return pkt->fields[i].value != nullptr && value == pkt->fields[i].value;
            return false;
        default:
            return true;
        }
    }

    void offer(int peer, vn_datapkt_t *pkt, time_t stamp)
    {
        if (!passing)
            passing = admits(pkt, stamp);
        if (passing)
            callback(peer, pkt, stamp);
    }
};

// One open file and the bytes read from it, from the record being read on.
class LogFile {
public:
    LogFile(int fd, const char *name) : fd_(fd), name_(name), buf_(kReadChunk) {}

    const char *name() const { return name_; }
    int fd() const { return fd_; }
    const unsigned char *data() const { return buf_.data() + start_; }
    size_t held() const { return end_ - start_; }
    off_t offset() const { return offset_; }

    void consume(size_t count)
    {
        start_ += count;
        offset_ += static_cast<off_t>(count);
    }

    // Bytes of the file from the current position on, as the file is now;
    // -1 when the file has become shorter than that.
    int64_t bytes_left() const
    {
        struct stat status;
        if (fstat(fd_, &status) != 0 || status.st_size < offset_)
            return -1;
        return static_cast<int64_t>(status.st_size - offset_);
    }

    // Holds at least count bytes from the current position; false when the
    // file ends first. Callers size count by the file, never by its contents.
    bool fill(size_t count)
    {
        if (held() >= count)
            return true;
        if (start_ != 0) {
            std::memmove(buf_.data(), buf_.data() + start_, held());
            end_ -= start_;
            start_ = 0;
        }
        if (buf_.size() < count)
            buf_.resize(count);
        while (end_ < count) {
            ssize_t got = read(fd_, buf_.data() + end_, buf_.size() - end_);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return false;
            end_ += static_cast<size_t>(got);
        }
        return true;
    }

private:
    int fd_;
    const char *name_;
    std::vector<unsigned char> buf_;
    size_t start_ = 0;
    size_t end_ = 0;
    off_t offset_ = 0; // the file position of data()
};

// The process's own packet log, or NULL.
const char *own_packet_log_name()
{
    vn_log_t *log = _vn_log_find("packet_log");
    return log != nullptr ? vn_log_getfilename(log) : nullptr;
}

bool is_own_packet_log(int fd)
{
    const char *own = own_packet_log_name();
    struct stat mine;
    struct stat theirs;
    return own != nullptr && fstat(fd, &mine) == 0 && stat(own, &theirs) == 0 && mine.st_dev == theirs.st_dev &&
           mine.st_ino == theirs.st_ino;
}

// Holds the packet-log lock for a scope when the file is the process's own log.
class PacketLogHold {
public:
    explicit PacketLogHold(bool own) : own_(own)
    {
        if (own_)
            _vn_peer_packet_log_lock();
    }
    ~PacketLogHold()
    {
        if (own_)
            _vn_peer_packet_log_unlock();
    }
    PacketLogHold(const PacketLogHold &) = delete;
    PacketLogHold &operator=(const PacketLogHold &) = delete;

private:
    bool own_;
};

enum class Tail { kCut, kGrown };

// The record at the current position needs record_len bytes and the file
// ends first: cut the file where the record began, unless a writer finished
// it meanwhile.
Tail settle_tail(LogFile &file, size_t record_len, bool own)
{
    PacketLogHold hold(own);
    int64_t left = file.bytes_left();
    if (left < 0)
        return Tail::kCut; // cut by someone else already
    if (static_cast<uint64_t>(left) >= record_len)
        return Tail::kGrown;
    if (truncate(file.name(), file.offset()) != 0) {
        vn_log(replay_log, kLevelError, "Replay: cannot truncate %s: %s\n", file.name(), std::strerror(errno));
        return Tail::kCut;
    }
    vn_log(replay_log, kLevelNotify, "Truncating: %s (incomplete message %d/%d)\n", file.name(),
           static_cast<int>(left), static_cast<int>(std::min<size_t>(record_len, INT32_MAX)));
    return Tail::kCut;
}

// Reads the 80-byte text header when the file has one; false when the
// file's replay ends here.
bool read_header(LogFile &file)
{
    bool whole = file.fill(kHeaderBytes);
    if (file.held() < kMagicBytes || std::memcmp(file.data(), kMagic, kMagicBytes) != 0)
        return true; // no header: records from the first byte
    if (!whole)
        return false; // a header cut short has no records after it
    char text[kHeaderBytes + 1];
    std::memcpy(text, file.data(), kHeaderBytes);
    text[kHeaderBytes] = '\0';
    file.consume(kHeaderBytes);
    char kind[kHeaderBytes + 1];
    char app[kHeaderBytes + 1];
    int version = 0;
    if (std::sscanf(text, "VNBLog %80s v%9d %80s", kind, &version, app) == 3 && version > kNewestVersion) {
        vn_log(replay_log, kLevelNotify, "Replay: Failed as log is version %d which is too new\n", version);
        return false;
    }
    return true;
}

void deliver(ReplayRun &run, const pkt_logent_t &entry, const unsigned char *payload)
{
    if (entry.type != VN_DATAUPDATE16 && entry.type != VN_DATAUPDATE)
        return;
    if (entry.num < 0 || entry.num >= vn_num_peers)
        return;
    vn_datapkt_t pkt{};
    if (vn_datapkt_parse(&pkt, entry.type, payload, static_cast<size_t>(entry.len)) == 0)
        run.offer(entry.num, &pkt, static_cast<time_t>(entry.tv_sec));
    vn_free_datapkt_data(&pkt);
}

void read_records(ReplayRun &run, LogFile &file)
{
    bool own = is_own_packet_log(file.fd());
    for (;;) {
        if (!file.fill(kRecordHeadBytes)) {
            if (file.held() == 0 || settle_tail(file, kRecordHeadBytes, own) == Tail::kCut)
                return;
            continue;
        }
        pkt_logent_t entry{};
        if (!read_entry(file.data(), file.held(), &entry))
            return;
        if (entry.len < 0) {
            vn_log(replay_log, kLevelError, "Replay: corrupt record in %s at offset %lld (length %d), rest not read\n",
                   file.name(), static_cast<long long>(file.offset()), entry.len);
            return;
        }
        // A length is believed only as far as the file reaches, so a huge one
        // allocates nothing.
        size_t record_len = kRecordHeadBytes + static_cast<size_t>(entry.len);
        if (file.held() < record_len && !(file.bytes_left() >= static_cast<int64_t>(record_len) && file.fill(record_len))) {
            if (settle_tail(file, record_len, own) == Tail::kCut)
                return;
            continue;
        }
        deliver(run, entry, file.data() + kRecordHeadBytes);
        file.consume(record_len);
    }
}

int replay_file(ReplayRun &run, const char *filename)
{
    int fd = open(filename, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return -1;
    // A device or pipe has no end to read to and no tail to cut.
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        vn_log(replay_log, kLevelError, "Replay: %s is not a regular file\n", filename);
        close(fd);
        return -1;
    }
    vn_log(replay_log, kLevelNotify, "Replay: %s\n", filename);
    LogFile file(fd, filename);
    if (read_header(file))
        read_records(run, file);
    close(fd);
    vn_log(replay_log, kLevelNotify, "Replay Finished\n");
    return 0;
}

int replay_file_or_log(ReplayRun &run, const char *filename, vn_log_t *log)
{
    if (run.callback == nullptr)
        return -1;
    if (log != nullptr)
        filename = vn_log_getfilename(log);
    return filename != nullptr ? replay_file(run, filename) : -1;
}

// A listed name as given, else beside the packet log, else under the log root.
int replay_listed(ReplayRun &run, const std::string &name, const char *own)
{
    if (replay_file(run, name.c_str()) == 0)
        return 0;
    if (own != nullptr) {
        std::string beside = own;
        size_t slash = beside.rfind('/');
        beside = slash == std::string::npos ? name : beside.substr(0, slash + 1) + name;
        if (replay_file(run, beside.c_str()) == 0)
            return 0;
    }
    if (log_root.empty())
        return -1;
    return replay_file(run, (log_root + "/" + name).c_str());
}

int replay_list(ReplayRun &run)
{
    if (run.callback == nullptr)
        return -1;
    const char *own = own_packet_log_name();
    std::vector<std::string> names;
    for (int i = 0; i < replay_files_num && replay_files_array != nullptr; i++)
        if (replay_files_array[i] != nullptr)
            names.emplace_back(replay_files_array[i]);
    if (names.empty() && own != nullptr)
        names.emplace_back(own);
    if (names.empty()) {
        vn_log(replay_log, kLevelNotify, "Replay: no replay files configured and no packet log, nothing replayed\n");
        return -1;
    }
    int result = 0;
    for (const std::string &name : names)
        if (replay_listed(run, name, own) != 0)
            result = -1;
    return result;
}

ReplayRun by_time(time_t t, recv_replay_t callback)
{
    ReplayRun run;
    run.callback = callback;
    run.filter = Filter::kByTime;
    run.from = t;
    return run;
}

ReplayRun by_field(int fieldnum, const char *value, recv_replay_t callback)
{
    ReplayRun run;
    run.callback = value != nullptr ? callback : nullptr;
    run.filter = Filter::kByField;
    run.fieldnum = fieldnum;
    run.value = value != nullptr ? value : "";
    return run;
}

ReplayRun plain(recv_replay_t callback)
{
    ReplayRun run;
    run.callback = callback;
    return run;
}

// Replays the process's own packet log (or the configured files) from the
// configured time of day into the peer layer, once, on the init thread.
int start_auto_replay(int, int, void *)
{
    time_t start = _vn_replay_auto_start(time(nullptr), c_auto_replay, c_auto_replay_days);
    vn_replay_by_time(start, _vn_peer_handle_replay);
    return 0;
}

} // namespace

extern "C" {

void _vn_replay_config_init(void)
{
    // A new configuration starts with no files: the registry only ever
    // appends to the list.
    c_auto_replay = kAutoReplayOff;
    c_auto_replay_days = 0;
    for (int i = 0; i < replay_files_num; i++)
        vn_free(replay_files_array[i]);
    vn_free(replay_files_array);
    replay_files_array = nullptr;
    replay_files_num = 0;
    vn_config_add_option(0, "vantrix-auto-replay", "!AutoReplay|!Vantro Auto Replay Start Time", VN_CONFIG_INT,
                         &c_auto_replay);
    vn_config_add_option(0, "vantrix-auto-replay-days", "!AutoReplay|!Vantro Auto Replay Days", VN_CONFIG_INT,
                         &c_auto_replay_days);
    vn_config_add_array_option("vantrix-auto-replay-files", "!AutoReplay|!Files to auto replay", VN_CONFIG_STRING,
                               &replay_files_array, &replay_files_num);
}

void _vn_replay_init(vn_init_t *init)
{
    replay_log = init->log;
    log_root = init->log_root != nullptr ? init->log_root : "";
    if (c_auto_replay != kAutoReplayOff)
        vn_add_timed_event(0, 0.0, start_auto_replay, 0, nullptr);
}

time_t _vn_replay_auto_start(time_t now, int minutes, int days)
{
    if (minutes < 0)
        return now + static_cast<time_t>(minutes) * kMinuteSeconds;
    time_t start = now - now % kDaySeconds + (static_cast<time_t>(minutes) - vn_get_gmt_offset(now)) * kMinuteSeconds;
    // The most recent such time of day: east of GMT the local day may
    // already differ from the GMT day the sum started from.
    while (start > now)
        start -= kDaySeconds;
    while (start + kDaySeconds <= now)
        start += kDaySeconds;
    return start - static_cast<time_t>(std::llabs(static_cast<long long>(days))) * kDaySeconds;
}

int vn_replay_from_file(recv_replay_t callback, const char *filename)
{
    ReplayRun run = plain(callback);
    return replay_file_or_log(run, filename, nullptr);
}

int vn_replay_from_log(recv_replay_t callback, vn_log_t *log)
{
    ReplayRun run = plain(callback);
    return log != nullptr ? replay_file_or_log(run, nullptr, log) : -1;
}

int vn_replay(recv_replay_t callback)
{
    ReplayRun run = plain(callback);
    return replay_list(run);
}

int vn_replay_by_time(time_t t, recv_replay_t callback)
{
    ReplayRun run = by_time(t, callback);
    return replay_list(run);
}

int vn_replay_by_time_from_log(time_t t, recv_replay_t callback, vn_log_t *log)
{
    ReplayRun run = by_time(t, callback);
    return log != nullptr ? replay_file_or_log(run, nullptr, log) : -1;
}

int vn_replay_by_time_from_file(time_t t, recv_replay_t callback, const char *filename)
{
    ReplayRun run = by_time(t, callback);
    return replay_file_or_log(run, filename, nullptr);
}

int vn_replay_by_field(int fieldnum, const char *value, recv_replay_t callback)
{
    ReplayRun run = by_field(fieldnum, value, callback);
    return replay_list(run);
}

int vn_replay_by_field_from_log(int fieldnum, const char *value, recv_replay_t callback, vn_log_t *log)
{
    ReplayRun run = by_field(fieldnum, value, callback);
    return log != nullptr ? replay_file_or_log(run, nullptr, log) : -1;
}

int vn_replay_by_field_from_file(int fieldnum, const char *value, recv_replay_t callback, const char *filename)
{
    ReplayRun run = by_field(fieldnum, value, callback);
    return replay_file_or_log(run, filename, nullptr);
}

} // extern "C"
