#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace vntest {

ChildProcess::ChildProcess(const std::vector<std::string> &argv, const std::string &cwd)
{
    int to_child[2];
    int from_child[2];
    if (pipe2(to_child, O_CLOEXEC) != 0 || pipe2(from_child, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    std::vector<char *> args;
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork");
    if (pid_ == 0) {
        dup2(to_child[0], 0);
        dup2(from_child[1], 1);
        if (chdir(cwd.c_str()) != 0)
            _exit(126);
        execv(args[0], args.data());
        _exit(127);
    }
    close(to_child[0]);
    close(from_child[1]);
    input_ = to_child[1];
    output_ = from_child[0];
}

ChildProcess::~ChildProcess()
{
    close(input_);
    kill(pid_, SIGTERM);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    close(output_);
}

void ChildProcess::send_line(const std::string &line)
{
    std::string bytes = line + "\n";
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t wrote = write(input_, bytes.data() + sent, bytes.size() - sent);
        if (wrote <= 0 && errno != EINTR)
            return;
        sent += wrote > 0 ? static_cast<size_t>(wrote) : 0;
    }
}

bool ChildProcess::read_line(std::string *line, double seconds)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        size_t newline = buffered_.find('\n');
        if (newline != std::string::npos) {
            *line = buffered_.substr(0, newline);
            buffered_.erase(0, newline + 1);
            return true;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd watch{output_, POLLIN, 0};
        if (left.count() <= 0 || poll(&watch, 1, static_cast<int>(left.count())) <= 0)
            return false;
        char chunk[4096];
        ssize_t got = read(output_, chunk, sizeof chunk);
        if (got <= 0)
            return false;
        buffered_.append(chunk, static_cast<size_t>(got));
    }
}

bool ChildProcess::wait_line(const std::string &wanted, std::vector<std::string> *before, double seconds)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    std::string line;
    for (;;) {
        double left = std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0 || !read_line(&line, left))
            return false;
        if (line == wanted)
            return true;
        if (before != nullptr)
            before->push_back(line);
    }
}

} // namespace vntest
