// A test-side peer for the peer layer: wire bytes built by hand (independent
// of the library's serialisers), blocking loopback sockets with deadlines,
// the library's runtime started on its own init thread, and the packet log
// read back from its file.
#ifndef VANTRIX_PEER_HARNESS_H
#define VANTRIX_PEER_HARNESS_H

#include "test_support.h"
#include "vantrix_extra.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct peer_t;

namespace vntest {

constexpr double kWireDeadline = 20.0; // generous: a peer later than this has lost something

// Big-endian bytes, written field by field.
struct Bytes {
    std::string data;

    Bytes &u8(unsigned value);
    Bytes &u16(unsigned value);
    Bytes &u32(uint32_t value);
    Bytes &text(const std::string &value); // a 2-byte length and the bytes
    Bytes &raw(const std::string &value);
};

// One frame: the short header below 32768 payload bytes, else the long one.
std::string frame(uint16_t type, const std::string &payload);
std::string info_payload(uint16_t flags, uint16_t type, uint16_t id, const std::string &name, uint16_t val = 0,
                         const std::string &data = "");
std::string heartbeat_payload(uint16_t flags, uint16_t period);
// A message over `payload`, which must outlive it, for the library's send calls.
vn_msg_t message_of(uint16_t type, std::string &payload);

struct WireFrame {
    uint16_t type = 0;
    std::string payload;
};

// A connected blocking socket of the test side.
class WireSocket {
public:
    WireSocket() = default;
    explicit WireSocket(int fd) : fd_(fd) {}
    WireSocket(WireSocket &&other) noexcept;
    WireSocket &operator=(WireSocket &&other) noexcept;
    ~WireSocket();

    static WireSocket connect_to(int port);
    bool valid() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void send(const std::string &bytes);
    // The next frame within the deadline; false on end of file or timeout.
    bool read_frame(WireFrame *frame, double seconds = kWireDeadline);
    // The next frame of `type`, skipping others (heartbeats); false as above.
    bool read_frame_of(uint16_t type, WireFrame *frame, double seconds = kWireDeadline);
    // True when the other side closed within the deadline (frames before the end are skipped).
    bool wait_eof(double seconds = kWireDeadline);
    // True when nothing more has arrived by now, read or unread.
    bool idle() const;
    int local_port() const;
    // Gives the socket up to the caller, who then closes it.
    int release();

private:
    // Appends what arrives within the seconds: bytes read, 0 at end of file, -1 on timeout.
    long receive(double seconds);
    bool fill(size_t count, double deadline);
    int fd_ = -1;
    std::string buffered_;
};

class WireListener {
public:
    WireListener();
    ~WireListener();
    int port() const { return port_; }
    WireSocket accept(double seconds = kWireDeadline);

private:
    int fd_ = -1;
    int port_ = 0;
};

// A TCP port on 127.0.0.1 that nothing listens on right now.
int free_tcp_port();

struct PacketRecord {
    uint32_t seconds = 0;
    uint32_t micros = 0;
    std::string address; // dotted
    char direction = 0;
    uint8_t zero = 0;
    uint16_t type = 0;
    uint16_t remote_id = 0;
    uint16_t peer = 0;
    uint32_t length = 0;
    uint32_t trailer = 0;
    std::string payload;
};

// The 80-byte header and the records of a packet log; false when the file is cut short.
bool read_packet_log(const std::string &path, std::string *header, std::vector<PacketRecord> *records);
// read_packet_log again until `done` holds for the records: a sent record
// reaches the file just after its frame may have reached the wire.
bool wait_packet_log(const std::string &path, std::string *header, std::vector<PacketRecord> *records,
                     const std::function<bool(const std::vector<PacketRecord> &)> &done);

// What the peer layer handed on, recorded for the test thread.
struct Handoffs {
    struct Status {
        int peer;
        int state;
        int remote_id;
        std::string remote_name;
    };
    struct Message {
        int peer;
        std::string kind;                 // "update", "nodata", "request", "discard", "status", "statusmsg"
        std::vector<std::string> texts;   // subjects, or the subject / name and message
        std::vector<int> numbers;         // flags, values
    };
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Status> statuses;
    std::vector<Message> messages;

    // Waits until `done` holds (checked under the lock); false at the deadline.
    bool wait(const std::function<bool()> &done, double seconds = kWireDeadline);
};
extern Handoffs &handoffs;
// Points every entry of the peer layer's hand-off table at the recorder.
void record_handoffs();

// The library's runtime on its own init thread, configured from `conf` in a
// fresh root; its event log is var/event.log, its packet log var/packets.log.
class PeerRuntime {
public:
    explicit PeerRuntime(const std::string &conf);
    ~PeerRuntime();
    PeerRuntime(const PeerRuntime &) = delete;
    PeerRuntime &operator=(const PeerRuntime &) = delete;

    // Runs vn_init and then the loop; 0 once started, else vn_init's failure.
    int start();
    // Fills in the start-up record (the application's callbacks) before
    // vn_init; set before start().
    void prepare_init(std::function<void(vn_init_t &)> fill) { prepare_init_ = std::move(fill); }
    const TempRoot &root() const { return root_; }
    std::string event_log() const;
    std::string packet_log_path() const { return root_.file("var/packets.log"); }
    // Waits until the event log holds `text` at least `times` times.
    bool wait_log(const std::string &text, double seconds = kWireDeadline, int times = 1) const;
    int count_log(const std::string &text) const;
    // Runs `work` on the peer's thread and waits for it.
    void on_peer(int peer, const std::function<void(peer_t &)> &work);
    // Polls `done` on the peer's thread until it holds; false at the deadline.
    bool wait_peer(int peer, const std::function<bool(peer_t &)> &done, double seconds = kWireDeadline);

private:
    TempRoot root_;
    std::string conf_;
    std::thread init_thread_;
    std::mutex mutex_;
    std::condition_variable started_cv_;
    bool started_ = false;
    int init_result_ = 0;
    std::function<void(vn_init_t &)> prepare_init_;
};

} // namespace vntest

#endif
