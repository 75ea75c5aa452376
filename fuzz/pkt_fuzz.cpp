// Every packet parser on arbitrary payloads; the first byte picks the kind.
// A payload that parses must serialise to bytes that parse and serialise to
// themselves again.
#include "vantrix_private.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// Starts with room for `hint` bytes: a request record would otherwise lower its
// count to what fits, and a parsed one owns the subjects it would drop.
template <typename Serialise, typename Record> Bytes serialise(Serialise fn, Record *pkt, size_t hint)
{
    Bytes buf(std::max<size_t>(hint, 16)); // never empty: an empty vector has no data pointer
    size_t len = buf.size();
    if (fn(pkt, buf.data(), &len) == nullptr)
        __builtin_trap(); // a parsed record always fits the wire again
    if (len > buf.size()) {
        buf.resize(len);
        fn(pkt, buf.data(), &len);
        if (len != buf.size())
            __builtin_trap();
    }
    buf.resize(len);
    return buf;
}

// Parses `payload`, and when it parses, checks that its bytes are stable.
template <typename Record, typename Parse, typename Serialise, typename Free>
void check(const Bytes &payload, Parse parse, Serialise serialise_fn, Free free_data)
{
    Record first{};
    if (parse(&first, payload.data(), payload.size()) != 0) {
        free_data(&first);
        return;
    }
    Bytes once = serialise(serialise_fn, &first, payload.size());
    free_data(&first);
    Record second{};
    if (parse(&second, once.data(), once.size()) != 0)
        __builtin_trap();
    Bytes twice = serialise(serialise_fn, &second, once.size());
    free_data(&second);
    if (once != twice)
        __builtin_trap();
}

int parse_hbt(vn_hbtpkt_t *pkt, const unsigned char *buf, size_t len) { return vn_hbtpkt_parse(pkt, buf, len); }
void free_hbt(vn_hbtpkt_t *) {}
int parse_wide(vn_datapkt_t *pkt, const unsigned char *buf, size_t len)
{
    return vn_datapkt_parse(pkt, VN_DATAUPDATE, buf, len);
}
int parse_narrow(vn_datapkt_t *pkt, const unsigned char *buf, size_t len)
{
    return vn_datapkt_parse(pkt, VN_DATAUPDATE16, buf, len);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    Bytes payload(data + 1, data + size);
    switch (data[0] % 6) {
    case 0:
        check<vn_hbtpkt_t>(payload, parse_hbt, vn_hbtpkt_serialise, free_hbt);
        break;
    case 1:
        check<vn_statuspkt_t>(payload, vn_statuspkt_parse, vn_statuspkt_serialise, vn_free_statuspkt_data);
        break;
    case 2:
        check<vn_reqpkt_t>(payload, vn_reqpkt_parse, vn_reqpkt_serialise, vn_free_reqpkt_data);
        break;
    case 3:
        check<vn_infopkt_t>(payload, vn_infopkt_parse, vn_infopkt_serialise, vn_free_infopkt_data);
        break;
    case 4:
        check<vn_datapkt_t>(payload, parse_wide, vn_datapkt_serialise, vn_free_datapkt_data);
        break;
    default: {
        // The narrow form is read, never written: check the wide bytes it becomes.
        vn_datapkt_t narrow{};
        if (parse_narrow(&narrow, payload.data(), payload.size()) == 0) {
            Bytes wide = serialise(vn_datapkt_serialise, &narrow, 0);
            check<vn_datapkt_t>(wide, parse_wide, vn_datapkt_serialise, vn_free_datapkt_data);
        }
        vn_free_datapkt_data(&narrow);
        break;
    }
    }
    return 0;
}
