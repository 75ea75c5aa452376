// Monitoring access: add-monuser records read from a configuration file, an
// application's authenticator, and sign-on tokens signed by the openssl
// command line; every decision is checked in the event log.
#include "test_support.h"
#include "vantrix_private.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

class MonitorAuthTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        vn_config_set_ctx(vn_config_new_ctx());
        _vn_log_config_init();
        _vn_monitor_config_init();
        _vn_signature_config_init();
        vn_config_set_option("log-level", "DEBUG");
        record.application_name = app_name.data();
        vntest::start_log_and_loop(root, &record);
    }

    void start(const std::string &config)
    {
        ASSERT_EQ(vn_config_parse_file(root.write("auth.conf", config).c_str()), 1);
        _vn_signature_init(&record);
        _vn_monitor_init(&record);
    }

    static int ask(const char *user, const char *password, const char *address)
    {
        std::string user_text = user != nullptr ? user : "";
        std::string password_text = password != nullptr ? password : "";
        std::string address_text = address != nullptr ? address : "";
        vn_monauth_t auth{user != nullptr ? user_text.data() : nullptr,
                          password != nullptr ? password_text.data() : nullptr,
                          address != nullptr ? address_text.data() : nullptr};
        return vnmon_authenticate(&auth);
    }

    std::string event_log() const { return root.read("var/event.log"); }

    // Every log the process wrote.
    std::string all_logs() const
    {
        std::string text;
        for (const auto &entry : std::filesystem::recursive_directory_iterator(root.file("var")))
            if (entry.is_regular_file())
                text += vntest::read_file(entry.path().string());
        return text;
    }

    vntest::TempRoot root;
    std::string app_name = "authtest";
    vn_init_t record{};
};

struct AccessCase {
    const char *user;
    const char *password;
    const char *address;
    int granted;
};

void expect_cases(const std::vector<AccessCase> &cases, int (*ask)(const char *, const char *, const char *))
{
    for (const AccessCase &c : cases) {
        EXPECT_EQ(ask(c.user, c.password, c.address), c.granted)
            << (c.user ? c.user : "-") << " " << (c.password ? c.password : "-") << " "
            << (c.address ? c.address : "-");
    }
}

TEST_F(MonitorAuthTest, WithoutRecordsEveryRequestIsGrantedAndLoggedMasked)
{
    start("");
    EXPECT_EQ(ask("ops", "secret", "10.0.0.9"), 1);
    EXPECT_EQ(ask(nullptr, nullptr, nullptr), 1);
    std::string log = event_log();
    EXPECT_NE(log.find("NOTIFY: Granting monitoring access to user <ops> pass <********> from 10.0.0.9\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Granting monitoring access to user <> pass <> from \n"), std::string::npos);
    EXPECT_EQ(log.find("secret"), std::string::npos);
}

TEST_F(MonitorAuthTest, PasswordRecordsAdmitOnlyTheirAddresses)
{
    start("add-monuser\nuser ops\npass pw\naddr 10.0.0.1\nend-monuser\n"
          "add-monuser\nuser net\npass pw\nnetwork 10.1.0.0\nnetmask 255.255.0.0\nend-monuser\n"
          "add-monuser\nuser any\npass pw\nnetwork 10.1.0.0\nend-monuser\n");
    expect_cases({
                     {"ops", "pw", "10.0.0.1", 1},
                     {"ops", "pw", "10.0.0.2", 0},
                     {"ops", "wrong", "10.0.0.1", 0},
                     {"ops", nullptr, "10.0.0.1", 0},
                     {"ops", "pw", nullptr, 0},
                     {"net", "pw", "10.1.200.3", 1},
                     {"net", "pw", "10.2.0.1", 0},
                     {"any", "pw", "192.168.7.7", 1}, // a network without a netmask admits every address
                     {"any", "pw", nullptr, 1},
                     {"nobody", "pw", "10.0.0.1", 0},
                 },
                 ask);
    std::string log = event_log();
    EXPECT_NE(log.find("Denying monitoring access to user <ops> pass <********> from 10.0.0.2\n"),
              std::string::npos);
    EXPECT_EQ(log.find("wrong"), std::string::npos);
}

// A record without a user or key, and a password-less user asked with a
// password, grant nothing wherever they stand.
const std::string kAddressOnly = "add-monuser\naddr 10.0.0.1\nend-monuser\n";
const std::string kOpenUser = "add-monuser\nuser guest\nend-monuser\n";
const std::string kPasswordUser = "add-monuser\nuser ops\npass pw\nend-monuser\n";
const std::vector<AccessCase> kUndecidedCases = {
    {"ops", "wrong", "10.0.0.1", 0},
    {"someone", nullptr, "10.0.0.1", 0},
    {"guest", "pw", "10.0.0.1", 0},
    {"guest", nullptr, "10.0.0.1", 1},
    {"ops", "pw", "10.0.0.1", 1},
};

