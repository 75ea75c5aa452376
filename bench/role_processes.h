// For benchmarks that run this program again in roles (a publisher or a
// source and its subscribers), each a process of its own with a runtime,
// linked over 127.0.0.1: the one harness that starts, watches and ends the
// roles, and the helpers the roles share.
//
// run_roles starts every role on one port, each in a root of its own, waits
// for the reporting roles' lines for at most a time-out, and on every path
// (reports in, a role that ended, the time-out, SIGINT, SIGTERM or SIGHUP to
// the benchmark) kills and reaps every process it started and removes their
// roots before it returns; after a signal it raises the signal again. A role
// left behind by a harness that is killed outright is killed by the kernel
// (PR_SET_PDEATHSIG). When a role could not listen on the port (another
// process took it after it was chosen), the roles are started again on a
// fresh port, a few times at most.
//
// Threads: run_roles changes the process's signal handlers while it runs, so
// one thread at a time calls it, and the children die with that thread.
#ifndef VANTRIX_BENCH_ROLE_PROCESSES_H
#define VANTRIX_BENCH_ROLE_PROCESSES_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vantrix.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

namespace bench {

// This program's path, for the children; empty when it cannot be read.
inline std::string self_path()
{
    char path[4096];
    ssize_t len = readlink("/proc/self/exe", path, sizeof path - 1);
    return len > 0 ? std::string(path, static_cast<size_t>(len)) : std::string();
}

// A TCP port on 127.0.0.1 that nothing listened on a moment ago.
inline int free_tcp_port()
{
    int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(sock, reinterpret_cast<sockaddr *>(&address), sizeof address);
    socklen_t len = sizeof address;
    getsockname(sock, reinterpret_cast<sockaddr *>(&address), &len);
    close(sock);
    return ntohs(address.sin_port);
}

// A fresh directory named from `prefix`, with the var/ a runtime writes to;
// empty when it cannot be made.
inline std::string make_root(const std::string &prefix)
{
    std::string pattern = prefix + ".XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr)
        return "";
    std::string root = buffer.data();
    mkdir((root + "/var").c_str(), 0700);
    return root;
}

inline void remove_root(const std::string &root)
{
    std::error_code ignored;
    if (!root.empty())
        std::filesystem::remove_all(root, ignored);
}

// ---- The roles' side ----

// In a child: writes `conf` as <role>.conf in `root` and starts the runtime
// from it with `init`, `program` as its argv[0]; vn_init's result.
inline int start_role_runtime(const std::string &root, const std::string &role, const std::string &conf,
                              vn_init_t *init, const std::string &program = self_path())
{
    std::ofstream(root + "/" + role + ".conf") << conf;
    // The runtime keeps the arguments for the life of the process.
    static std::vector<std::string> args;
    static std::vector<char *> argv;
    args = {program, "--application-root", root};
    for (std::string &arg : args)
        argv.push_back(arg.data());
    std::string file = role + ".conf";
    vn_config_init(file.c_str(), static_cast<int>(argv.size()), argv.data());
    return vn_init(init, static_cast<int>(argv.size()), argv.data());
}

} // namespace bench

// ---- The roles of a one-link pair (callbacks_bench) ----

// A publisher that accepts its one subscriber on `port`.
inline std::string publisher_conf(const std::string &port)
{
    return "application-name publisher\nvantrix-id 1\nvantrix-port " + port +
           "\nadd-peer\nlabel subscriber\nremote-id 2\nlocal-type active\nend-peer\n";
}

// A subscriber of every subject under /bench/ from the publisher on `port`.
inline std::string subscriber_conf(const std::string &port, bool threaded)
{
    return "application-name subscriber\nvantrix-id 2\n" +
           std::string(threaded ? "enable-threaded-callbacks\n" : "") +
           "add-peer\nlabel publisher\naddr 127.0.0.1\nport " + port +
           "\nend-peer\nadd-data-service\nservice-name bench\ninclude-pattern ^/bench/\n"
           "add-source-group\nrequired\nadd-priority\nlabel publisher\nend-priority\nend-source-group\n"
           "end-data-service\n";
}

