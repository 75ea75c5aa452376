// The example adapter run for real: it starts from its configuration, its
// first loop writes the pid file, and SIGTERM ends it with code 0 and removes
// the pid file again.
#include "test_support.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

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

} // namespace

TEST(ExampleAdapter, WritesItsPidFileAndEndsCleanlyOnSigterm)
{
    vntest::TempRoot root;
    root.write("adapter.conf", "application-name feed\n");
    int notify_fd = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(notify_fd, 0);
    ASSERT_GE(inotify_add_watch(notify_fd, root.file("var").c_str(), IN_CLOSE_WRITE), 0);

    std::string program = std::string(EXAMPLES_BIN_DIR) + "/example_adapter";
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(root.path().c_str()) != 0)
            _exit(126);
        execl(program.c_str(), program.c_str(), "--application-root", root.path().c_str(), nullptr);
        _exit(127);
    }
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
