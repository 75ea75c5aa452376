// The harness side of the benchmarks whose parts run as processes of their
// own: this program started again in a role, each with a root of its own,
// the subscriber writing one report line.
#ifndef VANTRIX_BENCH_ROLE_PROCESS_H
#define VANTRIX_BENCH_ROLE_PROCESS_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "role_processes.h"
#include "vantrix_private.h"

using bench::free_tcp_port;
using bench::remove_root;

// A fresh directory /tmp/<name>.XXXXXX with its var/.
inline std::string make_root(const std::string &name)
{
    return bench::make_root("/tmp/" + name);
}

// Starts the publisher (its output discarded) and the subscriber, each from
// its arguments with the program first, reads the subscriber's report line
// and ends both; "" when it reported nothing.
inline std::string run_pair(const std::vector<std::string> &publisher_args,
                            const std::vector<std::string> &subscriber_args)
{
    int null_fd = open("/dev/null", O_WRONLY);
    int report[2];
    if (pipe(report) != 0)
        std::abort();
    pid_t publisher = bench::spawn(publisher_args, null_fd);
    pid_t subscriber = bench::spawn(subscriber_args, report[1]);
    close(report[1]);
    char line[256] = "";
    ssize_t got = read(report[0], line, sizeof line - 1);
    close(report[0]);
    close(null_fd);
    kill(publisher, SIGTERM);
    kill(subscriber, SIGTERM);
    waitpid(publisher, nullptr, 0);
    waitpid(subscriber, nullptr, 0);
    return got > 0 ? std::string(line, static_cast<size_t>(got)) : std::string();
}

// ---- The roles' side ----

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

// Starts the runtime in `root` from `conf` (written there as <role>.conf),
// calls `started` and runs the loop for good; 1 when it could not start.
inline int run_runtime(const std::string &program, const std::string &root, const std::string &role,
                       const std::string &conf, vn_init_t *init, const std::function<void()> &started)
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
    if (vn_init(init, static_cast<int>(argv.size()), argv.data()) < 0)
        return 1;
    started();
    vn_loop();
    return 0;
}

#endif
