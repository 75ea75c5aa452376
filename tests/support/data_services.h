// A process with peers and data services read from a real configuration file
// and started on the test's thread, without connections: the test marks peers
// up and down and hands in what a peer would send, as the peer layer does.
#ifndef VANTRIX_TEST_DATA_SERVICES_H
#define VANTRIX_TEST_DATA_SERVICES_H

#include "advmap.h"
#include "peer.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace vntest {

// One call of an application callback, as the application saw it.
struct AppEvent {
    std::string kind{}; // request, discard, update, nodata, peer, object, service
    int peer = -2;
    std::string subject{};
    int state = -1;
    int code = -1;
    std::string message{};
};

// Points the record's seven callbacks at a recorder of AppEvents.
void record_callbacks(vn_init_t *init);
std::vector<AppEvent> recorded_events();
// Runs `hook` after each recorded event, inside the application's callback
// (null: none).
void on_app_event(std::function<void(const AppEvent &)> hook);
// Runs the calling thread's loop until `done` holds (checked every
// millisecond); false when it did not within a generous bound.
bool run_loop_until(const std::function<bool()> &done);

class DataServicesTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Reads `conf` and starts the init thread's loop, the callback layer and
    // data services; returns what went to standard error, unless `capture`
    // is off (death tests watch it themselves).
    std::string start(const std::string &conf, bool capture = true);
    // Marks a peer up or down and tells data services, as the peer layer does.
    void up(const std::string &label);
    void down(const std::string &label);
    int peer(const std::string &label) const;

    // Runs the init thread's loop until `done` holds (checked every
    // millisecond); false when it did not within a generous bound.
    bool run_until(const std::function<bool()> &done);
    // Runs the loop until the queued deliveries of this moment have run.
    void settle();

    // The labels of the peers a subject was requested from, in peer order.
    std::vector<std::string> hints(const std::string &subject);
    // A peer entry's subscription count ("service-group-priority-label").
    long subscriptions(const std::string &entry);

    // The name of a data-service monitoring template ("" the top one, "peer", ...).
    static std::string template_name(const std::string &suffix);

    // What a peer would hand in.
    void update(const std::string &label, const std::string &subject, uint16_t flags = 0);
    void nodata(const std::string &label, const std::string &subject, uint16_t reason);
    void status(const std::string &label, const std::string &subject, uint16_t flags, uint16_t code = 0);

    std::vector<AppEvent> events();
    std::vector<AppEvent> events_of(const std::string &kind);

    TempRoot root_;
    vn_init_t init_{};
};

} // namespace vntest

#endif
