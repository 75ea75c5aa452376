// Named logs: time-stamped level logs, raw headed logs, logs piped into a
// command, and a ring of each log's last lines for monitoring.
#include "vantrix_private.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr size_t kLineBytes = 32768;     // every stamped writer formats into this
constexpr size_t kPlainLineBytes = 4096; // vn_printf's buffer
constexpr size_t kDateBytes = 64;
constexpr size_t kZoneNameBytes = 256;
constexpr size_t kNameBytes = 4097;
constexpr size_t kLogDirBytes = 512;
constexpr size_t kHeaderBytes = 80;
constexpr size_t kHeaderTextBytes = 78; // the header keeps two NULs at its end
constexpr mode_t kLogFileMode = 0664;
constexpr int kLevelFlags = 0x80 | 0x100 | 0x200 | 0x400 | 0x800;
constexpr int kToStderr = 0x100;
constexpr int kToSyslog = 0x200;
constexpr int kFileOnly = 0x400;
constexpr int kLevelMask = 127;
constexpr int kDefaultLevel = 6;        // INFO
constexpr int kDefaultMonitorLevel = 4; // NOTIFY
constexpr int kLastInheritedFd = 31;    // a piped command's child closes 1 to this
constexpr int kExecFailed = 127;
constexpr const char *kDefaultLogDir = "%r/var";

void arm_cycle_timer(vn_log_t *log);
void disarm_cycle_timer(vn_log_t *log);
void publish_log(vn_log_t *log);
void publish_message(vn_log_t *log, int level, const char *text);
void publish_level(vn_log_t *log, int level);

} // namespace

// One add-log record, also the global one. C layout: the option registry
// fills the records by field offset.
typedef struct _logcycle {
    char *name;
    int maxsize;
    int time;
    int period;
    char *suffix;
    int offset;
    vn_timed_event_t *event; // the record's one cycle timer
    char *level;
    char *monitor_level;
    char use_parent_handlers;
} logcycle_t;

struct _vn_log {
    std::string name;
    std::string logname;
    int fd = -1;
    logcycle_t *cycle = nullptr;
    char header[kHeaderBytes] = {};
    std::mutex monitor_mutex;
    std::vector<std::string> log_history;
    int log_head = 0;
    int log_tail = 0;
    time_t create_time = 0;
    int *debug_level_ptr = nullptr;
    int *debug_monitor_level_ptr = nullptr;
    int debug_level = 0;
    int debug_monitor_level = 0;
    vn_loglevelchange_t levelchange_cb = nullptr;
    vn_log_message_cb logmessage_cb = nullptr;
    bool haslevel = false;
    bool binary = false;
    bool isdevice = false;
    bool discards = false; // open on the null device: binary writes are skipped
    vn_logcycled_t cycle_cb = nullptr;
    vn_udp_event_t *udp_event = nullptr;
    bool owns_cycle_timer = false; // its record's timer was armed for this log
};

