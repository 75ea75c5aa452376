// For benchmarks that run this program again in a role (a publisher, a
// source, a subscriber), each a process of its own with a runtime: the
// program's own path, a loopback port, the child processes and their roots.
#ifndef VANTRIX_BENCH_ROLE_PROCESSES_H
#define VANTRIX_BENCH_ROLE_PROCESSES_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vantrix.h>

#include <cstdlib>
#include <fstream>
#include <string>
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
    int sock = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(sock, reinterpret_cast<sockaddr *>(&address), sizeof address);
    socklen_t len = sizeof address;
    getsockname(sock, reinterpret_cast<sockaddr *>(&address), &len);
    close(sock);
    return ntohs(address.sin_port);
}

// Runs args[0] with `args`, its standard output on `stdout_fd`.
inline pid_t spawn(const std::vector<std::string> &args, int stdout_fd)
{
    pid_t pid = fork();
    if (pid == 0) {
        dup2(stdout_fd, 1);
        std::vector<char *> argv;
        for (const std::string &arg : args)
            argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        execv(args[0].c_str(), argv.data());
        _exit(127);
    }
    return pid;
}

// A fresh directory named from `prefix`, with the var/ a runtime writes to.
inline std::string make_root(const std::string &prefix)
{
    std::string pattern = prefix + ".XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr)
        std::abort();
    std::string root = buffer.data();
    mkdir((root + "/var").c_str(), 0700);
    return root;
}

inline void remove_root(const std::string &root)
{
    std::string command = "rm -rf '" + root + "'";
    [[maybe_unused]] int ignored = std::system(command.c_str());
}

// In a child: writes `conf` as <role>.conf in `root` and starts the runtime
// from it with `init`; vn_init's result.
inline int start_role_runtime(const std::string &root, const std::string &role, const std::string &conf,
                              vn_init_t *init)
{
    std::ofstream(root + "/" + role + ".conf") << conf;
    // The runtime keeps the arguments for the life of the process.
    static std::vector<std::string> args;
    static std::vector<char *> argv;
    args = {self_path(), "--application-root", root};
    for (std::string &arg : args)
        argv.push_back(arg.data());
    std::string file = role + ".conf";
    vn_config_init(file.c_str(), static_cast<int>(argv.size()), argv.data());
    return vn_init(init, static_cast<int>(argv.size()), argv.data());
}

} // namespace bench

#endif
