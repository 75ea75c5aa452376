// The signals that end the process: SIGTERM, SIGINT and SIGHUP exit with
// code 0 and run the exit hooks. A handler may only do what is safe in a
// handler, so it writes the signal's number into a pipe; a thread of this
// module's own waits on the pipe and calls exit, which runs the hooks on an
// ordinary thread whatever the init thread is doing (running its loop, busy
// in a callback, or never running a loop at all).
//
// The pipe and the thread belong to one process: a forked child makes its
// own, and until it has, a signal ends it at once without the hooks, which
// are its parent's.
#include "vantrix_private.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

namespace {

constexpr int kExitSignals[] = {SIGTERM, SIGINT, SIGHUP};

int signal_pipe[2] = {-1, -1};
// The process whose signal thread reads `signal_pipe`; 0 while none does. Set
// after the pipe, so a handler that sees its own process finds the pipe made.
std::atomic<pid_t> reader_pid{0};

static_assert(std::atomic<pid_t>::is_always_lock_free, "read in a signal handler");

void on_exit_signal(int signal_number)
{
    int saved_errno = errno;
    if (reader_pid.load() != getpid())
        _exit(0);
    unsigned char byte = static_cast<unsigned char>(signal_number);
    // A full pipe already holds a signal the thread is acting on.
    [[maybe_unused]] ssize_t written = write(signal_pipe[1], &byte, 1);
    errno = saved_errno;
}

void *wait_for_exit_signal(void *)
{
    vn_thread_setname("vn-signals");
    unsigned char byte = 0;
    for (;;) {
        ssize_t got = read(signal_pipe[0], &byte, 1);
        if (got == 1)
            std::exit(0);
        if (got < 0 && errno == EINTR)
            continue;
        return nullptr; // the pipe is gone: nothing will arrive
    }
}

void close_pipe()
{
    for (int &end : signal_pipe) {
        if (end != -1)
            close(end);
        end = -1;
    }
}

// The thread starts with every signal blocked, so the handlers always run on
// other threads and never interrupt the exit.
bool start_thread()
{
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pthread_t thread;
    int failed = pthread_create(&thread, nullptr, wait_for_exit_signal, nullptr);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (failed != 0)
        return false;
    pthread_detach(thread);
    return true;
}

} // namespace

void _vn_exit_signals_start(void)
{
    pid_t self = getpid();
    if (reader_pid.load() == self)
        return;
    reader_pid.store(0);
    // Inherited ends are the parent's: its thread reads them.
    close_pipe();
    if (pipe2(signal_pipe, O_CLOEXEC) != 0)
        return;
    // The handler must never wait on the pipe.
    fcntl(signal_pipe[1], F_SETFL, O_NONBLOCK);
    if (!start_thread()) {
        // Without a thread the handlers end the process at once, without hooks.
        close_pipe();
        return;
    }
    reader_pid.store(self);
}

void _vn_exit_signals_install(void)
{
    _vn_exit_signals_start();
    struct sigaction action = {};
    action.sa_handler = on_exit_signal;
    sigemptyset(&action.sa_mask);
    for (int signal_number : kExitSignals)
        sigaddset(&action.sa_mask, signal_number);
    action.sa_flags = SA_RESTART;
    for (int signal_number : kExitSignals)
        sigaction(signal_number, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}