namespace {

struct debug_level_row {
    const char *config_name; // null: the level cannot be named in configuration
    const char *prefix;
    const char *xml_name;
};

// Level 3 is "INFO" in the XML document on purpose: readers of the document
// know no error level.
const debug_level_row debug_levels[] = {
    {nullptr, "CONFIG: ", "INFO"},   {nullptr, "", "INFO"},         {"CRIT", "CRIT: ", "SEVERE"},
    {"ERROR", "ERROR: ", "INFO"},    {"NOTIFY", "NOTIFY: ", "INFO"}, {"WARN", "WARN: ", "WARNING"},
    {"INFO", "INFO: ", "INFO"},      {"DEBUG", "DEBUG: ", "FINE"},  {"FINER", "FINER: ", "FINER"},
    {"FINEST", "FINEST: ", "FINEST"}, {nullptr, nullptr, "INFO"},
};
constexpr int kLevelRows = static_cast<int>(sizeof debug_levels / sizeof debug_levels[0]);
constexpr int kNamedLevels = kLevelRows - 1;

// Option variables.
char *c_log_level;
char *c_log_monitor_level;
char *c_log_dir;
constexpr int kDefaultCycleTime = 240;
constexpr int kDefaultCyclePeriod = 1440;
constexpr int kDefaultMaxHistory = 10;
int c_log_maxsize = 0;
int c_log_cycle_time = kDefaultCycleTime;
int c_log_cycle_period = kDefaultCyclePeriod;
char *c_log_cycle_suffix;
int c_log_cycle_offset = -1;
int c_log_max_history = kDefaultMaxHistory;
char c_log_use_parent_handlers = 0;

int c_debug_level = kDefaultLevel;
int c_monitor_debug_level = kDefaultMonitorLevel;

// Newest first. Logs live until the process ends and exit hooks may still
// write to them, so the list is never destroyed.
std::vector<vn_log_t *> &log_list = *new std::vector<vn_log_t *>;
// The init thread makes and frees logs while the monitoring module's thread
// walks the list: making and freeing change it under this lock, and a getter
// holds it for as long as it uses a log, so no log is freed under a getter.
std::mutex log_list_mutex;
logcycle_t global_logcycle;
logcycle_t *logcycle_array;
int logcycle_num;
int real_max_history = 11;
char log_directory[kLogDirBytes];
vn_init_t *init_record;

const char *text_or_empty(const char *text)
{
    return text != nullptr ? text : "";
}

// Write errors are not reported: a log that cannot be written has nowhere
// to say so.
void write_quietly(int fd, const void *data, size_t len)
{
    ssize_t written = write(fd, data, len);
    (void)written;
}

// Appends formatted text at `used`; returns the length the whole text wants,
// which may exceed the buffer.
size_t append_v(char *buf, size_t size, size_t used, const char *fmt, va_list ap)
{
    size_t room = used < size ? size - used : 0;
    int added = vsnprintf(room != 0 ? buf + used : nullptr, room, fmt, ap);
    return added < 0 ? used : used + static_cast<size_t>(added);
}

__attribute__((format(printf, 4, 5))) size_t append(char *buf, size_t size, size_t used, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    used = append_v(buf, size, used, fmt, ap);
    va_end(ap);
    return used;
}

// A line that did not fit keeps all but its last byte and ends in a newline.
size_t cut_line(char *buf, size_t size, size_t wanted)
{
    if (wanted <= size - 1)
        return wanted;
    buf[size - 2] = '\n';
    return size - 1;
}

void history_add(vn_log_t *log, const char *line, size_t len)
{
    if (log->binary || log->log_history.empty())
        return;
    if (len > 0 && line[len - 1] == '\n')
        len--;
    const int slots = static_cast<int>(log->log_history.size());
    std::lock_guard<std::mutex> lock(log->monitor_mutex);
    log->log_history[log->log_head].assign(line, len);
    log->log_head = (log->log_head + 1) % slots;
    if (log->log_head == log->log_tail)
        log->log_tail = (log->log_tail + 1) % slots;
}

__attribute__((format(printf, 3, 4))) void print_stamped(vn_log_t *log, const char *extra, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vn_printf_time_ap(log, extra, fmt, ap);
    va_end(ap);
}

const char *app_name()
{
    if (init_record != nullptr && init_record->application_name != nullptr)
        return init_record->application_name;
    return vn_get_app_name();
}

// Copies of a level-checked message beyond the file.
void send_copies(int level, const char *text)
{
    if ((level & kFileOnly) != 0)
        return;
    if ((level & kToStderr) != 0) {
        fprintf(stderr, "%s: %s", app_name(), text);
        fflush(stderr);
    }
    if ((level & kToSyslog) != 0)
        syslog(LOG_INFO, "%s", text);
}

std::vector<std::string> split_blanks(const char *text)
{
    std::vector<std::string> words;
    std::string word;
    for (const char *at = text;; at++) {
        if (*at == '\0' || isblank(static_cast<unsigned char>(*at))) {
            if (!word.empty())
                words.push_back(word);
            word.clear();
            if (*at == '\0')
                return words;
        } else {
            word += *at;
        }
    }
}

// Runs in the forked child: only descriptor calls and exec, since the parent
// may have other threads holding locks.
[[noreturn]] void run_command(const sock_t ends[2], char *const argv[])
{
    dup2(ends[0], STDIN_FILENO);
    for (int fd = 1; fd <= kLastInheritedFd; fd++)
        close(fd);
    // An end above the closed range, kept open in the command, would keep it
    // from ever seeing the end of its input.
    close(ends[1]);
    if (ends[0] != STDIN_FILENO)
        close(ends[0]);
    if (argv[0] != nullptr)
        execvp(argv[0], argv);
    _exit(kExecFailed);
}

// Starts `command` (words split at blanks, no shell) reading a socket pair;
// returns the end to write to, or -1.
int open_command(const char *command)
{
    std::vector<std::string> words = split_blanks(command);
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    sock_t ends[2];
    if (vn_pipe(ends) != 0)
        return -1;
    pid_t child = fork();
    if (child == 0)
        run_command(ends, argv.data());
    close(ends[0]);
    if (child < 0) {
        // Nobody would read the pair: writes would fill it and then block.
        close(ends[1]);
        return -1;
    }
    return ends[1];
}

// Opens the log's file, device or command; returns the creation time the
// file's marker gives (0 when there is none).
// Whatever reaches the null device is gone, so writes to it can be skipped.
bool is_null_device(int fd)
{
    struct stat opened;
    struct stat null_device;
    return fd != -1 && fstat(fd, &opened) == 0 && S_ISCHR(opened.st_mode) && stat("/dev/null", &null_device) == 0 &&
           opened.st_rdev == null_device.st_rdev;
}

time_t open_target(vn_log_t *log)
{
    const char *path = log->logname.c_str();
    if (path[0] == '|') {
        log->fd = open_command(path + 1);
        return 0;
    }
    struct stat status;
    log->isdevice = stat(path, &status) == 0 && !S_ISREG(status.st_mode);
    time_t created = 0;
    if (!log->isdevice)
        created = vn_file_return_creation_time(path) + 1;
    log->fd = open(path, O_WRONLY | O_CREAT | O_APPEND, kLogFileMode);
    log->discards = log->isdevice && is_null_device(log->fd);
    return created;
}

int level_or(const char *text, int fallback)
{
    int level = text != nullptr ? vn_debug_level(text) : -1;
    return level >= 0 ? level : fallback;
}

// A log named in an add-log record takes its cycle settings and levels.
void attach_cycle_record(vn_log_t *log)
{
    log->cycle = &global_logcycle;
    for (int i = 0; i < logcycle_num; i++) {
        logcycle_t *record = &logcycle_array[i];
        if (record->name == nullptr || log->name != record->name)
            continue;
        if (record->offset == -1)
            record->offset = record->period;
        int level = level_or(record->level, -1);
        if (level >= 0) {
            log->debug_level = level;
            log->debug_level_ptr = &log->debug_level;
        }
        int monitor_level = level_or(record->monitor_level, -1);
        if (monitor_level >= 0) {
            log->debug_monitor_level = monitor_level;
            log->debug_monitor_level_ptr = &log->debug_monitor_level;
        }
        log->cycle = record;
        return;
    }
}

time_t settle_creation_time(vn_log_t *log, time_t created)
{
    time_t now = time(nullptr);
    if (created < 1)
        return now;
    if (created > now) {
        // A marker from the future would hold the first cycle back.
        if (!log->isdevice)
            vn_file_update_creation_time(log->logname.c_str());
        return now;
    }
    return created;
}

// The system log gets the text alone; the log gets it stamped, with a
// newline added.
void syslog_and_write(vn_log_t *log, int priority, const char *fmt, va_list ap)
{
    char text[kLineBytes];
    vsnprintf(text, sizeof text, fmt, ap);
    syslog(priority, "%s", text);
    char line[kLineBytes];
    size_t used = static_cast<size_t>(_vn_log_timestamp(line, sizeof line));
    used = append(line, sizeof line, used, "%s", text);
    if (used < sizeof line - 1)
        line[used++] = '\n';
    else
        used = cut_line(line, sizeof line, used);
    write_quietly(log->fd, line, used);
}

// Installs a callback and hands back the one it replaces.
template <typename Callback> Callback swap_callback(vn_log_t *log, Callback _vn_log::*field, Callback cb)
{
    return log != nullptr ? std::exchange(log->*field, cb) : nullptr;
}

void write_header_if_empty(vn_log_t *log)
{
    struct stat status;
    if (fstat(log->fd, &status) == 0 && status.st_size == 0)
        write_quietly(log->fd, log->header, kHeaderBytes);
}

} // namespace

