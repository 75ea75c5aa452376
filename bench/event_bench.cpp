// Timed-event add/fire/delete and socket-watch dispatch per second on each
// back-end, against the same work done by a minimal loop written directly on
// epoll in the same run; the ratios are printed at the end.
#include "event.h"

#include <benchmark/benchmark.h>

#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr int kTimerBatch = 1000;
constexpr int kSockets = 64;
constexpr int kDispatchesPerRun = kSockets * 16;

double now_seconds()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return tv.tv_sec + tv.tv_usec / 1e6;
}

// ---- The baseline: an indexed timer heap and a socket table on epoll ----

struct RawTimer {
    double due;
    int slot;
    int (*callback)(void *);
    void *data;
};

struct RawWatch {
    int fd;
    int (*callback)(int, void *);
    void *data;
};

class RawLoop {
public:
    RawLoop() : epoll_fd_(epoll_create1(0)), watches_(65536, nullptr), ready_(256) {}
    ~RawLoop() { close(epoll_fd_); }

    RawTimer *add_timer(double delay, int (*callback)(void *), void *data)
    {
        RawTimer *timer = new RawTimer{now_seconds() + delay, static_cast<int>(heap_.size()), callback, data};
        heap_.push_back(timer);
        up(timer->slot);
        return timer;
    }

    void del_timer(RawTimer *timer)
    {
        int slot = timer->slot;
        RawTimer *last = heap_.back();
        heap_.pop_back();
        if (last != timer) {
            set(slot, last);
            down(slot);
            up(last->slot);
        }
        delete timer;
    }

    void add_read(int fd, int (*callback)(int, void *), void *data)
    {
        watches_[fd] = new RawWatch{fd, callback, data};
        struct epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.ptr = watches_[fd];
        epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev);
    }

    void del_read(int fd)
    {
        epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
        delete watches_[fd];
        watches_[fd] = nullptr;
    }

    void run()
    {
        stopped_ = false;
        while (!stopped_) {
            int timeout = -1;
            if (!heap_.empty()) {
                double wait = (heap_[0]->due - now_seconds()) * 1000.0;
                timeout = wait < 0 ? 0 : static_cast<int>(wait);
            }
            int ready = epoll_wait(epoll_fd_, ready_.data(), static_cast<int>(ready_.size()), timeout);
            fire_due(now_seconds());
            for (int i = 0; i < ready; i++) {
                RawWatch *watch = static_cast<RawWatch *>(ready_[static_cast<size_t>(i)].data.ptr);
                watch->callback(watch->fd, watch->data);
            }
        }
    }

    void stop() { stopped_ = true; }

private:
    void set(int slot, RawTimer *timer)
    {
        heap_[static_cast<size_t>(slot)] = timer;
        timer->slot = slot;
    }

    void up(int slot)
    {
        while (slot > 0 && heap_[static_cast<size_t>((slot - 1) / 2)]->due > heap_[static_cast<size_t>(slot)]->due) {
            RawTimer *parent = heap_[static_cast<size_t>((slot - 1) / 2)];
            set((slot - 1) / 2, heap_[static_cast<size_t>(slot)]);
            set(slot, parent);
            slot = (slot - 1) / 2;
        }
    }

    void down(int slot)
    {
        int size = static_cast<int>(heap_.size());
        for (;;) {
            int child = 2 * slot + 1;
            if (child >= size)
                return;
            if (child + 1 < size && heap_[static_cast<size_t>(child + 1)]->due < heap_[static_cast<size_t>(child)]->due)
                child++;
            if (heap_[static_cast<size_t>(child)]->due >= heap_[static_cast<size_t>(slot)]->due)
                return;
            RawTimer *moved = heap_[static_cast<size_t>(slot)];
            set(slot, heap_[static_cast<size_t>(child)]);
            set(child, moved);
            slot = child;
        }
    }

    void fire_due(double now)
    {
        while (!heap_.empty() && heap_[0]->due <= now) {
            RawTimer *timer = heap_[0];
            RawTimer *last = heap_.back();
            heap_.pop_back();
            if (last != timer) {
                set(0, last);
                down(0);
            }
            timer->callback(timer->data);
            delete timer;
        }
    }

    int epoll_fd_;
    bool stopped_ = false;
    std::vector<RawTimer *> heap_;
    std::vector<RawWatch *> watches_;
    std::vector<struct epoll_event> ready_;
};

// ---- Shared work ----

struct Countdown {
    int left = 0;
    RawLoop *raw = nullptr; // null for the vantrix loop
};

void finish(Countdown *countdown)
{
    if (--countdown->left != 0)
        return;
    if (countdown->raw != nullptr)
        countdown->raw->stop();
    else
        vn_stop();
}

int timer_fired(int, int, void *data)
{
    finish(static_cast<Countdown *>(data));
    return 0;
}

int raw_timer_fired(void *data)
{
    finish(static_cast<Countdown *>(data));
    return 0;
}

int socket_ready(sock_t, int, void *data)
{
    finish(static_cast<Countdown *>(data));
    return 1;
}

int raw_socket_ready(int, void *data)
{
    finish(static_cast<Countdown *>(data));
    return 1;
}

// Readable sockets that stay readable: each pass dispatches every one.
struct ReadySockets {
    std::vector<int> fds;
    ReadySockets()
    {
        for (int i = 0; i < kSockets; i++) {
            int ends[2];
            socketpair(AF_UNIX, SOCK_STREAM, 0, ends);
            if (write(ends[1], "x", 1) != 1)
                std::perror("write");
            fds.push_back(ends[0]);
            fds.push_back(ends[1]);
        }
    }
    ~ReadySockets()
    {
        for (int fd : fds)
            close(fd);
    }
    int reader(int i) const { return fds[static_cast<size_t>(2 * i)]; }
};

