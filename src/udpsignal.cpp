// Text commands for a running process: datagrams on the UDP command port and
// messages the process sends itself through a local pipe, both dispatched on
// the init thread's loop to the handlers registered for their first word.
#include "vantrix_private.h"

#include <arpa/inet.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

struct _vn_udp_event {
    vn_udp_event_cb callback = nullptr;
    uint32_t last_called = 0;  // stamp of the last message it ran for
    int32_t last_datalen = -1; // -1 until it has run
    std::string last_data;
    std::string command;
    int val = 0;
    void *data = nullptr;
    bool removed = false; // unregistered during a dispatch, freed after it
};

namespace {

constexpr size_t kMessageBytes = 2048; // a whole message, stamp and NUL included
constexpr size_t kStampBytes = 4;
constexpr size_t kLengthBytes = 4; // the pipe's host-order length head
constexpr size_t kMaxTextBytes = kMessageBytes - kStampBytes - 1;
constexpr int kNoPort = -1;
constexpr int kPortFailureCode = 3;
constexpr int kLevelCrit = 2;
constexpr int kLevelError = 3;
constexpr int kLevelInfo = 6;

struct udpjob_t {
    std::string command;
    vn_udp_event_t *event = nullptr;
    vn_udpsignal_job_cb fn = nullptr;
};

// Option variables.
int c_udp_port = kNoPort;
char *c_udp_interface = nullptr;

// Newest last; walked from the back so the newest handler runs first. The
// lists are never destroyed: handlers live until the process ends.
std::vector<vn_udp_event_t *> &handlers = *new std::vector<vn_udp_event_t *>;
std::vector<udpjob_t *> &jobs = *new std::vector<udpjob_t *>; // newest first
// Recursive: a handler runs with the list locked and may change it.
std::recursive_mutex handler_mutex;
int dispatch_depth = 0;
std::vector<vn_udp_event_t *> &removed_handlers = *new std::vector<vn_udp_event_t *>;

// Keeps each pipe message whole when several threads send at once, and
// guards `unsent`.
std::mutex sender_mutex;
sock_t pipe_ends[2] = {-1, -1};
// Bytes read from the pipe that do not yet make a message; init thread only.
std::string &pipe_pending = *new std::string;
// Frames the pipe had no room for, oldest first. A sender never waits for the
// pipe to drain: its only reader is the init thread, which may be the sender.
std::string &unsent = *new std::string;
// Beyond this a sender is refused rather than the process growing without
// end while the init thread's loop does not run.
constexpr size_t kMaxUnsentBytes = 1 << 20;
sock_t udp_socket = -1;
vn_log_t *event_log = nullptr;

void free_handler(vn_udp_event_t *event)
{
    delete event;
}

// The text's words after the first, as the operator wrote them.
std::string_view arguments_of(std::string_view text)
{
    const char *blanks = " \t\r\n";
    size_t start = text.find_first_not_of(blanks);
    if (start == std::string_view::npos)
        return {};
    size_t end = text.find_first_of(blanks, start);
    if (end == std::string_view::npos)
        return {};
    size_t rest = text.find_first_not_of(blanks, end);
    return rest == std::string_view::npos ? std::string_view{} : text.substr(rest);
}

void unregister_locked(vn_udp_event_t *event)
{
    if (event->removed)
        return;
    handlers.erase(std::remove(handlers.begin(), handlers.end(), event), handlers.end());
    // A dispatch in progress may still hold it in its list of matches.
    if (dispatch_depth > 0) {
        event->removed = true;
        removed_handlers.push_back(event);
        return;
    }
    free_handler(event);
}

// "monitor-method" carries a password as its second argument: the log shows
// it masked, and the words rebuilt from the split line.
std::string logged_arguments(const vn_udp_event_t *event, std::string_view text, int argc, char **argv)
{
    constexpr int kPasswordWord = 2;
    if (strcasecmp(event->command.c_str(), "monitor-method") != 0 || argc <= kPasswordWord)
        return std::string(arguments_of(text));
    std::string shown;
    for (int i = 1; i < argc; i++) {
        if (i > 1)
            shown += ' ';
        shown += i == kPasswordWord ? "********" : argv[i];
    }
    return shown;
}

// Runs one matching handler unless it already ran for this very message.
void run_handler(vn_udp_event_t *event, uint32_t stamp, std::string_view text, int argc, char **argv)
{
    if (event->last_datalen == static_cast<int32_t>(text.size()) && event->last_called == stamp &&
        event->last_data == text)
        return;
    event->last_data.assign(text);
    event->last_datalen = static_cast<int32_t>(text.size());
    event->last_called = stamp;
    std::string arguments = logged_arguments(event, text, argc, argv);
    vn_log(event_log, kLevelInfo, "Processing UDP Command '%s' with arguments '%s'\n", event->command.c_str(),
           arguments.c_str());
    if (event->callback(argc, argv, event->val, event->data) == 0)
        unregister_locked(event);
}

// Returns whether any handler was registered for the word.
bool dispatch(const char *word, uint32_t stamp, std::string_view text, int argc, char **argv)
{
    std::lock_guard<std::recursive_mutex> lock(handler_mutex);
    std::vector<vn_udp_event_t *> matches;
    for (auto it = handlers.rbegin(); it != handlers.rend(); ++it)
        if (strcasecmp((*it)->command.c_str(), word) == 0)
            matches.push_back(*it);
    dispatch_depth++;
    for (vn_udp_event_t *event : matches)
        if (!event->removed)
            run_handler(event, stamp, text, argc, argv);
    if (--dispatch_depth == 0) {
        for (vn_udp_event_t *event : removed_handlers)
            free_handler(event);
        removed_handlers.clear();
    }
    return !matches.empty();
}

// One message: the stamp, then the text up to its NUL or the end.
void parse_message(const unsigned char *message, size_t len)
{
    if (len < kStampBytes)
        return;
    uint32_t stamp = static_cast<uint32_t>(message[0]) << 24 | static_cast<uint32_t>(message[1]) << 16 |
                     static_cast<uint32_t>(message[2]) << 8 | message[3];
    const char *start = reinterpret_cast<const char *>(message + kStampBytes);
    std::string text(start, strnlen(start, len - kStampBytes));
    // The splitter works in place; the text stays whole for the handlers' records.
    std::string line = text;
    int argc = 0;
    char **argv = tarvelutil_argument_parse(line.data(), static_cast<int>(line.size()), &argc);
    bool found = false;
    if (argc > 0 && argv[0][0] != '\0')
        found = dispatch(argv[0], stamp, text, argc, argv);
    vn_free(argv);
    if (!found)
        vn_log(event_log, kLevelInfo, "UDP Command '%s' not found\n", text.c_str());
}

bool transient_error(int error)
{
    return error != EBADF && error != ENOTSOCK && error != EINVAL && error != EFAULT;
}

int read_datagram(sock_t sock, int, void *)
{
    unsigned char message[kMessageBytes];
    ssize_t got = recv(sock, message, kMessageBytes, 0);
    if (got < 0) {
        if (transient_error(errno))
            return 1;
        vn_log(event_log, kLevelError, "UDP port %d stopped: %s\n", c_udp_port, vn_socket_strerror(errno));
        return -1;
    }
    parse_message(message, static_cast<size_t>(got));
    return 1;
}

uint32_t length_head(const std::string &bytes)
{
    uint32_t length;
    memcpy(&length, bytes.data(), sizeof length);
    return length;
}

// Cuts every whole message off the front of what the pipe gave. A length no
// sender can write means something else wrote into the pipe and the stream
// lost its place: what is buffered is dropped.
void take_pipe_messages()
{
    while (pipe_pending.size() >= kLengthBytes) {
        uint32_t length = length_head(pipe_pending);
        if (length < kStampBytes || length > kMessageBytes) {
            vn_log(event_log, kLevelError, "UDP pipe message of %u bytes refused\n", length);
            pipe_pending.clear();
            return;
        }
        if (pipe_pending.size() - kLengthBytes < length)
            return;
        std::string message = pipe_pending.substr(kLengthBytes, length);
        pipe_pending.erase(0, kLengthBytes + length);
        parse_message(reinterpret_cast<const unsigned char *>(message.data()), message.size());
    }
}

// Appends what the pipe holds, then the frames kept back for it. Under the
// sender mutex nothing reaches the pipe meanwhile, so the kept frames, all
// sent after what is in the pipe, come after it. False when the pipe ended.
bool drain_pipe(sock_t sock)
{
    char chunk[kLengthBytes + kMessageBytes];
    std::lock_guard<std::mutex> lock(sender_mutex);
    for (;;) {
        ssize_t got = read(sock, chunk, sizeof chunk);
        if (got > 0) {
            pipe_pending.append(chunk, static_cast<size_t>(got));
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            return false;
        pipe_pending += unsent;
        unsent.clear();
        return true;
    }
}

// Handlers run without the sender mutex: they may send commands themselves.
int read_pipe(sock_t sock, int, void *)
{
    bool open = drain_pipe(sock);
    take_pipe_messages();
    if (open)
        return 1;
    // Both ends are ours: an end or error here will not mend, so stop watching.
    vn_log(event_log, kLevelError, "UDP pipe closed\n");
    pipe_pending.clear();
    return 0;
}

// Writes what the pipe takes now; the bytes written, or -1 on an error other
// than a full pipe.
ssize_t write_some(sock_t fd, const char *bytes, size_t len)
{
    size_t done = 0;
    while (done < len) {
        ssize_t written = write(fd, bytes + done, len - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (written <= 0)
            return -1;
        done += static_cast<size_t>(written);
    }
    return static_cast<ssize_t>(done);
}

// Once a frame is kept back, later ones queue behind it until the reader
// takes them, so the pipe never carries a later command before an earlier one.
int send_frame(const std::string &frame)
{
    std::lock_guard<std::mutex> lock(sender_mutex);
    if (!unsent.empty()) {
        if (frame.size() > kMaxUnsentBytes - unsent.size())
            return -1;
        unsent += frame;
        return 0;
    }
    ssize_t written = write_some(pipe_ends[1], frame.data(), frame.size());
    if (written < 0)
        return -1;
    unsent.append(frame, static_cast<size_t>(written));
    return 0;
}

int send_text(std::string_view text)
{
    if (text.size() > kMaxTextBytes || pipe_ends[1] < 0)
        return -1;
    uint32_t length = static_cast<uint32_t>(kStampBytes + text.size() + 1);
    uint32_t stamp = htonl(static_cast<uint32_t>(time(nullptr)));
    std::string frame(reinterpret_cast<const char *>(&length), sizeof length);
    frame.append(reinterpret_cast<const char *>(&stamp), sizeof stamp);
    frame.append(text);
    frame.push_back('\0');
    return send_frame(frame);
}

int run_job(int argc, char **argv, int, void *data)
{
    static_cast<udpjob_t *>(data)->fn(argc, argv);
    return 1;
}

void open_pipe()
{
    if (vn_pipe(pipe_ends) != 0) {
        vn_log(event_log, kLevelCrit, "Couldn't make the UDP command pipe: %s\n", vn_socket_strerror(errno));
        pipe_ends[0] = pipe_ends[1] = -1;
        return;
    }
    vn_setnonblocking(pipe_ends[0]);
    vn_setnonblocking(pipe_ends[1]);
    vn_add_read_event(pipe_ends[0], read_pipe, 0, nullptr);
}

void port_failed(vn_init_t *init)
{
    char text[64];
    snprintf(text, sizeof text, "Couldn't listen on UDP port %d\n", c_udp_port);
    if (init != nullptr && init->exit_func != nullptr) {
        init->exit_func(kPortFailureCode, text);
        return;
    }
    vn_log(event_log, kLevelCrit, "%s", text);
    fputs(text, stderr);
    exit(kPortFailureCode);
}

} // namespace

extern "C" {

vn_udp_event_t *vn_add_udp_event(const char *command, vn_udp_event_cb cb, int val, void *data)
{
    if (cb == nullptr)
        return nullptr;
    vn_udp_event_t *event = new vn_udp_event_t;
    event->command = command != nullptr ? command : "";
    event->callback = cb;
    event->val = val;
    event->data = data;
    std::lock_guard<std::recursive_mutex> lock(handler_mutex);
    handlers.push_back(event);
    return event;
}

void vn_del_udp_event(vn_udp_event_t *event)
{
    if (event == nullptr)
        return;
    std::lock_guard<std::recursive_mutex> lock(handler_mutex);
    unregister_locked(event);
}

int vn_udpsignal_send(const char *message)
{
    return message != nullptr ? send_text(message) : -1;
}

int vn_udpsignal_send_argv(const char *command, char **argv)
{
    if (command == nullptr)
        return -1;
    std::string text = command;
    for (char **word = argv; word != nullptr && *word != nullptr; word++)
        text.append(" ").append(*word);
    text.resize(std::min(text.size(), kMaxTextBytes));
    return send_text(text);
}

int vn_udpsignal_addjob(const char *cmd, vn_udpsignal_job_cb fn, const char *desc)
{
    (void)desc;
    // The job would be called on the first datagram naming its word.
    if (fn == nullptr)
        return -1;
    udpjob_t *job = new udpjob_t;
    job->command = cmd != nullptr ? cmd : "";
    job->fn = fn;
    std::lock_guard<std::recursive_mutex> lock(handler_mutex);
    job->event = vn_add_udp_event(job->command.c_str(), run_job, 0, job);
    jobs.insert(jobs.begin(), job);
    return 0;
}

int vn_udpsignal_deljob(const char *cmd, vn_udpsignal_job_cb fn)
{
    if (cmd == nullptr)
        return -1;
    std::lock_guard<std::recursive_mutex> lock(handler_mutex);
    auto found = std::find_if(jobs.begin(), jobs.end(), [&](const udpjob_t *job) {
        return job->fn == fn && strcasecmp(job->command.c_str(), cmd) == 0;
    });
    if (found == jobs.end())
        return -1;
    udpjob_t *job = *found;
    jobs.erase(found);
    unregister_locked(job->event);
    delete job;
    return 0;
}

void _vn_udpsignal_config_init(void)
{
    // A new configuration starts from the defaults: the registry takes each
    // variable's value as its default and frees a string it replaces.
    c_udp_port = kNoPort;
    vn_free(c_udp_interface);
    c_udp_interface = nullptr;
    vn_config_add_option(0, "udp-port", "!UDP|!UDP Socket to accept messages on", VN_CONFIG_INT, &c_udp_port);
    vn_config_add_option(0, "udp-interface", "!UDP|!Interface for UDP to listen on", VN_CONFIG_STRING,
                         &c_udp_interface);
}

void _vn_udpsignal_init(vn_init_t *init)
{
    event_log = init != nullptr ? init->log : nullptr;
    open_pipe();
    if (c_udp_port == kNoPort) {
        vn_config_add_error_message("UDP Message port not configured\n");
        return;
    }
    udp_socket = vn_udp_listen_socket(c_udp_interface, c_udp_port);
    if (udp_socket < 0) {
        port_failed(init);
        return;
    }
    // A datagram announced by the loop may be gone by the time it is read.
    vn_setnonblocking(udp_socket);
    vn_add_read_event(udp_socket, read_datagram, 0, nullptr);
}

void _vn_udpsignal_write_xml(void *doc, void *root)
{
    (void)doc;
    if (c_udp_port == kNoPort)
        return;
    void *node = _vn_xmlNewNode(nullptr, "udpSignal");
    _vn_xmlAddChild(root, node);
    char port[16];
    snprintf(port, sizeof port, "%d", c_udp_port);
    _vn_xmlNewProp(node, "port", port);
    if (c_udp_interface != nullptr)
        _vn_xmlNewProp(node, "address", c_udp_interface);
}

} // extern "C"
