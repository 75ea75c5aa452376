#include "peer_harness.h"

#include "peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>

namespace vntest {

namespace {

constexpr auto kPollStep = std::chrono::milliseconds(10);

using Clock = std::chrono::steady_clock;

double seconds_left(Clock::time_point deadline)
{
    return std::chrono::duration<double>(deadline - Clock::now()).count();
}

Clock::time_point deadline_after(double seconds)
{
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

sockaddr_in loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

uint32_t be32(const std::string &bytes, size_t at)
{
    auto byte = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + i])); };
    return byte(0) << 24 | byte(1) << 16 | byte(2) << 8 | byte(3);
}

uint16_t be16(const std::string &bytes, size_t at)
{
    return static_cast<uint16_t>(static_cast<unsigned char>(bytes[at]) << 8 |
                                 static_cast<unsigned char>(bytes[at + 1]));
}

} // namespace

Bytes &Bytes::u8(unsigned value)
{
    data.push_back(static_cast<char>(value & 0xFF));
    return *this;
}

Bytes &Bytes::u16(unsigned value)
{
    return u8(value >> 8).u8(value);
}

Bytes &Bytes::u32(uint32_t value)
{
    return u16(value >> 16).u16(value & 0xFFFF);
}

Bytes &Bytes::text(const std::string &value)
{
    u16(static_cast<unsigned>(value.size()));
    data += value;
    return *this;
}

Bytes &Bytes::raw(const std::string &value)
{
    data += value;
    return *this;
}

std::string frame(uint16_t type, const std::string &payload)
{
    Bytes out;
    out.u16(type);
    if (payload.size() < 0x8000)
        out.u16(static_cast<unsigned>(payload.size()));
    else
        out.u32(static_cast<uint32_t>(payload.size()) | 0x80000000u);
    return out.raw(payload).data;
}

std::string info_payload(uint16_t flags, uint16_t type, uint16_t id, const std::string &name, uint16_t val,
                         const std::string &data)
{
    return Bytes().u16(flags).u16(type).u16(id).text(name).u16(val).text(data).data;
}

std::string heartbeat_payload(uint16_t flags, uint16_t period)
{
    return Bytes().u16(flags).u16(period).data;
}

vn_msg_t message_of(uint16_t type, std::string &payload)
{
    vn_msg_t msg{};
    msg.type = type;
    msg.len = static_cast<uint32_t>(payload.size());
    msg.msg = reinterpret_cast<unsigned char *>(payload.data());
    return msg;
}

// ---- Sockets ----

WireSocket::WireSocket(WireSocket &&other) noexcept : fd_(other.fd_), buffered_(std::move(other.buffered_))
{
    other.fd_ = -1;
}

WireSocket &WireSocket::operator=(WireSocket &&other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0)
            close(fd_);
        fd_ = other.fd_;
        buffered_ = std::move(other.buffered_);
        other.fd_ = -1;
    }
    return *this;
}

WireSocket::~WireSocket()
{
    if (fd_ >= 0)
        close(fd_);
}

bool WireSocket::idle() const
{
    struct pollfd watch {fd_, POLLIN, 0};
    return buffered_.empty() && poll(&watch, 1, 0) == 0;
}

int WireSocket::release()
{
    int fd = fd_;
    fd_ = -1;
    buffered_.clear();
    return fd;
}

WireSocket WireSocket::connect_to(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return WireSocket();
    }
    return WireSocket(fd);
}

void WireSocket::send(const std::string &bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t wrote = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (wrote <= 0)
            return;
        sent += static_cast<size_t>(wrote);
    }
}

long WireSocket::receive(double seconds)
{
    pollfd watch{fd_, POLLIN, 0};
    if (seconds <= 0 || poll(&watch, 1, static_cast<int>(seconds * 1000) + 1) <= 0)
        return -1;
    char chunk[65536];
    ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
    if (got > 0)
        buffered_.append(chunk, static_cast<size_t>(got));
    return got > 0 ? got : 0;
}

bool WireSocket::fill(size_t count, double deadline_seconds)
{
    Clock::time_point deadline = deadline_after(deadline_seconds);
    while (buffered_.size() < count) {
        double left = seconds_left(deadline);
        if (left <= 0 || receive(left) == 0)
            return false;
    }
    return true;
}

bool WireSocket::read_frame(WireFrame *out, double seconds)
{
    Clock::time_point deadline = deadline_after(seconds);
    if (!fill(4, seconds_left(deadline)))
        return false;
    uint16_t length16 = be16(buffered_, 2);
    size_t head = 4;
    size_t length = length16;
    if (length16 & 0x8000) {
        if (!fill(6, seconds_left(deadline)))
            return false;
        length = be32(buffered_, 2) & 0x7FFFFFFFu;
        head = 6;
    }
    if (!fill(head + length, seconds_left(deadline)))
        return false;
    out->type = be16(buffered_, 0);
    out->payload = buffered_.substr(head, length);
    buffered_.erase(0, head + length);
    return true;
}

