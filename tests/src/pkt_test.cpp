#include "vantrix_private.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// "00 07 FF FF" or "'AB'" pieces, so expected payloads read like the wire.
Bytes wire(const std::string &spec)
{
    Bytes out;
    for (size_t i = 0; i < spec.size();) {
        if (spec[i] == ' ') {
            i++;
        } else if (spec[i] == '\'') {
            size_t end = spec.find('\'', i + 1);
            out.insert(out.end(), spec.begin() + i + 1, spec.begin() + end);
            i = end + 1;
        } else {
            out.push_back(static_cast<unsigned char>(std::stoi(spec.substr(i, 2), nullptr, 16)));
            i += 2;
        }
    }
    return out;
}

template <typename Record, typename Serialise> Bytes serialise(Record *pkt, Serialise fn, size_t capacity = 1 << 17)
{
    Bytes buf(capacity);
    size_t len = capacity;
    EXPECT_EQ(fn(pkt, buf.data(), &len), buf.data());
    EXPECT_LE(len, capacity);
    buf.resize(len);
    return buf;
}

struct Data {
    vn_datapkt_t *pkt;
    explicit Data(const char *subject = "AB", uint16_t type = 222) : pkt(vn_new_datapkt(subject, type, 0)) {}
    ~Data() { vn_free_datapkt(pkt); }
};

TEST(Heartbeat, SerialisesAndParses)
{
    vn_hbtpkt_t *hbt = vn_new_hbtpkt(-1, 0x0102);
    EXPECT_EQ(serialise(hbt, vn_hbtpkt_serialise), wire("01 02 FF FF"));
    Bytes small(2, 0xAA);
    size_t len = small.size();
    vn_hbtpkt_serialise(hbt, small.data(), &len);
    EXPECT_EQ(len, 4u);
    EXPECT_EQ(small, Bytes(2, 0xAA)) << "nothing written past a short buffer";
    vn_free_hbtpkt(hbt);

    vn_hbtpkt_t parsed{};
    Bytes payload = wire("01 02 FF FF 99");
    ASSERT_EQ(vn_hbtpkt_parse(&parsed, payload.data(), payload.size()), 0);
    EXPECT_EQ(parsed.flags, 0x0102);
    EXPECT_EQ(parsed.period, -1);
    EXPECT_EQ(vn_hbtpkt_parse(&parsed, payload.data(), 3), -2);
}

TEST(Status, SerialisesByteForByteWithOrWithoutMessage)
{
    vn_statuspkt_t *status = vn_new_statuspkt("AB", 222, 2, "hi");
    status->seq = 1;
    EXPECT_EQ(serialise(status, vn_statuspkt_serialise), wire("00 01 00 02 00 DE 00 02 'AB' 00 02 'hi'"));
    vn_free_statuspkt(status);

    status = vn_new_statuspkt("AB", 222, 2, nullptr);
    EXPECT_EQ(serialise(status, vn_statuspkt_serialise), wire("00 00 00 02 00 DE 00 02 'AB' 00 00"));
    vn_free_statuspkt(status);
}

TEST(Status, ParsesAndReportsEachShortfall)
{
    Bytes payload = wire("00 01 00 02 00 DE 00 02 'AB' 00 02 'hi'");
    vn_statuspkt_t parsed;
    ASSERT_EQ(vn_statuspkt_parse(&parsed, payload.data(), payload.size()), 0);
    EXPECT_EQ(parsed.seq, 1);
    EXPECT_EQ(parsed.flags, 2);
    EXPECT_EQ(parsed.type, 222);
    EXPECT_STREQ(parsed.name, "AB");
    EXPECT_STREQ(parsed.msgstr, "hi");
    vn_free_statuspkt_data(&parsed);
    for (size_t len = 0; len < payload.size(); len++) {
        EXPECT_EQ(vn_statuspkt_parse(&parsed, payload.data(), len), -2) << len;
        EXPECT_EQ(parsed.name, nullptr) << "a name without its message is released";
        EXPECT_EQ(parsed.msgstr, nullptr);
    }
}

