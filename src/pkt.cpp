// Wire packets: the records of the packet kinds peers exchange, and their
// big-endian payloads. Every parser treats the payload as hostile.
#include "peer.h"
#include "vantrix_private.h"

#include <malloc.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr size_t kMaxWireText = 65535;         // a 16-bit length
constexpr size_t kMaxValueBytes = 0x7FFFFFFF;  // a 31-bit length
constexpr size_t kShortValueLimit = 0x8000;    // values below take a 2-byte length
constexpr uint32_t kLongLengthBit = 0x80000000;
constexpr uint16_t kMaxFields = 65535;
constexpr uint16_t kFieldGrowth = 10;
constexpr size_t kHeartbeatBytes = 4;
constexpr size_t kRequestHeadBytes = 6;
constexpr uint32_t kNegativeNumberBit = 0x10000;
constexpr int kFieldFlagShift = 17;
constexpr uint16_t kWireFieldFlags = 0x7FFF;
constexpr int32_t kZeroFieldAlias = -65536;

size_t text_len(const char *text)
{
    return text != nullptr ? std::strlen(text) : 0;
}

char *copy_text(const char *text)
{
    return text != nullptr ? vn_strdup(text) : nullptr;
}

// The first and the last sizeof(Word) bytes of a text at least that long.
template <typename Word> void copy_both_ends(unsigned char *out, const unsigned char *in, size_t len)
{
    Word head, tail;
    std::memcpy(&head, in, sizeof head);
    std::memcpy(&tail, in + len - sizeof tail, sizeof tail);
    std::memcpy(out, &head, sizeof head);
    std::memcpy(out + len - sizeof tail, &tail, sizeof tail);
}

// Most texts on the wire are a few bytes long: they are moved inline, in at
// most two overlapping loads and stores, instead of through a call.
inline void copy_wire_bytes(void *to, const void *from, size_t len)
{
    auto *out = static_cast<unsigned char *>(to);
    const auto *in = static_cast<const unsigned char *>(from);
    if (len > 16) {
        std::memcpy(out, in, len);
    } else if (len >= 8) {
        copy_both_ends<uint64_t>(out, in, len);
    } else if (len >= 4) {
        copy_both_ends<uint32_t>(out, in, len);
    } else if (len != 0) {
        out[0] = in[0];
        out[len / 2] = in[len / 2];
        out[len - 1] = in[len - 1];
    }
}

char *copy_bytes(const unsigned char *bytes, size_t len)
{
    char *copy = static_cast<char *>(vn_malloc(len + 1));
    copy_wire_bytes(copy, bytes, len);
    copy[len] = '\0';
    return copy;
}

// A buffer kept from an earlier parse, refilled when it has room for the
// bytes and a NUL, else replaced by a fresh copy. `known_room` is what the
// record itself vouches for (a value holds its length and a terminator), so
// that a value no longer than the last one needs no question to the allocator.
char *refill_bytes(char *kept, size_t known_room, const unsigned char *bytes, size_t len)
{
    if (kept == nullptr || (len >= known_room && malloc_usable_size(kept) <= len)) {
        vn_free(kept);
        return copy_bytes(bytes, len);
    }
    copy_wire_bytes(kept, bytes, len);
    kept[len] = '\0';
    return kept;
}

// Writes big-endian values at a position the caller has already checked.
struct Writer {
    unsigned char *at;

    void u16(uint32_t value)
    {
        at[0] = static_cast<unsigned char>(value >> 8);
        at[1] = static_cast<unsigned char>(value);
        at += 2;
    }
    void u32(uint32_t value)
    {
        u16(value >> 16);
        u16(value & 0xFFFF);
    }
    void text(const char *value, size_t len)
    {
        u16(static_cast<uint32_t>(len));
        copy_wire_bytes(at, value, len);
        at += len;
    }
};

// Reads from a payload; every caller asks has() first, comparing with the bytes left.
struct Reader {
    const unsigned char *at;
    size_t left;