bool WireSocket::read_frame_of(uint16_t type, WireFrame *out, double seconds)
{
    Clock::time_point deadline = deadline_after(seconds);
    while (read_frame(out, seconds_left(deadline)))
        if (out->type == type)
            return true;
    return false;
}

bool WireSocket::wait_eof(double seconds)
{
    Clock::time_point deadline = deadline_after(seconds);
    for (double left = seconds; left > 0; left = seconds_left(deadline)) {
        if (receive(left) == 0)
            return true;
        buffered_.clear();
    }
    return false;
}

int WireSocket::local_port() const
{
    sockaddr_in address{};
    socklen_t len = sizeof address;
    getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &len);
    return ntohs(address.sin_port);
}

WireListener::WireListener()
{
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address = loopback(0);
    if (bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(fd_, 8) != 0)
        throw std::runtime_error("cannot listen on 127.0.0.1");
    socklen_t len = sizeof address;
    getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &len);
    port_ = ntohs(address.sin_port);
}

WireListener::~WireListener()
{
    close(fd_);
}

WireSocket WireListener::accept(double seconds)
{
    pollfd watch{fd_, POLLIN, 0};
    if (poll(&watch, 1, static_cast<int>(seconds * 1000)) <= 0)
        return WireSocket();
    return WireSocket(::accept(fd_, nullptr, nullptr));
}

// A port tried as the runtime will use it (all interfaces, SO_REUSEADDR,
// listening). It lies below the ephemeral range, so no connection's own end,
// of this test or of one running beside it, can take it in the meantime.
int free_tcp_port()
{
    constexpr int kFirstPort = 20000;
    constexpr int kPorts = 10000;
    std::random_device seed;
    for (;;) {
        int port = kFirstPort + static_cast<int>(seed() % kPorts);
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        struct sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        bool usable = bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 && listen(fd, 1) == 0;
        close(fd);
        if (usable)
            return port;
    }
}

// ---- Packet log ----

bool read_packet_log(const std::string &path, std::string *header, std::vector<PacketRecord> *records)
{
    std::string bytes = read_file(path);
    constexpr size_t kHeader = 80;
    constexpr size_t kRecord = 28;
    if (bytes.size() < kHeader)
        return false;
    *header = bytes.substr(0, kHeader);
    records->clear();
    size_t at = kHeader;
    while (at < bytes.size()) {
        if (bytes.size() - at < kRecord)
            return false;
        PacketRecord record;
        record.seconds = be32(bytes, at);
        record.micros = be32(bytes, at + 4);
        in_addr address;
        std::memcpy(&address.s_addr, bytes.data() + at + 8, 4);
        char text[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &address, text, sizeof text);
        record.address = text;
        record.direction = bytes[at + 12];
        record.zero = static_cast<uint8_t>(bytes[at + 13]);
        record.type = be16(bytes, at + 14);
        record.remote_id = be16(bytes, at + 16);
        record.peer = be16(bytes, at + 18);
        record.length = be32(bytes, at + 20);
        record.trailer = be32(bytes, at + 24);
        at += kRecord;
        if (bytes.size() - at < record.length)
            return false;
        record.payload = bytes.substr(at, record.length);
        at += record.length;
        records->push_back(record);
    }
    return true;
}

bool wait_packet_log(const std::string &path, std::string *header, std::vector<PacketRecord> *records,
                     const std::function<bool(const std::vector<PacketRecord> &)> &done)
{
    Clock::time_point deadline = deadline_after(kWireDeadline);
    for (;;) {
        bool read = read_packet_log(path, header, records);
        if ((read && done(*records)) || seconds_left(deadline) <= 0)
            return read;
        std::this_thread::sleep_for(kPollStep);
    }
}

// ---- Hand-offs ----

// Peer threads outlive the test body and may still report at exit, so the
// recorder is never destroyed.
Handoffs &handoffs = *new Handoffs;

bool Handoffs::wait(const std::function<bool()> &done, double seconds)
{
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::duration<double>(seconds), done);
}

namespace {

void add_message(Handoffs::Message message)
{
    std::lock_guard<std::mutex> lock(handoffs.mutex);
    handoffs.messages.push_back(std::move(message));
    handoffs.changed.notify_all();
}

std::string text_of(const char *text)
{
    return text != nullptr ? text : "(null)";
}

void data_handoff(const char *kind, int peer, vn_datapkt_t *pkt)
{
    Handoffs::Message message{peer, kind, {text_of(pkt->subject)}, {pkt->flags, pkt->seq, pkt->count}};
    for (uint16_t i = 0; i < pkt->count; i++)
        message.texts.push_back(text_of(pkt->fields[i].value));
    add_message(std::move(message));
}

void request_handoff(const char *kind, int peer, vn_reqpkt_t *pkt)
{
    Handoffs::Message message{peer, kind, {}, {pkt->flags, pkt->type}};
    for (uint16_t i = 0; i < pkt->count; i++)
        message.texts.push_back(text_of(pkt->subjects[i]));
    add_message(std::move(message));
}

void recv_update(int peer, vn_datapkt_t *pkt)
{
    data_handoff("update", peer, pkt);
}

void recv_nodata(int peer, vn_datapkt_t *pkt)
{
    data_handoff("nodata", peer, pkt);
}

void recv_replay(int peer, vn_datapkt_t *pkt)
{
    data_handoff("replay", peer, pkt);
}

void recv_request(int peer, vn_reqpkt_t *pkt)
{
    request_handoff("request", peer, pkt);
}

void recv_discard(int peer, vn_reqpkt_t *pkt)
{
    request_handoff("discard", peer, pkt);
}

void recv_object_status(int peer, char *name, uint16_t flags, uint16_t code, char *message)
{
    add_message({peer, "status", {text_of(name), text_of(message)}, {flags, code}});
}

void recv_status_msg(int peer, int status, int value, void *data)
{
    add_message({peer, "statusmsg", {text_of(static_cast<const char *>(data))}, {status, value}});
}

void recv_peer_status(int peer, int state, int remote_id, char *remote_name)
{
    std::lock_guard<std::mutex> lock(handoffs.mutex);
    handoffs.statuses.push_back({peer, state, remote_id, text_of(remote_name)});
    handoffs.changed.notify_all();
}

} // namespace

