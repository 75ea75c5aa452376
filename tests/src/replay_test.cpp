// Packet-log replay over files written by hand: where records start, which
// records are handed on, the time and field filters, the list replay's
// fall-backs, incomplete tails cut back, and the process's own packet log
// cut only under its lock.
#include "packet_log_bytes.h"
#include "test_support.h"
#include "vantrix_private.h"

#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using vntest::packet_log_header;
using vntest::packet_log_record;
using vntest::update_payload;
using vntest::WireField;

namespace {

constexpr int kPeers = 3;
constexpr double kDeadlineSeconds = 20.0;

struct Replayed {
    int peer;
    std::string subject;
    time_t stamp;
    std::vector<std::pair<int, std::string>> fields;
};

std::vector<Replayed> replayed;

void record_replay(int peer, vn_data_t *data, time_t stamp)
{
    Replayed entry{peer, data->subject, stamp, {}};
    for (uint16_t i = 0; i < data->count; i++)
        entry.fields.emplace_back(data->fields[i].fieldnum, data->fields[i].value);
    replayed.push_back(entry);
}

std::vector<std::string> replayed_subjects()
{
    std::vector<std::string> subjects;
    for (const Replayed &entry : replayed)
        subjects.push_back(entry.subject);
    return subjects;
}

std::string update(int peer, uint32_t seconds, const std::string &subject, const std::vector<WireField> &fields = {})
{
    return packet_log_record(VN_DATAUPDATE, peer, seconds, update_payload(subject, fields));
}

void append(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out << bytes;
}

size_t count_of(const std::string &text, const std::string &part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        count++;
    return count;
}

class Replay : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        replayed.clear();
        // A configuration of the test's own, with no files to replay.
        vn_config_set_ctx(vn_config_new_ctx());
        _vn_replay_config_init();
        vn_num_peers = kPeers;
        event_log = vn_new_level_log("event_log", root.file("var/event.log").c_str(), nullptr);
        root_text = root.path();
        init.log = event_log;
        init.log_root = root_text.data();
        _vn_replay_init(&init);
    }
    void TearDown() override
    {
        vn_free_log(packet_log);
        vn_free_log(event_log);
        vn_num_peers = 0;
    }

    std::string write(const std::string &name, const std::string &bytes) { return root.write(name, bytes); }
    std::string log_text() { return root.read("var/event.log"); }
    // The process's own packet log, as the peer layer opens it.
    std::string open_packet_log(const std::string &name)
    {
        std::string path = root.file(name);
        packet_log = vn_new_headed_log("packet_log", path.c_str(), packet_log_header().c_str());
        return path;
    }

    vntest::TempRoot root;
    std::string root_text;
    vn_init_t init{};
    vn_log_t *event_log = nullptr;
    vn_log_t *packet_log = nullptr;
};

} // namespace

TEST_F(Replay, HeaderFormsDecideWhereRecordsStart)
{
    const std::string records = update(0, 100, "A") + update(1, 200, "B");
    std::string unterminated = "VNBLog p v9 ";
    unterminated.resize(80, 'y');
    struct Case {
        const char *name;
        std::string head;
        std::vector<std::string> subjects;
        const char *line;
    } cases[] = {
        {"v4", packet_log_header(4), {"A", "B"}, ""},
        {"v5", packet_log_header(5), {}, "Replay: Failed as log is version 5 which is too new\n"},
        {"none", "", {"A", "B"}, ""},
        {"unversioned", "VNBLog" + std::string(74, 'x'), {"A", "B"}, ""},
        {"unterminated", unterminated, {}, "Replay: Failed as log is version 9 which is too new\n"},
    };
    for (const Case &c : cases) {
        replayed.clear();
        std::string path = write(c.name, c.head + records);
        EXPECT_EQ(vn_replay_from_file(record_replay, path.c_str()), 0) << c.name;
        EXPECT_EQ(replayed_subjects(), c.subjects) << c.name;
        EXPECT_NE(log_text().find(c.line), std::string::npos) << c.name;
        EXPECT_EQ(vntest::read_file(path), c.head + records) << c.name;
    }
    EXPECT_EQ(count_of(log_text(), "Replay Finished\n"), 5u);
}