    bool has(size_t count) const { return left >= count; }
    uint16_t u16()
    {
        uint16_t value = static_cast<uint16_t>((at[0] << 8) | at[1]);
        at += 2;
        left -= 2;
        return value;
    }
    char *text(size_t len, char *kept = nullptr, size_t known_room = 0)
    {
        char *copy = kept != nullptr ? refill_bytes(kept, known_room, at, len) : copy_bytes(at, len);
        at += len;
        left -= len;
        return copy;
    }
    // A 2-byte length and its bytes as a fresh copy; nullptr when either is missing.
    char *counted_text()
    {
        if (!has(2))
            return nullptr;
        size_t len = static_cast<size_t>((at[0] << 8) | at[1]);
        if (left - 2 < len)
            return nullptr;
        u16();
        return text(len);
    }
};

size_t value_length_bytes(size_t len)
{
    return len < kShortValueLimit ? 2 : 4;
}

uint32_t field_head(const vn_field_t &field)
{
    uint32_t head = static_cast<uint32_t>(field.flags & kWireFieldFlags) << kFieldFlagShift;
    if (field.fieldnum < 0)
        head |= kNegativeNumberBit;
    return head | (static_cast<uint32_t>(field.fieldnum) & 0xFFFF);
}

int32_t number_from_head(uint32_t head)
{
    uint32_t number = head & 0xFFFF;
    if (head & kNegativeNumberBit)
        number |= 0xFFFF0000;
    return static_cast<int32_t>(number);
}

// Object types whose 16-bit field 0 stands for -65536.
bool zero_field_is_alias(uint16_t type)
{
    return type == 222 || type == 225 || type == 226;
}

// Slots a record's field array holds for `count` fields: ten, then doubling,
// so that appending stays cheap however many fields a record carries. The
// capacity is implied by the count because the record has no room to keep it.
size_t field_capacity(size_t count)
{
    size_t capacity = kFieldGrowth;
    while (capacity < count)
        capacity *= 2;
    return capacity;
}

// `kept`, when not null, is the field's value buffer from an earlier parse.
// The form is a template argument, so a record's loop over its fields is
// made once for each form instead of asking for every field.
template <bool wide> bool read_field(Reader &in, uint16_t type, vn_field_t *field, char *kept = nullptr)
{
    if (!in.has(wide ? 6 : 4))
        return false;
    int32_t number;
    uint16_t flags = 0;
    if constexpr (wide) {
        uint32_t head = static_cast<uint32_t>(in.u16()) << 16;
        head |= in.u16();
        number = number_from_head(head);
        flags = static_cast<uint16_t>(head >> kFieldFlagShift);
    } else {
        number = in.u16();
        if (number == 0 && zero_field_is_alias(type))
            number = kZeroFieldAlias;
    }
    size_t len = in.u16();
    if (len & kShortValueLimit) {
        if (!in.has(2))
            return false;
        len = ((len & (kShortValueLimit - 1)) << 16) | in.u16();
    }
    if (!in.has(len))
        return false;
    // The kept value's length, read before the field is overwritten.
    size_t known_room = kept != nullptr && field->len >= 0 ? static_cast<size_t>(field->len) + 1 : 0;
    field->fieldnum = number;
    field->flags = flags;
    field->len = static_cast<int32_t>(len);
    field->value = in.text(len, kept, known_room);
    return true;
}

// Parses `announced` fields into the record's array, refilling the values
// [0, kept) left by an earlier parse; how many were parsed whole.
template <bool wide> uint16_t refill_fields(Reader &in, vn_datapkt_t *pkt, uint16_t announced, uint16_t kept)
{
    for (uint16_t i = 0; i < announced; i++) {
        if (!read_field<wide>(in, pkt->type, &pkt->fields[i], i < kept ? pkt->fields[i].value : nullptr))
            return i;
    }
    return announced;
}

void free_subjects(vn_reqpkt_t *pkt)
{
    for (uint16_t i = 0; i < pkt->count; i++)
        vn_free(pkt->subjects[i]);
    vn_free(pkt->subjects);
    pkt->subjects = nullptr;
    pkt->count = 0;
}