TEST_F(MonitorAuthTest, UndecidedRecordsLastNeverGrant)
{
    start(kPasswordUser + kOpenUser + kAddressOnly);
    expect_cases(kUndecidedCases, ask);
}

TEST_F(MonitorAuthTest, UndecidedRecordsFirstNeverGrant)
{
    start(kAddressOnly + kOpenUser + kPasswordUser);
    expect_cases(kUndecidedCases, ask);
}

TEST_F(MonitorAuthTest, UserWithoutPasswordIsStillBoundToTheRecordsAddress)
{
    start("add-monuser\nuser guest\naddr 10.0.0.1\nend-monuser\n");
    expect_cases({{"guest", nullptr, "10.0.0.1", 1}, {"guest", nullptr, "10.0.0.2", 0}}, ask);
}

TEST_F(MonitorAuthTest, AuthenticatorDecidesAloneAndLogsNothing)
{
    start("add-monuser\nuser ops\npass pw\nend-monuser\n");
    vn_monitor_authenticator_t previous =
        vn_monitor_set_auth([](vn_monauth_t *auth) { return auth->username != nullptr && auth->username[0] == 'a' ? 1 : 0; });
    EXPECT_EQ(previous, nullptr);
    EXPECT_EQ(ask("alice", nullptr, nullptr), 1);
    EXPECT_EQ(ask("ops", "pw", nullptr), 0);
    EXPECT_EQ(event_log().find("monitoring access"), std::string::npos);
}

TEST_F(MonitorAuthTest, KeyRecordsAcceptASignOnTokenOnce)
{
    vntest::make_rsa_key(root, "key.pem", "pub.der");
    auto token = [&](const std::string &text) { return vntest::openssl_sign(root, text, "md5", "key.pem") + "~" + text; };
    start("add-sigkey\nkey-id portal\nkeyfile " + root.file("pub.der") + "\nend-sigkey\n" +
          "add-monuser\nkey-id portal\nnetwork 127.0.0.0\nnetmask 255.0.0.0\nend-monuser\n" +
          "add-monuser\nuser ops\nkey-id portal\nend-monuser\n");
    std::string first = token(vntest::gmt_stamp() + "~one");
    std::string second = token(vntest::gmt_stamp() + "~two");
    expect_cases({
                     {"anyone", first.c_str(), "10.0.0.1", 0}, // outside the network: the token is not spent
                     {"anyone", first.c_str(), "127.0.0.1", 1},
                     {"anyone", first.c_str(), "127.0.0.1", 0}, // used
                     {"ops", second.c_str(), "10.0.0.1", 1},
                     {"ops", "not-a-token", "10.0.0.1", 0},
                 },
                 ask);
    EXPECT_NE(event_log().find("Denying monitoring access to user <ops> pass <********> from 10.0.0.1\n"),
              std::string::npos);
}

// A key record beside password records: plain passwords are never checked as
// tokens, and a token that fails its signature is logged masked.
TEST_F(MonitorAuthTest, NoPasswordOrUnverifiedTokenReachesAnyLog)
{
    vntest::make_rsa_key(root, "key.pem", "pub.der");
    auto sign = [&](const std::string &text) { return vntest::openssl_sign(root, text, "md5", "key.pem"); };
    start("add-sigkey\nkey-id portal\nkeyfile " + root.file("pub.der") + "\nend-sigkey\n" +
          "add-monuser\nkey-id portal\nend-monuser\n" + "add-monuser\nuser alice\npass Alice-pw-1\nend-monuser\n" +
          "add-monuser\nuser ops\nkey-id portal\nend-monuser\n");
    std::string stamp = vntest::gmt_stamp();
    std::string forged = sign(stamp + "~other") + "~" + stamp + "~ops";
    struct Case {
        const char *user;
        std::string password;
        int granted;
        std::string secret; // what no log may show
    } cases[] = {
        {"alice", "Alice-pw-1", 1, "Alice-pw-1"},
        {"alice", "Alice-pw-2", 0, "Alice-pw-2"},
        {"ops", "Ops-pw-3", 0, "Ops-pw-3"},
        {"ops", "Ops~pw~4", 0, "Ops~pw~4"},
        {"ops", forged, 0, forged.substr(0, forged.find('~'))},
        {"mallory", forged, 0, forged.substr(0, forged.find('~'))},
    };
    for (const Case &c : cases)
        EXPECT_EQ(ask(c.user, c.password.c_str(), "127.0.0.1"), c.granted) << c.password;
    std::string logs = all_logs();
    for (const Case &c : cases)
        EXPECT_EQ(logs.find(c.secret), std::string::npos) << c.secret << "\n" << logs;
    EXPECT_EQ(logs.find("Malformed token"), std::string::npos) << logs;
    EXPECT_NE(logs.find("ERROR: Token verification failed for key_id <portal> <********>\n"), std::string::npos);
    EXPECT_NE(logs.find("Granting monitoring access to user <alice> pass <********> from 127.0.0.1\n"),
              std::string::npos);
}

} // namespace