TEST_F(Replay, ShortFileWithoutHeaderIsReadAsRecords)
{
    std::string record = update(2, 100, "S");
    ASSERT_LT(record.size(), 80u);
    std::string path = write("short", record);
    EXPECT_EQ(vn_replay_from_file(record_replay, path.c_str()), 0);
    ASSERT_EQ(replayed.size(), 1u);
    EXPECT_EQ(replayed[0].peer, 2);
    EXPECT_EQ(vntest::read_file(path), record);
}

TEST_F(Replay, IncompleteTailIsCutWhereItsRecordBegan)
{
    const std::string whole = packet_log_header() + update(0, 100, "A") + update(0, 200, "B");
    const std::string payload = update_payload("C", {{1, "value"}});
    const std::string record = packet_log_record(VN_DATAUPDATE, 0, 300, payload);
    struct Case {
        const char *name;
        std::string tail;
        std::string line;
    } cases[] = {
        {"half record", record.substr(0, 40), "(incomplete message 40/" + std::to_string(record.size()) + ")"},
        {"half head", record.substr(0, 10), "(incomplete message 10/28)"},
        {"huge length", packet_log_record(VN_DATAUPDATE, 0, 300, "abc", '<', 0x7FFFFFFF),
         "(incomplete message 31/2147483647)"},
        {"one byte short", packet_log_record(VN_DATAUPDATE, 0, 300, payload, '<', payload.size() + 1),
         "(incomplete message " + std::to_string(record.size()) + "/" + std::to_string(record.size() + 1) + ")"},
    };
    for (const Case &c : cases) {
        replayed.clear();
        std::string path = write(c.name, whole + c.tail);
        EXPECT_EQ(vn_replay_from_file(record_replay, path.c_str()), 0) << c.name;
        EXPECT_EQ(replayed_subjects(), (std::vector<std::string>{"A", "B"})) << c.name;
        EXPECT_EQ(vntest::read_file(path), whole) << c.name;
        EXPECT_NE(log_text().find("Truncating: " + path + " " + c.line), std::string::npos) << c.name;
        // What is left is whole records: a second replay reads the same and cuts nothing.
        replayed.clear();
        EXPECT_EQ(vn_replay_from_file(record_replay, path.c_str()), 0) << c.name;
        EXPECT_EQ(replayed.size(), 2u) << c.name;
        EXPECT_EQ(count_of(log_text(), "Truncating: " + path + " "), 1u) << c.name;
    }
}

TEST_F(Replay, NegativeLengthStopsTheFileWithoutCutting)
{
    const std::string bytes = packet_log_header() + update(0, 100, "A") +
                              packet_log_record(VN_DATAUPDATE, 0, 150, "junk", '<', -5) + update(0, 200, "B");
    std::string path = write("negative", bytes);
    EXPECT_EQ(vn_replay_from_file(record_replay, path.c_str()), 0);
    EXPECT_EQ(replayed_subjects(), std::vector<std::string>{"A"});
    EXPECT_EQ(vntest::read_file(path), bytes);
    EXPECT_NE(log_text().find("Replay: corrupt record in " + path + " at offset 119 (length -5), rest not read\n"),
              std::string::npos);
    EXPECT_EQ(log_text().find("Truncating"), std::string::npos);
}

TEST_F(Replay, RecordsLargerThanTheBufferAreReadWhole)
{
    const std::string ten_k(9970, 'p');
    const std::string big(200000, 'q'); // a long field length and more than the read buffer
    std::string path = write("large", packet_log_header() + update(0, 100, "TEN", {{1, ten_k}}) +
                                          update(1, 200, "BIG", {{2, big}, {3, "x"}}) + update(2, 300, "AFTER"));
    EXPECT_EQ(vn_replay_from_file(record_replay, path.c_str()), 0);
    ASSERT_EQ(replayed_subjects(), (std::vector<std::string>{"TEN", "BIG", "AFTER"}));
    EXPECT_EQ(replayed[0].fields, (std::vector<std::pair<int, std::string>>{{1, ten_k}}));
    EXPECT_EQ(replayed[1].fields, (std::vector<std::pair<int, std::string>>{{2, big}, {3, "x"}}));
}

