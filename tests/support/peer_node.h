// A node for the end-to-end peer tests: the library-built process of
// tests/src/peer_e2e_node.cpp run in its own root, fed commands on its input
// and read back through its report lines and event log.
#ifndef VANTRIX_PEER_NODE_H
#define VANTRIX_PEER_NODE_H

#include "peer_harness.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace vntest {

// One node process: its root with node.conf, its command input and its
// report lines.
class Node {
public:
    Node() = default;
    explicit Node(const std::string &conf) { configure(conf); }
    Node(const Node &) = delete;
    Node &operator=(const Node &) = delete;
    // A node ends cleanly (under ThreadSanitizer: without a report).
    ~Node() { EXPECT_EQ(stop(), 0) << event_log(); }

    const TempRoot &root() const { return root_; }

    void configure(const std::string &conf)
    {
        root_.write("node.conf", "application-name " + name_ + "\nvantrix-pkt-log " + root_.file("var/packets.log") +
                                     "\n" + conf);
    }

    // True once the node has started; false when it could not (it has then ended).
    bool start()
    {
        int input[2], output[2];
        if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0)
            return false;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(input[0], 0);
            dup2(output[1], 1);
            setenv("TZ", "UTC", 1);
            if (chdir(root_.path().c_str()) != 0)
                _exit(126);
            execl(PEER_E2E_NODE_BIN, "peer_e2e_node", "-r", root_.path().c_str(), nullptr);
            _exit(127);
        }
        close(input[0]);
        close(output[1]);
        input_ = input[1];
        output_ = output[0];
        unread_.clear();
        lines_.clear();
        if (pid_ > 0 && expect("ready"))
            return true;
        stop();
        return false;
    }

    // Ends the process at once, as a crash would.
    void kill_now()
    {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        close_pipes();
    }

    // Closing its input ends a node with code 0.
    int stop()
    {
        if (pid_ <= 0)
            return 0;
        close_pipes();
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    void command(const std::string &line)
    {
        std::string text = line + "\n";
        ASSERT_EQ(write(input_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }

    // The first report not yet taken that starts with `prefix`, waiting for
    // it; reports before it stay for later calls.
    bool expect(const std::string &prefix, std::string *line = nullptr, double seconds = kWireDeadline)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        for (;;) {
            for (auto it = lines_.begin(); it != lines_.end(); ++it) {
                if (it->compare(0, prefix.size(), prefix) != 0)
                    continue;
                if (line != nullptr)
                    *line = *it;
                lines_.erase(it);
                return true;
            }
            double left = std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0 || !read_lines(left))
                return false;
        }
    }

    std::string event_log() const
    {
        std::string path = "var/event-" + name_ + ".log";
        return root_.exists(path) ? root_.read(path) : "";
    }

    // Waits until the event log holds `text`.
    bool wait_log(const std::string &text, double seconds = kWireDeadline) const
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (event_log().find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            poll(nullptr, 0, 10);
        }
        return true;
    }

private:
    bool read_lines(double seconds)
    {
        pollfd watch{output_, POLLIN, 0};
        if (poll(&watch, 1, static_cast<int>(seconds * 1000) + 1) <= 0)
            return false;
        char chunk[4096];
        ssize_t got = read(output_, chunk, sizeof chunk);
        if (got <= 0)
            return false;
        unread_.append(chunk, static_cast<size_t>(got));
        for (size_t end; (end = unread_.find('\n')) != std::string::npos;) {
            lines_.push_back(unread_.substr(0, end));
            unread_.erase(0, end + 1);
        }
        return true;
    }

    void close_pipes()
    {
        if (input_ >= 0)
            close(input_);
        if (output_ >= 0)
            close(output_);
        input_ = output_ = -1;
    }

    TempRoot root_;
    std::string name_ = "node";
    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    std::string unread_;
    std::vector<std::string> lines_;
};

// Starts a node that listens, on a port free a moment ago; when a test
// running beside this one took the port first, the node cannot listen and
// ends, and another port is tried. The port, or -1.
int start_listening(Node &node, const std::function<std::string(int port)> &conf);

std::string node_conf(int id, const std::string &name, int port, const std::string &peers);
// An add-peer group that accepts, or connects to 127.0.0.1 on `port`.
std::string accept_peer(const std::string &label, int remote_id, const std::string &extra = "");
std::string connect_peer(const std::string &label, int remote_id, int port, const std::string &extra = "");

} // namespace vntest

#endif
