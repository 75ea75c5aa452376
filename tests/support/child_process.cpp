#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace vntest {

ChildProcess::ChildProcess(const std::vector<std::string> &argv, const std::string &cwd, bool piped_input)
{
    int out_pipe[2];
    if (pipe(out_pipe) != 0)
        throw std::runtime_error("pipe failed");
    // Close-on-exec, so that no other child keeps the input open past this one.
    int in_pipe[2] = {-1, -1};
    if (piped_input && pipe2(in_pipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    std::string err_file = cwd + "/stderr.txt";
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out_pipe[1], 1);
        close(out_pipe[0]);
        close(out_pipe[1]);
        int err_fd = open(err_file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (err_fd >= 0)
            dup2(err_fd, 2);
        int input_fd = piped_input ? in_pipe[0] : open("/dev/null", O_RDONLY);
        if (input_fd >= 0)
            dup2(input_fd, 0);
        if (chdir(cwd.c_str()) != 0)
            _exit(126);
        std::vector<char *> args;
        for (const std::string &arg : argv)
            args.push_back(const_cast<char *>(arg.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out_pipe[1]);
    if (piped_input) {
        close(in_pipe[0]);
        input_ = in_pipe[1];
    }
    int fd = out_pipe[0];
    reader_ = std::thread([this, fd] { read_lines(fd); });
}

ChildProcess::~ChildProcess()
{
    if (input_ >= 0)
        close(input_);
    if (pid_ > 0)
        stop(true);
    if (reader_.joinable())
        reader_.join();
}

void ChildProcess::read_lines(int fd)
{
    std::string partial;
    char buffer[4096];
    for (;;) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        partial.append(buffer, static_cast<size_t>(got));
        for (size_t end; (end = partial.find('\n')) != std::string::npos; partial.erase(0, end + 1)) {
            std::lock_guard<std::mutex> hold(mutex_);
            lines_.push_back(partial.substr(0, end));
            changed_.notify_all();
        }
    }
    close(fd);
    std::lock_guard<std::mutex> hold(mutex_);
    output_ended_ = true;
    changed_.notify_all();
}

bool ChildProcess::wait_for_line(const std::function<bool(const std::string &)> &match, double seconds)
{
    std::unique_lock<std::mutex> hold(mutex_);
    size_t seen = 0;
    return changed_.wait_for(hold, std::chrono::duration<double>(seconds), [&] {
        for (; seen < lines_.size(); seen++)
            if (match(lines_[seen]))
                return true;
        return output_ended_;
    }) && seen < lines_.size();
}

void ChildProcess::send_line(const std::string &line)
{
    std::string bytes = line + "\n";
    for (size_t sent = 0; sent < bytes.size() && input_ >= 0;) {
        ssize_t wrote = write(input_, bytes.data() + sent, bytes.size() - sent);
        if (wrote < 0 && errno != EINTR)
            return;
        sent += wrote > 0 ? static_cast<size_t>(wrote) : 0;
    }
}

std::vector<std::string> ChildProcess::lines() const
{
    std::lock_guard<std::mutex> hold(mutex_);
    return lines_;
}

std::vector<std::string> ChildProcess::lines_starting(const std::string &prefix) const
{
    std::vector<std::string> out;
    for (const std::string &line : lines())
        if (line.compare(0, prefix.size(), prefix) == 0)
            out.push_back(line);
    return out;
}

int ChildProcess::reap(int options)
{
    int status = 0;
    pid_t got;
    while ((got = waitpid(pid_, &status, options)) < 0 && errno == EINTR) {
    }
    if (got != pid_)
        return -1;
    pid_ = -1;
    if (reader_.joinable())
        reader_.join();
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int ChildProcess::stop(bool hard)
{
    if (pid_ <= 0)
        return -1;
    kill(pid_, hard ? SIGKILL : SIGTERM);
    return reap(0);
}

int ChildProcess::wait(double seconds)
{
    if (pid_ <= 0)
        return -1;
    // Its output ends when it does.
    bool ended;
    {
        std::unique_lock<std::mutex> hold(mutex_);
        ended = changed_.wait_for(hold, std::chrono::duration<double>(seconds), [this] { return output_ended_; });
    }
    if (!ended) {
        stop(true);
        return -1;
    }
    return reap(0);
}

} // namespace vntest
