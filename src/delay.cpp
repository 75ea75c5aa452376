// Delay channels: each channel collects the records given to it in batches
// and re-sends every batch a fixed delay after the batch closes, under the
// subject with the channel's prefix in front.
//
// Threads: records may be queued from any thread; a channel's open batch is
// guarded by its own mutex. Batch and send timers always run on the init
// thread's loop (a sending thread may have no loop, or stop it), so every
// delayed send of every channel happens there, one at a time. A record that
// several configured channels share carries a count of the channels still
// to send it; the last one frees it, whatever the delays and batch times.
//
// Live and delayed sends go on through the data sender installed before the
// channels (the active cache's, when it runs), so that it sees every record
// once. That sender owns what it is given: it gets a copy, since the channels
// keep the record, except the direct sender, whose keeping form sends alike.
#include "vantrix_private.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr double kDefaultBatchTime = 0.5;
constexpr int kDefaultBatchSize = 10;
constexpr int kUnsetBatchSize = -1;
// The batch size only sizes the batch array, which grows by it as needed; a
// huge size must not reserve memory the batches never use.
constexpr int kMaxBatchSize = 65536;

// One add-delay group as the configuration fills it.
struct delay_config_t {
    double delay_time;
    char *prefix;
    double batch_time;
    int batch_size;
};

const delay_config_t kDelayTemplate = {0.0, nullptr, 0.0, kUnsetBatchSize};

// A record on its way through channels. Records of configured channels are
// owned and freed by the last channel to send them; those of channels the
// application made stay the application's.
struct DelayedRecord {
    vn_data_t *data;
    std::atomic<int> channels_left;
    bool owned;
};

// Options
delay_config_t *delay_array;
int delay_num;
char c_block_realtime;
double c_delay_batch_time = kDefaultBatchTime;
int c_delay_batch_size = kDefaultBatchSize;

// Channels live as long as the process: no call ends one, and exit hooks may
// still find records queued on them. The lists are never destroyed.
std::vector<vn_delay_t *> &configured_channels = *new std::vector<vn_delay_t *>;
std::vector<vn_delay_t *> &application_channels = *new std::vector<vn_delay_t *>;
std::mutex application_channels_mutex;
tarvelutil_signalany_t *delay_handler; // the init thread's channel for batch timers
vn_send_data_func_t downstream_send = vn_send_data_direct; // set at start-up, read-only after

} // namespace

struct _vn_delay {
    double delay_time;
    double batch_time;
    size_t start_size; // first capacity of a batch, and the step it grows by
    std::string prefix;
    vn_delay_send_cb callback;
    void *callback_param;
    std::mutex lock; // the open batch and timer_running
    std::vector<DelayedRecord *> queue;
    bool timer_running = false;
};

namespace {

// A closed batch waiting for its delay.
struct DelayBatch {
    vn_delay_t *delay;
    std::vector<DelayedRecord *> records;
};

// Sends a record the caller keeps through the sender installed before the channels.
void pass_on(vn_data_t *data)
{
    if (downstream_send == vn_send_data_direct)
        vn_send_data_no_free(data);
    else
        downstream_send(_vn_datapkt_copy(data));
}

void send_delay_callback(void *, vn_data_t *data)
{
    pass_on(data);
}

std::string default_prefix(double delay_time)
{
    char text[64];
    std::snprintf(text, sizeof text, "/%g", delay_time);
    return text;
}

vn_delay_t *new_channel(double delay_time, const char *prefix, double batch_time, int batch_size)
{
    vn_delay_t *delay = new vn_delay_t;
    delay->delay_time = delay_time;
    delay->batch_time = batch_time > 0 ? batch_time : c_delay_batch_time;
    delay->start_size = static_cast<size_t>(std::clamp(batch_size, 1, kMaxBatchSize));
    delay->prefix = prefix != nullptr ? prefix : default_prefix(delay_time);
    delay->callback = send_delay_callback;
    delay->callback_param = nullptr;
    delay->queue.reserve(delay->start_size);
    return delay;
}

void send_delayed(vn_delay_t *delay, DelayedRecord *record)
{
    vn_data_t *data = record->data;
    // The prefixed subject stands in only for the call: other channels send
    // the same record under their own prefixes.
    std::string subject = delay->prefix + (data->subject != nullptr ? data->subject : "");
    char *original = data->subject;
    data->subject = subject.data();
    delay->callback(delay->callback_param, data);
    data->subject = original;
    if (record->channels_left.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        if (record->owned)
            vn_free_data(data);
        delete record;
    }
}

int delay_send_batch(int, int, void *data)
{
    DelayBatch *batch = static_cast<DelayBatch *>(data);
    for (DelayedRecord *record : batch->records)
        send_delayed(batch->delay, record);
    delete batch;
    return 0;
}

// The batch timer: closes a non-empty batch and sends it one delay later;
// an empty batch stops the timer until the next record starts it again.
int delay_queue_batch(int, int, void *data)
{
    vn_delay_t *delay = static_cast<vn_delay_t *>(data);
    DelayBatch *batch = nullptr;
    {
        std::lock_guard<std::mutex> hold(delay->lock);
        if (delay->queue.empty()) {
            delay->timer_running = false;
            return 0;
        }
        batch = new DelayBatch{delay, std::move(delay->queue)};
        delay->queue = {};
        delay->queue.reserve(delay->start_size);
    }
    vn_add_timed_event(0, delay->delay_time, delay_send_batch, static_cast<int>(batch->records.size()), batch);
    return 1;
}

int start_batch_timer(int, void *data)
{
    vn_delay_t *delay = static_cast<vn_delay_t *>(data);
    vn_add_timed_event(0, delay->batch_time, delay_queue_batch, 0, delay);
    return 0;
}

void enqueue(vn_delay_t *delay, DelayedRecord *record)
{
    bool start_timer = false;
    {
        std::lock_guard<std::mutex> hold(delay->lock);
        std::vector<DelayedRecord *> &queue = delay->queue;
        if (queue.size() == queue.capacity())
            queue.reserve(queue.capacity() + delay->start_size);
        queue.push_back(record);
        start_timer = !delay->timer_running;
        delay->timer_running = true;
    }
    if (!start_timer)
        return;
    // Posted, not run under the channel's lock: on the init thread the post runs at once.
    if (delay_handler != nullptr)
        tarvelutil_signalany_exec(delay_handler, 0, start_batch_timer, delay, 1);
    else
        start_batch_timer(0, delay);
}

void queue_on_configured(vn_data_t *data)
{
    DelayedRecord *record = new DelayedRecord{data, static_cast<int>(configured_channels.size()), true};
    for (vn_delay_t *delay : configured_channels)
        enqueue(delay, record);
}

// The data senders installed with configured channels.
void delay_send_blocked(vn_data_t *data)
{
    if (data != nullptr)
        queue_on_configured(data);
}

void delay_send_realtime(vn_data_t *data)
{
    if (data == nullptr)
        return;
    pass_on(data);
    queue_on_configured(data);
}

void make_configured_channels()
{
    for (int i = 0; i < delay_num; i++) {
        const delay_config_t &config = delay_array[i];
        int batch_size = config.batch_size == kUnsetBatchSize ? c_delay_batch_size : config.batch_size;
        configured_channels.push_back(new_channel(config.delay_time, config.prefix, config.batch_time, batch_size));
    }
}

} // namespace