TEST(Request, SerialisesSubjectsThatFitAndLowersTheCount)
{
    const char *subjects[] = {"A", "BC", "DEF"};
    vn_reqpkt_t req{1, 222, 3, const_cast<char **>(subjects)};
    EXPECT_EQ(serialise(&req, vn_reqpkt_serialise), wire("00 01 00 DE 00 03 00 01 'A' 00 02 'BC' 00 03 'DEF'"));
    EXPECT_EQ(req.count, 3);
    // Room for the head and two subjects, one byte short of the third.
    EXPECT_EQ(serialise(&req, vn_reqpkt_serialise, 6 + 3 + 4 + 4), wire("00 01 00 DE 00 02 00 01 'A' 00 02 'BC'"));
    EXPECT_EQ(req.count, 2);
}

TEST(Request, ParsesListsAndRefusesBrokenOnes)
{
    const struct {
        const char *payload;
        int result;
        uint16_t count;
    } cases[] = {
        {"00 01 00 DE 00 02 00 01 'A' 00 02 'BC' 'extra'", 0, 2},
        {"00 01 00 DE 00 00", 0, 0},
        {"00 01 00 DE 00", -2, 0},
        {"00 01 00 DE 00 03 00 01 'A' 00 02 'BC'", -1, 0},     // the third subject is missing
        {"00 01 00 DE 00 02 00 01 'A' 00 05 'BC'", -1, 0},     // the second is cut short
        {"00 01 00 DE 00 02 00 01 'A' 00", -1, 0},             // a length cut in half
        {"00 01 00 DE FF FF 00 00 00 00", -1, 0},              // a count the payload cannot hold
    };
    for (const auto &c : cases) {
        Bytes payload = wire(c.payload);
        vn_reqpkt_t parsed;
        EXPECT_EQ(vn_reqpkt_parse(&parsed, payload.data(), payload.size()), c.result) << c.payload;
        EXPECT_EQ(parsed.count, c.count) << c.payload;
        if (c.result != 0) {
            EXPECT_EQ(parsed.subjects, nullptr) << c.payload;
        }
        vn_free_reqpkt_data(&parsed);
    }
    Bytes payload = wire("00 01 00 DE 00 02 00 01 'A' 00 02 'BC'");
    vn_reqpkt_t parsed;
    ASSERT_EQ(vn_reqpkt_parse(&parsed, payload.data(), payload.size()), 0);
    EXPECT_STREQ(parsed.subjects[0], "A");
    EXPECT_STREQ(parsed.subjects[1], "BC");
    vn_free_reqpkt_data(&parsed);
}

TEST(Request, BatchesIntoMessagesOfAtMost8192Bytes)
{
    std::string subject(200, 's');
    std::vector<char *> subjects(64, subject.data());
    vn_reqpkt_t list{0, 222, 64, subjects.data()};
    Bytes buf(VN_REQUEST_MESSAGE_BYTES);
    size_t len = buf.size();
    // 6 + 40 * 202 = 8086; a 41st subject would need 8288.
    EXPECT_EQ(_vn_reqpkt_pack(&list, 0, buf.data(), &len), 40);
    EXPECT_EQ(len, 8086u);
    EXPECT_EQ(buf[4] * 256 + buf[5], 40);
    len = buf.size();
    EXPECT_EQ(_vn_reqpkt_pack(&list, 40, buf.data(), &len), 24);
    EXPECT_EQ(buf[4] * 256 + buf[5], 24);
    EXPECT_EQ(list.count, 64) << "the pending list keeps its count";
    len = buf.size();
    EXPECT_EQ(_vn_reqpkt_pack(&list, 65, buf.data(), &len), 0) << "a start past the end packs nothing";

    std::string oversize(VN_REQUEST_MESSAGE_BYTES, 'x');
    subjects[0] = oversize.data();
    len = buf.size();
    EXPECT_EQ(_vn_reqpkt_pack(&list, 0, buf.data(), &len), 0);
}

TEST(PeerInfo, SerialisesWithNullTextsAndChecksCapacity)
{
    vn_infopkt_t *info = vn_new_infopkt(7, "me", 0x100, 0x400);
    info->val = 3;
    info->data = vn_strdup("down");
    EXPECT_EQ(serialise(info, vn_infopkt_serialise), wire("04 00 01 00 00 07 00 02 'me' 00 03 00 04 'down'"));
    Bytes small(10, 0xAA);
    size_t len = small.size();
    vn_infopkt_serialise(info, small.data(), &len);
    EXPECT_EQ(len, 18u);
    EXPECT_EQ(small, Bytes(10, 0xAA));
    vn_free_infopkt(info);

    info = vn_new_infopkt(7, nullptr, 0, 0);
    EXPECT_EQ(serialise(info, vn_infopkt_serialise), wire("00 00 00 00 00 07 00 00 00 00 00 00"));
    vn_free_infopkt(info);
}