void record_handoffs()
{
    _vn_peer_handoff.recv_update = recv_update;
    _vn_peer_handoff.recv_nodata = recv_nodata;
    _vn_peer_handoff.recv_object_status = recv_object_status;
    _vn_peer_handoff.recv_peer_status = recv_peer_status;
    _vn_peer_handoff.recv_request = recv_request;
    _vn_peer_handoff.recv_discard = recv_discard;
    _vn_peer_handoff.recv_peer_status_msg = recv_status_msg;
    _vn_peer_handoff.recv_replay_update = recv_replay;
}

// ---- Runtime ----

namespace {

vn_init_t *kept_init;
std::vector<std::string> *kept_args;
std::vector<char *> *kept_argv;

int stop_loop(int, void *)
{
    vn_stop();
    return 0;
}

int run_work(int, void *data)
{
    (*static_cast<std::function<void()> *>(data))();
    return 0;
}

} // namespace

PeerRuntime::PeerRuntime(const std::string &conf)
{
    conf_ = "application-name peertest\n"
            "vantrix-pkt-log " + root_.file("var/packets.log") + "\n" + conf;
}

PeerRuntime::~PeerRuntime()
{
    if (!init_thread_.joinable())
        return;
    if (default_peer.thread != nullptr && default_peer.thread->signalany != nullptr)
        tarvelutil_signalany_exec(default_peer.thread->signalany, 0, stop_loop, nullptr, 0);
    init_thread_.join();
}

int PeerRuntime::start()
{
    setenv("TZ", "UTC", 1);
    root_.write("peers.conf", conf_);
    init_thread_ = std::thread([this] {
        // The runtime keeps the record and the arguments for the life of the
        // process; globals keep them reachable.
        kept_init = new vn_init_t{};
        kept_init->logfile = strdup(root_.file("var/event.log").c_str());
        if (prepare_init_)
            prepare_init_(*kept_init);
        kept_args = new std::vector<std::string>{"peer_test", "-r", root_.path()};
        kept_argv = new std::vector<char *>;
        for (std::string &arg : *kept_args)
            kept_argv->push_back(arg.data());
        kept_argv->push_back(nullptr);
        int argc = static_cast<int>(kept_args->size());
        vn_config_init("peers.conf", argc, kept_argv->data());
        int result = vn_init(kept_init, argc, kept_argv->data());
        {
            std::lock_guard<std::mutex> lock(mutex_);
            started_ = true;
            init_result_ = result;
        }
        started_cv_.notify_all();
        if (result >= 0)
            vn_loop();
    });
    std::unique_lock<std::mutex> lock(mutex_);
    started_cv_.wait(lock, [this] { return started_; });
    return init_result_ >= 0 ? 0 : init_result_;
}

std::string PeerRuntime::event_log() const
{
    return root_.exists("var/event.log") ? root_.read("var/event.log") : "";
}

int PeerRuntime::count_log(const std::string &text) const
{
    std::string log = event_log();
    int count = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + text.size()))
        count++;
    return count;
}

bool PeerRuntime::wait_log(const std::string &text, double seconds, int times) const
{
    Clock::time_point deadline = deadline_after(seconds);
    while (count_log(text) < times) {
        if (seconds_left(deadline) <= 0)
            return false;
        std::this_thread::sleep_for(kPollStep);
    }
    return true;
}

void PeerRuntime::on_peer(int peer, const std::function<void(peer_t &)> &work)
{
    std::function<void()> call = [&] { work(peer_array[peer]); };
    vn_peer_send_message(peer, 0, &call, run_work);
}

bool PeerRuntime::wait_peer(int peer, const std::function<bool(peer_t &)> &done, double seconds)
{
    Clock::time_point deadline = deadline_after(seconds);
    for (;;) {
        bool held = false;
        on_peer(peer, [&](peer_t &record) { held = done(record); });
        if (held)
            return true;
        if (seconds_left(deadline) <= 0)
            return false;
        std::this_thread::sleep_for(kPollStep);
    }
}

} // namespace vntest