template <typename Record> Record *new_record()
{
    return static_cast<Record *>(vn_calloc(1, sizeof(Record)));
}

// Frees a record and what it owns; a null record is allowed.
template <typename Record> void free_record(Record *pkt, void (*free_data)(Record *))
{
    if (pkt == nullptr)
        return;
    free_data(pkt);
    vn_free(pkt);
}

// A record's size, with the lengths of its first fields kept for the
// writer, so that a typical record's texts are each measured once.
constexpr uint16_t kKeptLengths = 64;

struct datapkt_size_t {
    size_t needed = 0; // 0: the packet cannot be encoded at all
    size_t subject_len = 0;
    size_t value_lens[kKeptLengths];
};

void measure_datapkt(const vn_datapkt_t *pkt, datapkt_size_t &size)
{
    size.subject_len = text_len(pkt->subject);
    if (size.subject_len > kMaxWireText)
        return;
    size_t needed = 10 + size.subject_len;
    for (uint16_t i = 0; i < pkt->count; i++) {
        size_t len = text_len(pkt->fields[i].value);
        if (len > kMaxValueBytes)
            return;
        if (i < kKeptLengths)
            size.value_lens[i] = len;
        needed += 4 + value_length_bytes(len) + len;
    }
    size.needed = needed;
}

} // namespace

