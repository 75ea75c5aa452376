// A program of the tests run as its own process, fed lines on its standard
// input and read line by line from its standard output with deadlines.
#ifndef VANTRIX_CHILD_PROCESS_H
#define VANTRIX_CHILD_PROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace vntest {

class ChildProcess {
public:
    // Starts `argv` in `cwd`; the process ends (SIGTERM) when this is destroyed.
    ChildProcess(const std::vector<std::string> &argv, const std::string &cwd);
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    void send_line(const std::string &line);
    // The next line (without its newline); false at end of output or after `seconds`.
    bool read_line(std::string *line, double seconds = 20.0);
    // Reads until a line equal to `wanted`; the lines before it go to `before`.
    bool wait_line(const std::string &wanted, std::vector<std::string> *before = nullptr, double seconds = 20.0);

private:
    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    std::string buffered_;
};

} // namespace vntest

#endif
