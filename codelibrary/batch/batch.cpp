// The timed batcher: objects collected from any thread, closed into a batch
// by a periodic check and delivered object by object on the batcher's loop.
#include "vantrix_private.h"

#include <mutex>
#include <vector>

namespace {

constexpr double kDefaultCheckSeconds = 1.0;

struct batch_t {
    tarvelutil_batch_func callback;
    void *context;
    std::vector<void *> objects; // in the order added
    vn_timed_event_t *ev;        // the delivery event
};

} // namespace

struct _tarvelutil_batch {
    double batch_time; // seconds from closing a batch to delivering it
    std::mutex mutex;  // guards current_batch between adders and the check
    tarvelutil_batch_func callback;
    void *context;
    vn_timed_event_t *tev; // the periodic check
    batch_t *current_batch;
};

namespace {

struct _vn_log *library_log;

batch_t *new_batch()
{
    return new batch_t{nullptr, nullptr, {}, nullptr};
}

void deliver(batch_t *batch)
{
    for (void *object : batch->objects)
        batch->callback(batch->context, object);
    delete batch;
}

int on_delivery_due(int, int, void *data)
{
    deliver(static_cast<batch_t *>(data));
    return 0; // the event ends
}

// Takes the current batch when it holds objects, stamped with the batcher's
// callback, and leaves a fresh one open; null when it is empty.
batch_t *close_current(tarvelutil_batch_t *batcher)
{
    std::lock_guard<std::mutex> lock(batcher->mutex);
    batch_t *closed = batcher->current_batch;
    if (closed->objects.empty())
        return nullptr;
    closed->callback = batcher->callback;
    closed->context = batcher->context;
    batcher->current_batch = new_batch();
    return closed;
}

int on_check(int, int, void *data)
{
    tarvelutil_batch_t *batcher = static_cast<tarvelutil_batch_t *>(data);
    batch_t *closed = close_current(batcher);
    if (closed != nullptr)
        closed->ev = vn_add_timed_event(0, batcher->batch_time, on_delivery_due, 0, closed);
    return 1;
}

} // namespace

extern "C" {

int tarvelutil_batch_init(struct _vn_log *log)
{
    library_log = log;
    return 0;
}

tarvelutil_batch_t *tarvelutil_batch_create(tarvelutil_batch_func callback, void *context, double batch_time,
                                            double check_time)
{
    tarvelutil_batch_t *batcher = new tarvelutil_batch_t;
    batcher->batch_time = batch_time;
    batcher->callback = callback;
    batcher->context = context;
    batcher->current_batch = new_batch();
    double interval = check_time > 0 ? check_time : kDefaultCheckSeconds;
    batcher->tev = vn_add_timed_event(0, interval, on_check, 0, batcher);
    if (batcher->tev == nullptr) {
        // Without a loop on this thread nothing would ever be delivered.
        delete batcher->current_batch;
        delete batcher;
        return nullptr;
    }
    return batcher;
}

void tarvelutil_batch_add(tarvelutil_batch_t *batch, void *object)
{
    std::lock_guard<std::mutex> lock(batch->mutex);
    batch->current_batch->objects.push_back(object);
}

void tarvelutil_batch_delete(tarvelutil_batch_t *batch)
{
    if (batch == nullptr)
        return;
    {
        std::lock_guard<std::mutex> lock(batch->mutex);
        vn_del_timed_event(batch->tev);
        batch->tev = nullptr;
    }
    // Delivered outside the mutex, so a callback may add to this batcher;
    // what it adds is delivered too before the batcher goes.
    while (batch_t *closed = close_current(batch))
        deliver(closed);
    delete batch->current_batch;
    delete batch;
}

} // extern "C"
