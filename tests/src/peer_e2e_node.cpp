// A small adapter for the end-to-end peer tests, run as its own process: it
// starts the runtime from "node.conf" in its root (-r), takes commands on
// standard input and reports what the peer layer hands on, one line each on
// standard output.
//
// Commands: "send SUBJECT [NUMBER=VALUE ...]" sends an update to every peer;
// "send-to PEER SUBJECT [NUMBER=VALUE ...]" to one; "status-msg ID TEXT" sends
// a peer status message to every peer; "echo TEXT" reports "echo TEXT" once
// every command before it has run; "fd-limit full" lowers the descriptor
// limit to the lowest free descriptor, so that no other can be opened, and
// "fd-limit restore" puts it back (each reports "fd-limit"); "accepts"
// reports "accepts CALLS FAILED", the accept calls made so far; "cpu"
// reports "cpu SECONDS", the process's user and system time.
// Reports: "ready", "up PEER REMOTE_ID REMOTE_NAME", "down PEER REMOTE_ID",
// "update PEER SUBJECT SEQ [NUMBER=VALUE ...]", "request PEER SUBJECT ...",
// "statusmsg PEER FLAGS VALUE TEXT".
#include "vantrix_private.h"

#include <dlfcn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>

namespace {

// Handoffs come from the peer threads; each report is one whole line.
std::mutex out_mutex;

void report(const std::string &line)
{
    std::lock_guard<std::mutex> lock(out_mutex);
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

// The words separated by blanks. Streamed rather than added up, since g++ 12
// at -O3 takes "literal" + std::string for an overlapping copy (a false
// -Wrestrict).
template <typename... Words>
std::string line_of(const Words &...words)
{
    std::ostringstream line;
    const char *separator = "";
    ((line << separator << words, separator = " "), ...);
    return line.str();
}

void on_update(int peer, vn_datapkt_t *pkt)
{
    std::string line = line_of("update", peer, pkt->subject, pkt->seq);
    for (int i = 0; i < pkt->count; i++)
        line += line_of("", pkt->fields[i].fieldnum) + "=" + pkt->fields[i].value;
    report(line);
}

void on_peer_status(int peer, int state, int remote_id, char *remote_name)
{
    if (state == 256)
        report(line_of("up", peer, remote_id, remote_name != nullptr ? remote_name : ""));
    else
        report(line_of("down", peer, remote_id));
}

void on_request(int peer, vn_reqpkt_t *request)
{
    std::string line = line_of("request", peer);
    for (int i = 0; i < request->count; i++)
        line += std::string(" ") + request->subjects[i];
    report(line);
}

void on_status_msg(int peer, int status, int value, void *data)
{
    report(line_of("statusmsg", peer, status, value, data != nullptr ? static_cast<const char *>(data) : ""));
}

// "NUMBER=VALUE" words after the subject.
vn_data_t *record_from(std::istringstream &words, const std::string &subject)
{
    vn_data_t *data = vn_init_data(subject.c_str(), 0, 0);
    std::string field;
    while (words >> field) {
        size_t equals = field.find('=');
        if (equals == std::string::npos)
            continue;
        vn_add_data(data, std::atoi(field.substr(0, equals).c_str()), field.substr(equals + 1).c_str());
    }
    return data;
}

std::atomic<long> accept_calls{0};
std::atomic<long> accept_failures{0};
struct rlimit saved_limit;

void set_fd_limit(const std::string &how)
{
    if (how == "full") {
        getrlimit(RLIMIT_NOFILE, &saved_limit);
        int lowest_free = dup(0);
        close(lowest_free);
        struct rlimit full = saved_limit;
        full.rlim_cur = static_cast<rlim_t>(lowest_free);
        setrlimit(RLIMIT_NOFILE, &full);
    } else {
        setrlimit(RLIMIT_NOFILE, &saved_limit);
    }
    report("fd-limit");
}

void report_cpu()
{
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    double seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    report(line_of("cpu", seconds));
}

void run_command(const std::string &line)
{
    // Taken before any stream is made: the undefined-behaviour checker's
    // type checks of stream calls need a free descriptor.
    const std::string limit_command = "fd-limit ";
    if (line.compare(0, limit_command.size(), limit_command) == 0) {
        set_fd_limit(line.substr(limit_command.size()));
        return;
    }
    std::istringstream words(line);
    std::string command;
    words >> command;
    if (command == "send") {
        std::string subject;
        if (words >> subject)
            vn_send_data(record_from(words, subject));
    } else if (command == "send-to") {
        int peer = -1;
        std::string subject;
        if (words >> peer >> subject)
            vn_send_data_to_peer(peer, record_from(words, subject));
    } else if (command == "echo") {
        report(line);
    } else if (command == "accepts") {
        report(line_of("accepts", accept_calls.load(), accept_failures.load()));
    } else if (command == "cpu") {
        report_cpu();
    } else if (command == "status-msg") {
        int id = 0;
        std::string text;
        words >> id;
        std::getline(words >> std::ws, text);
        vn_set_status_msg(static_cast<uint16_t>(id), text.c_str());
    }
}

std::string pending_input;

int read_commands(sock_t fd, int, void *)
{
    char chunk[4096];
    ssize_t got = read(fd, chunk, sizeof chunk);
    if (got <= 0)
        std::exit(0); // the test closed our input: its run is over
    pending_input.append(chunk, static_cast<size_t>(got));
    for (size_t end; (end = pending_input.find('\n')) != std::string::npos;) {
        run_command(pending_input.substr(0, end));
        pending_input.erase(0, end + 1);
    }
    return 1;
}

} // namespace

// Interposed on the C library's accept for this program, to count the
// listen watches' attempts.
extern "C" int accept(int fd, struct sockaddr *address, socklen_t *length)
{
    using accept_t = int (*)(int, struct sockaddr *, socklen_t *);
    static accept_t real = reinterpret_cast<accept_t>(dlsym(RTLD_NEXT, "accept"));
    int sock = real(fd, address, length);
    accept_calls++;
    if (sock < 0)
        accept_failures++;
    return sock;
}

int main(int argc, char **argv)
{
    static vn_init_t init;
    // Set before any peer thread exists, so that none misses a report.
    _vn_peer_handoff.recv_update = on_update;
    _vn_peer_handoff.recv_peer_status = on_peer_status;
    _vn_peer_handoff.recv_request = on_request;
    _vn_peer_handoff.recv_peer_status_msg = on_status_msg;
    vn_config_init("node.conf", argc, argv);
    if (vn_init(&init, argc, argv) < 0)
        return 1;
    vn_add_read_event(0, read_commands, 0, nullptr);
    report("ready");
    vn_loop();
    return 0;
}
