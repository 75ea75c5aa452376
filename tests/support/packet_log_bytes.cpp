#include "packet_log_bytes.h"

#include "vantrix_private.h"

namespace vntest {

namespace {

constexpr size_t kHeaderBytes = 80;

} // namespace

std::string packet_log_header(int version, const std::string &app, const std::string &zone)
{
    std::string header = "VNBLog packet v" + std::to_string(version) + " " + app + " TZ=" + zone;
    header.resize(kHeaderBytes, '\0');
    return header;
}

std::string update_payload(const std::string &subject, const std::vector<WireField> &fields, uint16_t flags,
                           uint16_t seq, uint16_t type)
{
    Bytes out;
    out.u16(seq).u16(flags).u16(type).text(subject).u16(static_cast<unsigned>(fields.size()));
    for (const WireField &field : fields) {
        uint32_t head = static_cast<uint32_t>(field.num) & 0xFFFF;
        if (field.num < 0)
            head |= 0x10000;
        out.u32(head);
        if (field.value.size() < 0x8000)
            out.u16(static_cast<unsigned>(field.value.size()));
        else
            out.u32(static_cast<uint32_t>(field.value.size()) | 0x80000000u);
        out.data += field.value;
    }
    return out.data;
}

std::string packet_log_record(uint16_t type, int peer, uint32_t seconds, const std::string &payload,
                              char direction, int64_t length)
{
    Bytes out;
    out.u32(seconds).u32(0).u32(0x7F000001).u8(static_cast<unsigned char>(direction)).u8(0);
    out.u16(type).u16(7).u16(static_cast<unsigned>(peer) & 0xFFFF);
    out.u32(static_cast<uint32_t>(length == -1 ? static_cast<int64_t>(payload.size()) : length)).u32(0);
    return out.data + payload;
}

bool read_update(const std::string &payload, ReadUpdate *update)
{
    vn_datapkt_t pkt{};
    int parsed = vn_datapkt_parse(&pkt, VN_DATAUPDATE, reinterpret_cast<const unsigned char *>(payload.data()),
                                  payload.size());
    if (parsed == 0) {
        update->subject = pkt.subject != nullptr ? pkt.subject : "";
        update->flags = pkt.flags;
        update->type = pkt.type;
        update->fields.clear();
        for (uint16_t i = 0; i < pkt.count; i++)
            update->fields.push_back({pkt.fields[i].fieldnum, pkt.fields[i].value});
    }
    vn_free_datapkt_data(&pkt);
    return parsed == 0;
}

std::string update_subject(const std::string &payload)
{
    ReadUpdate update;
    return read_update(payload, &update) ? update.subject : "";
}

} // namespace vntest