// Starts the runtime in `root` from `conf`, calls `started` and runs the loop
// for good; 1 when it could not start.
inline int run_runtime(const std::string &program, const std::string &root, const std::string &role,
                       const std::string &conf, vn_init_t *init, const std::function<void()> &started)
{
    if (bench::start_role_runtime(root, role, conf, init, program) < 0)
        return 1;
    started();
    vn_loop();
    return 0;
}

namespace bench {

// ---- The harness side ----

// In a role's arguments, replaced by the port and by the role's own root.
inline const std::string kPortArg = "{port}";
inline const std::string kRootArg = "{root}";
// The runtime's exit code for a listen socket it could not open.
constexpr int kListenFailedStatus = 3;
constexpr int kPortAttempts = 3;
// A run that has not reported by then has lost a process.
constexpr std::chrono::milliseconds kDefaultTimeout{120000};
// A report line is short; a role that writes more without a newline has
// none, and the harness keeps no more of it.
constexpr size_t kMaxReportBytes = 4096;
// How long a role whose output ended may take to exit before it is killed.
constexpr std::chrono::milliseconds kExitGrace{2000};

struct Role {
    std::string name;              // in the failure reasons and the root's name
    std::vector<std::string> args; // the program first
    bool reports = false;          // its first line is awaited
};

struct RunSettings {
    std::chrono::milliseconds timeout = kDefaultTimeout;
    std::function<int()> choose_port = free_tcp_port;
    // Each role's root is <root_prefix>_<name>.XXXXXX.
    std::string root_prefix = "/tmp/vantrix_bench";
};

struct RunResult {
    std::vector<std::string> reports; // the reporting roles' lines, in their order, without the newline
    std::string failure;              // why they are missing; empty when all came
};

namespace detail {

inline volatile sig_atomic_t caught_signal = 0;

inline void note_signal(int signal_number)
{
    caught_signal = signal_number;
}

constexpr int kCaughtSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr size_t kCaughtCount = sizeof kCaughtSignals / sizeof kCaughtSignals[0];

// While the roles run, the signals that would end the benchmark are caught
// and blocked everywhere but in the wait (so none slips in between a check
// and the wait); the destructor puts the old handlers back and raises the
// signal again, once the roles are gone. A signal the benchmark ignores
// stays ignored.
class SignalScope {
public:
    SignalScope()
    {
        caught_signal = 0;
        sigset_t caught;
        sigemptyset(&caught);
        for (size_t i = 0; i < kCaughtCount; i++) {
            sigaction(kCaughtSignals[i], nullptr, &old_[i]);
            if (!(old_[i].sa_flags & SA_SIGINFO) && old_[i].sa_handler == SIG_IGN)
                continue;
            struct sigaction action {};
            action.sa_handler = note_signal;
            sigemptyset(&action.sa_mask);
            sigaction(kCaughtSignals[i], &action, nullptr);
            sigaddset(&caught, kCaughtSignals[i]);
        }
        pthread_sigmask(SIG_BLOCK, &caught, &outer_mask_);
        waiting_mask_ = outer_mask_;
        for (int signal_number : kCaughtSignals)
            if (sigismember(&caught, signal_number))
                sigdelset(&waiting_mask_, signal_number);
    }
    ~SignalScope()
    {
        for (size_t i = 0; i < kCaughtCount; i++)
            sigaction(kCaughtSignals[i], &old_[i], nullptr);
        pthread_sigmask(SIG_SETMASK, &outer_mask_, nullptr);
        if (caught_signal != 0)
            raise(caught_signal);
    }
    SignalScope(const SignalScope &) = delete;
    SignalScope &operator=(const SignalScope &) = delete;

