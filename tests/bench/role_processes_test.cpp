// The benchmarks' harness with real role processes (tests/bench/role_node):
// every way a run ends returns, or ends the harness, with every process it
// started gone. This process adopts any role its harness leaves behind
// (PR_SET_CHILD_SUBREAPER), so that "no child left" covers those too.
#include "role_processes.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

// A hung harness ends the test here rather than at the test run's limit.
constexpr unsigned kBoundSeconds = 60;
constexpr std::chrono::milliseconds kTimeout{20000};

bench::Role node_role(const std::string &name, const std::string &kind, bool reports, int signal_number = 0)
{
    bench::Role role{name, {BENCH_ROLE_NODE_BIN, kind, bench::kRootArg, bench::kPortArg}, reports};
    if (signal_number != 0)
        role.args.push_back(std::to_string(signal_number));
    return role;
}

// Ports that the test keeps listening on: a publisher offered one cannot listen.
class HeldPorts {
public:
    ~HeldPorts()
    {
        for (int sock : sockets_)
            close(sock);
    }
    int hold()
    {
        int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof address;
        if (bind(sock, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(sock, 1) != 0 ||
            getsockname(sock, reinterpret_cast<sockaddr *>(&address), &len) != 0)
            ADD_FAILURE() << "cannot hold a port: " << std::strerror(errno);
        sockets_.push_back(sock);
        return ntohs(address.sin_port);
    }
    size_t count() const { return sockets_.size(); }

private:
    std::vector<int> sockets_;
};

class RoleProcesses : public testing::Test {
protected:
    void SetUp() override
    {
        alarm(kBoundSeconds);
        ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
        settings_.timeout = kTimeout;
        settings_.root_prefix = root_.file("role");
    }
    void TearDown() override { alarm(0); }

    // True when this process has no child, running or ended.
    static bool no_children() { return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD; }

    int roots_left() const
    {
        int left = 0;
        for (const auto &entry : std::filesystem::directory_iterator(root_.path()))
            left += entry.path().filename().string().rfind("role_", 0) == 0 ? 1 : 0;
        return left;
    }

    // Runs a harness in a process of its own whose subscriber sends it `signal_number`.
    void harness_killed_by(int signal_number)
    {
        EXPECT_EXIT(
            {
                bench::run_roles({node_role("publisher", "publisher", false),
                                  node_role("subscriber", "signaller", true, signal_number)},
                                 settings_);
                _exit(0);
            },
            testing::KilledBySignal(signal_number), "");
    }

    vntest::TempRoot root_;
    bench::RunSettings settings_;
};

TEST_F(RoleProcesses, PublisherThatCannotListenOnAnyPortOfferedEndsTheRunWithTheReason)
{
    HeldPorts held;
    settings_.choose_port = [&] { return held.hold(); };
    auto start = std::chrono::steady_clock::now();
    bench::RunResult run =
        bench::run_roles({node_role("publisher", "publisher", false), node_role("subscriber", "subscriber", true)},
                         settings_);
    EXPECT_LT(std::chrono::steady_clock::now() - start, kTimeout);
    EXPECT_NE(run.failure.find("the publisher could not listen on port"), std::string::npos) << run.failure;
    EXPECT_NE(run.failure.find("exit status 3"), std::string::npos) << run.failure;
    EXPECT_TRUE(run.reports.empty());
    EXPECT_EQ(held.count(), static_cast<size_t>(bench::kPortAttempts)); // a fresh port for each start
    EXPECT_TRUE(no_children());
    EXPECT_EQ(roots_left(), 0);
}

TEST_F(RoleProcesses, PairWhosePortWasTakenIsStartedAgainOnAFreshPort)
{
    HeldPorts held;
    settings_.choose_port = [&] { return held.count() == 0 ? held.hold() : bench::free_tcp_port(); };
    bench::RunResult run =
        bench::run_roles({node_role("publisher", "publisher", false), node_role("subscriber", "subscriber", true)},
                         settings_);
    EXPECT_EQ(run.failure, "");
    EXPECT_EQ(run.reports, std::vector<std::string>{"linked"});
    EXPECT_TRUE(no_children());
    EXPECT_EQ(roots_left(), 0);
}

TEST_F(RoleProcesses, RoleThatNeverReportsEndsTheRunAtTheTimeOut)
{
    settings_.timeout = std::chrono::milliseconds(500);
    bench::RunResult run =
        bench::run_roles({node_role("publisher", "publisher", false), node_role("subscriber", "silent", true)},
                         settings_);
    EXPECT_EQ(run.failure, "no report from the subscriber within 0.5 s");
    EXPECT_TRUE(no_children());
    EXPECT_EQ(roots_left(), 0);
}

TEST_F(RoleProcesses, SignalToTheHarnessEndsItsRolesAndIsRaisedAgain)
{
    harness_killed_by(SIGTERM);
    EXPECT_TRUE(no_children()); // none was left for this process to adopt
    EXPECT_EQ(roots_left(), 0);
}

TEST_F(RoleProcesses, RolesOfAHarnessKilledOutrightEndWithIt)
{
    harness_killed_by(SIGKILL);
    // Both roles were adopted here; each ends by itself, killed by the kernel.
    for (int role = 0; role < 2; role++) {
        int status = 0;
        ASSERT_GT(waitpid(-1, &status, 0), 0);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    }
    EXPECT_TRUE(no_children());
}

} // namespace
