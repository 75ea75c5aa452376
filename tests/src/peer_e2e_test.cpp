// The peer layer end to end, between real processes on loopback: two nodes
// built on the library (tests/src/peer_e2e_node.cpp) talking to each other,
// and a node talking to this test, which plays a peer with hand-built bytes:
// a well-behaved one checked byte for byte, and hostile ones.
#include "peer_harness.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <cstring>
#include <string>
#include <vector>

namespace {

using vntest::Bytes;
using vntest::WireFrame;
using vntest::WireSocket;

constexpr double kDeadline = vntest::kWireDeadline;

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

    const vntest::TempRoot &root() const { return root_; }

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
    bool expect(const std::string &prefix, std::string *line = nullptr, double seconds = kDeadline)
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
    bool wait_log(const std::string &text, double seconds = kDeadline) const
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

    vntest::TempRoot root_;
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
int start_listening(Node &node, const std::function<std::string(int port)> &conf)
{
    for (int attempt = 0; attempt < 5; attempt++) {
        int port = vntest::free_tcp_port();
        node.configure(conf(port));
        if (node.start())
            return port;
    }
    return -1;
}

std::string node_conf(int id, const std::string &name, int port, const std::string &peers)
{
    return "vantrix-id " + std::to_string(id) + "\nvantrix-name " + name + "\nvantrix-port " + std::to_string(port) +
           "\n" + peers;
}

std::string accept_peer(const std::string &label, int remote_id, const std::string &extra = "")
{
    return "add-peer\nlabel " + label + "\nremote-id " + std::to_string(remote_id) + "\n" + extra + "end-peer\n";
}

std::string connect_peer(const std::string &label, int remote_id, int port)
{
    return "add-peer\nlabel " + label + "\nremote-id " + std::to_string(remote_id) + "\naddr 127.0.0.1\nport " +
           std::to_string(port) + "\nend-peer\n";
}

// ---- Payloads built by hand, field by field ----

std::string update_payload(uint16_t seq, const std::string &subject,
                           const std::vector<std::pair<int32_t, std::string>> &fields)
{
    Bytes bytes;
    bytes.u16(seq).u16(0).u16(0).text(subject).u16(static_cast<unsigned>(fields.size()));
    for (const auto &[number, value] : fields) {
        uint32_t head = static_cast<uint32_t>(number) & 0xFFFF;
        if (number < 0)
            head |= 0x10000;
        bytes.u32(head).text(value);
    }
    return bytes.data;
}

std::string request_payload(const std::vector<std::string> &subjects)
{
    Bytes bytes;
    bytes.u16(0).u16(0).u16(static_cast<unsigned>(subjects.size()));
    for (const std::string &subject : subjects)
        bytes.text(subject);
    return bytes.data;
}

// A test-side peer that has shaken hands with a node; the node's PEERINFO is
// read off (and given back in *info).
WireSocket handshake(int port, uint16_t id, const std::string &name, WireFrame *info = nullptr)
{
    WireSocket peer = WireSocket::connect_to(port);
    peer.send(vntest::frame(5, vntest::info_payload(0, 0, id, name)));
    WireFrame first;
    if (!peer.read_frame_of(5, &first))
        return WireSocket();
    if (info != nullptr)
        *info = first;
    return peer;
}

} // namespace

// ---- Two nodes ----

TEST(PeerEndToEnd, TwoNodesShakeHandsExchangeDataAndReconnectWhenTheAcceptorComesBack)
{
    auto alpha_conf = [](int port) { return node_conf(10, "alpha-node", port, accept_peer("beta", 20)); };
    Node alpha;
    int port = start_listening(alpha, alpha_conf);
    ASSERT_GT(port, 0);
    Node beta(node_conf(20, "beta-node", 0, connect_peer("alpha", 10, port)));
    ASSERT_TRUE(beta.start());
    ASSERT_TRUE(alpha.expect("up 0 20 beta-node")) << alpha.event_log();
    ASSERT_TRUE(beta.expect("up 0 10 alpha-node")) << beta.event_log();

    std::string line;
    alpha.command("send FEED.ONE 1=hello 2=42");
    ASSERT_TRUE(beta.expect("update 0 FEED.ONE", &line));
    EXPECT_EQ(line, "update 0 FEED.ONE 1 1=hello 2=42");
    beta.command("send FEED.TWO 3=back");
    ASSERT_TRUE(alpha.expect("update 0 FEED.TWO", &line));
    EXPECT_EQ(line, "update 0 FEED.TWO 1 3=back");

    // The acceptor dies; the connector keeps trying until it is back.
    alpha.kill_now();
    ASSERT_TRUE(beta.expect("down 0 10"));
    ASSERT_TRUE(beta.wait_log("Failed connecting to peer id 10 on 127.0.0.1"));
    Node alpha_again(alpha_conf(port));
    ASSERT_TRUE(alpha_again.start()) << "port " << port << " was taken meanwhile";
    ASSERT_TRUE(alpha_again.expect("up 0 20 beta-node")) << beta.event_log();
    ASSERT_TRUE(beta.expect("up 0 10 alpha-node"));
    alpha_again.command("send FEED.THREE 1=again");
    ASSERT_TRUE(beta.expect("update 0 FEED.THREE", &line));
    EXPECT_EQ(line, "update 0 FEED.THREE 1 1=again"); // a new process counts from 1 again
    beta.command("send FEED.FOUR 1=too");
    ASSERT_TRUE(alpha_again.expect("update 0 FEED.FOUR", &line));
    EXPECT_EQ(line, "update 0 FEED.FOUR 2 1=too");
    EXPECT_EQ(beta.stop(), 0);
    EXPECT_EQ(alpha_again.stop(), 0);
}