    // The mask inside the wait: the caught signals open.
    const sigset_t *waiting_mask() const { return &waiting_mask_; }
    // The mask a child starts its program with: the benchmark's own.
    const sigset_t *outer_mask() const { return &outer_mask_; }
    // In a child, before its program: the old handlers, so that it starts
    // as the benchmark would have started it.
    void restore_in_child() const
    {
        for (size_t i = 0; i < kCaughtCount; i++)
            sigaction(kCaughtSignals[i], &old_[i], nullptr);
    }

private:
    struct sigaction old_[kCaughtCount] {};
    sigset_t waiting_mask_{};
    sigset_t outer_mask_{};
};

// One role's process: its output on a pipe that the harness reads.
struct Child {
    const Role *role = nullptr;
    pid_t pid = -1;
    int output = -1;
    std::string root;
    std::string line;
    bool reported = false;
    int status = -1; // the wait status once reaped
};

inline std::string status_text(int status)
{
    if (status == -1)
        return "still running";
    if (WIFEXITED(status))
        return "exit status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return "killed by signal " + std::to_string(WTERMSIG(status));
    return "wait status " + std::to_string(status);
}

// The role's arguments with the placeholders replaced.
inline std::vector<std::string> role_args(const Role &role, const std::string &port, const std::string &root)
{
    std::vector<std::string> args;
    for (const std::string &arg : role.args)
        args.push_back(arg == kPortArg ? port : arg == kRootArg ? root : arg);
    return args;
}

// Forks and runs `args`; the child calls only what is safe after a fork in a
// threaded process, so everything it needs is made before.
inline bool spawn(Child &child, const std::vector<std::string> &args, const SignalScope &signals)
{
    std::vector<char *> argv;
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    int ends[2];
    // Close-on-exec, so that no role holds another's pipe open.
    if (pipe2(ends, O_CLOEXEC) != 0)
        return false;
    pid_t parent = getpid();
    child.pid = fork();
    if (child.pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) // the harness died before the line above
            _exit(127);
        signals.restore_in_child();
        pthread_sigmask(SIG_SETMASK, signals.outer_mask(), nullptr);
        dup2(ends[1], 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(ends[1]);
    child.output = ends[0];
    if (child.pid < 0) {
        close(ends[0]);
        child.output = -1;
        return false;
    }
    return true;
}

// The processes of one attempt; ended, reaped and their roots removed when it goes.
struct Attempt {
    std::vector<Child> children;
    bool port_taken = false;

    Attempt() = default;
    Attempt(const Attempt &) = delete;
    Attempt &operator=(const Attempt &) = delete;
    ~Attempt()
    {
        for (Child &child : children) {
            if (child.pid > 0 && child.status == -1) {
                kill(child.pid, SIGKILL);
                while (waitpid(child.pid, &child.status, 0) < 0 && errno == EINTR) {
                }
            }
            if (child.output >= 0)
                close(child.output);
            remove_root(child.root);
        }
    }
};

inline std::chrono::milliseconds left_until(std::chrono::steady_clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return std::max(left, std::chrono::milliseconds(0));
}

// Reaps a child whose output ended, allowing it kExitGrace to exit; false
// when it still runs (it is killed with the rest).
inline bool reap(Child &child, const SignalScope &signals)
{
    auto deadline = std::chrono::steady_clock::now() + kExitGrace;
    constexpr timespec kPollStep{0, 1000000};
    int status = 0;
    for (;;) {
        pid_t reaped = waitpid(child.pid, &status, WNOHANG);
        if (reaped == child.pid) {
            child.status = status;
            return true;
        }
        if (reaped < 0 || caught_signal != 0 || left_until(deadline).count() == 0)
            return false;
        ppoll(nullptr, 0, &kPollStep, signals.waiting_mask());
    }
}

// One read from a child: a reporting role's first line is kept, anything
// else is dropped, so that no role ever blocks on a full pipe. False at the
// end of its output.
inline bool take_output(Child &child)
{
    char buffer[4096];
    ssize_t got = read(child.output, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR)
        return true;
    if (got <= 0)
        return false;
    if (child.role->reports && !child.reported && child.line.size() < kMaxReportBytes) {
        child.line.append(buffer, static_cast<size_t>(got));
        size_t end = child.line.find('\n');
        if (end != std::string::npos) {
            child.line.resize(end);
            child.reported = true;
        }
    }
    return true;
}

// Why a role that ended leaves the run without its reports; sets port_taken
// when it could not listen.
inline std::string ended_reason(Attempt &attempt, Child &child, const std::string &port, const SignalScope &signals)
{
    if (!reap(child, signals))
        return "the " + child.role->name + " closed its output";
    if (WIFEXITED(child.status) && WEXITSTATUS(child.status) == kListenFailedStatus) {
        attempt.port_taken = true;
        return "the " + child.role->name + " could not listen on port " + port + " (" + status_text(child.status) +
               ")";
    }
    return "the " + child.role->name + " ended (" + status_text(child.status) + ")" +
           (child.role->reports ? " without its report" : " before the reports");
}

inline std::string silent_roles(const Attempt &attempt)
{
    std::string names;
    for (const Child &child : attempt.children)
        if (child.role->reports && !child.reported)
            names += (names.empty() ? "the " : ", the ") + child.role->name;
    return names;
}

inline std::string seconds_text(std::chrono::milliseconds time)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(time.count()) / 1000);
    return text;
}

// Waits until every reporting role has reported; "" or the reason why not.
// A role that ends in the same wake-up as the last report does not count.
inline std::string wait_for_reports(Attempt &attempt, const std::string &port, std::chrono::milliseconds timeout,
                                    const SignalScope &signals)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        std::vector<pollfd> watched;
        std::vector<Child *> owners;
        for (Child &child : attempt.children)
            if (child.output >= 0) {
                watched.push_back({child.output, POLLIN, 0});
                owners.push_back(&child);
            }
        if (silent_roles(attempt).empty())
            return "";
        if (caught_signal != 0)
            return "interrupted by signal " + std::to_string(caught_signal);
        auto left = left_until(deadline);
        timespec wait{static_cast<time_t>(left.count() / 1000), static_cast<long>(left.count() % 1000) * 1000000};
        int ready = ppoll(watched.data(), watched.size(), &wait, signals.waiting_mask());
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return "no report from " + silent_roles(attempt) + " within " + seconds_text(timeout);
        Child *ended = nullptr;
        for (size_t i = 0; i < watched.size(); i++) {
            Child &child = *owners[i];
            if (watched[i].revents == 0 || take_output(child))
                continue;
            close(child.output);
            child.output = -1;
            if (!child.reported && ended == nullptr)
                ended = &child;
        }
        if (ended != nullptr && !silent_roles(attempt).empty())
            return ended_reason(attempt, *ended, port, signals);
    }
}

