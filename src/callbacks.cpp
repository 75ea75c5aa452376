// The callback layer: every inbound event handed to the application's
// callbacks of the start-up record, with subjects mapped back to the
// application's names.
//
// Threads: deliveries are called on the thread that received the event. By
// default each is handed to the init thread (callbacks_handoff.cpp), so the
// application's callbacks run one at a time on the init thread while the
// caller waits; the argument records may therefore live on the caller's
// stack. The updates of a read pass are queued instead and the pass waits
// for them at its end; one that the application's discard or purge may have
// overtaken is screened again when its turn comes. With
// enable-threaded-callbacks they run on the calling thread itself. No lock
// of this module is held during a callback.
#include "advmap.h"
#include "vantrix_private.h"

#include <pthread.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kLevelNotify = 4;

// Option variable.
char c_threaded_callbacks = 0;

struct app_callbacks_t {
    recv_request_t request;
    recv_discard_t discard;
    recv_update_t update;
    recv_nodata_t nodata;
    recv_peer_status_t peer_status;
    recv_object_status_t object_status;
    recv_service_status_t service_status;
};

app_callbacks_t callbacks;
tarvelutil_signalany_t *callbacks_handler;
pthread_t init_thread;

struct reqpkt_delivery_t {
    int peer;
    const vn_reqpkt_t *request;
    bool flags_slot; // requests carry the flags in one extra last slot
};

struct data_delivery_t {
    int peer;
    vn_data_t *data;
};

struct peer_status_delivery_t {
    int peer;
    int status;
    int value;
    void *data;
};

struct object_status_delivery_t {
    int peer;
    const char *subject;
    int state;
    uint16_t code;
    const char *message;
};

struct service_status_delivery_t {
    const char *service;
    int state;
    const _vn_callbacks_mark_t *made; // may be null
};

// On the init thread itself a delivery runs at once: waiting for oneself
// would never return.
bool inline_delivery()
{
    return c_threaded_callbacks || callbacks_handler == nullptr || pthread_equal(init_thread, pthread_self()) != 0;
}

// Runs a delivery at once; on the init thread, after the reports queued
// before it.
void deliver_at_once(tarvelutil_signalmain_cb_t deliver, void *record)
{
    _vn_callbacks_line_first();
    deliver(0, record);
}

// Runs a delivery inline or on the init thread, and returns once it has run.
void run(tarvelutil_signalmain_cb_t deliver, void *record)
{
    if (inline_delivery()) {
        deliver_at_once(deliver, record);
        return;
    }
    _vn_callbacks_handoff(deliver, record);
}

// Subjects mapped back into fresh copies; requests get the flags value in one
// extra last slot.
int deliver_reqpkt(int, void *record)
{
    const reqpkt_delivery_t *delivery = static_cast<const reqpkt_delivery_t *>(record);
    const vn_reqpkt_t *request = delivery->request;
    int count = request->count;
    std::vector<char *> names(static_cast<size_t>(count) + (delivery->flags_slot ? 1 : 0));
    char mapped[VN_MAP_BUFFER_BYTES];
    for (int i = 0; i < count; i++)
        names[i] = vn_strdup(_vn_map_rev_name(request->subjects[i], mapped));
    if (delivery->flags_slot) {
        names[count] = reinterpret_cast<char *>(static_cast<uintptr_t>(request->flags));
        callbacks.request(delivery->peer, count, names.data(), request->flags);
    } else {
        callbacks.discard(delivery->peer, count, names.data(), request->flags);
    }
    for (int i = 0; i < count; i++)
        vn_free(names[i]);
    return 0;
}

// Replaces the record's subject by its application name when that differs.
void map_record_back(vn_data_t *data)
{
    if (data->subject == nullptr)
        return;
    char mapped[VN_MAP_BUFFER_BYTES];
    const char *name = _vn_map_rev_name(data->subject, mapped);
    if (name == data->subject || std::strcmp(name, data->subject) == 0)
        return;
    char *copy = vn_strdup(name);
    vn_free(data->subject);
    data->subject = copy;
}

int deliver_update(int, void *record)
{
    const data_delivery_t *delivery = static_cast<const data_delivery_t *>(record);
    map_record_back(delivery->data);
    callbacks.update(delivery->peer, delivery->data);
    return 0;
}

// The subject (peers' namespace) still has a tracker: a discard or purge
// since the update was screened has not removed it.
bool still_tracked(const char *subject)
{
    if (!advmap_running())
        return true;
    if (find_object(subject, kLockRead) == nullptr)
        return false;
    release_object(subject, kLockRead);
    return true;
}

// A queued update, on the init thread; the queue owns the record.
void deliver_queued_update(int peer, vn_data_t *data, uint64_t epoch)
{
    if (epoch != _vn_callbacks_drop_epoch() && data->subject != nullptr && !still_tracked(data->subject))
        return;
    data_delivery_t delivery{peer, data};
    deliver_update(0, &delivery);
}

