#include "data_services.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

namespace vntest {

namespace {

constexpr std::chrono::seconds kBound{30};
constexpr double kPollSeconds = 0.001;

std::mutex events_mutex;
std::vector<AppEvent> recorded;

std::function<void(const AppEvent &)> event_hook;

void record(AppEvent event)
{
    {
        std::lock_guard<std::mutex> hold(events_mutex);
        recorded.push_back(event);
    }
    if (event_hook)
        event_hook(event);
}

void on_request(int peer, int count, char **subjects, uint16_t)
{
    for (int i = 0; i < count; i++)
        record({"request", peer, subjects[i]});
}

void on_discard(int peer, int count, char **subjects, uint16_t)
{
    for (int i = 0; i < count; i++)
        record({"discard", peer, subjects[i]});
}

void on_update(int peer, vn_data_t *data)
{
    record({"update", peer, data->subject});
}

void on_nodata(int peer, char *subject, uint16_t flags)
{
    record({"nodata", peer, subject, -1, flags});
}

void on_peer_status(int peer, int status, int value, void *)
{
    record({"peer", peer, "", status, value});
}

void on_object_status(int peer, char *subject, int state, uint16_t code, char *message)
{
    record({"object", peer, subject, state, code, message != nullptr ? message : ""});
}

void on_service_status(char *service, int state)
{
    record({"service", -1, service, state});
}

struct poll_t {
    const std::function<bool()> *done;
    std::chrono::steady_clock::time_point deadline;
    bool met;
};

int poll_condition(int, int, void *data)
{
    poll_t *poll = static_cast<poll_t *>(data);
    poll->met = (*poll->done)();
    if (poll->met || std::chrono::steady_clock::now() > poll->deadline) {
        vn_stop();
        return 0;
    }
    return 1;
}

} // namespace

void record_callbacks(vn_init_t *init)
{
    init->recv_request = on_request;
    init->recv_discard = on_discard;
    init->recv_update = on_update;
    init->recv_nodata = on_nodata;
    init->recv_peer_status = on_peer_status;
    init->recv_object_status = on_object_status;
    init->recv_service_status = on_service_status;
}

void on_app_event(std::function<void(const AppEvent &)> hook)
{
    event_hook = std::move(hook);
}

std::vector<AppEvent> recorded_events()
{
    std::lock_guard<std::mutex> hold(events_mutex);
    return recorded;
}

bool run_loop_until(const std::function<bool()> &done)
{
    if (done())
        return true;
    poll_t poll{&done, std::chrono::steady_clock::now() + kBound, false};
    vn_add_timed_event(0, kPollSeconds, poll_condition, 0, &poll);
    vn_loop();
    return poll.met;
}

void DataServicesTest::SetUp()
{
    peer_array = nullptr;
    peer_num = vn_num_peers = 0;
    event_hook = nullptr;
    std::lock_guard<std::mutex> hold(events_mutex);
    recorded.clear();
}

void DataServicesTest::TearDown() {}

std::string DataServicesTest::start(const std::string &conf, bool capture)
{
    root_.write("ds.conf", conf);
    std::vector<std::string> args{"ds_test", "-r", root_.path()};
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    // Through a file: a death test captures standard error itself.
    std::string err_file = root_.file("stderr.txt");
    int saved = -1;
    if (capture) {
        std::fflush(stderr);
        saved = dup(2);
        int fd = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        close(fd);
    }
    vn_config_init("ds.conf", static_cast<int>(argv.size()), argv.data());
    vn_config_parse_files();
    // What the peer layer's start-up fixes for each record.
    vn_num_peers = peer_num;
    for (int i = 0; i < peer_num; i++)
        peer_array[i].num = i;
    peer_recalc_types();
    record_callbacks(&init_);
    _vn_event_init(&init_);
    _vn_event_thread_init(&init_, 0, 0);
    init_.log = vn_new_level_log("event_log", root_.file("event.log").c_str(), nullptr);
    _vn_callbacks_init(&init_);
    _vn_advmap_init(&init_);
    if (!capture)
        return "";
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    return read_file(err_file);
}

int DataServicesTest::peer(const std::string &label) const
{
    return vn_peer_by_label(label.c_str());
}

void DataServicesTest::up(const std::string &label)
{
    peer_t *conn = _vn_peer(peer(label));
    peer_mark_up(conn);
    _vn_advmap_recv_peer_status(conn->num, kPeerUp, conn->remote_id, conn->remote_name);
}

void DataServicesTest::down(const std::string &label)
{
    peer_t *conn = _vn_peer(peer(label));
    peer_mark_down(conn);
    _vn_advmap_recv_peer_status(conn->num, kPeerDown, conn->remote_id, conn->remote_name);
}

bool DataServicesTest::run_until(const std::function<bool()> &done)
{
    return run_loop_until(done);
}

void DataServicesTest::settle()
{
    // A call queued now runs after everything queued before it. State
    // reports wait in a line of their own, which the loop may leave for
    // other events when the line runs long: a report of the test's own
    // runs after every report queued before it.
    int ran = 0;
    vn_add_timed_event(
        0, 0,
        [](int, int, void *data) {
            ++*static_cast<int *>(data);
            return 0;
        },
        0, &ran);
    int markers = 1 + _vn_callbacks_report(
                          [](int, void *data) {
                              ++*static_cast<int *>(data);
                              return 0;
                          },
                          &ran);
    run_until([&] { return ran == markers; });
}

std::vector<std::string> DataServicesTest::hints(const std::string &subject)
{
    int count = 0;
    const char **labels = vn_get_request_hints(subject.c_str(), &count);
    std::vector<std::string> out;
    for (int i = 0; i < count; i++)
        out.emplace_back(labels[i]);
    vn_free(labels);
    return out;
}

long DataServicesTest::subscriptions(const std::string &entry)
{
    vn_monitor_t *value = vnmon_get_active(template_name("peer").c_str(), entry.c_str(), "num-subscriptions");
    if (value == nullptr)
        return -1000;
    long count = static_cast<int32_t>(value->data.ul);
    vn_monitor_free(value);
    return count;
}

std::string DataServicesTest::template_name(const std::string &suffix)
{
    char name[2048];
    std::string format = suffix.empty() ? "%a.dataservices" : "%a.dataservices." + suffix;
    vn_filename_expand(format.c_str(), name, sizeof name);
    return name;
}

void DataServicesTest::update(const std::string &label, const std::string &subject, uint16_t flags)
{
    vn_data_t *data = vn_new_datapkt(subject.c_str(), 222, flags);
    vn_datapkt_add_field(data, 1, "x");
    _vn_advmap_recv_update(peer(label), data);
    vn_free_datapkt(data);
}

void DataServicesTest::nodata(const std::string &label, const std::string &subject, uint16_t reason)
{
    vn_data_t *data = vn_new_datapkt(subject.c_str(), 0, reason);
    _vn_advmap_recv_nodata(peer(label), data);
    vn_free_datapkt(data);
}

void DataServicesTest::status(const std::string &label, const std::string &subject, uint16_t flags, uint16_t code)
{
    std::string name = subject;
    char message[] = "from source";
    _vn_advmap_recv_object_status(peer(label), name.data(), flags, code, message);
}

std::vector<AppEvent> DataServicesTest::events()
{
    return recorded_events();
}

std::vector<AppEvent> DataServicesTest::events_of(const std::string &kind)
{
    std::vector<AppEvent> out;
    for (const AppEvent &event : events()) {
        if (event.kind == kind)
            out.push_back(event);
    }
    return out;
}

} // namespace vntest