static vn_log_t *_vn_new_log_internal(const char *name, const char *logname, int islevel,
                                      vn_loglevelchange_t change_cb, int isheaded)
{
    if (logname == nullptr)
        return nullptr;
    vn_log_t *log = new vn_log_t;
    log->haslevel = islevel != 0;
    log->binary = isheaded != 0;
    log->levelchange_cb = change_cb;
    log->name = text_or_empty(name);
    char *resolved = vn_log_filename(logname);
    log->logname = resolved;
    vn_free(resolved);
    log->log_history.resize(static_cast<size_t>(real_max_history));
    log->debug_level_ptr = &c_debug_level;
    log->debug_monitor_level_ptr = &c_monitor_debug_level;
    {
        std::lock_guard<std::mutex> hold(log_list_mutex);
        log_list.insert(log_list.begin(), log);
    }

    time_t created = open_target(log);
    if (log->fd == -1) {
        vn_free_log(log);
        return nullptr;
    }
    attach_cycle_record(log);
    log->create_time = settle_creation_time(log, created);
    arm_cycle_timer(log);
    publish_log(log);
    return log;
}

namespace {

// The parts of a time stamp that stay the same for a whole second: the local
// date and time and the zone's offset. A busy log writes many lines a second
// and the local time conversions cost more than the rest of a line; they are
// done again when the second or the TZ variable changes (a zone set for the
// process comes with a new TZ).
struct stamp_second_t {
    time_t second = -1;
    bool has_zone_name = false;
    char zone_name[kZoneNameBytes] = {}; // the TZ value it was made under
    char date[kDateBytes] = {};
    size_t date_length = 0;
    char zone[kDateBytes] = {}; // " +hhmm: "
    size_t zone_length = 0;
};

bool same_zone_name(const stamp_second_t &cached, const char *zone_name)
{
    if (zone_name == nullptr)
        return !cached.has_zone_name;
    return cached.has_zone_name && std::strcmp(cached.zone_name, zone_name) == 0;
}

// Trivially destroyed, so that a line logged late in a thread's exit still
// finds it.
thread_local stamp_second_t stamp_cache;

const stamp_second_t &stamp_second(time_t seconds)
{
    stamp_second_t &cached = stamp_cache;
    const char *zone_name = getenv("TZ");
    if (cached.second == seconds && same_zone_name(cached, zone_name))
        return cached;
    // A TZ too long to keep is never matched, so its stamps are made afresh.
    bool keep = zone_name == nullptr || std::strlen(zone_name) < sizeof cached.zone_name;
    cached.second = keep ? seconds : -1;
    cached.has_zone_name = zone_name != nullptr;
    snprintf(cached.zone_name, sizeof cached.zone_name, "%s", keep && zone_name != nullptr ? zone_name : "");
    struct tm local;
    localtime_r(&seconds, &local);
    cached.date_length = strftime(cached.date, sizeof cached.date, "%Y/%m/%d-%T", &local);
    // The sign is written apart from the hours, so that a zone less than an
    // hour west of GMT keeps its minus.
    int offset = vn_get_gmt_offset(seconds);
    int minutes = std::abs(offset);
    cached.zone_length = std::min(append(cached.zone, sizeof cached.zone, 0, " %c%02d%02d: ", offset < 0 ? '-' : '+',
                                         minutes / 60, minutes % 60),
                                  sizeof cached.zone - 1);
    return cached;
}

} // namespace

