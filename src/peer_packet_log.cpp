// The packet log's writer: records are copied into one pending buffer in the
// order they are made and written to the log by one thread at a time, with
// no peer lock and no statistics lock held, so that a sender never waits on
// another thread's write to the log file.
//
// Threads and locks: `mutex` guards the pending bytes, the log handle and
// `draining`; it is taken last, after a peer lock and the statistics lock,
// and nothing else is taken under it. The thread whose record found the log
// idle owns the drain: at its next settle point (peer_log_settle, reached
// with no lock held) it writes what is pending, and what others add
// meanwhile, until nothing is left. Others go on at once, unless the log is
// more than kMaxPendingBytes behind, when they wait at their settle point.
#include "peer.h"

#include <sys/uio.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

namespace {

// A slow disk holds senders back here rather than the process's memory growing.
constexpr size_t kMaxPendingBytes = 8u << 20;

struct packet_log_writer_t {
    std::mutex mutex;
    std::condition_variable drained; // pending fell or the drain ended
    std::string pending;
    vn_log_t *log = nullptr;
    bool draining = false;
};

packet_log_writer_t &writer = *new packet_log_writer_t;

// Read without a lock on every send: whether a record needs to be made.
std::atomic<bool> records_kept{false};

// Mirrors `draining` for a check without the lock: while it is false no
// thread owes a drain, so the common settle touches neither the mutex nor
// this thread's flag.
std::atomic<bool> draining_now{false};

thread_local bool owes_drain = false;

// Writes all of `bytes`, resuming after a short write; a failed write loses
// the rest, as a failed record always has.
void write_out(vn_log_t *log, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        struct iovec part = {const_cast<char *>(bytes.data() + done), bytes.size() - done};
        ssize_t written = vn_writev(log, &part, 1);
        if (written <= 0)
            return;
        done += static_cast<size_t>(written);
    }
}

void drain()
{
    std::string batch;
    std::unique_lock<std::mutex> lock(writer.mutex);
    while (!writer.pending.empty()) {
        batch.swap(writer.pending);
        vn_log_t *log = writer.log;
        writer.drained.notify_all();
        lock.unlock();
        write_out(log, batch);
        batch.clear();
        lock.lock();
    }
    writer.draining = false;
    draining_now.store(false, std::memory_order_relaxed);
    writer.drained.notify_all();
}

} // namespace

void peer_log_writer_set(vn_log_t *log)
{
    std::lock_guard<std::mutex> lock(writer.mutex);
    writer.log = log;
    records_kept.store(log != nullptr && !_vn_log_discards(log), std::memory_order_relaxed);
}

bool peer_log_keeps_records(void)
{
    return records_kept.load(std::memory_order_relaxed);
}

void peer_log_append(const void *head, size_t head_len, const void *payload, size_t payload_len)
{
    std::lock_guard<std::mutex> lock(writer.mutex);
    if (writer.log == nullptr)
        return;
    writer.pending.append(static_cast<const char *>(head), head_len);
    if (payload_len != 0)
        writer.pending.append(static_cast<const char *>(payload), payload_len);
    if (!writer.draining) {
        writer.draining = true;
        draining_now.store(true, std::memory_order_relaxed);
        owes_drain = true;
    }
}

bool peer_log_drain_owed(void)
{
    if (!draining_now.load(std::memory_order_relaxed) || !owes_drain)
        return false;
    owes_drain = false;
    drain();
    return true;
}

void peer_log_settle(void)
{
    if (!draining_now.load(std::memory_order_relaxed) || peer_log_drain_owed())
        return;
    std::unique_lock<std::mutex> lock(writer.mutex);
    writer.drained.wait(lock, [] { return !writer.draining || writer.pending.size() <= kMaxPendingBytes; });
}