TEST(PeerInfo, ParsesAndReportsEachShortfall)
{
    Bytes payload = wire("04 00 01 00 00 07 00 02 'me' 00 03 00 04 'down'");
    vn_infopkt_t parsed;
    ASSERT_EQ(vn_infopkt_parse(&parsed, payload.data(), payload.size()), 0);
    EXPECT_EQ(parsed.flags, 0x400);
    EXPECT_EQ(parsed.type, 0x100);
    EXPECT_EQ(parsed.id, 7);
    EXPECT_STREQ(parsed.name, "me");
    EXPECT_EQ(parsed.val, 3);
    EXPECT_STREQ(parsed.data, "down");
    vn_free_infopkt_data(&parsed);
    for (size_t len = 0; len < payload.size(); len++) {
        EXPECT_EQ(vn_infopkt_parse(&parsed, payload.data(), len), -2) << len;
        EXPECT_EQ(parsed.data, nullptr);
        if (len >= 12) {
            EXPECT_EQ(parsed.name, nullptr) << "a name without its data is released";
        }
        vn_free_infopkt_data(&parsed);
    }
}

TEST(Data, SerialisesFieldHeadsAndBothValueLengthForms)
{
    Data d;
    d.pkt->seq = 5;
    d.pkt->flags = 0x1000;
    vn_datapkt_add_field_with_flags(d.pkt, -1, "x", 3);
    vn_datapkt_add_field_with_flags(d.pkt, 0x1234, "", 0x7FFF);
    vn_datapkt_add_field(d.pkt, -65536, "yz");
    EXPECT_EQ(serialise(d.pkt, vn_datapkt_serialise),
              wire("00 05 10 00 00 DE 00 02 'AB' 00 03 "
                   "00 07 FF FF 00 01 'x' "
                   "FF FE 12 34 00 00 "
                   "00 01 00 00 00 02 'yz'"));

    Data sizes;
    std::string short_value(32767, 'a'), long_value(32768, 'b');
    vn_datapkt_add_field(sizes.pkt, 1, short_value.c_str());
    vn_datapkt_add_field(sizes.pkt, 2, long_value.c_str());
    Bytes out = serialise(sizes.pkt, vn_datapkt_serialise);
    ASSERT_EQ(out.size(), 10u + 2 + (4 + 2 + 32767) + (4 + 4 + 32768));
    EXPECT_EQ(Bytes(out.begin() + 16, out.begin() + 18), wire("7F FF"));
    size_t second = 16 + 2 + 32767;
    EXPECT_EQ(Bytes(out.begin() + second, out.begin() + second + 8), wire("00 00 00 02 80 00 80 00"));
}

TEST(Data, RoundTripsThroughTheParser)
{
    Data d("subject", 221);
    d.pkt->seq = 9;
    d.pkt->flags = 0x30;
    std::string long_value(40000, 'v');
    const struct {
        int num;
        const char *value;
        uint16_t flags;
    } fields[] = {{-1, "x", 3}, {0, "", 0}, {65535, "max", 0x7FFF}, {-65536, "min", 1}, {7, long_value.c_str(), 0}};
    for (const auto &f : fields)
        vn_datapkt_add_field_with_flags(d.pkt, f.num, f.value, f.flags);
    Bytes out = serialise(d.pkt, vn_datapkt_serialise);

    vn_datapkt_t parsed;
    ASSERT_EQ(vn_datapkt_parse(&parsed, VN_DATAUPDATE, out.data(), out.size()), 0);
    EXPECT_EQ(parsed.seq, 9);
    EXPECT_EQ(parsed.flags, 0x30);
    EXPECT_EQ(parsed.type, 221);
    EXPECT_STREQ(parsed.subject, "subject");
    EXPECT_EQ(parsed.time, 0);
    ASSERT_EQ(parsed.count, 5);
    for (int i = 0; i < 5; i++) {
        EXPECT_EQ(parsed.fields[i].fieldnum, fields[i].num);
        EXPECT_STREQ(parsed.fields[i].value, fields[i].value);
        EXPECT_EQ(parsed.fields[i].len, static_cast<int>(std::strlen(fields[i].value)));
        EXPECT_EQ(parsed.fields[i].flags, fields[i].flags);
    }
    // A parsed record takes further fields like a new one.
    for (int i = 0; i < 20; i++)
        vn_datapkt_add_field(&parsed, 100 + i, "more");
    EXPECT_EQ(parsed.count, 25);
    EXPECT_STREQ(parsed.fields[24].value, "more");
    vn_free_datapkt_data(&parsed);
}

