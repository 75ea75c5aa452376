// Peer links under SSL, between real processes on loopback with certificates
// made by the openssl command line: a node's SSL port checked by
// "openssl s_client", a node connecting to a TLS server played by this test
// with and without CA verification, clients that stall, speak plain TCP or
// send garbage once the handshake is done, and two nodes over SSL.
#include "peer_harness.h"
#include "peer_node.h"
#include "tls_link.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using vntest::CtxPtr;
using vntest::Node;
using vntest::TlsLink;
using vntest::WireFrame;
using vntest::accept_peer;
using vntest::connect_peer;
using vntest::node_conf;
using vntest::start_listening;

// Certificates shared by the test's nodes: a CA, a server and a client
// certificate it signed, and another CA that signed nothing of theirs.
class Certificates {
public:
    Certificates()
    {
        vntest::make_certificate(root_, "ca");
        vntest::make_certificate(root_, "server", "ca");
        vntest::make_certificate(root_, "client", "ca");
        vntest::make_certificate(root_, "other");
    }
    std::string file(const std::string &name) const { return root_.file(name); }
    const vntest::TempRoot &root() const { return root_; }

    std::string server_section(const std::string &extra = "") const
    {
        return "start-ssl\nenable-server\nserver-cert " + file("server.pem") + "\nserver-key " + file("server.key") +
               "\n" + extra + "end-ssl\n";
    }

private:
    vntest::TempRoot root_;
};

CtxPtr client_context()
{
    return CtxPtr(SSL_CTX_new(TLS_client_method()));
}

CtxPtr server_context(const Certificates &certs)
{
    return vntest::tls_server_context(certs.root(), "server");
}

std::string peerinfo(uint16_t id, const std::string &name)
{
    return vntest::frame(5, vntest::info_payload(0, 0, id, name));
}

std::string update_payload(const std::string &subject, const std::string &value)
{
    return vntest::Bytes().u16(1).u16(0).u16(0).text(subject).u16(1).u32(1).text(value).data;
}

// A node that accepts the peer "tester" (id 30) on its SSL port only.
int start_ssl_acceptor(Node &node, const Certificates &certs, const std::string &extra = "")
{
    return start_listening(node, [&](int port) {
        return node_conf(10, "alpha-node", 0, accept_peer("tester", 30)) + "vantrix-sslport " +
               std::to_string(port) + "\n" + certs.server_section() + extra;
    });
}