extern "C" {

vn_log_t *vn_new_log(const char *name, const char *logname)
{
    return _vn_new_log_internal(name, logname, 0, nullptr, 0);
}

vn_log_t *vn_new_level_log(const char *name, const char *logname, vn_loglevelchange_t change_cb)
{
    return _vn_new_log_internal(name, logname, 1, change_cb, 0);
}

vn_log_t *vn_new_headed_log(const char *name, const char *logname, const char *header)
{
    vn_log_t *log = _vn_new_log_internal(name, logname, 0, nullptr, 1);
    if (log == nullptr)
        return nullptr;
    const char *text = text_or_empty(header);
    memcpy(log->header, text, strnlen(text, kHeaderTextBytes));
    write_header_if_empty(log);
    return log;
}

void vn_free_log(vn_log_t *log)
{
    if (log == nullptr)
        return;
    {
        std::lock_guard<std::mutex> hold(log_list_mutex);
        log_list.erase(std::remove(log_list.begin(), log_list.end(), log), log_list.end());
    }
    disarm_cycle_timer(log);
    vn_del_udp_event(log->udp_event);
    if (log->fd != -1)
        close(log->fd);
    delete log;
}

char *vn_log_filename(const char *format)
{
    char expanded[kNameBytes];
    vn_filename_expand(format, expanded, sizeof expanded);
    if (expanded[0] == '/' || expanded[0] == '|')
        return vn_strdup(expanded);
    std::string joined = std::string(log_directory) + "/" + expanded;
    joined.resize(std::min(joined.size(), kNameBytes - 1));
    return vn_strdup(joined.c_str());
}

int _vn_log_timestamp(char *buf, size_t buflen)
{
    struct timeval now;
    gettimeofday(&now, nullptr);
    const stamp_second_t &second = stamp_second(now.tv_sec);
    char stamp[2 * kDateBytes];
    size_t used = second.date_length;
    std::memcpy(stamp, second.date, used);
    int millis = static_cast<int>(now.tv_usec / 1000);
    stamp[used++] = '.';
    stamp[used++] = static_cast<char>('0' + millis / 100);
    stamp[used++] = static_cast<char>('0' + millis / 10 % 10);
    stamp[used++] = static_cast<char>('0' + millis % 10);
    std::memcpy(stamp + used, second.zone, second.zone_length + 1);
    used += second.zone_length;
    if (buflen == 0)
        return 0;
    size_t kept = std::min(used, buflen - 1);
    std::memcpy(buf, stamp, kept);
    buf[kept] = '\0';
    return static_cast<int>(kept);
}

void vn_printf_time_ap(vn_log_t *log, const char *extra, const char *fmt, va_list ap)
{
    if (log == nullptr)
        return;
    char line[kLineBytes];
    size_t used = static_cast<size_t>(_vn_log_timestamp(line, sizeof line));
    used = append(line, sizeof line, used, "%s", text_or_empty(extra));
    used = cut_line(line, sizeof line, append_v(line, sizeof line, used, fmt, ap));
    write_quietly(log->fd, line, used);
    history_add(log, line, used);
}

void vn_printf_time(vn_log_t *log, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vn_printf_time_ap(log, "", fmt, ap);
    va_end(ap);
}

void vn_printf(vn_log_t *log, const char *fmt, ...)
{
    if (log == nullptr)
        return;
    char line[kPlainLineBytes];
    va_list ap;
    va_start(ap, fmt);
    size_t used = cut_line(line, sizeof line, append_v(line, sizeof line, 0, fmt, ap));
    va_end(ap);
    write_quietly(log->fd, line, used);
    history_add(log, line, used);
}

void vn_syslog(vn_log_t *log, int priority, const char *fmt, ...)
{
    if (log == nullptr)
        return;
    va_list ap;
    va_start(ap, fmt);
    syslog_and_write(log, priority, fmt, ap);
    va_end(ap);
}

void vn_log(vn_log_t *log, int level, const char *fmt, ...)
{
    if (log == nullptr || !log->haslevel)
        return;
    const int number = level & ~kLevelFlags;
    if (log->logmessage_cb != nullptr) {
        va_list ap;
        va_start(ap, fmt);
        log->logmessage_cb(log, level, fmt, ap);
        va_end(ap);
    }
    if (number > *log->debug_level_ptr)
        return;
    char text[kLineBytes];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    print_stamped(log, vn_debug_string(number), "%s", text);
    publish_message(log, level, text);
    send_copies(level, text);
}

ssize_t vn_write(vn_log_t *log, const void *data, size_t len)
{
    if (log == nullptr)
        return -1;
    if (log->discards)
        return static_cast<ssize_t>(len);
    return write(log->fd, data, len);
}

int _vn_log_discards(const vn_log_t *log)
{
    return log != nullptr && log->discards ? 1 : 0;
}

ssize_t vn_writev(vn_log_t *log, const struct iovec *iov, int count)
{
    if (log == nullptr)
        return -1;
    if (log->discards) {
        // The length the device would have taken, without the system call.
        size_t total = 0;
        for (int i = 0; i < count; i++)
            total += iov[i].iov_len;
        return static_cast<ssize_t>(total);
    }
    return writev(log->fd, iov, count);
}

int vn_debug_level(const char *text)
{
    if (text == nullptr)
        return -1;
    for (int level = 0; level < kNamedLevels; level++) {
        const char *name = debug_levels[level].config_name;
        if (name != nullptr && strcmp(name, text) == 0)
            return level;
    }
    return -1;
}

const char *vn_debug_string(int level)
{
    level &= kLevelMask;
    return level < kLevelRows ? text_or_empty(debug_levels[level].prefix) : "";
}

const char *vn_debug_config_string(int level)
{
    level &= kLevelMask;
    return level < kLevelRows ? text_or_empty(debug_levels[level].config_name) : "";
}

int vn_log_get_level(vn_log_t *log)
{
    if (log == nullptr || !log->haslevel)
        return -1;
    return *log->debug_level_ptr;
}

int vn_log_set_log_level(vn_log_t *log, const char *text)
{
    if (log == nullptr || !log->haslevel)
        return -1;
    int level = vn_debug_level(text);
    if (level < 0)
        return -1;
    log->debug_level = level;
    log->debug_level_ptr = &log->debug_level;
    publish_level(log, level);
    if (log->levelchange_cb != nullptr)
        log->levelchange_cb(log, level);
    return 0;
}

const char *vn_log_getname(vn_log_t *log)
{
    return log != nullptr ? log->name.c_str() : nullptr;
}

const char *vn_log_getfilename(vn_log_t *log)
{
    return log != nullptr ? log->logname.c_str() : nullptr;
}

vn_log_message_cb vn_log_set_message_cb(vn_log_t *log, vn_log_message_cb cb)
{
    return swap_callback(log, &_vn_log::logmessage_cb, cb);
}

void vn_log_change_level_callback(vn_log_t *log, vn_loglevelchange_t cb)
{
    if (log != nullptr)
        log->levelchange_cb = cb;
}

vn_logcycled_t vn_log_cycled_callback(vn_log_t *log, vn_logcycled_t cb)
{
    return swap_callback(log, &_vn_log::cycle_cb, cb);
}

} // extern "C"

// ---- Cycling: moving a log's file aside and reopening its name ----