TEST_F(Replay, OnlyParsedUpdatesOfConfiguredPeersAreHandedOn)
{
    const std::string payload = update_payload("X", {{1, "v"}});
    std::string bytes = packet_log_header();
    for (uint16_t type = VN_NODATA; type <= VN_HEARTBEAT; type++)
        bytes += packet_log_record(type, 0, 100, payload);
    vntest::Bytes narrow; // 16-bit field heads
    narrow.u16(1).u16(0).u16(222).text("NARROW").u16(1).u16(4).text("n");
    bytes += packet_log_record(VN_DATAUPDATE16, 1, 110, narrow.data);
    bytes += update(kPeers, 120, "UNKNOWN PEER") + update(-1, 130, "NO PEER");
    bytes += packet_log_record(VN_DATAUPDATE, 0, 140, "xx");
    bytes += packet_log_record(VN_DATAUPDATE, 2, 150, update_payload("SENT", {}), '>');
    std::string path = write("kinds", bytes);
    EXPECT_EQ(vn_replay_from_file(record_replay, path.c_str()), 0);
    ASSERT_EQ(replayed_subjects(), (std::vector<std::string>{"NARROW", "SENT"}));
    EXPECT_EQ(replayed[0].peer, 1);
    EXPECT_EQ(replayed[0].fields, (std::vector<std::pair<int, std::string>>{{4, "n"}}));
    EXPECT_EQ(replayed[1].stamp, 150);
}

TEST_F(Replay, ByTimePassesEverythingFromTheFirstLateRecord)
{
    std::string path = write("times", packet_log_header() + update(0, 100, "T100") + update(0, 300, "T300") +
                                          update(0, 200, "T200") + update(0, 0x90000000u, "LATE"));
    struct Case {
        time_t from;
        std::vector<std::string> subjects;
    } cases[] = {
        {0, {"T100", "T300", "T200", "LATE"}},
        {250, {"T300", "T200", "LATE"}},
        {0x80000000LL, {"LATE"}}, // seconds are unsigned on disk
        {0x90000001LL, {}},
    };
    for (const Case &c : cases) {
        replayed.clear();
        EXPECT_EQ(vn_replay_by_time_from_file(c.from, record_replay, path.c_str()), 0);
        EXPECT_EQ(replayed_subjects(), c.subjects) << c.from;
    }
    replayed.clear();
    vn_replay_by_time_from_file(0x80000000LL, record_replay, path.c_str());
    ASSERT_EQ(replayed.size(), 1u);
    EXPECT_EQ(replayed[0].stamp, static_cast<time_t>(0x90000000LL));
}

TEST_F(Replay, ByFieldPassesFromTheFirstUpdateWhoseFirstSuchFieldMatches)
{
    std::string path = write("fields", packet_log_header() + update(0, 1, "A", {{5, "y"}, {5, "x"}}) +
                                           update(0, 2, "B", {{6, "x"}}) + update(0, 3, "C", {{7, "a"}, {5, "x"}}) +
                                           update(0, 4, "D", {{5, "other"}}) + update(0, 5, "E"));
    EXPECT_EQ(vn_replay_by_field_from_file(5, "x", record_replay, path.c_str()), 0);
    EXPECT_EQ(replayed_subjects(), (std::vector<std::string>{"C", "D", "E"}));
    replayed.clear();
    vn_replay_by_field_from_file(5, "none", record_replay, path.c_str());
    EXPECT_TRUE(replayed.empty());
}