// A child process with its standard input on a pipe and its two outputs on another.
class Child {
public:
    explicit Child(const std::vector<std::string> &argv)
    {
        int input[2], output[2];
        if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(input[0], 0);
            dup2(output[1], 1);
            dup2(output[1], 2);
            std::vector<char *> args;
            for (const std::string &arg : argv)
                args.push_back(const_cast<char *>(arg.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        close(input[0]);
        close(output[1]);
        input_ = input[1];
        output_ = output[0];
    }
    ~Child() { finish(); }

    void write_input(const std::string &bytes) const
    {
        ASSERT_EQ(write(input_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // Closes its input and collects its output until it ends; its exit code.
    int finish()
    {
        if (pid_ <= 0)
            return -1;
        close(input_);
        char chunk[4096];
        ssize_t got;
        while ((got = read(output_, chunk, sizeof chunk)) > 0)
            output.append(chunk, static_cast<size_t>(got));
        close(output_);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    std::string output;

private:
    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
};

TEST(PeerSsl, SslPortAcceptsOpensslSClientAsAPeer)
{
    Certificates certs;
    Node node;
    int port = start_ssl_acceptor(node, certs);
    ASSERT_GT(port, 0);
    Child client({vntest::kOpenssl, "s_client", "-connect", "127.0.0.1:" + std::to_string(port), "-brief", "-CAfile",
                  certs.file("ca.pem"), "-verify_return_error"});
    client.write_input(peerinfo(30, "tester"));
    ASSERT_TRUE(node.expect("up 0 30 tester")) << node.event_log();
    EXPECT_EQ(client.finish(), 0);
    EXPECT_NE(client.output.find("CONNECTION ESTABLISHED"), std::string::npos) << client.output;
    EXPECT_NE(client.output.find("Verification: OK"), std::string::npos) << client.output;
    ASSERT_TRUE(node.expect("down 0 30"));
    std::string log = node.event_log();
    EXPECT_NE(log.find(" SSL\n"), std::string::npos) << log; // "Accepted connection from 127.0.0.1 N SSL"
    EXPECT_NE(log.find("Accepting peer id 30 on 127.0.0.1 "), std::string::npos);
    EXPECT_NE(log.find(" (SSL TLS_"), std::string::npos);
}

TEST(PeerSsl, ClientsThatStallSpeakPlainTcpOrSendGarbageAreClosed)
{
    Certificates certs;
    Node node;
    int port = start_ssl_acceptor(node, certs, "peer-accept-wait-time 1\n");
    ASSERT_GT(port, 0);
    {
        SCOPED_TRACE("a handshake that never starts");
        vntest::WireSocket silent = vntest::WireSocket::connect_to(port);
        EXPECT_TRUE(silent.wait_eof());
        EXPECT_TRUE(node.wait_log("Timing out attempted peer connection from 127.0.0.1:")) << node.event_log();
    }
    {
        SCOPED_TRACE("plain TCP on the SSL port");
        vntest::WireSocket plain = vntest::WireSocket::connect_to(port);
        plain.send(peerinfo(30, "tester"));
        EXPECT_TRUE(plain.wait_eof());
        EXPECT_TRUE(node.wait_log("Rejecting peer on 127.0.0.1:" + std::to_string(plain.local_port()) + " (SSL "))
            << node.event_log();
    }
    {
        SCOPED_TRACE("garbage after the handshake");
        CtxPtr ctx = client_context();
        vntest::WireSocket tcp = vntest::WireSocket::connect_to(port);
        int local = tcp.local_port();
        TlsLink tls(tcp.release(), ctx.get(), false);
        ASSERT_TRUE(tls.ok());
        tls.send(vntest::frame(0x1337, "garbage"));
        EXPECT_TRUE(tls.wait_eof());
        EXPECT_TRUE(node.wait_log("Rejecting peer on 127.0.0.1:" + std::to_string(local) + " with packet type 4919 (SSL " +
                                  tls.cipher() + ")"))
            << node.event_log();
    }
    // The port still serves a well-behaved peer.
    CtxPtr ctx = client_context();
    TlsLink good(vntest::WireSocket::connect_to(port).release(), ctx.get(), false);
    ASSERT_TRUE(good.ok());
    good.send(peerinfo(30, "tester"));
    ASSERT_TRUE(node.expect("up 0 30 tester"));
}

TEST(PeerSsl, FramesCutAcrossRecordsArriveWhole)
{
    Certificates certs;
    Node node;
    int port = start_ssl_acceptor(node, certs);
    ASSERT_GT(port, 0);
    CtxPtr ctx = client_context();
    TlsLink tls(vntest::WireSocket::connect_to(port).release(), ctx.get(), false);
    ASSERT_TRUE(tls.ok());
    tls.send(peerinfo(30, "tester"));
    ASSERT_TRUE(node.expect("up 0 30 tester"));
    // The second record is longer than the room left in the node's read
    // buffer: the connection keeps the rest, and no later byte arrives to
    // wake the node for it.
    std::string first = vntest::frame(8, update_payload("ONE", std::string(4900, '1')));
    std::string second = vntest::frame(8, update_payload("TWO", std::string(11900, '2')));
    std::string third = vntest::frame(8, update_payload("THREE", std::string(4900, '3')));
    std::string bytes = first + second + third;
    size_t cut = first.size() + 5000;
    tls.send(bytes.substr(0, cut));
    tls.send(bytes.substr(cut));
    for (const char *subject : {"ONE", "TWO", "THREE"})
        ASSERT_TRUE(node.expect(std::string("update 0 ") + subject)) << subject;
}

struct ConnectCase {
    const char *what;
    std::string client_section; // inside start-ssl
    bool links;
};

TEST(PeerSsl, NodeConnectsToATlsServerVerifyingItOnlyWhenAsked)
{
    Certificates certs;
    const ConnectCase cases[] = {
        {"no verification", "", true},
        {"verified by its CA", "client-authmode peer\nCAfile " + certs.file("ca.pem") + "\n", true},
        {"verified against another CA", "client-authmode peer\nCAfile " + certs.file("other.pem") + "\n", false},
    };
    CtxPtr server_ctx = server_context(certs);
    for (const ConnectCase &c : cases) {
        SCOPED_TRACE(c.what);
        vntest::WireListener listener;
        Node node(node_conf(20, "beta-node", 0, connect_peer("tls", 40, listener.port(), "ssl\n")) +
                  "start-ssl\nenable-client\n" + c.client_section + "end-ssl\n");
        ASSERT_TRUE(node.start());
        {
            TlsLink tls(listener.accept().release(), server_ctx.get(), true);
            ASSERT_EQ(tls.ok(), c.links) << node.event_log();
            if (c.links) {
                WireFrame frame;
                ASSERT_TRUE(tls.read_frame_of(5, &frame));
                tls.send(peerinfo(40, "tls"));
                ASSERT_TRUE(node.expect("up 0 40 tls")) << node.event_log();
                node.command("send FEED.OUT 1=" + std::string(40000, 'o'));
                ASSERT_TRUE(tls.read_frame_of(8, &frame));
                EXPECT_NE(frame.payload.find(std::string(40000, 'o')), std::string::npos);
                tls.send(vntest::frame(8, update_payload("FEED.IN", std::string(30000, 'i'))));
                std::string line;
                ASSERT_TRUE(node.expect("update 0 FEED.IN", &line)) << node.event_log();
                EXPECT_EQ(line.size(), std::string("update 0 FEED.IN 1 1=").size() + 30000);
            }
        }
        if (!c.links) {
            EXPECT_TRUE(node.wait_log("Failed connecting to peer id 40 on 127.0.0.1:" + std::to_string(listener.port()) +
                                      " (SSL "))
                << node.event_log();
            EXPECT_TRUE(node.wait_log("certificate verify failed"));
            // A failed handshake is a failed attempt like any other: the
            // node tries again after its back-off.
            vntest::WireSocket again = listener.accept();
            EXPECT_TRUE(again.valid());
        }
    }
}

TEST(PeerSsl, ServerThatStallsIsGivenUpAtTheConnectTimeout)
{
    Certificates certs;
    CtxPtr server_ctx = server_context(certs);
    for (bool shakes_hands : {false, true}) {
        SCOPED_TRACE(shakes_hands ? "handshake done, no PEERINFO" : "no handshake");
        vntest::WireListener listener;
        Node node(node_conf(20, "beta-node", 0, connect_peer("tls", 40, listener.port(), "ssl\nconnect-timeout 1\n")) +
                  "start-ssl\nenable-client\nend-ssl\n");
        ASSERT_TRUE(node.start());
        vntest::WireSocket tcp = listener.accept();
        ASSERT_TRUE(tcp.valid());
        if (shakes_hands) {
            TlsLink tls(tcp.release(), server_ctx.get(), true);
            ASSERT_TRUE(tls.ok());
            EXPECT_TRUE(tls.wait_eof());
        } else {
            EXPECT_TRUE(tcp.wait_eof());
        }
        EXPECT_TRUE(node.wait_log("Failed connecting to peer id 40 on 127.0.0.1 " + std::to_string(listener.port()) +
                                  " (PEERINFO Timeout)"))
            << node.event_log();
    }
}

TEST(PeerSsl, TwoNodesVerifyEachOtherAndExchangeLargeUpdates)
{
    Certificates certs;
    const std::string trust = "CAfile " + certs.file("ca.pem") + "\n";
    Node alpha;
    int port = start_listening(alpha, [&](int listen) {
        return node_conf(10, "alpha-node", 0, accept_peer("beta", 20)) + "vantrix-sslport " + std::to_string(listen) +
               "\n" + certs.server_section(trust + "server-authmode needcert\n");
    });
    ASSERT_GT(port, 0);
    Node beta(node_conf(20, "beta-node", 0, connect_peer("alpha", 10, port, "ssl\n")) +
              "start-ssl\nenable-client\nclient-cert " + certs.file("client.pem") + "\nclient-key " +
              certs.file("client.key") + "\nclient-authmode peer\n" + trust + "end-ssl\n");
    ASSERT_TRUE(beta.start());
    ASSERT_TRUE(alpha.expect("up 0 20 beta-node")) << alpha.event_log() << beta.event_log();
    ASSERT_TRUE(beta.expect("up 0 10 alpha-node"));
    // Larger than an SSL record, and still smaller than the pipe that
    // carries a node's report of it to this test.
    std::string big(30000, 'x');
    std::string line;
    for (int round = 0; round < 3; round++) {
        std::string subject = "BIG." + std::to_string(round);
        alpha.command("send " + subject + " 1=" + big);
        beta.command("send " + subject + " 2=" + big);
        ASSERT_TRUE(beta.expect("update 0 " + subject, &line));
        EXPECT_EQ(line, "update 0 " + subject + " " + std::to_string(round + 1) + " 1=" + big);
        ASSERT_TRUE(alpha.expect("update 0 " + subject, &line));
        EXPECT_EQ(line, "update 0 " + subject + " " + std::to_string(round + 1) + " 2=" + big);
    }
    EXPECT_NE(alpha.event_log().find("Certificate accepted"), std::string::npos);
    EXPECT_NE(beta.event_log().find("Connected to peer id 10 on 127.0.0.1 " + std::to_string(port) + " (SSL TLS_"),
              std::string::npos)
        << beta.event_log();
}

} // namespace