// ---- A node and a peer written here ----

TEST(PeerEndToEnd, NodeSpeaksTheWireProtocolByteForByte)
{
    Node node;
    int port = start_listening(node, [](int listen) { return node_conf(10, "alpha-node", listen, accept_peer("tester", 30, "heartbeat-time 30\n")); });
    ASSERT_GT(port, 0);
    WireFrame frame;
    WireSocket peer = handshake(port, 30, "tester", &frame);
    ASSERT_TRUE(peer.valid()) << node.event_log();
    // PEERINFO: flags 0, type 0, id 10, the name, value 0, no data.
    EXPECT_EQ(frame.payload, Bytes().u16(0).u16(0).u16(10).text("alpha-node").u16(0).u16(0).data);
    // The first heartbeat is forced: flags 0, period 30.
    ASSERT_TRUE(peer.read_frame(&frame));
    EXPECT_EQ(frame.type, 7);
    EXPECT_EQ(frame.payload, Bytes().u16(0).u16(30).data);
    ASSERT_TRUE(node.expect("up 0 30 tester"));

    // The first data sent by the process carries sequence number 1 and the
    // 32-bit field heads, -1 with its sign bit.
    node.command("send FEED.X 1=abc -1=z");
    ASSERT_TRUE(peer.read_frame_of(8, &frame));
    EXPECT_EQ(frame.payload, update_payload(1, "FEED.X", {{1, "abc"}, {-1, "z"}}));

    std::string line;
    peer.send(vntest::frame(8, update_payload(7, "FEED.IN", {{5, "v"}, {-1, "neg"}})));
    ASSERT_TRUE(node.expect("update 0 FEED.IN", &line));
    EXPECT_EQ(line, "update 0 FEED.IN 7 5=v -1=neg");
    peer.send(vntest::frame(3, request_payload({"S.ONE", "S.TWO"})));
    ASSERT_TRUE(node.expect("request 0", &line));
    EXPECT_EQ(line, "request 0 S.ONE S.TWO");

    // The packet log: the text header, then one record per packet each way.
    node.stop();
    std::string header;
    std::vector<vntest::PacketRecord> records;
    ASSERT_TRUE(vntest::read_packet_log(node.root().file("var/packets.log"), &header, &records));
    EXPECT_EQ(header, std::string("VNBLog packet v4 node TZ=UTC") + std::string(80 - 28, '\0'));
    ASSERT_GE(records.size(), 5u);
    EXPECT_EQ(records[0].direction, '<');
    EXPECT_EQ(records[0].type, 5);
    EXPECT_EQ(records[0].address, "127.0.0.1");
    EXPECT_EQ(records[0].remote_id, 30);
    EXPECT_EQ(records[1].direction, '>');
    EXPECT_EQ(records[1].type, 5);
    bool logged_update = false;
    for (const vntest::PacketRecord &record : records)
        if (record.direction == '>' && record.type == 8)
            logged_update = record.payload == update_payload(1, "FEED.X", {{1, "abc"}, {-1, "z"}});
    EXPECT_TRUE(logged_update);
}

// ---- Hostile peers: the node keeps serving the others and loses nothing it queued ----

namespace {

struct Hostility {
    const char *name;
    bool handshake_first;  // as an established peer, else as a pending connection
    std::string bytes;     // what it sends
    bool closes_itself;    // it goes away after sending
    const char *node_logs; // a line the node logs, or null
};

} // namespace