extern "C" {

void _vn_delay_config_init(void)
{
    static const int kMinBatchSize = 1;
    static const double kMinBatchTime = 0.001;
    c_block_realtime = 0;
    c_delay_batch_time = kDefaultBatchTime;
    c_delay_batch_size = kDefaultBatchSize;
    vn_config_add_group("add-delay", "!Delaying|!Add a Delay Channel", &delay_array, &kDelayTemplate,
                        sizeof(delay_config_t), &delay_num);
    vn_config_add_option(0, "delay-time", "Delay Time in Seconds", VN_CONFIG_DOUBLE,
                         reinterpret_cast<void *>(offsetof(delay_config_t, delay_time)));
    vn_config_add_option(0, "prefix", "Name Mapping Before default", VN_CONFIG_STRING,
                         reinterpret_cast<void *>(offsetof(delay_config_t, prefix)));
    vn_config_add_option(0, "batch-time", "Delay Batch Time", VN_CONFIG_DOUBLE,
                         reinterpret_cast<void *>(offsetof(delay_config_t, batch_time)));
    vn_config_add_option(0, "batch-size", "Delay Batch Size", VN_CONFIG_INT,
                         reinterpret_cast<void *>(offsetof(delay_config_t, batch_size)));
    vn_config_end_group("end-delay", "End Delay Channel Section");
    vn_config_add_option(0, "block-realtime", "!Delaying|!Block non delayed updates", VN_CONFIG_BOOL,
                         &c_block_realtime);
    vn_config_add_bounded_option(0, "delay-batch-time", "!Delaying|!Delay Batch Time", VN_CONFIG_DOUBLE,
                                 &c_delay_batch_time, &kMinBatchTime, nullptr);
    vn_config_add_bounded_option(0, "delay-batch-size", "!Delaying|!Delay Batch Size", VN_CONFIG_INT,
                                 &c_delay_batch_size, &kMinBatchSize, nullptr);
}

void _vn_delay_init(vn_init_t *init)
{
    // Channels the application makes later need the init thread's channel too.
    delay_handler = tarvelutil_signalany_create(init->log);
    // A second start-up in one process must not make the channels their own downstream.
    if (vn_send_data_func != delay_send_blocked && vn_send_data_func != delay_send_realtime)
        downstream_send = vn_send_data_func;
    if (delay_num == 0)
        return;
    make_configured_channels();
    vn_send_data_func = c_block_realtime ? delay_send_blocked : delay_send_realtime;
}

vn_delay_t *vn_new_delay_with_callback(double delay_time, const char *prefix, double batch_time, void *callback_param,
                                       vn_delay_send_cb callback_func)
{
    vn_delay_t *delay = new_channel(delay_time, prefix, batch_time, c_delay_batch_size);
    if (callback_func != nullptr) {
        delay->callback = callback_func;
        delay->callback_param = callback_param;
    }
    std::lock_guard<std::mutex> hold(application_channels_mutex);
    application_channels.push_back(delay);
    return delay;
}

vn_delay_t *vn_new_delay(double delay_time, const char *prefix, double batch_time)
{
    return vn_new_delay_with_callback(delay_time, prefix, batch_time, nullptr, nullptr);
}

void vn_delay_data(vn_delay_t *delay, vn_data_t *data)
{
    if (delay == nullptr || data == nullptr)
        return;
    enqueue(delay, new DelayedRecord{data, 1, false});
}

} // extern "C"
