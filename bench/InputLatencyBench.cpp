// Input latency through the host: from a paired viewer handing a key or a
// pointer move to its session, over loopback QUIC, through the host's lease,
// queues and injector and XTest, until another X client's window reads the
// event. Against the same events injected with XTest by a local process in
// the same run ("xLocal", lower is better). The viewer reaches the host
// through a plain UDP relay on loopback, which notes when each datagram
// leaves it for the host: the host's own part (from its datagram arriving to
// the injector's post, measured on the host's side) is reported apart, as are
// the time from the hand-off to the post (the viewer's send included) and the
// rest (XTest to the window).

#include "Platform/Dispatch/Clock.h"
#include "Platform/EventPosting/EventPosterX11.h"
#include "Platform/EventPosting/Tests/InputRecorderX11.h"
#include "Platform/X11/XcbOpening.h"
#include "QuillmereMac/Tests/TestViewer.h"
#include "TestSupport/Host/TestHost.h"
#include "TestSupport/LossyRelay.h"
#include "TestSupport/XvfbServer.h"

#include <xcb/xtest.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <mutex>
#include <thread>

namespace quillmere {
namespace {

using namespace std::chrono_literals;
using testing::InputRecorderX11;

constexpr int samples = 300;
// Pointer moves stay well under the lease's motion budget of 1000 a second.
constexpr auto spacing = 2ms;

// Writes down when the injector posts each event.
class TimedPoster final : public EventPosting {
public:
    explicit TimedPoster(std::shared_ptr<EventPosting> inner) : inner_(std::move(inner)) {}
    void post(const Event& event) override {
        {
            std::lock_guard lock(mutex_);
            times_.push_back(Clock::nowNs());
        }
        inner_->post(event);
    }
    std::optional<KeyRepeatRate> keyRepeatRate() override { return inner_->keyRepeatRate(); }
    void releaseAll() override { inner_->releaseAll(); }
    std::uint64_t last() {
        std::lock_guard lock(mutex_);
        return times_.empty() ? 0 : times_.back();
    }

private:
    std::shared_ptr<EventPosting> inner_;
    std::mutex mutex_;
    std::vector<std::uint64_t> times_;
};

struct Quantiles {
    double p50 = 0;
    double p99 = 0;
};

Quantiles quantiles(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const auto at = [&](double q) {
        return values[std::min(values.size() - 1, static_cast<std::size_t>(q * static_cast<double>(values.size())))];
    };
    return {at(0.5), at(0.99)};
}

// The host, a paired viewer streaming the display with control granted, and
// the window that reads what arrives.
class Setup {
public:
    Setup() {
        if (!server.ready()) throw std::runtime_error(server.failure());
        recorder.emplace(server.displayName(), 100, 80, 480, 270);
        auto opened = EventPosterX11::open(XcbConnection::opener(server.displayName()));
        if (!opened) throw std::runtime_error(opened.error().description());
        poster = std::make_shared<TimedPoster>(*opened);
        host.emplace(testing::TestHost::Options{.pipelineDisplay = server.displayName(),
                                                .adjustPipeline = [&](MediaPipeline::Services& services) {
                                                    services.poster = poster;
                                                    services.permission = [] { return true; };
                                                }});
        const std::uint16_t port = host->start();
        relay.emplace(port);
        const LocalIdentity phone = host->pairThroughInvitation();
        viewer = std::make_unique<testing::TestViewer>(phone, host->identity.fingerprint, relay->port(),
                                                       host->defaults.defaults(), testing::TestViewer::Options{});
        using V = testing::TestViewer;
        if (!viewer->waitUntil([](const V& v) { return v.phase() == ClientSession::Phase::ready; }, 20s))
            throw std::runtime_error("viewer not ready");
        viewer->select(CaptureChoice::displayIDBase);
        if (!viewer->waitUntil([](const V& v) { return !v.decoded().empty(); }, 30s))
            throw std::runtime_error("no stream");
        viewer->sendControl(msg::InputControlRequest{});
        if (!viewer->waitUntil(
                [&](const V& v) {
                    for (const ClientAction& action : v.notices())
                        if (const auto* control = action.as<client::InputControl>()) {
                            generation = control->generation;
                            return control->state == InputControlStateValue::granted;
                        }
                    return false;
                },
                20s))
            throw std::runtime_error("control not granted");
        local = XcbOpening::connect(server.displayName().c_str(), nullptr);
        root = xcb_setup_roots_iterator(xcb_get_setup(local)).data->root;
    }
    ~Setup() { xcb_disconnect(local); }

    void send(InputEvent event) { viewer->sendControl(msg::Input{++seq, generation, std::move(event)}); }
    std::uint64_t forwardedToHost() const { return relay->counts(testing::LossyRelay::Direction::toServer).forwarded; }
    // When the first datagram after the given count left the relay for the host.
    std::uint64_t arrivedAtHostNs(std::uint64_t before) const {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (forwardedToHost() == before) {
            if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("no datagram reached the host");
            std::this_thread::yield();
        }
        return Clock::nowNs();
    }