TEST_F(Replay, FailuresAreResults)
{
    std::string path = write("one", packet_log_header() + update(0, 1, "A"));
    EXPECT_EQ(vn_replay_from_file(record_replay, root.file("missing").c_str()), -1);
    EXPECT_EQ(vn_replay_from_file(nullptr, path.c_str()), -1);
    EXPECT_EQ(vn_replay_from_file(record_replay, nullptr), -1);
    EXPECT_EQ(vn_replay_from_log(record_replay, nullptr), -1);
    EXPECT_EQ(vn_replay_by_field_from_file(1, nullptr, record_replay, path.c_str()), -1);
    EXPECT_EQ(vn_replay_from_file(record_replay, root.path().c_str()), -1);
    EXPECT_NE(log_text().find("Replay: " + root.path() + " is not a regular file\n"), std::string::npos);
    EXPECT_TRUE(replayed.empty());
}

TEST_F(Replay, ListFindsNamesAsGivenBesideThePacketLogAndUnderTheLogRoot)
{
    write("pkt/beside-the-log.bin", packet_log_header() + update(0, 100, "BESIDE1") + update(0, 200, "BESIDE2"));
    const std::string packet_path = open_packet_log("pkt/packet-app.log");
    ASSERT_NE(packet_log, nullptr);
    append(packet_path, update(0, 10, "OWN"));
    write("under-the-root.bin", packet_log_header() + update(1, 50, "ROOT1") + update(1, 60, "ROOT2"));
    std::string given = write("var/given.bin", update(2, 300, "GIVEN"));
    for (const std::string &name : {given, std::string("beside-the-log.bin"), std::string("nowhere.bin"),
                                    std::string("under-the-root.bin")})
        vn_config_set_option("vantrix-auto-replay-files", name.c_str());
    // The filter holds across the files: once a record passes, later files pass whole.
    EXPECT_EQ(vn_replay_by_time(150, record_replay), -1);
    EXPECT_EQ(replayed_subjects(), (std::vector<std::string>{"GIVEN", "BESIDE1", "BESIDE2", "ROOT1", "ROOT2"}));
}

TEST_F(Replay, ListWithoutConfiguredFilesReplaysThePacketLog)
{
    EXPECT_EQ(vn_replay(record_replay), -1);
    EXPECT_NE(log_text().find("Replay: no replay files configured and no packet log, nothing replayed\n"),
              std::string::npos);
    const std::string packet_path = open_packet_log("var/packets.log");
    ASSERT_NE(packet_log, nullptr);
    append(packet_path, update(0, 10, "OWN1") + update(1, 20, "OWN2"));
    EXPECT_EQ(vn_replay(record_replay), 0);
    EXPECT_EQ(replayed_subjects(), (std::vector<std::string>{"OWN1", "OWN2"}));
    replayed.clear();
    EXPECT_EQ(vn_replay_by_field(-1, "x", record_replay), 0);
    EXPECT_TRUE(replayed.empty());
}

namespace {

std::string growing_path;

// Appends a whole record and half of another after the first record arrives,
// as a writer that is busy while the file is replayed.
void append_on_first(int peer, vn_data_t *data, time_t stamp)
{
    if (replayed.empty())
        append(growing_path, update(0, 2, "APPENDED") + update(0, 3, "HALF").substr(0, 30));
    record_replay(peer, data, stamp);
}

// The system call a thread of this process is blocked in, or -1.
long blocked_syscall(pid_t tid)
{
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long number = -1;
    in >> number;
    return number;
}

} // namespace

TEST_F(Replay, RecordsAppendedWhileReplayingAreReadAndAHalfOneIsCut)
{
    const std::string first = packet_log_header() + update(0, 1, "FIRST");
    growing_path = write("growing", first);
    EXPECT_EQ(vn_replay_from_file(append_on_first, growing_path.c_str()), 0);
    EXPECT_EQ(replayed_subjects(), (std::vector<std::string>{"FIRST", "APPENDED"}));
    EXPECT_EQ(vntest::read_file(growing_path), first + update(0, 2, "APPENDED"));
}

