// The typed adders: numbers formatted with their field's format for the type,
// and formats that cannot print the value safely add nothing. The senders:
// what a test-side peer linked to a real runtime receives.
#include "peer_harness.h"
#include "record_fields.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

using vntest::Fields;
using vntest::Record;

namespace {

constexpr int kNoField = 77;
constexpr int kPlaces = 10;
constexpr int kMissingSet = 11;
constexpr int kHex = 12;
constexpr int kLongLong = 13;
constexpr int kNoConversion = 14;
constexpr int kString = 15;
constexpr int kTwoConversions = 16;
constexpr int kStarWidth = 17;
constexpr int kFloatForInt = 18;
constexpr int kPositional = 19;
constexpr int kTrailingPercent = 20;
constexpr int kFormatSlot = 512;
constexpr int kDecimalPlaces = 256;
constexpr int kFormatSet = 1024;

class TypedAdders : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        vntest::start_fields([] {
            vn_fields_add(kPlaces, "PLACES", kDecimalPlaces, 3, nullptr);
            vn_fields_add(kMissingSet, "MISSING", kFormatSet, -1, "no-such-set");
            vn_fields_add(kHex, "HEX", kFormatSlot, 5, "%x");
            vn_fields_add(kLongLong, "LONGLONG", kFormatSlot, 5, "%+lld");
            vn_fields_add(kNoConversion, "FIXED", kFormatSlot, 5, "n/a %%");
            vn_fields_add(kString, "STRING", kFormatSlot, 5, "%s");
            vn_fields_add(kTwoConversions, "TWO", kFormatSlot, 5, "%d%d");
            vn_fields_add(kStarWidth, "STAR", kFormatSlot, 5, "%*d");
            vn_fields_add(kFloatForInt, "FLOAT", kFormatSlot, 5, "%.2f");
            vn_fields_add(kPositional, "POSITIONAL", kFormatSlot, 5, "%1$d");
            vn_fields_add(kTrailingPercent, "TRAILING", kFormatSlot, 5, "%d %");
        });
    }
};

struct TypedCase {
    const char *name;
    std::function<void(vn_data_t *)> add;
    Fields expected;
};

class TypedAdder : public TypedAdders, public ::testing::WithParamInterface<TypedCase> {};

