// The signals that end the process, sent to real processes whose threads are
// busy logging and allocating: each ends with code 0 and its exit hook removes
// the pid file, whether the init thread runs its loop, is stuck in a long
// callback, or never runs a loop.
#include "test_support.h"
#include "vantrix_private.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

namespace {

constexpr int kRuns = 20;               // per way of running the init thread
constexpr int kWorkers = 3;             // threads logging and allocating
constexpr int kDeadlineMillis = 30000;  // a process not ended by then hangs
constexpr int kLevelInfo = 6;

enum class InitThread { RunsItsLoop, BusyInACallback, NeverRunsALoop };

int ready_fd = -1; // the child's end of the pipe it reports readiness on

void report_ready()
{
    char byte = 1;
    [[maybe_unused]] ssize_t written = write(ready_fd, &byte, 1);
}

// Logs to the event log and allocates and frees blocks of changing sizes
// until the process ends.
[[noreturn]] void keep_busy(int worker)
{
    for (unsigned round = 0;; round++) {
        size_t size = 16 + (round * 97 + static_cast<unsigned>(worker) * 31) % 4096;
        char *block = static_cast<char *>(vn_malloc(size));
        std::memset(block, worker, size);
        vn_log(vn_get_event_log(), kLevelInfo, "worker %d round %u block %zu\n", worker, round, size);
        vn_free(block);
    }
}

int ready_and_return(int, int, void *)
{
    report_ready();
    return 0;
}

int ready_and_stay(int, int, void *)
{
    report_ready();
    keep_busy(kWorkers);
}

// The child: starts the runtime in `root`, starts the workers, and reports
// ready once the init thread is where `mode` says.
[[noreturn]] void run_busy_process(const std::string &root, InitThread mode)
{
    static vn_init_t init = {};
    std::string root_copy = root;
    char program[] = "busy";
    char root_flag[] = "--application-root";
    char *argv[] = {program, root_flag, root_copy.data(), nullptr};
    vn_config_init("none.conf", 3, argv);
    if (vn_init(&init, 3, argv) < 0)
        _exit(125);
    for (int worker = 0; worker < kWorkers; worker++)
        std::thread(keep_busy, worker).detach();
    switch (mode) {
    case InitThread::RunsItsLoop:
        vn_add_timed_event(0, 0, ready_and_return, 0, nullptr);
        vn_loop();
        break;
    case InitThread::BusyInACallback:
        vn_add_timed_event(0, 0, ready_and_stay, 0, nullptr);
        vn_loop();
        break;
    case InitThread::NeverRunsALoop:
        _vn_write_pid_file(); // as a loop's start would, so that the exit hook exists
        report_ready();
        keep_busy(kWorkers);
    }
    _exit(126); // the loop returned: nothing stopped it
}

bool wait_readable(int fd, int millis)
{
    pollfd watch = {fd, POLLIN, 0};
    int got;
    while ((got = poll(&watch, 1, millis)) < 0 && errno == EINTR) {
    }
    return got == 1;
}

// The child's exit status once it has ended, or -1 when it had not ended by
// the deadline (it is then killed).
int wait_for_end(pid_t pid)
{
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    bool ended = pidfd < 0 || wait_readable(pidfd, kDeadlineMillis);
    if (pidfd >= 0)
        close(pidfd);
    if (!ended)
        kill(pid, SIGKILL);
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !ended)
        return -1;
    return status;
}

std::string describe(int status)
{
    if (status == -1)
        return "did not end";
    if (WIFSIGNALED(status))
        return std::string("killed by ") + strsignal(WTERMSIG(status));
    return "exited with " + std::to_string(WEXITSTATUS(status));
}

} // namespace

// ThreadSanitizer waits a second at every exit for threads to finish, which
// these processes' threads never do.
extern "C" const char *__tsan_default_options()
{
    return "atexit_sleep_ms=0";
}

TEST(ExitSignals, BusyProcessEndsWithCodeZeroAndRemovesItsPidFileEveryTime)
{
    const int signals[] = {SIGTERM, SIGINT, SIGHUP};
    for (InitThread mode : {InitThread::RunsItsLoop, InitThread::BusyInACallback, InitThread::NeverRunsALoop}) {
        SCOPED_TRACE(static_cast<int>(mode));
        vntest::TempRoot root;
        for (int run = 0; run < kRuns; run++) {
            int ready[2];
            ASSERT_EQ(pipe(ready), 0);
            pid_t pid = fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                close(ready[0]);
                ready_fd = ready[1];
                run_busy_process(root.path(), mode);
            }
            close(ready[1]);
            bool is_ready = wait_readable(ready[0], kDeadlineMillis);
            close(ready[0]);
            int signal_number = signals[run % 3];
            kill(pid, is_ready ? signal_number : SIGKILL);
            int status = wait_for_end(pid);
            ASSERT_TRUE(is_ready) << "run " << run << ": the process never got ready; it " << describe(status);
            ASSERT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0)
                << "run " << run << " on " << strsignal(signal_number) << ": the process " << describe(status);
            ASSERT_FALSE(root.exists("var/busy.pid")) << "run " << run;
        }
    }
}