int deliver_nodata(int, void *record)
{
    const data_delivery_t *delivery = static_cast<const data_delivery_t *>(record);
    map_record_back(delivery->data);
    callbacks.nodata(delivery->peer, delivery->data->subject, delivery->data->flags);
    return 0;
}

int deliver_peer_status(int, void *record)
{
    const peer_status_delivery_t *delivery = static_cast<const peer_status_delivery_t *>(record);
    callbacks.peer_status(delivery->peer, delivery->status, delivery->value, delivery->data);
    return 0;
}

int deliver_object_status(int, void *record)
{
    const object_status_delivery_t *delivery = static_cast<const object_status_delivery_t *>(record);
    char mapped[VN_MAP_BUFFER_BYTES];
    // The application's type takes writable texts: it gets copies it may change.
    std::string subject = _vn_map_rev_name(delivery->subject, mapped);
    std::string message = delivery->message != nullptr ? delivery->message : "";
    callbacks.object_status(delivery->peer, subject.data(), delivery->state, delivery->code,
                            delivery->message != nullptr ? message.data() : nullptr);
    return 0;
}

int deliver_service_status(int, void *record)
{
    const service_status_delivery_t *delivery = static_cast<const service_status_delivery_t *>(record);
    // Delivered inline on the init thread, it may still owe the updates of
    // the thread that made it; through the report line it owes nothing.
    _vn_callbacks_catch_up(delivery->made);
    std::string name = delivery->service;
    callbacks.service_status(name.data(), delivery->state);
    return 0;
}

} // namespace

extern "C" {

void _vn_callbacks_config_init(void)
{
    // A new configuration starts from the default: the registry takes the
    // variable's value as its default.
    c_threaded_callbacks = 0;
    vn_config_add_option(0, "enable-threaded-callbacks", "Enabled threaded callbacks", VN_CONFIG_BOOL,
                         &c_threaded_callbacks);
}

void _vn_callbacks_init(vn_init_t *init)
{
    callbacks = {init->recv_request,     init->recv_discard,       init->recv_update,        init->recv_nodata,
                 init->recv_peer_status, init->recv_object_status, init->recv_service_status};
    if (c_threaded_callbacks) {
        vn_log(init->log, kLevelNotify, "Enabling multithreaded callbacks\n");
        _vn_callbacks_handoff_init(nullptr);
        return;
    }
    callbacks_handler = tarvelutil_signalany_create(init->log);
    init_thread = pthread_self();
    _vn_callbacks_handoff_init(callbacks_handler);
}

void _vn_callbacks_recv_request(int peer, vn_reqpkt_t *request)
{
    if (callbacks.request == nullptr)
        return;
    reqpkt_delivery_t delivery{peer, request, true};
    run(deliver_reqpkt, &delivery);
}

void _vn_callbacks_recv_discard(int peer, vn_reqpkt_t *request)
{
    if (callbacks.discard == nullptr)
        return;
    reqpkt_delivery_t delivery{peer, request, false};
    run(deliver_reqpkt, &delivery);
}

void _vn_callbacks_recv_update(int peer, vn_data_t *data)
{
    if (callbacks.update == nullptr)
        return;
    if (!inline_delivery() && _vn_callbacks_handoff_update(peer, data, deliver_queued_update) != 0)
        return;
    data_delivery_t delivery{peer, data};
    run(deliver_update, &delivery);
}

void _vn_callbacks_recv_nodata(int peer, vn_data_t *nodata)
{
    if (callbacks.nodata == nullptr)
        return;
    data_delivery_t delivery{peer, nodata};
    run(deliver_nodata, &delivery);
}

void _vn_callbacks_recv_peer_status(int peer, int status, int value, void *data)
{
    if (callbacks.peer_status == nullptr)
        return;
    peer_status_delivery_t delivery{peer, status, value, data};
    run(deliver_peer_status, &delivery);
}

void _vn_callbacks_recv_object_status(int peer, const char *subject, int state, uint16_t code, const char *message)
{
    if (callbacks.object_status == nullptr)
        return;
    object_status_delivery_t delivery{peer, subject, state, code, message};
    run(deliver_object_status, &delivery);
}

int _vn_callbacks_wants_object_status(void)
{
    return callbacks.object_status != nullptr ? 1 : 0;
}

void _vn_callbacks_recv_service_status(const char *service, int state, const _vn_callbacks_mark_t *made)
{
    if (callbacks.service_status == nullptr)
        return;
    service_status_delivery_t delivery{service, state, made};
    if (inline_delivery())
        deliver_at_once(deliver_service_status, &delivery);
    else
        _vn_callbacks_report_and_wait(deliver_service_status, &delivery, made);
}

} // extern "C"
