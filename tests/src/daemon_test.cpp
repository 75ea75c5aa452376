#include "vantrix_private.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace {

void start(vn_init_t *init, const std::string &root)
{
    std::string root_copy = root;
    char program[] = "feed";
    char root_flag[] = "--application-root";
    char *argv[] = {program, root_flag, root_copy.data(), nullptr};
    vn_config_init("none.conf", 3, argv);
    vn_init(init, 3, argv);
}

} // namespace

TEST(Daemon, DisabledByDefaultAndRedirectLeavesDescriptorsAlone)
{
    EXPECT_EQ(vn_daemon_disabled(), 1);
    vn_daemon_redirect();
    EXPECT_NE(fcntl(1, F_GETFD), -1);
}

TEST(PidFile, AppendedOnceAndRemovedAtExit)
{
    vntest::TempRoot root;
    root.write("var/feed.pid", "1\n");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        static vn_init_t init = {};
        start(&init, root.path());
        _vn_write_pid_file();
        _vn_write_pid_file();
        std::string expected = "1\n" + std::to_string(getpid()) + "\n";
        std::exit(vntest::read_file(root.file("var/feed.pid")) == expected ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "pid file not appended exactly once";
    EXPECT_FALSE(root.exists("var/feed.pid"));
}

TEST(PidFile, ExitOfAForkedChildLeavesTheParentsPidFile)
{
    vntest::TempRoot root;
    pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        static vn_init_t init = {};
        start(&init, root.path());
        _vn_write_pid_file();
        pid_t child = fork();
        if (child == 0)
            std::exit(0);
        int child_status = 0;
        waitpid(child, &child_status, 0);
        std::exit(root.exists("var/feed.pid") ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(writer, &status, 0), writer);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the child's exit removed its parent's pid file";
    EXPECT_FALSE(root.exists("var/feed.pid"));
}

// A name that could not be opened (here another program's socket) is not
// this process's: exit leaves it alone.
TEST(PidFile, NameThatCannotBeOpenedIsNotRemovedAtExit)
{
    vntest::TempRoot root;
    std::string path = root.file("var/feed.pid");
    int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof address.sun_path);
    path.copy(address.sun_path, path.size());
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        static vn_init_t init = {};
        start(&init, root.path());
        _vn_write_pid_file();
        std::exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_TRUE(root.exists("var/feed.pid"));
    close(sock);
}

TEST(PidFile, UnwritableFileIsSkippedSilently)
{
    vntest::TempRoot root;
    static vn_init_t init = {};
    start(&init, root.file("missing"));
    _vn_write_pid_file();
    EXPECT_FALSE(root.exists("missing/var/feed.pid"));
}
