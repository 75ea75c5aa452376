// Arbitrary byte streams through a message queue's frame cutter, read from a
// real socket pair by a real loop. The first byte picks the frame limit (a
// connected peer's or a pending connection's) and the size of the pieces the
// stream arrives in; the rest is the stream. The frames delivered must be
// exactly those a plain reading of the stream gives, up to the first frame
// over the limit, which ends the connection with one lost-connection report.
#include "msgq.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

constexpr size_t kPieceSizes[] = {1, 3, 7, 64, 1000, 16384, 70000, SIZE_MAX};
constexpr int kMostPasses = 1000000; // a stream that never settles is a fault

struct Frame {
    uint16_t type;
    std::string payload;
    bool operator==(const Frame &) const = default;
};

// The frames of `stream` read plainly, and whether one announced more than
// `limit` (the stream then ends there).
std::vector<Frame> expected_frames(const std::string &stream, uint32_t limit, bool *over_limit)
{
    std::vector<Frame> frames;
    size_t at = 0;
    auto byte = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(stream[at + i])); };
    *over_limit = false;
    while (stream.size() - at >= 4) {
        uint32_t len = byte(2) << 8 | byte(3);
        size_t header = 4;
        if (len & 0x8000) {
            if (stream.size() - at < 6)
                break;
            len = (len & 0x7FFF) << 16 | byte(4) << 8 | byte(5);
            header = 6;
        }
        if (len > limit) {
            *over_limit = true;
            break;
        }
        if (stream.size() - at - header < len)
            break;
        frames.push_back({static_cast<uint16_t>(byte(0) << 8 | byte(1)), stream.substr(at + header, len)});
        at += header + len;
    }
    return frames;
}

struct Seen {
    std::vector<Frame> frames;
    int closed = 0;
};

int record(vn_msgq_t *, vn_msg_t *msg, int, void *data)
{
    Seen *seen = static_cast<Seen *>(data);
    if (msg->closed) {
        seen->closed++;
        return 1;
    }
    seen->frames.push_back({msg->type, std::string(reinterpret_cast<char *>(msg->msg), msg->len)});
    return 1;
}

struct Until {
    const vn_msgq_t *queue;
    const Seen *seen;
    uint64_t bytes;
    int passes = 0;
};

// Stops the loop once the queue has read `bytes` or reported the end.
int check(int, int, void *data)
{
    Until *until = static_cast<Until *>(data);
    if (++until->passes > kMostPasses)
        __builtin_trap();
    if (until->seen->closed == 0 && until->queue->bytes_recvd < until->bytes)
        return 1;
    vn_stop();
    return 0;
}

void run_until(vn_msgq_t *queue, const Seen *seen, uint64_t bytes)
{
    Until until{queue, seen, bytes};
    vn_add_timed_event(0, 0, check, 0, &until);
    vn_loop();
}

bool make_loop()
{
    _vn_event_init(nullptr);
    return _vn_event_thread_init(nullptr, 1, 0) == 1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool ready = make_loop();
    if (!ready || size == 0)
        return 0;
    uint32_t limit = (data[0] & 1) ? VN_MSGQ_PENDING_FRAME_LIMIT : 0;
    size_t piece = kPieceSizes[(data[0] >> 1) % std::size(kPieceSizes)];
    std::string stream(reinterpret_cast<const char *>(data) + 1, size - 1);

    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0)
        return 0;
    fcntl(ends[0], F_SETFL, O_NONBLOCK);
    Seen seen;
    vn_msgq_t *queue = vn_new_msgq(ends[0], 0, record, nullptr, 0, &seen);
    _vn_msgq_frame_limit_set(queue, limit);
    uint64_t sent = 0;
    while (sent < stream.size() && seen.closed == 0) {
        size_t count = std::min(piece, stream.size() - sent);
        ssize_t written = send(ends[1], stream.data() + sent, count, MSG_NOSIGNAL);
        if (written <= 0)
            break;
        sent += static_cast<uint64_t>(written);
        run_until(queue, &seen, sent);
    }
    shutdown(ends[1], SHUT_WR);
    run_until(queue, &seen, UINT64_MAX);

    bool over_limit;
    std::vector<Frame> expected = expected_frames(stream, limit ? limit : 256u << 20, &over_limit);
    if (seen.frames != expected || seen.closed != 1)
        __builtin_trap();
    if (!over_limit && queue->bytes_recvd != stream.size())
        __builtin_trap();
    vn_free_msgq(queue); // its socket was closed with the connection
    close(ends[1]);
    return 0;
}