    testing::XvfbServer server{{.screens = {{800, 600}}, .windowManager = false}};
    std::optional<InputRecorderX11> recorder;
    std::shared_ptr<TimedPoster> poster;
    std::optional<testing::TestHost> host;
    std::optional<testing::LossyRelay> relay;
    std::unique_ptr<testing::TestViewer> viewer;
    std::uint32_t generation = 0;
    std::uint32_t seq = 0;
    xcb_connection_t* local = nullptr;
    xcb_window_t root = 0;
};

Setup& setup() {
    static Setup instance;
    return instance;
}

// Time until the recorder has read one more event of the type.
double arrivalUs(InputRecorderX11& recorder, std::uint8_t type, std::size_t before, std::uint64_t startNs) {
    if (!recorder.waitForCount(type, before + 1, 5s)) throw std::runtime_error("event never arrived");
    return static_cast<double>(recorder.ofType(type)[before].receivedNs - startNs) / 1000.0;
}

void report(benchmark::State& state, const std::vector<double>& total, const std::vector<double>& head,
            const std::vector<double>& tail, const std::vector<double>& local, const std::vector<double>& hostPart) {
    const Quantiles hp = quantiles(hostPart);
    state.counters["host_p50_us"] = hp.p50;
    state.counters["host_p99_us"] = hp.p99;
    const Quantiles t = quantiles(total);
    const Quantiles h = quantiles(head);
    const Quantiles x = quantiles(tail);
    const Quantiles l = quantiles(local);
    state.counters["total_p50_us"] = t.p50;
    state.counters["total_p99_us"] = t.p99;
    state.counters["toPost_p50_us"] = h.p50;
    state.counters["toPost_p99_us"] = h.p99;
    state.counters["postToWindow_p50_us"] = x.p50;
    state.counters["local_p50_us"] = l.p50;
    state.counters["local_p99_us"] = l.p99;
    state.counters["xLocal_p50"] = t.p50 / l.p50;
    state.counters["xLocal_p99"] = t.p99 / l.p99;
}

// One sample through the host and one local, alternately, so that both see
// the same machine; typeOf(i) is the event the i-th pair makes.
template <class TypeOf, class Through, class Local>
void measure(benchmark::State& state, TypeOf typeOf, Through throughHost, Local locally) {
    Setup& s = setup();
    for (auto _ : state) {
        std::vector<double> total, head, tail, local, hostPart;
        for (int i = 0; i < samples; ++i) {
            const std::uint8_t type = typeOf(i);
            const std::size_t seen = s.recorder->ofType(type).size();
            const std::uint64_t forwarded = s.forwardedToHost();
            const std::uint64_t handOff = Clock::nowNs();
            throughHost(s, i);
            const std::uint64_t arrived = s.arrivedAtHostNs(forwarded);
            total.push_back(arrivalUs(*s.recorder, type, seen, handOff));
            head.push_back(static_cast<double>(s.poster->last() - handOff) / 1000.0);
            hostPart.push_back((static_cast<double>(s.poster->last()) - static_cast<double>(arrived)) / 1000.0);
            tail.push_back(total.back() - head.back());
            std::this_thread::sleep_for(spacing);

            const std::size_t seenLocal = s.recorder->ofType(type).size();
            const std::uint64_t start = Clock::nowNs();
            locally(s, i);
            xcb_flush(s.local);
            local.push_back(arrivalUs(*s.recorder, type, seenLocal, start));
            std::this_thread::sleep_for(spacing);
        }
        report(state, total, head, tail, local, hostPart);
    }
}

// Presses and releases alternately: A through the host, B locally.
void KeyLatency(benchmark::State& state) {
    measure(
        state, [](int i) -> std::uint8_t { return i % 2 == 0 ? XCB_KEY_PRESS : XCB_KEY_RELEASE; },
        [](Setup& s, int i) { s.send(input::Key{4, i % 2 == 0}); },
        [](Setup& s, int i) {
            xcb_test_fake_input(s.local, i % 2 == 0 ? XCB_KEY_PRESS : XCB_KEY_RELEASE, 56, XCB_CURRENT_TIME, s.root,
                                0, 0, 0);
        });
}

void PointerMoveLatency(benchmark::State& state) {
    measure(
        state, [](int) -> std::uint8_t { return XCB_MOTION_NOTIFY; },
        [](Setup& s, int i) {
            const std::uint16_t x = i % 2 == 0 ? 16384 : 24576;
            s.send(input::PointerAbsolute{x, 32768});
        },
        [](Setup& s, int i) {
            const std::int16_t x = i % 2 == 0 ? 250 : 150;
            xcb_test_fake_input(s.local, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, s.root, x, 300, 0);
        });
}

BENCHMARK(KeyLatency)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(PointerMoveLatency)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace quillmere

BENCHMARK_MAIN();