TEST(Data, SixteenBitFormAliasesFieldZeroForRecordTypes)
{
    const struct {
        uint16_t type;
        int msgtype;
        int expected;
    } cases[] = {{222, VN_DATAUPDATE16, -65536}, {225, VN_NODATA, -65536}, {226, VN_DATAUPDATE16, -65536},
                 {221, VN_DATAUPDATE16, 0},      {222, VN_DATAUPDATE, 0}};
    for (const auto &c : cases) {
        Bytes payload = c.msgtype == VN_DATAUPDATE ? wire("00 01 00 00 00 00 00 01 'S' 00 01 00 00 00 00 00 01 'v'")
                                                   : wire("00 01 00 00 00 00 00 01 'S' 00 01 00 00 00 01 'v'");
        payload[4] = static_cast<unsigned char>(c.type >> 8);
        payload[5] = static_cast<unsigned char>(c.type);
        vn_datapkt_t parsed;
        ASSERT_EQ(vn_datapkt_parse(&parsed, c.msgtype, payload.data(), payload.size()), 0);
        EXPECT_EQ(parsed.fields[0].fieldnum, c.expected) << c.type << " " << c.msgtype;
        EXPECT_EQ(parsed.fields[0].flags, 0);
        vn_free_datapkt_data(&parsed);
    }
    Bytes high = wire("00 01 00 00 00 DE 00 01 'S' 00 01 FF FF 00 01 'v'");
    vn_datapkt_t parsed;
    ASSERT_EQ(vn_datapkt_parse(&parsed, VN_DATAUPDATE16, high.data(), high.size()), 0);
    EXPECT_EQ(parsed.fields[0].fieldnum, 65535);
    vn_free_datapkt_data(&parsed);
}

TEST(Data, BrokenPayloadsLeaveNothingAllocated)
{
    const struct {
        const char *payload;
        int result;
    } cases[] = {
        {"00 01 00 00 00 DE 00", -2},
        {"00 01 00 00 00 DE 00 05 'AB'", -2},
        {"00 01 00 00 00 DE 00 02 'AB' 00", -2},
        {"00 01 00 00 00 DE 00 02 'AB' 00 03 00 00 00 01 00 01 'x' 00 00 00 02 00 01 'y'", -1}, // 3 announced, 2 held
        {"00 01 00 00 00 DE 00 02 'AB' 00 01 00 00 00 01 00 05 'x'", -1},                     // value cut short
        {"00 01 00 00 00 DE 00 02 'AB' 00 01 00 00 00 01 80 00", -1},                         // long length cut
        {"00 01 00 00 00 DE 00 02 'AB' 00 01 00 00 00 01 FF FF FF FF 'x'", -1},               // 2 GB announced
        {"00 01 00 00 00 DE 00 02 'AB' FF FF 00 00 00 01 00 01 'x'", -1},                     // count far too big
    };
    for (const auto &c : cases) {
        Bytes payload = wire(c.payload);
        vn_datapkt_t parsed;
        EXPECT_EQ(vn_datapkt_parse(&parsed, VN_DATAUPDATE, payload.data(), payload.size()), c.result) << c.payload;
        EXPECT_EQ(parsed.count, 0);
        EXPECT_EQ(parsed.fields, nullptr);
        if (c.result == -1) {
            EXPECT_EQ(parsed.subject, nullptr) << c.payload;
        }
        vn_free_datapkt_data(&parsed);
    }
}

