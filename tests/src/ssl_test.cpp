// SSL set-up with certificates made by the openssl command line: the two
// contexts shake hands with each other over a socket pair in this process,
// and morvask runs show how start-up ends on each configuration fault.
#include "test_support.h"
#include "vantrix_private.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <utility>
#include <string>
#include <vector>

namespace {

struct SslFree {
    void operator()(SSL *ssl) const { SSL_free(ssl); }
};
using SslPtr = std::unique_ptr<SSL, SslFree>;

// One connection between the two contexts, the client's end and the server's.
struct Link {
    SslPtr client;
    SslPtr server;
    bool client_done = false;
    bool server_done = false;
    bool failed = false;
};

// Runs both handshakes over a non-blocking socket pair in turns until both
// are done or either fails.
std::unique_ptr<Link> shake_hands()
{
    auto link = std::make_unique<Link>();
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        return nullptr;
    for (int fd : fds)
        fcntl(fd, F_SETFL, O_NONBLOCK);
    link->client.reset(SSL_new(_vn_ssl_c_ctx));
    link->server.reset(SSL_new(_vn_ssl_s_ctx));
    SSL_set_fd(link->client.get(), fds[0]);
    SSL_set_fd(link->server.get(), fds[1]);
    auto step = [&](SSL *ssl, bool *done, int (*handshake)(SSL *)) {
        if (*done)
            return;
        int result = handshake(ssl);
        if (result == 1) {
            *done = true;
            return;
        }
        int error = SSL_get_error(ssl, result);
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE)
            link->failed = true;
    };
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!link->failed && !(link->client_done && link->server_done) && std::chrono::steady_clock::now() < deadline) {
        step(link->client.get(), &link->client_done, SSL_connect);
        step(link->server.get(), &link->server_done, SSL_accept);
    }
    ERR_clear_error();
    return link;
}

bool linked(const Link &link)
{
    return link.client_done && link.server_done && !link.failed;
}

class SslTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(chdir(root.path().c_str()), 0);
        vn_config_set_ctx(vn_config_new_ctx());
        _vn_log_config_init();
        _vn_ssl_config_init();
        vn_config_set_option("log-level", "DEBUG");
        record.application_name = app_name.data();
        vntest::start_log_and_loop(root, &record);
        vntest::make_certificate(root, "ca");
        vntest::make_certificate(root, "server", "ca");
        vntest::make_certificate(root, "client", "ca");
    }

    void start(const std::string &conf)
    {
        ASSERT_EQ(vn_config_parse_file(root.write("ssl.conf", conf).c_str()), 1);
        _vn_ssl_init(&record);
    }

    std::string event_log() const { return root.read("var/event.log"); }

    vntest::TempRoot root;
    std::string app_name = "ssltest";
    vn_init_t record{};
};

const std::string kServer = "enable-server\nserver-cert server.pem\nserver-key server.key\n";

TEST_F(SslTest, WithoutOptionsBothContextsExistWithoutCertificatesOrVerification)
{
    start("");
    ASSERT_NE(_vn_ssl_s_ctx, nullptr);
    ASSERT_NE(_vn_ssl_c_ctx, nullptr);
    EXPECT_EQ(SSL_CTX_get0_certificate(_vn_ssl_s_ctx), nullptr);
    EXPECT_EQ(SSL_CTX_get_verify_mode(_vn_ssl_s_ctx), SSL_VERIFY_NONE);
    EXPECT_EQ(SSL_CTX_get_verify_mode(_vn_ssl_c_ctx), SSL_VERIFY_NONE);
    EXPECT_EQ(_vn_ssl_server_enabled(), 0);
}

TEST_F(SslTest, BothSidesVerifyEachOthersCertificates)
{
    start("start-ssl\n" + kServer +
          "enable-client\nclient-cert client.pem\nclient-key client.key\nCAfile ca.pem\n"
          "server-authmode needcert\nclient-authmode peer\nend-ssl\n");
    EXPECT_EQ(_vn_ssl_server_enabled(), 1);
    EXPECT_EQ(sk_X509_NAME_num(SSL_CTX_get_client_CA_list(_vn_ssl_s_ctx)), 1);
    auto link = shake_hands();
    ASSERT_TRUE(linked(*link));
    EXPECT_EQ(_vn_ssl_check_cert(link->server.get(), 1), 1);
    EXPECT_EQ(_vn_ssl_check_cert(link->client.get(), 0), 1);
    std::string log = event_log();
    EXPECT_NE(log.find("INFO: SSL certificate depth=1:/CN=ca\n"), std::string::npos) << log;
    EXPECT_NE(log.find("INFO: SSL certificate depth=0:/CN=server\n"), std::string::npos);
    EXPECT_NE(log.find("INFO: SSL certificate depth=0:/CN=client\n"), std::string::npos);
    EXPECT_NE(log.find("INFO: Certificate accepted\n"), std::string::npos);
    // A verdict that did not hold refuses the connection.
    SSL_set_verify_result(link->server.get(), X509_V_ERR_CERT_HAS_EXPIRED);
    EXPECT_EQ(_vn_ssl_check_cert(link->server.get(), 1), 0);
}

