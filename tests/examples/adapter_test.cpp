// The example adapter run for real: it starts from its configuration, its
// first loop writes the pid file, and SIGTERM ends it with code 0 and removes
// the pid file again, also in daemon mode and when it is built against an
// installed SDK with pkg-config or with CMake's find_package.
#include "test_support.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int kDeadlineMillis = 30000; // a program not there by then never will be

std::string example_adapter()
{
    return std::string(EXAMPLES_BIN_DIR) + "/example_adapter";
}

// Starts `program` in `root` as an adapter with `args`; returns its pid.
pid_t start_adapter(const std::string &program, const vntest::TempRoot &root, const std::vector<std::string> &args)
{
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

int open_pidfd(pid_t pid)
{
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

// Waits until a file named `name` is closed after writing in the watched
// directory; false when `pidfd`'s process ends first or the deadline passes.
bool wait_for_written(int notify_fd, int pidfd, const std::string &name)
{
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        pollfd watches[2] = {{notify_fd, POLLIN, 0}, {pidfd, POLLIN, 0}};
        if (poll(watches, pidfd >= 0 ? 2 : 1, kDeadlineMillis) <= 0 || (watches[1].revents & POLLIN) != 0)
            return false;
        ssize_t got = read(notify_fd, buffer, sizeof buffer);
        if (got <= 0)
            return false;
        for (char *at = buffer; at < buffer + got;) {
            auto *event = reinterpret_cast<inotify_event *>(at);
            if (event->len > 0 && name == event->name)
                return true;
            at += sizeof(inotify_event) + event->len;
        }
    }
}

// Watches `root`'s var/ for the pid file of the adapter "feed".
struct PidFileWatch {
    int notify_fd = -1;
    explicit PidFileWatch(const vntest::TempRoot &root)
    {
        root.write("adapter.conf", "application-name feed\n");
        notify_fd = inotify_init1(IN_CLOEXEC);
        if (notify_fd >= 0 && inotify_add_watch(notify_fd, root.file("var").c_str(), IN_CLOSE_WRITE) < 0) {
            close(notify_fd);
            notify_fd = -1;
        }
    }
    ~PidFileWatch()
    {
        if (notify_fd >= 0)
            close(notify_fd);
    }
    bool written_before_end_of(pid_t pid) const
    {
        int pidfd = open_pidfd(pid);
        bool written = wait_for_written(notify_fd, pidfd, "feed.pid");
        if (pidfd >= 0)
            close(pidfd);
        return written;
    }
};

// Runs the adapter `program` until its loop has written the pid file, then
// ends it with SIGTERM: it exits with code 0 and removes the pid file.
void expect_clean_run(const std::string &program)
{
    vntest::TempRoot root;
    PidFileWatch watch(root);
    ASSERT_GE(watch.notify_fd, 0);
    pid_t pid = start_adapter(program, root, {});
    ASSERT_GT(pid, 0);
    bool written = watch.written_before_end_of(pid);
    kill(pid, written ? SIGTERM : SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(written) << program << " never wrote its pid file; status " << status;
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_FALSE(root.exists("var/feed.pid"));
}

} // namespace

TEST(ExampleAdapter, WritesItsPidFileAndEndsCleanlyOnSigterm)
{
    expect_clean_run(example_adapter());
}

// The process that carries on in daemon mode is a grandchild: its end is seen
// through a descriptor for its pid, and the removed pid file shows that its
// exit hook ran.
TEST(ExampleAdapter, InDaemonModeEndsOnSigtermAndRemovesItsPidFile)
{
    vntest::TempRoot root;
    PidFileWatch watch(root);
    ASSERT_GE(watch.notify_fd, 0);

    pid_t parent = start_adapter(example_adapter(), root, {"--daemon-enable"});
    ASSERT_GT(parent, 0);
    int status = 0;
    ASSERT_EQ(waitpid(parent, &status, 0), parent);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the process that started the daemon";
    ASSERT_TRUE(wait_for_written(watch.notify_fd, -1, "feed.pid"));
    pid_t daemon = static_cast<pid_t>(std::stol(root.read("var/feed.pid")));
    ASSERT_NE(daemon, parent);

    int pidfd = open_pidfd(daemon);
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

// ---- Built against an installed SDK ----

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kInstrumented = true;
#elif defined(__has_feature)
constexpr bool kInstrumented = __has_feature(address_sanitizer) || __has_feature(thread_sanitizer);
#else
constexpr bool kInstrumented = false;
#endif

std::vector<std::string> words_of(const std::string &text)
{
    std::istringstream stream(text);
    std::vector<std::string> words;
    for (std::string word; stream >> word;)
        words.push_back(word);
    return words;
}

// This build installed into a temporary prefix, then moved: nothing in the
// install may depend on where it was put.
class InstalledSdk : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (kInstrumented)
            GTEST_SKIP() << "an instrumented library links only into instrumented programs";
        vntest::RunResult installed =
            vntest::run({VANTRIX_CMAKE, "--install", VANTRIX_BUILD_DIR, "--prefix", root.file("staged")});
        ASSERT_EQ(installed.exit_code, 0) << installed.out << installed.err;
        std::filesystem::rename(root.file("staged"), prefix());
    }

    std::string prefix() const { return root.file("sdk"); }
    static std::string adapter_source() { return std::string(VANTRIX_SOURCE_DIR) + "/examples/adapter.c"; }

    vntest::TempRoot root;
};

} // namespace