// Starts every role on `port` and waits for the reports.
inline std::string run_attempt(Attempt &attempt, const std::vector<Role> &roles, const std::string &port,
                               const RunSettings &settings, const SignalScope &signals, RunResult &result)
{
    attempt.children.reserve(roles.size());
    for (const Role &role : roles) {
        attempt.children.push_back({});
        Child &child = attempt.children.back();
        child.role = &role;
        child.root = make_root(settings.root_prefix + "_" + role.name);
        if (child.root.empty())
            return "no root for the " + role.name + " under " + settings.root_prefix;
        if (!spawn(child, role_args(role, port, child.root), signals))
            return "the " + role.name + " could not be started";
    }
    std::string failure = wait_for_reports(attempt, port, settings.timeout, signals);
    if (failure.empty())
        for (const Child &child : attempt.children)
            if (child.role->reports)
                result.reports.push_back(child.line);
    return failure;
}

} // namespace detail

// Runs `roles` until every reporting role has written its line, or one of
// the ways above ends the run.
inline RunResult run_roles(const std::vector<Role> &roles, const RunSettings &settings = {})
{
    detail::SignalScope signals;
    RunResult result;
    for (int attempt_number = 1;; attempt_number++) {
        std::string port = std::to_string(settings.choose_port());
        detail::Attempt attempt;
        result.failure = detail::run_attempt(attempt, roles, port, settings, signals, result);
        if (!attempt.port_taken || detail::caught_signal != 0)
            return result;
        if (attempt_number == kPortAttempts) {
            result.failure += ", on " + std::to_string(kPortAttempts) + " ports in turn";
            return result;
        }
        std::fprintf(stderr, "%s; starting again on a fresh port\n", result.failure.c_str());
    }
}

} // namespace bench

#endif
