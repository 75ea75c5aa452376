// A program run in the background for as long as a test needs it, its
// standard output collected line by line on a thread of its own.
#ifndef VANTRIX_TEST_CHILD_PROCESS_H
#define VANTRIX_TEST_CHILD_PROCESS_H

#include <sys/types.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vntest {

class ChildProcess {
public:
    // Starts `argv` in `cwd`; standard error goes to `cwd`/stderr.txt. Its
    // standard input is /dev/null, or with `piped_input` a pipe send_line writes.
    ChildProcess(const std::vector<std::string> &argv, const std::string &cwd, bool piped_input = false);
    // Kills the program when it still runs.
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    // Writes `line` and a newline to its standard input (piped_input only).
    void send_line(const std::string &line);
    std::vector<std::string> lines() const;
    // Lines that start with `prefix`.
    std::vector<std::string> lines_starting(const std::string &prefix) const;
    // Waits until a line satisfies `match`, for at most `seconds`.
    bool wait_for_line(const std::function<bool(const std::string &)> &match, double seconds = 30);
    // Ends it with SIGTERM (or SIGKILL) and returns its exit status as run() does.
    int stop(bool hard = false);
    // Waits for it to end by itself for at most `seconds`; its exit status,
    // or -1 (and it is killed) when it did not end in time.
    int wait(double seconds = 30);
    bool running() const { return pid_ > 0; }

private:
    void read_lines(int fd);
    int reap(int options);

    pid_t pid_ = -1;
    int input_ = -1;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::condition_variable changed_; // a line came, or the output ended
    std::vector<std::string> lines_;
    bool output_ended_ = false;
};

} // namespace vntest

#endif