// ---- The benchmarks ----

void timed_add_fire(benchmark::State &state, int mask)
{
    _vn_event_thread_init(nullptr, mask, 0);
    Countdown countdown;
    for (auto _ : state) {
        countdown.left = kTimerBatch;
        for (int i = 0; i < kTimerBatch; i++)
            vn_add_timed_event(i, 0, timer_fired, 0, &countdown);
        vn_loop();
    }
    state.SetItemsProcessed(state.iterations() * kTimerBatch);
}

void raw_timed_add_fire(benchmark::State &state)
{
    RawLoop raw;
    Countdown countdown;
    countdown.raw = &raw;
    for (auto _ : state) {
        countdown.left = kTimerBatch;
        for (int i = 0; i < kTimerBatch; i++)
            raw.add_timer(0, raw_timer_fired, &countdown);
        raw.run();
    }
    state.SetItemsProcessed(state.iterations() * kTimerBatch);
}

void timed_add_delete(benchmark::State &state, int mask)
{
    _vn_event_thread_init(nullptr, mask, 0);
    Countdown countdown;
    std::vector<vn_timed_event_t *> events(kTimerBatch);
    for (auto _ : state) {
        for (int i = 0; i < kTimerBatch; i++)
            events[static_cast<size_t>(i)] = vn_add_timed_event(i, 60 + (i * 7919 % kTimerBatch), timer_fired, 0,
                                                                &countdown);
        for (vn_timed_event_t *ev : events)
            vn_del_timed_event(ev);
    }
    state.SetItemsProcessed(state.iterations() * kTimerBatch);
}

void raw_timed_add_delete(benchmark::State &state)
{
    RawLoop raw;
    Countdown countdown;
    std::vector<RawTimer *> timers(kTimerBatch);
    for (auto _ : state) {
        for (int i = 0; i < kTimerBatch; i++)
            timers[static_cast<size_t>(i)] = raw.add_timer(60 + (i * 7919 % kTimerBatch), raw_timer_fired, &countdown);
        for (RawTimer *timer : timers)
            raw.del_timer(timer);
    }
    state.SetItemsProcessed(state.iterations() * kTimerBatch);
}

void socket_dispatch(benchmark::State &state, int mask)
{
    _vn_event_thread_init(nullptr, mask, 0);
    ReadySockets sockets;
    Countdown countdown;
    std::vector<vn_read_event_t *> watches;
    for (int i = 0; i < kSockets; i++)
        watches.push_back(vn_add_read_event(sockets.reader(i), socket_ready, 0, &countdown));
    for (auto _ : state) {
        countdown.left = kDispatchesPerRun;
        vn_loop();
    }
    for (vn_read_event_t *watch : watches)
        vn_del_read_event(watch);
    state.SetItemsProcessed(state.iterations() * kDispatchesPerRun);
}

void raw_socket_dispatch(benchmark::State &state)
{
    RawLoop raw;
    ReadySockets sockets;
    Countdown countdown;
    countdown.raw = &raw;
    for (int i = 0; i < kSockets; i++)
        raw.add_read(sockets.reader(i), raw_socket_ready, &countdown);
    for (auto _ : state) {
        countdown.left = kDispatchesPerRun;
        raw.run();
    }
    for (int i = 0; i < kSockets; i++)
        raw.del_read(sockets.reader(i));
    state.SetItemsProcessed(state.iterations() * kDispatchesPerRun);
}

const std::pair<const char *, int> kBackends[] = {{"epoll", 1}, {"poll", 4}, {"select", 8}};
const std::pair<const char *, void (*)(benchmark::State &, int)> kWork[] = {
    {"TimedAddFire", timed_add_fire}, {"TimedAddDelete", timed_add_delete}, {"SocketDispatch", socket_dispatch}};
const std::pair<const char *, void (*)(benchmark::State &)> kBaseline[] = {
    {"TimedAddFire", raw_timed_add_fire},
    {"TimedAddDelete", raw_timed_add_delete},
    {"SocketDispatch", raw_socket_dispatch}};

// Prints as usual, then each back-end's rate as a share of the baseline's.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            auto rate = run.counters.find("items_per_second");
            if (rate != run.counters.end() && run.run_type == Run::RT_Iteration)
                rates_[run.benchmark_name()] = rate->second.value;
        }
    }

    void Finalize() override
    {
        ConsoleReporter::Finalize();
        std::printf("\n%-16s %-8s %14s %14s %8s\n", "work", "backend", "items/s", "raw epoll/s", "ratio");
        for (const auto &[work, fn] : kWork) {
            (void)fn;
            double baseline = rates_[std::string(work) + "/raw_epoll"];
            for (const auto &[backend, mask] : kBackends) {
                (void)mask;
                double rate = rates_[std::string(work) + "/" + backend];
                std::printf("%-16s %-8s %14.0f %14.0f %8.2f\n", work, backend, rate, baseline,
                            baseline > 0 ? rate / baseline : 0.0);
            }
        }
    }

private:
    std::map<std::string, double> rates_;
};

} // namespace

int main(int argc, char **argv)
{
    _vn_event_init(nullptr);
    for (const auto &[work, fn] : kWork) {
        for (const auto &[backend, mask] : kBackends)
            benchmark::RegisterBenchmark((std::string(work) + "/" + backend).c_str(), fn, mask);
    }
    for (const auto &[work, fn] : kBaseline)
        benchmark::RegisterBenchmark((std::string(work) + "/raw_epoll").c_str(), fn);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