TEST_F(Replay, OwnPacketLogIsCutOnlyUnderItsLockAndAppendedToAfterwards)
{
    const std::string path = open_packet_log("var/packets.log");
    ASSERT_NE(packet_log, nullptr);
    const std::string pending = update(1, 2, "PENDING");
    append(path, update(0, 1, "DONE") + pending.substr(0, 35));

    // A writer holds the lock with its record half written: the replay
    // waits for it and reads the record whole.
    _vn_peer_packet_log_lock();
    std::atomic<pid_t> replay_tid{0};
    std::thread replay([&] {
        replay_tid = static_cast<pid_t>(syscall(SYS_gettid));
        vn_replay_from_file(record_replay, path.c_str());
    });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(kDeadlineSeconds);
    while ((replay_tid == 0 || blocked_syscall(replay_tid) != SYS_futex) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    vn_write(packet_log, pending.data() + 35, pending.size() - 35);
    _vn_peer_packet_log_unlock();
    replay.join();
    EXPECT_EQ(replayed_subjects(), (std::vector<std::string>{"DONE", "PENDING"}));
    EXPECT_EQ(log_text().find("Truncating"), std::string::npos);

    // A half record nobody finishes is cut, and the log's next record follows whole records.
    vn_write(packet_log, pending.data(), 20);
    replayed.clear();
    vn_replay_from_file(record_replay, path.c_str());
    EXPECT_NE(log_text().find("Truncating: " + path + " (incomplete message 20/"), std::string::npos);
    std::string next = update(2, 3, "NEXT");
    vn_write(packet_log, next.data(), next.size());
    replayed.clear();
    vn_replay_from_file(record_replay, path.c_str());
    EXPECT_EQ(replayed_subjects(), (std::vector<std::string>{"DONE", "PENDING", "NEXT"}));
}

TEST(ReplayAutoStart, MostRecentLocalTimeOfDayThenDaysEarlier)
{
    struct Case {
        const char *zone;
        time_t now;
        int minutes;
        int days;
        time_t start;
    } cases[] = {
        // 2024-03-05 12:00 UTC is 1709640000.
        {"UTC", 1709640000, 600, 0, 1709640000 - 2 * 3600},
        {"UTC", 1709640000, 600, 1, 1709640000 - 2 * 3600 - 86400},
        {"UTC", 1709640000, 600, -1, 1709640000 - 2 * 3600 - 86400},
        {"UTC", 1709640000 - 3 * 3600, 600, 0, 1709640000 - 2 * 3600 - 86400}, // 09:00: yesterday's 10:00
        {"UTC", 1709640000, 720, 0, 1709640000},                                // exactly now
        {"UTC", 1709640000, -90, 5, 1709640000 - 90 * 60},                       // days unused
        // 20:00 UTC is 05:00 the next day in UTC+9: its midnight is 15:00 UTC the same day.
        {"JST-9", 1709640000 + 8 * 3600, 0, 0, 1709640000 + 3 * 3600},
        // 01:00 UTC is 20:00 the day before in UTC-5: that day's 10:00 is 15:00 UTC.
        {"EST5", 1709640000 - 11 * 3600, 600, 0, 1709640000 - 11 * 3600 - 10 * 3600},
    };
    for (const Case &c : cases) {
        setenv("TZ", c.zone, 1);
        tzset();
        EXPECT_EQ(_vn_replay_auto_start(c.now, c.minutes, c.days), c.start)
            << c.zone << " " << c.now << " " << c.minutes << " " << c.days;
    }
}

// ---- Replay in a running runtime, over packet logs it writes itself ----

namespace {

constexpr int kLocalId = 11;
constexpr int kRemoteId = 21;

std::vector<std::string> handed_on(const std::string &kind)
{
    std::lock_guard<std::mutex> lock(vntest::handoffs.mutex);
    std::vector<std::string> subjects;
    for (const auto &message : vntest::handoffs.messages)
        if (message.kind == kind)
            subjects.push_back(message.texts.at(0));
    return subjects;
}

} // namespace

TEST(ReplayRuntime, PacketLogWrittenByTheLibraryReplaysWhatItReceivedAndSent)
{
    replayed.clear();
    vntest::record_handoffs();
    vntest::WireListener listener;
    vntest::PeerRuntime runtime("vantrix-id " + std::to_string(kLocalId) + "\nvantrix-name me\nadd-peer\nremote-id " +
                                std::to_string(kRemoteId) + "\naddr 127.0.0.1\nport " +
                                std::to_string(listener.port()) + "\nheartbeat-time 30\nend-peer\n");
    ASSERT_EQ(runtime.start(), 0);
    vntest::WireSocket remote = listener.accept();
    vntest::WireFrame info;
    ASSERT_TRUE(remote.read_frame_of(VN_PEERINFO, &info));
    remote.send(vntest::frame(VN_PEERINFO, vntest::info_payload(0, 1, kRemoteId, "feed")));
    ASSERT_TRUE(vntest::handoffs.wait([] { return !vntest::handoffs.statuses.empty(); }));

    remote.send(vntest::frame(VN_DATAUPDATE, update_payload("IN.A", {{1, "10"}}, 0, 1)) +
                vntest::frame(VN_DATAUPDATE, update_payload("IN.B", {{2, "20"}}, 0, 2)));
    ASSERT_TRUE(vntest::handoffs.wait([] { return vntest::handoffs.messages.size() >= 2; }));
    vn_data_t *out = vn_init_data("OUT.C", 222, 0);
    vn_add_data(out, 3, "30");
    vn_send_data(out);
    vntest::WireFrame sent;
    ASSERT_TRUE(remote.read_frame_of(VN_DATAUPDATE, &sent));

    // Heartbeats may be written meanwhile: the replay shares the file with the writer.
    time_t before = time(nullptr);
    EXPECT_EQ(vn_replay_from_file(record_replay, runtime.packet_log_path().c_str()), 0);
    ASSERT_EQ(replayed_subjects(), (std::vector<std::string>{"IN.A", "IN.B", "OUT.C"}));
    EXPECT_EQ(replayed[1].fields, (std::vector<std::pair<int, std::string>>{{2, "20"}}));
    EXPECT_EQ(replayed[2].fields, (std::vector<std::pair<int, std::string>>{{3, "30"}}));
    for (const Replayed &entry : replayed) {
        EXPECT_EQ(entry.peer, 0);
        EXPECT_LE(entry.stamp, before);
        EXPECT_GT(entry.stamp, before - 600);
    }
    EXPECT_TRUE(runtime.wait_log("Replay Finished\n"));
    EXPECT_EQ(runtime.count_log("Truncating"), 0);
}

TEST(ReplayRuntime, AutoReplayHandsRecentUpdatesOfReplayingPeersToThePeerLayerAndCutsTheTail)
{
    vntest::record_handoffs();
    vntest::PeerRuntime runtime("vantrix-auto-replay -60\n"
                                "add-peer\nremote-id 21\nlocal-flags recvautoreplay\nend-peer\n"
                                "add-peer\nremote-id 22\nend-peer\n");
    uint32_t now = static_cast<uint32_t>(time(nullptr));
    const std::string kept = packet_log_header() + update(0, now - 7200, "OLD") + update(0, now - 600, "NEW0") +
                             update(1, now - 500, "OTHER PEER") + update(0, now - 400, "NEW1");
    runtime.root().write("var/packets.log", kept + update(0, now - 300, "HALF").substr(0, 33));
    ASSERT_EQ(runtime.start(), 0);
    ASSERT_TRUE(runtime.wait_log("Replay Finished\n"));
    EXPECT_EQ(handed_on("replay"), (std::vector<std::string>{"NEW0", "NEW1"}));
    EXPECT_EQ(runtime.count_log("Truncating: " + runtime.packet_log_path() + " (incomplete message 33/"), 1);
    EXPECT_EQ(vntest::read_file(runtime.packet_log_path()).substr(0, kept.size()), kept);
}