TEST_F(InstalledSdk, AdapterBuiltWithPkgConfigRuns)
{
    std::map<std::string, std::string> env = {
        {"PKG_CONFIG_PATH", prefix() + "/" + VANTRIX_INSTALL_LIBDIR + "/pkgconfig"}};
    vntest::RunResult flags = vntest::run({VANTRIX_PKG_CONFIG, "--cflags", "--libs", "vantrix"}, "", env);
    ASSERT_EQ(flags.exit_code, 0) << flags.err;
    vntest::RunResult libdir = vntest::run({VANTRIX_PKG_CONFIG, "--variable=libdir", "vantrix"}, "", env);
    ASSERT_EQ(libdir.exit_code, 0) << libdir.err;
    std::vector<std::string> flag_words = words_of(flags.out);
    // The headers must come from the install, not from a copy elsewhere.
    auto include = std::find_if(flag_words.begin(), flag_words.end(),
                                [](const std::string &word) { return word.rfind("-I", 0) == 0; });
    ASSERT_NE(include, flag_words.end()) << flags.out;
    EXPECT_EQ(std::filesystem::canonical(include->substr(2)), std::filesystem::canonical(prefix() + "/include"));

    std::string program = root.file("adapter");
    std::vector<std::string> compile = {VANTRIX_C_COMPILER, adapter_source(), "-o", program};
    compile.insert(compile.end(), flag_words.begin(), flag_words.end());
    compile.push_back("-Wl,-rpath," + words_of(libdir.out).at(0));
    vntest::RunResult built = vntest::run(compile);
    ASSERT_EQ(built.exit_code, 0) << built.out << built.err;
    expect_clean_run(program);
}

TEST_F(InstalledSdk, AdapterBuiltWithFindPackageRunsAndItsVersionIsChecked)
{
    root.write("consumer/CMakeLists.txt", "cmake_minimum_required(VERSION 3.25)\n"
                                          "project(consumer C)\n"
                                          "find_package(vantrix ${WANTED} CONFIG REQUIRED)\n"
                                          "add_executable(adapter " + adapter_source() + ")\n"
                                          "target_link_libraries(adapter PRIVATE vantrix::vantrix)\n");
    auto configure = [&](const std::string &wanted) {
        return vntest::run({VANTRIX_CMAKE, "-S", root.file("consumer"), "-B", root.file("consumer/build"), "-G",
                            VANTRIX_GENERATOR, "-DCMAKE_MAKE_PROGRAM=" VANTRIX_MAKE_PROGRAM,
                            "-DCMAKE_C_COMPILER=" VANTRIX_C_COMPILER, "-DCMAKE_PREFIX_PATH=" + prefix(),
                            "-DWANTED=" + wanted});
    };
    vntest::RunResult too_new = configure("5.3");
    EXPECT_NE(too_new.exit_code, 0) << "5.2.0 was taken for 5.3";
    EXPECT_NE(too_new.err.find("5.2.0"), std::string::npos) << too_new.err;
    vntest::RunResult configured = configure("5.2");
    ASSERT_EQ(configured.exit_code, 0) << configured.out << configured.err;
    vntest::RunResult built = vntest::run({VANTRIX_CMAKE, "--build", root.file("consumer/build")});
    ASSERT_EQ(built.exit_code, 0) << built.out << built.err;
    expect_clean_run(root.file("consumer/build/adapter"));
}