TEST_P(TypedAdder, FormatsWithTheFieldFormat)
{
    Record record(vn_init_data("S", 222, 0));
    GetParam().add(record.data);
    EXPECT_EQ(record.fields(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Record, TypedAdder,
    ::testing::Values(
        TypedCase{"Int8", [](vn_data_t *d) { vn_add_data_int8(d, kNoField, -5); }, {{kNoField, "-5"}}},
        TypedCase{"Int16", [](vn_data_t *d) { vn_add_data_int16(d, kNoField, -300); }, {{kNoField, "-300"}}},
        TypedCase{"Int32Negative", [](vn_data_t *d) { vn_add_data_int32(d, kNoField, -1); }, {{kNoField, "-1"}}},
        TypedCase{
            "Int64", [](vn_data_t *d) { vn_add_data_int64(d, kNoField, -5000000000LL); }, {{kNoField, "-5000000000"}}},
        TypedCase{"Float32", [](vn_data_t *d) { vn_add_data_float32(d, kNoField, 0.1f); }, {{kNoField, "0.1"}}},
        TypedCase{"Float64", [](vn_data_t *d) { vn_add_data_float64(d, kNoField, 0.1); }, {{kNoField, "0.1"}}},
        TypedCase{"DecimalPlaces", [](vn_data_t *d) { vn_add_data_float64(d, kPlaces, 0.1); }, {{kPlaces, "0.100"}}},
        TypedCase{"MissingFormatSet", [](vn_data_t *d) { vn_add_data_int32(d, kMissingSet, 5); }, {}},
        TypedCase{"NumberOutOfRange", [](vn_data_t *d) { vn_add_data_int32(d, 65536, 5); }, {}},
        TypedCase{"Hex", [](vn_data_t *d) { vn_add_data_int32(d, kHex, -1); }, {{kHex, "ffffffff"}}},
        TypedCase{"LongLong", [](vn_data_t *d) { vn_add_data_int32(d, kLongLong, 7); }, {{kLongLong, "+7"}}},
        TypedCase{
            "NoConversion", [](vn_data_t *d) { vn_add_data_int32(d, kNoConversion, 7); }, {{kNoConversion, "n/a %"}}},
        TypedCase{"StringFormat", [](vn_data_t *d) { vn_add_data_int32(d, kString, 7); }, {}},
        TypedCase{"TwoConversions", [](vn_data_t *d) { vn_add_data_int32(d, kTwoConversions, 7); }, {}},
        TypedCase{"StarWidth", [](vn_data_t *d) { vn_add_data_int32(d, kStarWidth, 7); }, {}},
        TypedCase{"FloatFormatForInteger", [](vn_data_t *d) { vn_add_data_int32(d, kFloatForInt, 7); }, {}},
        TypedCase{"Positional", [](vn_data_t *d) { vn_add_data_int32(d, kPositional, 7); }, {}},
        TypedCase{"TrailingPercent", [](vn_data_t *d) { vn_add_data_int32(d, kTrailingPercent, 7); }, {}}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace

// Senders

namespace {

using vntest::Bytes;
using vntest::WireFrame;

uint16_t seq_of(const WireFrame &frame)
{
    return static_cast<uint16_t>((static_cast<unsigned char>(frame.payload[0]) << 8) |
                                 static_cast<unsigned char>(frame.payload[1]));
}

std::string data_payload(uint16_t seq, uint16_t flags, uint16_t type, const std::string &subject, int field,
                         const std::string &value)
{
    return Bytes().u16(seq).u16(flags).u16(type).text(subject).u16(1).u32(static_cast<uint32_t>(field))
        .text(value).data;
}

std::string nodata_payload(uint16_t seq, uint16_t flags, const std::string &subject)
{
    return Bytes().u16(seq).u16(flags).u16(0).text(subject).u16(0).data;
}

std::string status_payload(uint16_t seq, uint16_t flags, uint16_t code, const std::string &subject,
                           const std::string &message)
{
    return Bytes().u16(seq).u16(flags).u16(code).text(subject).text(message).data;
}

// A runtime with one peer that connects out to a test-side listener, linked
// up: what the senders send arrives on `remote_`.
class Senders : public testing::Test {
protected:
    void SetUp() override
    {
        vntest::record_handoffs();
        runtime_ = std::make_unique<vntest::PeerRuntime>("add-peer\nremote-id 9\naddr 127.0.0.1\nport " +
                                                         std::to_string(listener_.port()) + "\nend-peer\n");
        ASSERT_EQ(runtime_->start(), 0);
        remote_ = listener_.accept();
        ASSERT_TRUE(remote_.valid());
        WireFrame info;
        ASSERT_TRUE(remote_.read_frame_of(VN_PEERINFO, &info));
        remote_.send(vntest::frame(VN_PEERINFO, vntest::info_payload(0, 1, 9, "feed")));
        ASSERT_TRUE(vntest::handoffs.wait([] { return !vntest::handoffs.statuses.empty(); }));
    }

    WireFrame next(uint16_t type)
    {
        WireFrame frame;
        EXPECT_TRUE(remote_.read_frame_of(type, &frame));
        return frame;
    }

    // Sends a no-data notice and expects it to be the next frame: whatever
    // was sent before it has arrived, and nothing else.
    void expect_nothing_before_marker()
    {
        vn_send_nodata("marker", 0);
        WireFrame frame;
        ASSERT_TRUE(remote_.read_frame(&frame));
        EXPECT_EQ(frame.type, VN_NODATA);
        EXPECT_NE(frame.payload.find("marker"), std::string::npos);
    }

    vntest::WireListener listener_;
    std::unique_ptr<vntest::PeerRuntime> runtime_;
    vntest::WireSocket remote_;
};

} // namespace

TEST_F(Senders, EveryKindGoesOutWithTheNextSequenceNumber)
{
    vn_data_t *record = vn_init_data("QUOTE", 222, 0x1000);
    vn_add_data(record, 22, "1.5");
    vn_send_data(record);
    vn_send_nodata("GONE", VN_NODATA_NOTFOUND);
    vn_send_status("SICK", 3, 12, "stale");
    WireFrame data = next(VN_DATAUPDATE);
    WireFrame nodata = next(VN_NODATA);
    WireFrame status = next(VN_STATUS);
    uint16_t first = seq_of(data);
    EXPECT_EQ(data.payload, data_payload(first, 0x1000, 222, "QUOTE", 22, "1.5"));
    EXPECT_EQ(nodata.payload, nodata_payload(static_cast<uint16_t>(first + 1), VN_NODATA_NOTFOUND, "GONE"));
    EXPECT_EQ(status.payload, status_payload(static_cast<uint16_t>(first + 2), 3, 12, "SICK", "stale"));
}

TEST_F(Senders, SequenceNumberWrapsAfter65535)
{
    while (_vn_next_seqnum() != 65534) {
    }
    for (const char *subject : {"A", "B", "C"})
        vn_send_nodata(subject, 0);
    EXPECT_EQ(seq_of(next(VN_NODATA)), 65535);
    EXPECT_EQ(seq_of(next(VN_NODATA)), 0);
    EXPECT_EQ(seq_of(next(VN_NODATA)), 1);
}

// 11 bytes of head, subject and count, 6 of field head and length, then the
// value: records of exactly 4096 and 4097 bytes on either side of the buffer.
TEST_F(Senders, RecordsAroundTheStackBufferArriveWhole)
{
    for (size_t value_len : {size_t{4079}, size_t{4080}, size_t{40000}}) {
        SCOPED_TRACE(value_len);
        std::string value(value_len, 'v');
        vn_data_t *record = vn_init_data("S", 222, 0);
        vn_add_data(record, 7, value.c_str());
        vn_send_data_to_peer(0, record);
        WireFrame frame = next(VN_DATAUPDATE);
        if (value_len < 32768) {
            EXPECT_EQ(frame.payload, data_payload(seq_of(frame), 0, 222, "S", 7, value));
        } else {
            // A value this long carries a 4-byte length.
            EXPECT_EQ(frame.payload.size(), 19 + value_len);
            EXPECT_EQ(frame.payload.substr(frame.payload.size() - value_len), value);
        }
    }
}

TEST_F(Senders, NoDataWithASubjectPast512BytesIsSentWhole)
{
    std::string subject(600, 's');
    vn_send_nodata_to_peer(0, subject.c_str(), VN_NODATA_UNAVAILABLE);
    WireFrame frame = next(VN_NODATA);
    EXPECT_EQ(frame.payload, nodata_payload(seq_of(frame), VN_NODATA_UNAVAILABLE, subject));
}

TEST_F(Senders, StatusWithoutAMessageCarriesAnEmptyOne)
{
    vn_send_status_to_peer(0, "QUIET", 1, 4, nullptr);
    WireFrame frame = next(VN_STATUS);
    EXPECT_EQ(frame.payload, status_payload(seq_of(frame), 1, 4, "QUIET", ""));
}

TEST_F(Senders, NoDataKeepsTheRecordAndSendsItAgain)
{
    vn_data_t *record = vn_init_data("KEPT", 222, 0);
    vn_add_data(record, 1, "x");
    vn_send_data_no_free(record);
    vn_send_data_to_peer_no_free(0, record);
    uint16_t first = seq_of(next(VN_DATAUPDATE));
    WireFrame second = next(VN_DATAUPDATE);
    EXPECT_EQ(second.payload, data_payload(static_cast<uint16_t>(first + 1), 0, 222, "KEPT", 1, "x"));
    EXPECT_STREQ(record->subject, "KEPT");
    vn_free_data(record);
}

TEST_F(Senders, PeerOutsideTheTableGetsNothing)
{
    vn_send_data_to_peer(3, vn_init_data("LOST", 222, 0)); // freed all the same
    vn_send_nodata_to_peer(-2, "LOST", 0);
    vn_send_status_to_peer(1, "LOST", 0, 1, "x");
    expect_nothing_before_marker();
}

namespace {

std::vector<std::string> pointer_calls;

void counting_data(vn_data_t *data)
{
    pointer_calls.push_back(std::string("data ") + data->subject);
    vn_free_data(data);
}

void counting_nodata(const char *subject, uint16_t flags)
{
    pointer_calls.push_back("nodata " + std::string(subject) + " " + std::to_string(flags));
}

void counting_status(const char *subject, uint16_t, uint16_t code, const char *)
{
    pointer_calls.push_back("status " + std::string(subject) + " " + std::to_string(code));
}

} // namespace

// Peer -1 hands over to the public entry point, through its pointer, and
// sends nothing else.
TEST_F(Senders, PeerMinusOneGoesThroughThePublicEntryPoints)
{
    vn_send_data_func = counting_data;
    vn_send_nodata_func = counting_nodata;
    vn_send_status_func = counting_status;
    vn_send_data_to_peer(-1, vn_init_data("D", 222, 0));
    vn_send_nodata_to_peer(-1, "N", 2);
    vn_send_status_to_peer(-1, "S", 0, 5, "m");
    EXPECT_EQ(pointer_calls, (std::vector<std::string>{"data D", "nodata N 2", "status S 5"}));
    vn_send_nodata_func = vn_send_nodata_direct;
    expect_nothing_before_marker();
    vn_send_data_func = vn_send_data_direct;
    vn_send_status_func = vn_send_status_direct;
}

// The _no_free form with -1 means vn_send_data_no_free: every peer, the
// record kept, and not the replaceable data pointer.
TEST_F(Senders, NoFreeWithPeerMinusOneSendsToAllAndKeepsTheRecord)
{
    vn_send_data_func = counting_data;
    vn_data_t *record = vn_init_data("ALL", 222, 0);
    vn_send_data_to_peer_no_free(-1, record);
    EXPECT_TRUE(pointer_calls.empty());
    EXPECT_EQ(next(VN_DATAUPDATE).payload.find("ALL"), 8u);
    vn_free_data(record);
    vn_send_data_func = vn_send_data_direct;
}