namespace {

constexpr double kCloseDelaySeconds = 5.0; // writers on other threads may still hold the old descriptor
constexpr size_t kSuffixBytes = 128;
constexpr int kMinutesPerDay = 1440;
constexpr long kSecondsPerMinute = 60;
constexpr int kNoRecord = -1;
constexpr int kLevelNotify = 4;
constexpr int kLevelError = 3;
constexpr int kLevelWarn = 5;
constexpr const char *kLogSuffix = ".log";

sock_t log_cycle_fds[2] = {-1, -1};

bool is_piped(const vn_log_t *log)
{
    return !log->logname.empty() && log->logname[0] == '|';
}

bool is_live(const vn_log_t *log)
{
    return std::find(log_list.begin(), log_list.end(), log) != log_list.end();
}

int close_log_file(int, int fd, void *)
{
    close(fd);
    return 0;
}

// The old descriptor stays open a while, since other threads may be writing
// to it; without a loop to close it later it is closed now.
void close_later(int fd)
{
    if (fd == -1)
        return;
    if (vn_add_timed_event(0, kCloseDelaySeconds, close_log_file, fd, nullptr) == nullptr)
        close(fd);
}

bool below_limit(const vn_log_t *log, int maxsize)
{
    int limit = maxsize == -1 ? log->cycle->maxsize : maxsize;
    if (limit <= 0)
        return false;
    struct stat status;
    if (stat(log->logname.c_str(), &status) != 0)
        return true;
    return status.st_size < static_cast<off_t>(limit);
}

// The record's suffix with the day the file was begun, or the caller's.
std::string suffix_for(const vn_log_t *log, const char *suffix)
{
    std::string chosen;
    if (suffix != nullptr) {
        chosen = suffix;
    } else {
        time_t begun = vn_file_return_creation_time(log->logname.c_str()) + 1;
        struct tm local;
        localtime_r(&begun, &local);
        char text[kSuffixBytes] = "";
        strftime(text, sizeof text, text_or_empty(log->cycle->suffix), &local);
        chosen = text;
    }
    // Only the suffix is expanded: the name already carries the log directory,
    // and a relative one must not be put in front of it twice.
    char expanded[kNameBytes];
    vn_filename_expand(chosen.c_str(), expanded, sizeof expanded);
    return expanded;
}

std::string cycled_name(const vn_log_t *log, const char *suffix)
{
    std::string stem = log->logname;
    size_t suffix_len = strlen(kLogSuffix);
    if (stem.size() >= suffix_len && stem.compare(stem.size() - suffix_len, suffix_len, kLogSuffix) == 0)
        stem.resize(stem.size() - suffix_len);
    std::string name = stem + suffix_for(log, suffix);
    name.resize(std::min(name.size(), kNameBytes - 1));
    return name;
}

void cycle_global(void)
{
    std::vector<vn_log_t *> logs = log_list; // a cycled callback may free logs
    for (vn_log_t *log : logs)
        if (is_live(log) && log->cycle == &global_logcycle)
            vn_cycle_log(log, nullptr, -1);
}

logcycle_t *record_of(int index)
{
    return index >= 0 && index < logcycle_num ? &logcycle_array[index] : &global_logcycle;
}

int cycle_log(int, int, void *log)
{
    vn_cycle_log(static_cast<vn_log_t *>(log), nullptr, -1);
    return 1;
}

int cycle_log_timed(int, int index, void *log)
{
    vn_cycle_log(static_cast<vn_log_t *>(log), nullptr, -1);
    logcycle_t *record = record_of(index);
    return vn_check_periodic_event(record->period, &record->event);
}

int cycle_global_logs(int, int, void *)
{
    cycle_global();
    return 1;
}

int cycle_global_logs_timed(int, int, void *)
{
    cycle_global();
    return vn_check_periodic_event(global_logcycle.period, &global_logcycle.event);
}

int record_index(const logcycle_t *record)
{
    return record == &global_logcycle ? kNoRecord : static_cast<int>(record - logcycle_array);
}

void arm_cycle_timer(vn_log_t *log)
{
    logcycle_t *record = log->cycle;
    if (record->event != nullptr || record->period <= 0 || is_piped(log))
        return;
    const bool global = record == &global_logcycle;
    const long period_seconds = static_cast<long>(record->period) * kSecondsPerMinute;
    time_t now = time(nullptr);
    time_t start = log->create_time;
    if (now - start > period_seconds)
        start = now - period_seconds - 1;
    // The global timer cycles whichever logs use the record, so it names none.
    void *data = global ? nullptr : log;
    vn_timed_event_cb callback = global ? cycle_global_logs : cycle_log;
    if (record->time < 0) {
        record->event =
            vn_add_timed_event(0, static_cast<double>(period_seconds), callback, record_index(record), data);
    } else {
        if (record->period % kMinutesPerDay == 0)
            callback = global ? cycle_global_logs_timed : cycle_log_timed;
        record->event = vn_add_periodic_event_from_time(start, record->time, record->period, 0, callback,
                                                        record_index(record), data);
    }
    log->owns_cycle_timer = !global && record->event != nullptr;
}

// A timer must not outlive the log it names; another log on the same record
// takes the record's timer over.
void disarm_cycle_timer(vn_log_t *log)
{
    if (!log->owns_cycle_timer)
        return;
    logcycle_t *record = log->cycle;
    vn_del_timed_event(record->event);
    record->event = nullptr;
    for (vn_log_t *other : log_list)
        if (other->cycle == record) {
            arm_cycle_timer(other);
            return;
        }
}

int _vn_log_pipe_read(sock_t fd, int, void *)
{
    vn_log_t *log = nullptr;
    ssize_t got = read(fd, &log, sizeof log);
    // A request may name a log freed since it was sent.
    if (got == static_cast<ssize_t>(sizeof log) && is_live(log))
        vn_cycle_log(log, nullptr, -1);
    return 1;
}

void open_cycle_pipe()
{
    if (log_cycle_fds[0] != -1 || vn_pipe(log_cycle_fds) != 0)
        return;
    vn_add_read_event(log_cycle_fds[0], _vn_log_pipe_read, 0, nullptr);
}

int _vn_debug_udp_event(int argc, char **argv, int, void *data)
{
    vn_log_t *log = static_cast<vn_log_t *>(data);
    if (log == nullptr || !log->haslevel)
        return 0;
    if (argc != 2)
        vn_log(log, kLevelWarn, "Incorrect number (%d) of arguments given for log-level udp command\n", argc);
    else if (vn_log_set_log_level(log, argv[1]) == 0)
        vn_log(log, kLevelNotify, "Logging level switched to %s\n", argv[1]);
    else
        vn_log(log, kLevelError, "Incorrect parameter for log-level udp command - <%s>\n", argv[1]);
    return 1;
}

int log_add_udp_events(int, int, void *)
{
    vn_log_t *event_log = init_record != nullptr ? init_record->log : nullptr;
    if (event_log == nullptr)
        return 0;
    vn_add_udp_event("log-level", _vn_debug_udp_event, 0, event_log);
    vn_add_udp_event("debug", _vn_debug_udp_event, 0, event_log);
    return 0;
}

} // namespace

