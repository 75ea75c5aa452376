// The example adapter run for real: it starts from its configuration, its
// first loop writes the pid file, and SIGTERM ends it with code 0 and removes
// the pid file again, also in daemon mode.
#include "test_support.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// Blocks until a file named `name` is closed after writing in `directory`.
void wait_for_written(int notify_fd, const std::string &name)
{
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        ssize_t got = read(notify_fd, buffer, sizeof buffer);
        ASSERT_GT(got, 0) << std::strerror(errno);
        for (char *at = buffer; at < buffer + got;) {
            auto *event = reinterpret_cast<inotify_event *>(at);
            if (event->len > 0 && name == event->name)
                return;
            at += sizeof(inotify_event) + event->len;
        }
    }
}

// Starts the example adapter in `root` with `args`; returns its pid.
pid_t start_adapter(const vntest::TempRoot &root, const std::vector<std::string> &args)
{
    std::string program = std::string(EXAMPLES_BIN_DIR) + "/example_adapter";
    std::vector<std::string> words = {program, "--application-root", root.path()};
    words.insert(words.end(), args.begin(), args.end());
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<char *> argv;
        for (std::string &word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        if (chdir(root.path().c_str()) != 0)
            _exit(126);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    return pid;
}

} // namespace

TEST(ExampleAdapter, WritesItsPidFileAndEndsCleanlyOnSigterm)
{
    vntest::TempRoot root;
    root.write("adapter.conf", "application-name feed\n");
    int notify_fd = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(notify_fd, 0);
    ASSERT_GE(inotify_add_watch(notify_fd, root.file("var").c_str(), IN_CLOSE_WRITE), 0);

    pid_t pid = start_adapter(root, {});
    ASSERT_GT(pid, 0);
    wait_for_written(notify_fd, "feed.pid");
    close(notify_fd);
    EXPECT_EQ(root.read("var/feed.pid"), std::to_string(pid) + "\n");

    kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_FALSE(root.exists("var/feed.pid"));
}

// The process that carries on in daemon mode is a grandchild: its end is seen
// through a descriptor for its pid, and the removed pid file shows that its
// exit hook ran.
TEST(ExampleAdapter, InDaemonModeEndsOnSigtermAndRemovesItsPidFile)
{
    constexpr int kDeadlineMillis = 30000;
    vntest::TempRoot root;
    root.write("adapter.conf", "application-name feed\n");
    int notify_fd = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(notify_fd, 0);
    ASSERT_GE(inotify_add_watch(notify_fd, root.file("var").c_str(), IN_CLOSE_WRITE), 0);

    pid_t parent = start_adapter(root, {"--daemon-enable"});
    ASSERT_GT(parent, 0);
    int status = 0;
    ASSERT_EQ(waitpid(parent, &status, 0), parent);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the process that started the daemon";
    wait_for_written(notify_fd, "feed.pid");
    close(notify_fd);
    pid_t daemon = static_cast<pid_t>(std::stol(root.read("var/feed.pid")));
    ASSERT_NE(daemon, parent);

    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, daemon, 0));
    ASSERT_GE(pidfd, 0) << std::strerror(errno);
    kill(daemon, SIGTERM);
    pollfd ended = {pidfd, POLLIN, 0};
    int got = poll(&ended, 1, kDeadlineMillis);
    close(pidfd);
    if (got != 1)
        kill(daemon, SIGKILL);
    ASSERT_EQ(got, 1) << "the daemon did not end";
    EXPECT_FALSE(root.exists("var/feed.pid"));
}