TEST(PeerEndToEnd, HostilePeersCannotStopANodeServingItsOtherPeers)
{
    Node node;
    int port = start_listening(node, [](int listen) { return node_conf(10, "alpha-node", listen, accept_peer("good", 41) + accept_peer("hostile", 42)); });
    ASSERT_GT(port, 0);
    WireSocket good = handshake(port, 41, "good");
    ASSERT_TRUE(good.valid());
    ASSERT_TRUE(node.expect("up 0 41"));
    const Hostility cases[] = {
        {"garbage as the first frame", false, vntest::frame(0x1337, "garbage"), false,
         "with packet type 4919"},
        {"a frame header announcing 2 GiB before the handshake", false, std::string("\x00\x05\xFF\xFF\xFF\xFF", 6),
         false, "a frame of 2147483647 bytes"},
        {"a frame header announcing 2 GiB", true, std::string("\x00\x08\xFF\xFF\xFF\xFF", 6), false,
         "a frame of 2147483647 bytes"},
        {"frames of unknown types", true, vntest::frame(99, "junk") + vntest::frame(1234, ""), false,
         "Received unknown message type 99"},
        {"half a frame, then silence", true, vntest::frame(8, update_payload(1, "HALF", {{1, "x"}})).substr(0, 9),
         false, nullptr},
        {"half a frame, then gone", true, vntest::frame(8, update_payload(1, "GONE", {{1, "x"}})).substr(0, 9),
         true, nullptr},
    };
    int round = 0;
    for (const Hostility &c : cases) {
        SCOPED_TRACE(c.name);
        WireSocket hostile =
            c.handshake_first ? handshake(port, 42, "hostile") : WireSocket::connect_to(port);
        ASSERT_TRUE(hostile.valid());
        if (c.handshake_first) {
            ASSERT_TRUE(node.expect("up 1 42"));
        }
        hostile.send(c.bytes);
        if (c.node_logs != nullptr) {
            EXPECT_TRUE(hostile.wait_eof()); // the node closed the link
            EXPECT_TRUE(node.wait_log(c.node_logs)) << node.event_log();
        }
        if (c.closes_itself)
            hostile = WireSocket();
        // The good peer is served both ways all along.
        std::string subject = "GOOD." + std::to_string(++round);
        node.command("send-to 0 " + subject + " 1=" + subject);
        WireFrame frame;
        ASSERT_TRUE(good.read_frame_of(8, &frame));
        EXPECT_NE(frame.payload.find(subject), std::string::npos);
        good.send(vntest::frame(8, update_payload(static_cast<uint16_t>(round), subject, {{1, "x"}})));
        ASSERT_TRUE(node.expect("update 0 " + subject));
        hostile = WireSocket();
        if (c.handshake_first) {
            ASSERT_TRUE(node.expect("down 1 42"));
        }
    }
}

TEST(PeerEndToEnd, FramesQueuedForAPeerThatVanishedMidFrameArriveWhenItReturns)
{
    Node node;
    int port = start_listening(node, [](int listen) { return node_conf(10, "alpha-node", listen, accept_peer("fickle", 42, "queue-size 50\n")); });
    ASSERT_GT(port, 0);
    {
        WireSocket fickle = handshake(port, 42, "fickle");
        ASSERT_TRUE(fickle.valid());
        ASSERT_TRUE(node.expect("up 0 42"));
        fickle.send(vntest::frame(8, update_payload(1, "CUT", {{1, "x"}})).substr(0, 12));
    }
    ASSERT_TRUE(node.expect("down 0 42"));
    constexpr int kQueued = 200; // a few 16 KB buffers: well within queue-size
    for (int i = 0; i < kQueued; i++)
        node.command("send-to 0 QUEUED." + std::to_string(i) + " 1=" + std::string(100, 'q'));
    node.command("echo queued");
    ASSERT_TRUE(node.expect("echo queued"));
    WireSocket back = handshake(port, 42, "fickle");
    ASSERT_TRUE(back.valid());
    ASSERT_TRUE(node.expect("up 0 42"));
    for (int i = 0; i < kQueued; i++) {
        WireFrame frame;
        ASSERT_TRUE(back.read_frame_of(8, &frame)) << i;
        EXPECT_EQ(frame.payload, update_payload(static_cast<uint16_t>(i + 1), "QUEUED." + std::to_string(i),
                                                {{1, std::string(100, 'q')}}))
            << i;
    }
}