extern "C" {

/* Creation */

vn_hbtpkt_t *vn_new_hbtpkt(int16_t period, uint16_t flags)
{
    vn_hbtpkt_t *pkt = new_record<vn_hbtpkt_t>();
    pkt->period = period;
    pkt->flags = flags;
    return pkt;
}

vn_reqpkt_t *vn_new_reqpkt(uint16_t type, uint16_t flags)
{
    vn_reqpkt_t *pkt = new_record<vn_reqpkt_t>();
    pkt->type = type;
    pkt->flags = flags;
    return pkt;
}

vn_statuspkt_t *vn_new_statuspkt(const char *subject, uint16_t type, uint16_t flags, const char *msgstr)
{
    vn_statuspkt_t *pkt = new_record<vn_statuspkt_t>();
    pkt->type = type;
    pkt->flags = flags;
    pkt->name = copy_text(subject);
    pkt->msgstr = copy_text(msgstr);
    return pkt;
}

vn_infopkt_t *vn_new_infopkt(uint16_t id, const char *name, uint16_t type, uint16_t flags)
{
    vn_infopkt_t *pkt = new_record<vn_infopkt_t>();
    pkt->id = id;
    pkt->name = copy_text(name);
    pkt->type = type;
    pkt->flags = flags;
    return pkt;
}

vn_datapkt_t *vn_new_datapkt(const char *subject, uint16_t type, uint16_t flags)
{
    vn_datapkt_t *pkt = new_record<vn_datapkt_t>();
    pkt->subject = copy_text(subject);
    pkt->type = type;
    pkt->flags = flags;
    return pkt;
}

/* Fields */

vn_field_t *_vn_datapkt_new_field(vn_datapkt_t *pkt)
{
    size_t count = pkt->count;
    if (count == 0 || count == field_capacity(count))
        pkt->fields = static_cast<vn_field_t *>(vn_realloc(pkt->fields, field_capacity(count + 1) * sizeof(vn_field_t)));
    return &pkt->fields[pkt->count++];
}

vn_datapkt_t *_vn_datapkt_copy(const vn_datapkt_t *pkt)
{
    vn_datapkt_t *copy = vn_new_datapkt(pkt->subject, pkt->type, pkt->flags);
    copy->seq = pkt->seq;
    copy->time = pkt->time;
    for (uint16_t i = 0; i < pkt->count; i++) {
        const vn_field_t &from = pkt->fields[i];
        // A value read from a peer may hold NULs: its length, not strlen, counts.
        size_t len = from.value != nullptr && from.len > 0 ? static_cast<size_t>(from.len) : 0;
        vn_field_t *field = _vn_datapkt_new_field(copy);
        field->fieldnum = from.fieldnum;
        field->len = static_cast<int32_t>(len);
        field->value = copy_bytes(len != 0 ? reinterpret_cast<const unsigned char *>(from.value)
                                           : reinterpret_cast<const unsigned char *>(""), len);
        field->flags = from.flags;
    }
    return copy;
}

void vn_datapkt_add_field_with_flags(vn_datapkt_t *pkt, int fieldnum, const char *value, uint16_t flags)
{
    if (pkt->count == kMaxFields)
        return; // a 65536th field would wrap the 16-bit count and corrupt the packet
    if (value == nullptr)
        value = ""; // a missing text travels as an empty value rather than crashing the sender
    vn_field_t *field = _vn_datapkt_new_field(pkt);
    size_t len = std::strlen(value);
    field->fieldnum = fieldnum;
    field->len = static_cast<int32_t>(std::min(len, kMaxValueBytes));
    field->value = copy_bytes(reinterpret_cast<const unsigned char *>(value), len);
    field->flags = flags;
}

void vn_datapkt_add_field(vn_datapkt_t *pkt, int fieldnum, const char *value)
{
    vn_datapkt_add_field_with_flags(pkt, fieldnum, value, 0);
}

/* Freeing */

void vn_free_hbtpkt(vn_hbtpkt_t *pkt)
{
    vn_free(pkt);
}

void vn_free_statuspkt_data(vn_statuspkt_t *pkt)
{
    vn_free(pkt->name);
    vn_free(pkt->msgstr);
    pkt->name = nullptr;
    pkt->msgstr = nullptr;
}

void vn_free_statuspkt(vn_statuspkt_t *pkt)
{
    free_record(pkt, vn_free_statuspkt_data);
}

void vn_free_reqpkt_data(vn_reqpkt_t *pkt)
{
    free_subjects(pkt);
}

void vn_free_reqpkt(vn_reqpkt_t *pkt)
{
    free_record(pkt, vn_free_reqpkt_data);
}

void vn_free_infopkt_data(vn_infopkt_t *pkt)
{
    vn_free(pkt->name);
    vn_free(pkt->data);
    pkt->name = nullptr;
    pkt->data = nullptr;
}

void vn_free_infopkt(vn_infopkt_t *pkt)
{
    free_record(pkt, vn_free_infopkt_data);
}

void vn_free_datapkt_data(vn_datapkt_t *pkt)
{
    for (uint16_t i = 0; i < pkt->count; i++)
        vn_free(pkt->fields[i].value);
    vn_free(pkt->fields);
    vn_free(pkt->subject);
    pkt->fields = nullptr;
    pkt->subject = nullptr;
    pkt->count = 0;
}

void vn_free_datapkt(vn_datapkt_t *pkt)
{
    free_record(pkt, vn_free_datapkt_data);
}

/* Serialisers: *len is the capacity on entry and the payload length on return;
 * a length above the capacity means nothing was written and that many bytes are
 * needed. A record that cannot be encoded (a text of 65536 bytes or more) gives
 * NULL and length 0. */

unsigned char *vn_hbtpkt_serialise(const vn_hbtpkt_t *pkt, unsigned char *buf, size_t *len)
{
    if (*len >= kHeartbeatBytes) {
        Writer out{buf};
        out.u16(pkt->flags);
        out.u16(static_cast<uint16_t>(pkt->period));
    }
    *len = kHeartbeatBytes;
    return buf;
}

unsigned char *vn_statuspkt_serialise(const vn_statuspkt_t *pkt, unsigned char *buf, size_t *len)
{
    size_t name_len = text_len(pkt->name);
    size_t msg_len = text_len(pkt->msgstr);
    if (name_len > kMaxWireText || msg_len > kMaxWireText) {
        *len = 0;
        return nullptr;
    }
    size_t needed = 10 + name_len + msg_len;
    if (needed <= *len) {
        Writer out{buf};
        out.u16(pkt->seq);
        out.u16(pkt->flags);
        out.u16(pkt->type);
        out.text(pkt->name, name_len);
        out.text(pkt->msgstr, msg_len);
    }
    *len = needed;
    return buf;
}

unsigned char *vn_reqpkt_serialise(vn_reqpkt_t *pkt, unsigned char *buf, size_t *len)
{
    size_t capacity = *len;
    if (capacity < kRequestHeadBytes) {
        pkt->count = 0;
        *len = 0;
        return buf;
    }
    Writer out{buf};
    out.u16(pkt->flags);
    out.u16(pkt->type);
    out.at += 2; // the count goes in last, once known
    uint16_t written = 0;
    for (; written < pkt->count; written++) {
        size_t subject_len = std::strlen(pkt->subjects[written]);
        size_t room = capacity - static_cast<size_t>(out.at - buf);
        if (subject_len > kMaxWireText || room < 2 || room - 2 < subject_len)
            break;
        out.text(pkt->subjects[written], subject_len);
    }
    pkt->count = written;
    Writer count_at{buf + 4};
    count_at.u16(written);
    *len = static_cast<size_t>(out.at - buf);
    return buf;
}

unsigned char *vn_infopkt_serialise(const vn_infopkt_t *pkt, unsigned char *buf, size_t *len)
{
    size_t name_len = text_len(pkt->name);
    size_t data_len = text_len(pkt->data);
    if (name_len > kMaxWireText || data_len > kMaxWireText) {
        *len = 0;
        return nullptr;
    }
    size_t needed = 12 + name_len + data_len;
    if (needed <= *len) {
        Writer out{buf};
        out.u16(pkt->flags);
        out.u16(pkt->type);
        out.u16(pkt->id);
        out.text(pkt->name, name_len);
        out.u16(pkt->val);
        out.text(pkt->data, data_len);
    }
    *len = needed;
    return buf;
}

unsigned char *vn_datapkt_serialise(const vn_datapkt_t *pkt, unsigned char *buf, size_t *len)
{
    datapkt_size_t size;
    measure_datapkt(pkt, size);
    if (size.needed == 0) {
        *len = 0;
        return nullptr;
    }
    if (size.needed <= *len) {
        Writer out{buf};
        out.u16(pkt->seq);
        out.u16(pkt->flags);
        out.u16(pkt->type);
        out.text(pkt->subject, size.subject_len);
        out.u16(pkt->count);
        for (uint16_t i = 0; i < pkt->count; i++) {
            const vn_field_t &field = pkt->fields[i];
            // A value is sent up to its first NUL.
            size_t value_len = i < kKeptLengths ? size.value_lens[i] : text_len(field.value);
            out.u32(field_head(field));
            if (value_len < kShortValueLimit)
                out.u16(static_cast<uint32_t>(value_len));
            else
                out.u32(static_cast<uint32_t>(value_len) | kLongLengthBit);
            copy_wire_bytes(out.at, field.value, value_len);
            out.at += value_len;
        }
    }
    *len = size.needed;
    return buf;
}

/* Parsers: 0, -2 (shorter than its head or an announced length) or -1 (the
 * list of subjects or fields is broken). */

int vn_hbtpkt_parse(vn_hbtpkt_t *pkt, const unsigned char *buf, size_t len)
{
    Reader in{buf, len};
    if (!in.has(kHeartbeatBytes))
        return -2;
    pkt->flags = in.u16();
    pkt->period = static_cast<int16_t>(in.u16());
    return 0;
}

int vn_statuspkt_parse(vn_statuspkt_t *pkt, const unsigned char *buf, size_t len)
{
    pkt->name = nullptr;
    pkt->msgstr = nullptr;
    Reader in{buf, len};
    if (!in.has(8))
        return -2;
    pkt->seq = in.u16();
    pkt->flags = in.u16();
    pkt->type = in.u16();
    size_t name_len = in.u16();
    if (!in.has(name_len + 2))
        return -2;
    pkt->name = in.text(name_len);
    size_t msg_len = in.u16();
    if (!in.has(msg_len)) {
        vn_free_statuspkt_data(pkt);
        return -2;
    }
    pkt->msgstr = in.text(msg_len);
    return 0;
}

int vn_reqpkt_parse(vn_reqpkt_t *pkt, const unsigned char *buf, size_t len)
{
    pkt->subjects = nullptr;
    pkt->count = 0;
    Reader in{buf, len};
    if (!in.has(kRequestHeadBytes))
        return -2;
    pkt->flags = in.u16();
    pkt->type = in.u16();
    uint16_t announced = in.u16();
    if (announced == 0)
        return 0;
    // Each subject takes at least its 2-byte length, so a count the payload
    // cannot hold fails before anything is allocated for it.
    if (announced > in.left / 2)
        return -1;
    pkt->subjects = static_cast<char **>(vn_malloc(announced * sizeof(char *)));
    while (pkt->count < announced) {
        char *subject = in.counted_text();
        if (subject == nullptr) {
            free_subjects(pkt);
            return -1;
        }
        pkt->subjects[pkt->count++] = subject;
    }
    return 0;
}

int vn_infopkt_parse(vn_infopkt_t *pkt, const unsigned char *buf, size_t len)
{
    pkt->name = nullptr;
    pkt->data = nullptr;
    Reader in{buf, len};
    if (!in.has(8))
        return -2;
    pkt->flags = in.u16();
    pkt->type = in.u16();
    pkt->id = in.u16();
    size_t name_len = in.u16();
    if (!in.has(name_len + 4))
        return -2;
    pkt->name = in.text(name_len);
    pkt->val = in.u16();
    size_t data_len = in.u16();
    if (!in.has(data_len)) {
        vn_free_infopkt_data(pkt);
        return -2;
    }
    pkt->data = in.text(data_len);
    return 0;
}

int vn_datapkt_parse(vn_datapkt_t *pkt, int msgtype, const unsigned char *buf, size_t len)
{
    pkt->subject = nullptr;
    pkt->fields = nullptr;
    pkt->count = 0;
    pkt->time = 0;
    Reader in{buf, len};
    if (!in.has(8))
        return -2;
    pkt->seq = in.u16();
    pkt->flags = in.u16();
    pkt->type = in.u16();
    size_t subject_len = in.u16();
    if (!in.has(subject_len + 2))
        return -2;
    pkt->subject = in.text(subject_len);
    uint16_t announced = in.u16();
    bool wide = msgtype == VN_DATAUPDATE;
    // A field takes at least its head and a 2-byte length; a count the payload
    // cannot hold fails before anything is allocated for it.
    if (announced > in.left / (wide ? 6 : 4)) {
        vn_free_datapkt_data(pkt);
        return -1;
    }
    if (announced != 0)
        pkt->fields = static_cast<vn_field_t *>(vn_malloc(field_capacity(announced) * sizeof(vn_field_t)));
    while (pkt->count < announced) {
        if (!(wide ? read_field<true>(in, pkt->type, &pkt->fields[pkt->count])
                   : read_field<false>(in, pkt->type, &pkt->fields[pkt->count]))) {
            vn_free_datapkt_data(pkt);
            return -1;
        }
        pkt->count++;
    }
    return 0;
}

int _vn_datapkt_reparse(vn_datapkt_t *pkt, int msgtype, const unsigned char *buf, size_t len)
{
    uint16_t kept = pkt->count; // values [0, kept) are buffers to refill
    pkt->time = 0;
    // On failure the record is emptied, its `valid` first values freed.
    auto fail = [pkt](int code, uint16_t valid) {
        pkt->count = valid;
        vn_free_datapkt_data(pkt);
        return code;
    };
    Reader in{buf, len};
    if (!in.has(8))
        return fail(-2, kept);
    pkt->seq = in.u16();
    pkt->flags = in.u16();
    pkt->type = in.u16();
    size_t subject_len = in.u16();
    if (!in.has(subject_len + 2))
        return fail(-2, kept);
    pkt->subject = in.text(subject_len, pkt->subject);
    uint16_t announced = in.u16();
    bool wide = msgtype == VN_DATAUPDATE;
    if (announced > in.left / (wide ? 6 : 4))
        return fail(-1, kept);
    // The array keeps at least the capacity the record's adders assume for its
    // count; the allocator is asked only when that is not enough.
    size_t needed = field_capacity(announced);
    size_t room = kept != 0 ? field_capacity(kept) : 0;
    if (announced != 0 && room < needed && pkt->fields != nullptr)
        room = malloc_usable_size(pkt->fields) / sizeof(vn_field_t);
    if (announced != 0 && room < needed)
        pkt->fields = static_cast<vn_field_t *>(vn_realloc(pkt->fields, needed * sizeof(vn_field_t)));
    uint16_t parsed = wide ? refill_fields<true>(in, pkt, announced, kept)
                           : refill_fields<false>(in, pkt, announced, kept);
    if (parsed < announced)
        return fail(-1, std::max(parsed, kept));
    for (uint16_t i = announced; i < kept; i++)
        vn_free(pkt->fields[i].value);
    pkt->count = announced;
    return 0;
}

/* Request batching */

uint16_t _vn_reqpkt_pack(const vn_reqpkt_t *list, uint16_t first, unsigned char *buf, size_t *len)
{
    vn_reqpkt_t window = *list;
    // Past the end there is nothing to pack; the subtraction below would wrap.
    window.count = first < list->count ? static_cast<uint16_t>(list->count - first) : 0;
    window.subjects = list->subjects + first;
    vn_reqpkt_serialise(&window, buf, len);
    return window.count;
}

} // extern "C"