TEST_F(SslTest, TrustedDirectoryServesLikeAFile)
{
    std::filesystem::create_directories(root.file("cas"));
    std::filesystem::copy_file(root.file("ca.pem"), root.file("cas/ca.pem"));
    ASSERT_EQ(vntest::run({vntest::kOpenssl, "rehash", root.file("cas")}).exit_code, 0);
    start("start-ssl\n" + kServer + "enable-client\nCApath cas\nclient-authmode peer\nend-ssl\n");
    auto link = shake_hands();
    EXPECT_TRUE(linked(*link));
}

TEST_F(SslTest, CertificateOfAnotherCaIsRefusedByTheVerifyingSide)
{
    vntest::make_certificate(root, "other");
    vntest::make_certificate(root, "rogue", "other");
    start("start-ssl\n" + kServer +
          "enable-client\nclient-cert rogue.pem\nclient-key rogue.key\nCAfile ca.pem\nserver-authmode needcert\n"
          "end-ssl\n");
    auto link = shake_hands();
    EXPECT_FALSE(linked(*link));
    EXPECT_NE(event_log().find("ERROR: SSL certificate verify error:num=20:unable to get local issuer certificate:"
                               "depth=0:/CN=rogue\n"),
              std::string::npos)
        << event_log();
}

TEST_F(SslTest, ClientVerifiesTheServerOnlyWhenAsked)
{
    vntest::make_certificate(root, "other");
    start("start-ssl\n" + kServer + "enable-client\nCAfile other.pem\nclient-authmode peer\nend-ssl\n");
    EXPECT_FALSE(linked(*shake_hands()));
}

TEST_F(SslTest, ClientThatDoesNotVerifyAcceptsAnyServer)
{
    vntest::make_certificate(root, "other");
    start("start-ssl\n" + kServer + "enable-client\nCAfile other.pem\nserver-authmode peer\nend-ssl\n");
    auto link = shake_hands();
    ASSERT_TRUE(linked(*link));
    EXPECT_EQ(_vn_ssl_check_cert(link->client.get(), 0), 1);
    // The server asked for a certificate without requiring one.
    EXPECT_EQ(_vn_ssl_check_cert(link->server.get(), 1), 1);
    EXPECT_NE(event_log().find("INFO: No SSL certificate available\n"), std::string::npos);
}

TEST_F(SslTest, KeyIsReadFromTheCertificateFileAndFilesFromEtc)
{
    root.write("etc/both.pem", root.read("server.pem") + root.read("server.key"));
    start("start-ssl\nenable-server\nserver-cert both.pem\nenable-client\nend-ssl\n");
    EXPECT_TRUE(linked(*shake_hands()));
}

TEST_F(SslTest, Tls1SelectsTls10AloneWithItsCipherList)
{
    start("start-ssl\n" + kServer + "enable-client\ntls1\nssl3\ncipher ECDHE-ECDSA-AES256-SHA\nend-ssl\n");
    auto link = shake_hands();
    ASSERT_TRUE(linked(*link));
    EXPECT_EQ(SSL_version(link->client.get()), TLS1_VERSION);
    EXPECT_STREQ(SSL_get_cipher_name(link->client.get()), "ECDHE-ECDSA-AES256-SHA");
}

TEST_F(SslTest, RejectedCipherListLeavesTheDefault)
{
    start("start-ssl\n" + kServer + "enable-client\ncipher NO-SUCH-CIPHER\nend-ssl\n");
    EXPECT_TRUE(linked(*shake_hands()));
}

TEST_F(SslTest, InfoCallbackTracesBothHandshakesOnStandardError)
{
    start("start-ssl\n" + kServer + "enable-client\nssl-info\nend-ssl\n");
    testing::internal::CaptureStderr();
    bool ok = linked(*shake_hands());
    std::string trace = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(ok);
    EXPECT_NE(trace.find("SSL_connect:SSLv3/TLS write client hello\n"), std::string::npos) << trace;
    EXPECT_NE(trace.find("SSL_accept:SSLv3/TLS write server hello\n"), std::string::npos) << trace;
}

TEST_F(SslTest, SeedingAddsTheSourceUpToItsLimit)
{
    root.write("noise", std::string(10000, 'x'));
    struct Case {
        const char *kind;
        std::string source;
        const char *limit;
        size_t added;
    } cases[] = {
        {"file", root.file("noise"), "100", 100},   {"file", root.file("noise"), nullptr, 10000},
        {"file", root.file("noise"), "0", 10000},   {"file", root.file("noise"), "many", 10000},
        {"file", root.file("missing"), "5", 0},     {"exec", "printf abcdef", "3", 3},
        {"exec", "printf abcdef", nullptr, 6},      {"other", root.file("noise"), nullptr, 0},
    };
    start("");
    for (const Case &c : cases)
        EXPECT_EQ(_vn_ssl_seed(c.kind, c.source.c_str(), c.limit), c.added) << c.kind << " " << c.source;
}

