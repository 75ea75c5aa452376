// Packet-log files built by hand, independent of the library's writers: the
// 80-byte text header, 28-byte record heads and update payloads, in the
// harness's big-endian Bytes; and update payloads read back.
#ifndef VANTRIX_PACKET_LOG_BYTES_H
#define VANTRIX_PACKET_LOG_BYTES_H

#include "peer_harness.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vntest {

// "VNBLog packet v<version> <app> TZ=<zone>" padded with NULs to 80 bytes.
std::string packet_log_header(int version = 4, const std::string &app = "app", const std::string &zone = "UTC");

struct WireField {
    int num;
    std::string value;
    bool operator==(const WireField &) const = default;
};

// A type-8 update payload (32-bit field heads).
std::string update_payload(const std::string &subject, const std::vector<WireField> &fields, uint16_t flags = 0,
                           uint16_t seq = 1, uint16_t type = 222);

// A record head of the packet log followed by the payload; `length` other
// than -1 replaces the payload length written in the head.
std::string packet_log_record(uint16_t type, int peer, uint32_t seconds, const std::string &payload,
                              char direction = '<', int64_t length = -1);

// An update payload read back (through the library's parser).
struct ReadUpdate {
    std::string subject;
    uint16_t flags = 0;
    uint16_t type = 0;
    std::vector<WireField> fields;
};

// False when the payload is not a type-8 update.
bool read_update(const std::string &payload, ReadUpdate *update);
// The subject of a type-8 update payload, or "" when it does not parse.
std::string update_subject(const std::string &payload);

} // namespace vntest

#endif