TEST(Data, ShortBufferReportsTheExactLengthAndIsLeftUntouched)
{
    Data d;
    for (int i = 0; i < 10; i++)
        vn_datapkt_add_field(d.pkt, i, "value");
    const size_t full = 10 + 2 + 10 * (4 + 2 + 5);
    for (size_t capacity : {size_t{0}, size_t{5}, size_t{11}, full - 1}) {
        Bytes buf(capacity + 1, 0xAA);
        size_t len = capacity;
        vn_datapkt_serialise(d.pkt, buf.data(), &len);
        EXPECT_EQ(len, full) << capacity;
        EXPECT_EQ(buf, Bytes(capacity + 1, 0xAA)) << capacity;
    }
    EXPECT_EQ(serialise(d.pkt, vn_datapkt_serialise, full).size(), full);
}

TEST(Data, ValueIsSentUpToItsFirstNul)
{
    Bytes payload = wire("00 00 00 00 00 DE 00 01 'S' 00 01 00 00 00 01 00 03 'a' 00 'b'");
    vn_datapkt_t parsed;
    ASSERT_EQ(vn_datapkt_parse(&parsed, VN_DATAUPDATE, payload.data(), payload.size()), 0);
    EXPECT_EQ(parsed.fields[0].len, 3);
    EXPECT_EQ(serialise(&parsed, vn_datapkt_serialise), wire("00 00 00 00 00 DE 00 01 'S' 00 01 00 00 00 01 00 01 'a'"));
    vn_free_datapkt_data(&parsed);
}

TEST(Limits, TextsTooLongForTheirLengthAreRefused)
{
    std::string huge(65536, 'h');
    std::string most(65535, 'm');
    unsigned char buf[16];
    size_t len = sizeof buf;

    Data long_subject(huge.c_str());
    EXPECT_EQ(vn_datapkt_serialise(long_subject.pkt, buf, &len), nullptr);
    EXPECT_EQ(len, 0u);

    vn_statuspkt_t *status = vn_new_statuspkt("s", 0, 0, huge.c_str());
    len = sizeof buf;
    EXPECT_EQ(vn_statuspkt_serialise(status, buf, &len), nullptr);
    EXPECT_EQ(len, 0u);
    vn_free_statuspkt(status);

    vn_infopkt_t *info = vn_new_infopkt(1, huge.c_str(), 0, 0);
    len = sizeof buf;
    EXPECT_EQ(vn_infopkt_serialise(info, buf, &len), nullptr);
    vn_free_infopkt(info);

    Data longest(most.c_str());
    len = sizeof buf;
    EXPECT_EQ(vn_datapkt_serialise(longest.pkt, buf, &len), buf);
    EXPECT_EQ(len, 10u + 65535);

    char *subjects[] = {huge.data()};
    vn_reqpkt_t req{0, 0, 1, subjects};
    Bytes big(70000);
    len = big.size();
    vn_reqpkt_serialise(&req, big.data(), &len);
    EXPECT_EQ(req.count, 0);
    EXPECT_EQ(len, 6u);
}

TEST(Limits, AMissingValueIsAddedAsEmpty)
{
    Data d;
    vn_datapkt_add_field(d.pkt, 7, nullptr);
    ASSERT_EQ(d.pkt->count, 1);
    EXPECT_STREQ(d.pkt->fields[0].value, "");
    EXPECT_EQ(d.pkt->fields[0].len, 0);
}

TEST(Limits, A65536thFieldIsDropped)
{
    Data d;
    for (int i = 0; i < 65536; i++)
        vn_datapkt_add_field(d.pkt, i, "");
    EXPECT_EQ(d.pkt->count, 65535);
    EXPECT_EQ(d.pkt->fields[65534].fieldnum, 65534);
}

} // namespace

// A record parsed again in place gives what a fresh parse gives, whatever the
// sizes of the payloads before it, and a broken payload leaves it empty.
// A text whose every byte tells its position, so that a copy that moves,
// drops or repeats a byte shows.
std::string patterned(size_t len, int seed)
{
    std::string text;
    for (size_t i = 0; i < len; i++)
        text += static_cast<char>('!' + (i * 7 + static_cast<size_t>(seed)) % 90);
    return text;
}