// ---- Start-up faults, through morvask ----

struct StartCase {
    const char *what;
    std::string conf;
    int code;
    std::string message; // on standard error
    std::vector<std::pair<std::string, std::string>> files = {};
};

void run_start_cases(const std::vector<StartCase> &cases, bool encrypted_key = false)
{
    for (const StartCase &c : cases) {
        vntest::TempRoot root;
        vntest::make_certificate(root, "ca");
        vntest::make_certificate(root, "server", "ca");
        if (encrypted_key) {
            for (const char *phrase : {"s3cret", "VANTRO"}) {
                ASSERT_EQ(vntest::run({vntest::kOpenssl, "pkey", "-in", root.file("server.key"), "-aes256",
                                       "-passout", std::string("pass:") + phrase, "-out",
                                       root.file(std::string(phrase) + ".key")})
                              .exit_code,
                          0);
            }
        }
        for (const auto &[name, text] : c.files)
            root.write(name, text);
        root.write("morvask.conf", "application-name feed\n" + c.conf);
        vntest::RunResult result = vntest::run_morvask({"--application-root", root.path()}, root.path());
        EXPECT_EQ(result.exit_code, c.code) << c.what << "\n" << result.err;
        EXPECT_NE(result.err.find(c.message), std::string::npos) << c.what << "\n" << result.err;
    }
}

TEST(SslStart, ConfigurationFaultsEndStartUpWithCode8)
{
    run_start_cases({
        {"missing certificate", "start-ssl\nenable-server\nserver-cert nosuch.pem\nend-ssl\n", 8,
         "feed: No SSL certificate found: nosuch.pem\n"},
        {"certificate that is not one", "start-ssl\nenable-server\nserver-cert morvask.conf\nend-ssl\n", 8, ""},
        {"key of another certificate",
         "start-ssl\nenable-server\nserver-cert server.pem\nserver-key ca.key\nend-ssl\n", 8, ""},
        {"missing CA file", "start-ssl\n" + kServer + "CAfile nosuch.pem\nend-ssl\n", 8,
         "feed: Cannot locate CA file nosuch.pem\n"},
        {"CA file that is a directory", "start-ssl\n" + kServer + "CAfile var\nend-ssl\n", 8,
         "Cannot locate CA file var"},
        {"missing CA path", "start-ssl\n" + kServer + "CApath nosuch\nend-ssl\n", 8, "Cannot locate CA path nosuch"},
        {"client requiring certificates", "start-ssl\nenable-client\nclient-authmode needcert\nend-ssl\n", 8,
         "Invalid start-ssl:client-authmode value configured"},
        {"server verifying without CAs", "start-ssl\n" + kServer + "server-authmode peer\nend-ssl\n", 8,
         "Invalid start-ssl:server-authmode configured to verify peer certificates, but no CAs have been loaded"},
        {"server verifying with CAs", "start-ssl\n" + kServer + "server-authmode once\nCAfile ca.pem\nend-ssl\n", 0,
         ""},
        {"SSL 2", "start-ssl\nssl2\ntls1\nend-ssl\n", 8, "the SSLv2 protocol is not supported"},
        {"SSL 3", "start-ssl\nssl3\nend-ssl\n", 8, "the SSLv3 protocol is not supported"},
        {"TLS 1 wins over SSL 3", "start-ssl\nssl3\ntls1\nend-ssl\n", 0, ""},
    });
}

TEST(SslStart, EnginesAreChosenByName)
{
    run_start_cases({
        {"software", "ssl-engine-id software\n", 0, ""},
        {"openssl", "ssl-engine-id openssl\n", 0, ""},
        {"all", "ssl-engine-id all\n", 0, ""},
        {"unknown", "ssl-engine-id nosuch\n", 8, "Error finding specified SSL engine: nosuch\n"},
    });
}

TEST(SslStart, PassPhraseComesFromItsFileOrTheBuiltInDefault)
{
    const std::string encrypted = "start-ssl\nenable-server\nserver-cert server.pem\nserver-key s3cret.key\nend-ssl\n";
    const std::string builtin = "start-ssl\nenable-server\nserver-cert server.pem\nserver-key VANTRO.key\nend-ssl\n";
    run_start_cases(
        {
            {"default name, CR LF", encrypted, 0, "", {{".feed.ssl.pass", "s3cret\r\n"}}},
            {"default name under etc/", encrypted, 0, "", {{"etc/.feed.ssl.pass", "s3cret"}}},
            {"wrong phrase", encrypted, 8, "", {{".feed.ssl.pass", "wrong\n"}}},
            {"named under etc/", "ssl-passwordfile pw\n" + encrypted, 0, "", {{"etc/pw", "s3cret\n"}}},
            {"empty file", builtin, 0, "", {{".feed.ssl.pass", ""}}},
            {"named and missing", "ssl-passwordfile nosuch\n" + encrypted, 1, "SSL Password File not found: nosuch\n"},
            {"named and missing without SSL", "ssl-passwordfile nosuch\n", 0, ""},
        },
        true);
}

} // namespace