extern "C" {

int vn_cycle_log(vn_log_t *log, const char *suffix, int maxsize)
{
    // A command reading the log has no file to move.
    if (log == nullptr || is_piped(log) || below_limit(log, maxsize))
        return -1;
    std::string moved = cycled_name(log, suffix);
    const char *path = log->logname.c_str();
    // A file that could not be moved is written on where it is; one removed
    // meanwhile is simply begun afresh.
    struct stat status;
    if (!log->isdevice && rename(path, moved.c_str()) != 0 && stat(path, &status) == 0)
        return -1;
    close_later(log->fd);
    if (!log->isdevice)
        vn_file_update_creation_time(path);
    log->fd = open(path, O_WRONLY | O_CREAT | O_APPEND, kLogFileMode);
    if (log->fd != -1 && log->binary)
        write_header_if_empty(log);
    if (log->cycle_cb != nullptr)
        log->cycle_cb(log);
    return 0;
}

void vn_cycle_all_logs(const char *suffix, int maxsize)
{
    std::vector<vn_log_t *> logs = log_list;
    for (vn_log_t *log : logs)
        if (is_live(log))
            vn_cycle_log(log, suffix, maxsize);
}

} // extern "C"

// ---- Monitoring: one group per log in the logging template ----

namespace {

constexpr size_t kTemplateNameBytes = 256;
constexpr size_t kCommandBytes = 256;
constexpr int kAlwaysMonitor = 0x80;
constexpr int kNeverMonitor = 0x800;

std::string template_name; // empty until the template is made

bool monitored()
{
    return !template_name.empty();
}

vn_monitor_t *string_answer(const char *property, const char *text)
{
    return vn_monitor_new(property, VN_MONITOR_STRING, 0, text);
}

vn_monitor_t *single_line(const char *property, const char *text)
{
    vn_monitor_t *lines = vn_monitor_new_array(property, VN_MONITOR_STRING);
    vn_monitor_add_data(lines, text);
    return lines;
}

vn_monitor_t *_vn_log_monitor_cycle_log(const char *, const char *key, const char *property, int, char **)
{
    std::vector<vn_log_t *> named;
    {
        std::lock_guard<std::mutex> hold(log_list_mutex);
        for (vn_log_t *log : log_list)
            if (log->name == key)
                named.push_back(log);
    }
    // Written without the lock: a full pipe waits for the init thread, which
    // may be waiting for the lock to free a log. The reader skips a log freed
    // meanwhile.
    for (vn_log_t *log : named) {
        ssize_t written = write(log_cycle_fds[1], &log, sizeof log);
        (void)written;
    }
    return string_answer(property, named.empty() ? "Unknown logfile" : "Logfile cycled");
}

// The change is made by the level command on the init thread, not on the
// monitoring module's thread.
vn_monitor_t *_vn_log_monitor_set_log_level(const char *, const char *key, const char *property, int argc,
                                            char **argv)
{
    if (argc != 2)
        return string_answer(property, "-1");
    char command[kCommandBytes];
    snprintf(command, sizeof command, "%s-log-level %s", key, argv[1]);
    vn_udpsignal_send(command);
    return string_answer(property, "0");
}

vn_monitor_t *_vn_log_monitor_history_get(const char *, const char *key, const char *property)
{
    std::lock_guard<std::mutex> hold(log_list_mutex);
    for (vn_log_t *log : log_list) {
        if (log->name != key)
            continue;
        if (log->binary)
            return single_line(property, "Binary logfile - no loglines available");
        int count = 0;
        char **lines = _vn_log_history_lines(log, &count);
        if (count == 0)
            return single_line(property, "No loglines available");
        vn_monitor_t *value = vn_monitor_new_array(property, VN_MONITOR_STRING);
        for (int i = 0; i < count; i++) {
            vn_monitor_add_data(value, lines[i]);
            vn_free(lines[i]);
        }
        vn_free(lines);
        return value;
    }
    return single_line(property, "Unknown logname");
}

vn_arguments_t set_level_arguments[] = {
    {VN_MONITOR_STRING, "level", "Level to set the logfile to", nullptr},
    {0, nullptr, nullptr, nullptr},
};

struct template_member {
    const char *name;
    const char *description;
    int typeflags;
    vn_arguments_t *arguments;
    void *callback;
};

const template_member logging_members[] = {
    {"name", "Log Name", VN_MONITOR_STRING | VN_MONITOR_KEY, nullptr, nullptr},
    {"filename", "Filename", VN_MONITOR_STRING, nullptr, nullptr},
    {"maximum-size", "Maximum File Size", VN_MONITOR_ULLONG, nullptr, nullptr},
    {"cycle-period", "Cycle Period (mins)", VN_MONITOR_LONG, nullptr, nullptr},
    {"cycle-time", "Cycle Time (mins)", VN_MONITOR_LONG, nullptr, nullptr},
    {"cycle-suffix", "Cycle Suffix", VN_MONITOR_STRING, nullptr, nullptr},
    {"debug-level", "Current Logging Level", VN_MONITOR_STRING, nullptr, nullptr},
    {"isbinary", "Logfile is binary", VN_MONITOR_BOOLEAN, nullptr, nullptr},
    {"islevel", "Logfile has levels", VN_MONITOR_BOOLEAN, nullptr, nullptr},
    {"cycle", "Cycle The Logfile", VN_MONITOR_STRING | VN_MONITOR_METHOD, nullptr,
     reinterpret_cast<void *>(_vn_log_monitor_cycle_log)},
    {"set-debug-level", "Set Logging Level", VN_MONITOR_STRING | VN_MONITOR_METHOD, set_level_arguments,
     reinterpret_cast<void *>(_vn_log_monitor_set_log_level)},
    {"loglines", "Last Few Lines", VN_MONITOR_STRING | VN_MONITOR_ARRAY | VN_MONITOR_ACTIVE, nullptr,
     reinterpret_cast<void *>(_vn_log_monitor_history_get)},
    {"message", "Last Monitorable Message", VN_MONITOR_STRING, nullptr, nullptr},
};

const char *level_config_name(const vn_log_t *log)
{
    return log->haslevel ? vn_debug_config_string(*log->debug_level_ptr) : "-";
}

void publish_log(vn_log_t *log)
{
    if (!monitored())
        return;
    const char *tmpl = template_name.c_str();
    const char *key = log->name.c_str();
    std::string description = "Information about the log " + log->name;
    vn_monitor_create_group(tmpl, key, key, description.c_str());
    vn_monitor_update_string(tmpl, key, "name", key);
    vn_monitor_update_string(tmpl, key, "filename", log->logname.c_str());
    vn_monitor_update_ullong(tmpl, key, "maximum-size", static_cast<uint64_t>(std::max(log->cycle->maxsize, 0)));
    vn_monitor_update_long(tmpl, key, "cycle-period", log->cycle->period);
    vn_monitor_update_string(tmpl, key, "cycle-suffix", text_or_empty(log->cycle->suffix));
    vn_monitor_update_long(tmpl, key, "cycle-time", log->cycle->time);
    vn_monitor_update_string(tmpl, key, "debug-level", level_config_name(log));
    vn_monitor_update_boolean(tmpl, key, "isbinary", log->binary);
    vn_monitor_update_boolean(tmpl, key, "islevel", log->haslevel);
    if (log->udp_event == nullptr) {
        std::string word = log->name + "-log-level";
        log->udp_event = vn_add_udp_event(word.c_str(), _vn_debug_udp_event, 0, log);
    }
}

void publish_message(vn_log_t *log, int level, const char *text)
{
    const int number = level & ~kLevelFlags;
    const bool wanted = (level & kAlwaysMonitor) != 0 || number <= *log->debug_monitor_level_ptr;
    if (!monitored() || !wanted || (level & (kNeverMonitor | kFileOnly)) != 0)
        return;
    char line[kLineBytes];
    size_t used = static_cast<size_t>(_vn_log_timestamp(line, sizeof line));
    append(line, sizeof line, used, "%s", text);
    vn_monitor_update_string(template_name.c_str(), log->name.c_str(), "message", line);
}

void publish_level(vn_log_t *log, int level)
{
    if (monitored())
        vn_monitor_update_string(template_name.c_str(), log->name.c_str(), "debug-level",
                                 vn_debug_config_string(level));
}

} // namespace