TEST(Data, ReparsedRecordMatchesAFreshParse)
{
    std::vector<vn_datapkt_t *> sources;
    for (int count : {3, 25, 0, 12, 1, 40}) {
        std::string subject = patterned(static_cast<size_t>(count % 7) * 9 + 1, count);
        vn_datapkt_t *pkt = vn_new_datapkt(subject.c_str(), 222, static_cast<uint16_t>(count));
        // Every length from 0 to 39 in turn, short values above all.
        for (int i = 0; i < count; i++)
            vn_datapkt_add_field(pkt, i - 5, patterned(static_cast<size_t>((i * 7 + count) % 40), i).c_str());
        sources.push_back(pkt);
    }
    vn_datapkt_t reused{};
    for (int round = 0; round < 2; round++) {
        for (vn_datapkt_t *source : sources) {
            Bytes payload = serialise(source, vn_datapkt_serialise);
            ASSERT_EQ(_vn_datapkt_reparse(&reused, VN_DATAUPDATE, payload.data(), payload.size()), 0);
            vn_datapkt_t fresh;
            ASSERT_EQ(vn_datapkt_parse(&fresh, VN_DATAUPDATE, payload.data(), payload.size()), 0);
            EXPECT_STREQ(reused.subject, fresh.subject);
            EXPECT_EQ(reused.flags, fresh.flags);
            ASSERT_EQ(reused.count, fresh.count);
            EXPECT_STREQ(fresh.subject, source->subject);
            for (int i = 0; i < fresh.count; i++) {
                EXPECT_STREQ(fresh.fields[i].value, source->fields[i].value);
                EXPECT_EQ(reused.fields[i].fieldnum, fresh.fields[i].fieldnum);
                EXPECT_EQ(reused.fields[i].len, fresh.fields[i].len);
                EXPECT_STREQ(reused.fields[i].value, fresh.fields[i].value);
            }
            vn_free_datapkt_data(&fresh);
        }
        // Changed by its receiver in between, as a callback may: still reparsed safely.
        vn_set_subject(&reused, std::string(300, 's').c_str());
        for (int i = 0; i < 15; i++)
            vn_add_data(&reused, i, "added");
    }
    Bytes broken = wire("00 01 00 00 00 DE 00 02 'AB' 00 03 00 00 00 01 00 01 'x'");
    EXPECT_EQ(_vn_datapkt_reparse(&reused, VN_DATAUPDATE, broken.data(), broken.size()), -1);
    EXPECT_EQ(reused.count, 0);
    EXPECT_EQ(reused.fields, nullptr);
    EXPECT_EQ(reused.subject, nullptr);
    Bytes payload = serialise(sources[1], vn_datapkt_serialise);
    EXPECT_EQ(_vn_datapkt_reparse(&reused, VN_DATAUPDATE, payload.data(), payload.size()), 0);
    EXPECT_EQ(reused.count, 25);
    vn_free_datapkt_data(&reused);
    for (vn_datapkt_t *source : sources)
        vn_free_datapkt(source);
}

TEST(Data, CopyMatchesEveryMemberAndOutlivesTheOriginal)
{
    Bytes payload = wire("00 07 10 30 00 DE 00 01 'S' 00 01 00 00 00 01 00 03 'a' 00 'b'");
    vn_datapkt_t *original = vn_new_datapkt(nullptr, 0, 0);
    ASSERT_EQ(_vn_datapkt_reparse(original, VN_DATAUPDATE, payload.data(), payload.size()), 0);
    original->time = 9999;
    for (int i = 0; i < 11; i++) // past the first field array's capacity
        vn_datapkt_add_field_with_flags(original, 100 + i, std::string(static_cast<size_t>(i), 'v').c_str(),
                                        static_cast<uint16_t>(i));
    vn_datapkt_t *copy = _vn_datapkt_copy(original);
    Bytes expected = serialise(original, vn_datapkt_serialise);
    // Each field as number, flags and every byte of its value, NULs included.
    auto fields_of = [](const vn_datapkt_t *pkt) {
        std::vector<std::tuple<int, uint16_t, std::string>> fields;
        for (int i = 0; i < pkt->count; i++)
            fields.emplace_back(pkt->fields[i].fieldnum, pkt->fields[i].flags,
                                std::string(pkt->fields[i].value, static_cast<size_t>(pkt->fields[i].len)));
        return fields;
    };
    auto expected_fields = fields_of(original);
    vn_free_datapkt(original);

    EXPECT_EQ(copy->time, 9999);
    EXPECT_EQ(serialise(copy, vn_datapkt_serialise), expected);
    EXPECT_EQ(fields_of(copy), expected_fields);
    EXPECT_EQ(std::get<2>(expected_fields[0]), std::string("a\0b", 3));
    vn_free_datapkt(copy);
}