namespace {

constexpr uint16_t kPendingSlots = 64;
constexpr size_t kRequestMessageBytes = 8192;

// Sends the pending subjects as as many messages as they need, under the
// peer's lock so that they stay in order with other senders. Subjects left
// when the peer has no queue are dropped. So are those for a peer marked
// down: its walk has already moved them elsewhere, and a queue kept for the
// next link would still carry them there.
void reqpkt_send_internal(int type, int peer, vn_reqpkt_t *list)
{
    peer_t *conn = _vn_peer(peer);
    if (conn == nullptr)
        return;
    peer_log_turn turn; // the requests' records are written once the lock is released
    peer_mutex_guard hold(conn->peer_lock);
    if (!peer_marked_up(conn))
        return;
    uint16_t first = 0;
    while (conn->msgq != nullptr && first < list->count) {
        unsigned char buf[kRequestMessageBytes];
        size_t len = sizeof buf;
        uint16_t sent = _vn_reqpkt_pack(list, first, buf, &len);
        if (sent == 0) {
            first++; // a subject that fits no message on its own is dropped
            continue;
        }
        vn_msg_t msg{};
        msg.type = static_cast<uint16_t>(type);
        msg.len = static_cast<uint32_t>(len);
        msg.msg = buf;
        _vn_peer_log_msg(conn, &msg);
        vn_msgq_send_msg_stream_buffer(conn->msgq, &msg);
        _vn_peer_update_reqdsc_count(conn, type, sent);
        first = static_cast<uint16_t>(first + sent);
    }
}

} // namespace

extern "C" {

void _vn_reqpkt_add(int type, int peer, vn_reqpkt_t *list, char *subject)
{
    if (list->count == 0 || list->subjects == nullptr) {
        vn_free(list->subjects);
        list->subjects = static_cast<char **>(vn_malloc(kPendingSlots * sizeof(char *)));
        list->count = 0;
    }
    list->subjects[list->count++] = subject;
    if (list->count == kPendingSlots)
        _vn_reqpkt_send(type, peer, list);
}

void _vn_reqpkt_send(int type, int peer, vn_reqpkt_t *list)
{
    if (list->count == 0)
        return;
    reqpkt_send_internal(type, peer, list);
    list->count = 0;
    vn_free(list->subjects);
    list->subjects = nullptr;
}

} // extern "C"