extern "C" void _vn_log_monitor_config(vn_init_t *init)
{
    char name[kTemplateNameBytes];
    const char *app = init != nullptr && init->application_name != nullptr ? init->application_name : app_name();
    snprintf(name, sizeof name, "%s.server.logging", app);
    vn_monitor_start_template(name, "!System|!Log file information");
    for (const template_member &member : logging_members)
        vn_monitor_add_template_member(name, member.name, member.description, member.typeflags, member.arguments,
                                       member.callback);
    vn_monitor_end_template(name);
    template_name = name;
    for (vn_log_t *log : log_list)
        publish_log(log);
}

// ---- The logging and packetLog elements of the configuration document ----

vn_log_t *_vn_log_find(const char *name)
{
    for (vn_log_t *log : log_list)
        if (log->name == name)
            return log;
    return nullptr;
}

namespace {

constexpr int kXmlFormat44 = 44;

void set_number(void *node, const char *name, int value)
{
    char text[16];
    snprintf(text, sizeof text, "%d", value);
    _vn_xmlNewProp(node, name, text);
}

void add_pattern(void *node, const vn_log_t *log)
{
    void *pattern = _vn_xmlNewNode(nullptr, "pattern");
    _vn_xmlAddChild(node, pattern);
    _vn_xmlNewProp(pattern, "patternString", log->logname.c_str());
}

void add_cycle_settings(void *node, const logcycle_t *record)
{
    if (record->maxsize > 0)
        set_number(node, "maxSize", record->maxsize);
    set_number(node, "cyclePeriod", record->period);
    set_number(node, "cycleTime", record->time);
}

const char *xml_level_name(const vn_log_t *log)
{
    int level = *log->debug_level_ptr;
    return debug_levels[level >= 0 && level < kLevelRows ? level : kLevelRows - 1].xml_name;
}

} // namespace

extern "C" {

void _vn_log_write_xml(void *doc, void *root)
{
    (void)doc;
    const vn_log_t *log = _vn_log_find("event_log");
    if (log == nullptr)
        return;
    const bool format44 = _vn_xml_config_format() == kXmlFormat44;
    void *node = _vn_xmlNewNode(nullptr, "logging");
    _vn_xmlAddChild(root, node);
    _vn_xmlNewProp(node, "default", "true");
    if (format44)
        _vn_xmlNewProp(node, "defaultFileName", log->logname.c_str());
    else
        add_pattern(node, log);
    _vn_xmlNewProp(node, "useParentHandlers", log->cycle->use_parent_handlers ? "true" : "false");
    _vn_xmlNewProp(node, "level", xml_level_name(log));
    if (!format44)
        add_cycle_settings(node, log->cycle);
}

void _vn_log_packet_write_xml(void *doc, void *root)
{
    (void)doc;
    const vn_log_t *log = _vn_log_find("packet_log");
    if (log == nullptr)
        return;
    void *node = _vn_xmlNewNode(nullptr, "packetLog");
    _vn_xmlAddChild(root, node);
    if (log->logname == "/dev/null") {
        _vn_xmlNewProp(node, "noPacketLog", "true");
        return;
    }
    add_pattern(node, log);
    if (_vn_xml_config_format() == kXmlFormat44)
        _vn_xmlNewProp(node, "append", "true");
    add_cycle_settings(node, log->cycle);
}

char **_vn_log_history_lines(vn_log_t *log, int *count)
{
    *count = 0;
    if (log == nullptr || log->log_history.empty())
        return nullptr;
    std::lock_guard<std::mutex> lock(log->monitor_mutex);
    const int slots = static_cast<int>(log->log_history.size());
    int kept = (log->log_head - log->log_tail + slots) % slots;
    if (kept == 0)
        return nullptr;
    char **lines = static_cast<char **>(vn_malloc(sizeof(char *) * static_cast<size_t>(kept)));
    for (int i = 0; i < kept; i++)
        lines[i] = vn_strdup(log->log_history[(log->log_tail + i) % slots].c_str());
    *count = kept;
    return lines;
}

void _vn_log_init(vn_init_t *init)
{
    init_record = init;
    real_max_history = std::max(c_log_max_history, 0) + 1;
    vn_filename_expand(c_log_dir != nullptr ? c_log_dir : kDefaultLogDir, log_directory, sizeof log_directory);
    init->log_root = log_directory;
    if (c_log_cycle_offset == -1)
        c_log_cycle_offset = c_log_cycle_period;
    global_logcycle = logcycle_t{};
    global_logcycle.maxsize = c_log_maxsize;
    global_logcycle.time = c_log_cycle_time;
    global_logcycle.suffix = c_log_cycle_suffix;
    global_logcycle.period = c_log_cycle_period;
    global_logcycle.offset = c_log_cycle_offset;
    global_logcycle.use_parent_handlers = c_log_use_parent_handlers;
    c_debug_level = level_or(c_log_level, kDefaultLevel);
    c_monitor_debug_level = level_or(c_log_monitor_level, kDefaultMonitorLevel);
    open_cycle_pipe();
    vn_add_timed_event(0, 0, log_add_udp_events, 0, nullptr);
}

} // extern "C"

namespace {

logcycle_t log_template;

void add_option(const char *name, const char *help, int type, void *value)
{
    vn_config_add_option(0, name, help, type, value);
}

// A negative period would make a cycle timer fire without end.
const int kMinPeriod = 0;

struct cycle_member {
    const char *name;
    const char *help;
    const char *deprecated_help; // null: not in the deprecated group
    int type;
    size_t offset;
};

const cycle_member cycle_members[] = {
    {"name", "Name of log", "Use add-log/name", VN_CONFIG_STRING, offsetof(logcycle_t, name)},
    {"maxsize", "Log file max size", "Use add-log/maxsize", VN_CONFIG_INT, offsetof(logcycle_t, maxsize)},
    {"time", "Log Cycle Time", "Use add-log/time", VN_CONFIG_INT, offsetof(logcycle_t, time)},
    {"period", "Log Cycle Period", "Use add-log/period", VN_CONFIG_INT, offsetof(logcycle_t, period)},
    {"suffix", "Log Cycle Suffix", "Use add-log/suffix", VN_CONFIG_STRING, offsetof(logcycle_t, suffix)},
    {"offset", "Log Cycle Offset", "Use add-log/offset", VN_CONFIG_INT, offsetof(logcycle_t, offset)},
    {"level", "Log level", nullptr, VN_CONFIG_STRING, offsetof(logcycle_t, level)},
    {"monitor-level", "Log level to to push log events to monitoring", nullptr, VN_CONFIG_STRING,
     offsetof(logcycle_t, monitor_level)},
    {"use-parent-handlers", "!Logging|Parent handlers", nullptr, VN_CONFIG_BOOL,
     offsetof(logcycle_t, use_parent_handlers)},
};

// add-log and its deprecated form fill the same records.
void add_cycle_group(const char *open, const char *help, bool deprecated)
{
    vn_config_add_group(open, help, &logcycle_array, &log_template, sizeof(logcycle_t), &logcycle_num);
    for (const cycle_member &member : cycle_members) {
        const int *min = member.offset == offsetof(logcycle_t, period) ? &kMinPeriod : nullptr;
        void *offset = reinterpret_cast<void *>(member.offset);
        if (!deprecated)
            vn_config_add_bounded_option(0, member.name, member.help, member.type, offset, min, nullptr);
        else if (member.deprecated_help != nullptr)
            vn_config_add_bounded_option(0, member.name, member.deprecated_help,
                                         member.type | VN_CONFIG_DEPRECATED, offset, min, nullptr);
    }
    vn_config_end_group(deprecated ? "end-log-cycle" : "end-log", "End Log Info");
}

} // namespace

extern "C" void _vn_log_config_init(void)
{
    // A new configuration starts from the defaults, not from what the last
    // one set: the registry takes each variable's value as its default, and
    // frees a string variable when it replaces it.
    c_log_level = vn_strdup("INFO");
    c_log_monitor_level = vn_strdup("CRIT");
    c_log_dir = vn_strdup(kDefaultLogDir);
    c_log_maxsize = 0;
    c_log_cycle_time = kDefaultCycleTime;
    c_log_cycle_period = kDefaultCyclePeriod;
    c_log_cycle_suffix = vn_strdup(".%u");
    c_log_cycle_offset = -1;
    c_log_max_history = kDefaultMaxHistory;
    c_log_use_parent_handlers = 0;
    log_template = logcycle_t{};
    log_template.name = vn_strdup("");
    log_template.time = kDefaultCycleTime;
    log_template.period = kDefaultCyclePeriod;
    log_template.suffix = vn_strdup(".%u");
    log_template.offset = -1;

    add_option("log-level", "!Logging|!Default logging level", VN_CONFIG_STRING, &c_log_level);
    add_option("debug-level", "Use log-level", VN_CONFIG_STRING | VN_CONFIG_DEPRECATED, &c_log_level);
    add_option("log-monitor-level", "!Logging|!Default logging level to send log events to monitoring",
               VN_CONFIG_STRING, &c_log_monitor_level);
    add_option("log-dir", "!Logging|!Log file directory", VN_CONFIG_STRING, &c_log_dir);
    add_option("log-maxsize", "!Logging|!Log file max size", VN_CONFIG_INT, &c_log_maxsize);
    add_option("log-cycle-time", "!Logging|!Log Cycle Time", VN_CONFIG_INT, &c_log_cycle_time);
    vn_config_add_bounded_option(0, "log-cycle-period", "!Logging|!Log Cycle Period", VN_CONFIG_INT,
                                 &c_log_cycle_period, &kMinPeriod, nullptr);
    add_option("log-cycle-suffix", "!Logging|!Log Cycle Suffix", VN_CONFIG_STRING, &c_log_cycle_suffix);
    add_option("log-cycle-offset", "!Logging|!Log Cycle Offset", VN_CONFIG_INT, &c_log_cycle_offset);
    // Below 0 the history ring would have no slot at all.
    static const int kMinHistory = 0;
    vn_config_add_bounded_option(0, "log-max-history", "!Logging|!Max number of log lines to retain for monitoring",
                                 VN_CONFIG_INT, &c_log_max_history, &kMinHistory, nullptr);
    add_option("log-use-parent-handlers", "!Logging|Parent handler", VN_CONFIG_BOOL, &c_log_use_parent_handlers);
    add_cycle_group("add-log", "!Logging|!Add Log Info", false);
    add_cycle_group("add-log-cycle", "!Deprecated|!Add Log Info", true);
}
