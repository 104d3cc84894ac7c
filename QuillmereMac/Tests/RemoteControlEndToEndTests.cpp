// Remote control end to end: a paired viewer streams the display of a
// private X server over loopback QUIC, is granted control through the
// consent center, and what it sends reaches the window of another X client;
// clipboard text travels both ways only when the user approves.

#include "Platform/Dispatch/MainQueue.h"
#include "Platform/EventPosting/EventPosterX11.h"
#include "Platform/EventPosting/Tests/InputRecorderX11.h"
#include "Platform/EventPosting/Tests/KeyRepeatRateX11.h"
#include "Platform/Pasteboard/SystemPasteboard.h"
#include "Platform/Pasteboard/Tests/QtGuiThread.h"
#include "Platform/Pasteboard/Tests/Xclip.h"
#include "Platform/X11/XcbOpening.h"
#include "QuillmereMac/Tests/TestViewer.h"
#include "QuillmereMacCore/HostSession.h"
#include "TestSupport/Host/TestHost.h"
#include "TestSupport/XvfbServer.h"

#include <gtest/gtest.h>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <iostream>

namespace quillmere::testing {
namespace {

using namespace std::chrono_literals;
using Recorded = InputRecorderX11::Event;

// The test window, inside the 800 x 600 display the viewer controls.
constexpr int windowX = 100;
constexpr int windowY = 80;

class RemoteControlEndToEnd : public ::testing::Test {
protected:
    // One X server and one GUI application for the suite: Qt's application
    // cannot be made twice in one process.
    static void SetUpTestSuite() {
        server_ = new XvfbServer({.screens = {{800, 600}}, .windowManager = false});
        if (!server_->ready()) return;
        gui_ = new QtGuiThread(server_->displayName());
        // The server would repeat a held key before the injector's floor of
        // 150 ms: its repeats cannot hide among the injector's.
        xcb_connection_t* c = XcbOpening::connect(server_->displayName().c_str(), nullptr);
        setKeyRepeatRate(c, 100, 30);
        xcb_disconnect(c);
    }
    static void TearDownTestSuite() {
        delete gui_;
        delete server_;
    }

    void SetUp() override {
        ASSERT_TRUE(server.ready()) << server.failure();
        recorder.emplace(server.displayName(), windowX, windowY, 480, 270);
        ASSERT_TRUE(recorder->ok());
        auto poster = EventPosterX11::open(XcbConnection::opener(server.displayName()));
        ASSERT_TRUE(poster) << poster.error().description();
        host.emplace(TestHost::Options{.pipelineDisplay = server.displayName(),
                                       .adjustPipeline = [&](MediaPipeline::Services& services) {
                                           services.poster = *poster;
                                           services.permission = [] { return true; };
                                           services.pasteboard = std::make_shared<SystemPasteboard>(
                                               MainQueue::shared(), XcbConnection::opener(server.displayName()),
                                               HostSession::maxClipboardBytes);
                                       }});
        const std::uint16_t port = host->start();
        const LocalIdentity phone = host->pairThroughInvitation();
        viewer = std::make_unique<TestViewer>(phone, host->identity.fingerprint, port, host->defaults.defaults(),
                                              TestViewer::Options{});
        ASSERT_TRUE(viewer->waitUntil([](const TestViewer& v) { return v.phase() == ClientSession::Phase::ready; }, 20s));
        viewer->select(CaptureChoice::displayIDBase);
        ASSERT_TRUE(viewer->waitUntil([](const TestViewer& v) { return !v.decoded().empty(); }, 30s));
        viewer->sendControl(msg::InputControlRequest{});
        ASSERT_TRUE(viewer->waitUntil([&](const TestViewer& v) { return controlState(v).has_value(); }, 20s));
        const auto granted = controlState(*viewer);
        ASSERT_EQ(granted->state, InputControlStateValue::granted);
        generation = granted->generation;
    }

    static std::optional<client::InputControl> controlState(const TestViewer& viewer) {
        std::optional<client::InputControl> last;
        for (const ClientAction& action : viewer.notices())
            if (const auto* control = action.as<client::InputControl>()) last = *control;
        return last;
    }

    void send(InputEvent event) { viewer->sendControl(msg::Input{++seq, generation, std::move(event)}); }
    void key(std::uint16_t usage, bool down) { send(input::Key{usage, down}); }
    void button(InputButton which, bool down) { send(input::Button{which, down}); }

    static std::vector<std::uint8_t> details(const std::vector<Recorded>& events) {
        std::vector<std::uint8_t> result;
        for (const Recorded& event : events) result.push_back(event.detail);
        return result;
    }

    bool held(std::uint8_t keyCode) {
        xcb_connection_t* c = XcbOpening::connect(server.displayName().c_str(), nullptr);
        auto* reply = xcb_query_keymap_reply(c, xcb_query_keymap(c), nullptr);
        const bool down = reply && (reply->keys[keyCode / 8] >> (keyCode % 8)) & 1;
        std::free(reply);
        xcb_disconnect(c);
        return down;
    }

    static XvfbServer* server_;
    static QtGuiThread* gui_;
    XvfbServer& server = *server_;
    std::optional<InputRecorderX11> recorder;
    std::optional<TestHost> host;
    std::unique_ptr<TestViewer> viewer;
    std::uint32_t generation = 0;
    std::uint32_t seq = 0;
};

XvfbServer* RemoteControlEndToEnd::server_ = nullptr;
QtGuiThread* RemoteControlEndToEnd::gui_ = nullptr;

TEST_F(RemoteControlEndToEnd, InputFromTheViewerReachesAnotherClientsWindow) {
    // A key of each block of the table, with the symbol it types here.
    const std::pair<std::uint16_t, std::uint32_t> samples[] = {
        {4, 'a'}, {29, 'z'}, {30, '1'}, {39, '0'}, {40, 0xff0d}, {44, ' '}, {56, '/'}, {58, 0xffbe}, {69, 0xffc9},
        {74, 0xff50}, {82, 0xff52}, {84, 0xffaf}, {98, 0xff9e}, {100, '<'}, {104, 0x1008ff81}, {127, 0x1008ff12},
        {144, 0xff31}, {224, 0xffe3}};
    std::vector<std::uint32_t> typed;
    for (const auto& [usage, keysym] : samples) {
        key(usage, true);
        key(usage, false);
        typed.push_back(keysym);
    }
    key(225, true);
    key(4, true);
    key(4, false);
    key(225, false);
    send(input::Text{"h\u00e9llo \u2713 \U0001F600"});
    for (std::uint32_t keysym : {0xffe1u, std::uint32_t{'A'}, std::uint32_t{'h'}, 0xe9u, std::uint32_t{'l'},
                                 std::uint32_t{'l'}, std::uint32_t{'o'}, std::uint32_t{' '}, 0x1002713u,
                                 std::uint32_t{' '}, 0x101f600u})
        typed.push_back(keysym);

    send(input::PointerAbsolute{16384, 32768});
    for (InputButton which : {InputButton::left, InputButton::middle, InputButton::right, InputButton::back,
                              InputButton::forward}) {
        button(which, true);
        button(which, false);
    }
    send(input::Scroll{0, 2, ScrollUnit::line});
    send(input::Scroll{0, -1, ScrollUnit::line});
    send(input::Scroll{1, 0, ScrollUnit::line});
    send(input::Scroll{-1, 0, ScrollUnit::line});

    ASSERT_TRUE(recorder->waitForCount(XCB_KEY_PRESS, typed.size()));
    ASSERT_TRUE(recorder->waitForCount(XCB_BUTTON_RELEASE, 10));
    EXPECT_EQ(recorder->pressedKeysyms(), typed);
    const auto presses = recorder->ofType(XCB_BUTTON_PRESS);
    EXPECT_EQ(details(presses), (std::vector<std::uint8_t>{1, 2, 3, 8, 9, 4, 4, 5, 6, 7}));
    // 16384 / 65535 and 32768 / 65535 of the display's 800 x 600.
    for (const Recorded& press : presses) EXPECT_EQ(std::pair(int{press.x}, int{press.y}), std::pair(100, 220));
    const auto capital = recorder->ofType(XCB_KEY_PRESS)[typed.size() - 10];
    EXPECT_EQ(capital.keysym, std::uint32_t{'A'});
    EXPECT_NE(capital.state & XCB_MOD_MASK_SHIFT, 0);

    // A key held for a second repeats on the injector's schedule alone.
    const auto injector = host->pipeline->control().injector();
    ASSERT_NE(injector, nullptr);
    const std::uint64_t delayMs = injector->keyRepeat().delayNs / 1'000'000;
    const std::uint64_t intervalMs = injector->keyRepeat().intervalNs / 1'000'000;
    // The server's 100 ms delay raised to the floor; its interval kept.
    EXPECT_EQ(delayMs, 150u);
    EXPECT_EQ(intervalMs, 30u);
    recorder->clear();
    key(7, true);
    // Held for about a second, the lease renewed as a phone renews it.
    for (int renewal = 0; renewal < 7; ++renewal) {
        std::this_thread::sleep_for(150ms);
        send(input::Renew{});
    }
    key(7, false);
    // Once a later key arrives, every event of the held one has.
    key(9, true);
    key(9, false);
    ASSERT_TRUE(recorder->waitUntil([](const std::vector<Recorded>& events) {
        return !events.empty() && events.back().type == XCB_KEY_RELEASE && events.back().detail == 41;
    }));
    std::vector<Recorded> pressesOfD;
    std::uint32_t releasedAt = 0;
    for (const Recorded& event : recorder->events()) {
        if (event.detail != 40) continue;
        if (event.type == XCB_KEY_PRESS) pressesOfD.push_back(event);
        if (event.type == XCB_KEY_RELEASE) releasedAt = event.time;
    }
    ASSERT_FALSE(pressesOfD.empty());
    const std::uint64_t heldMs = releasedAt - pressesOfD.front().time;
    const std::uint64_t expected = heldMs > delayMs ? 2 + (heldMs - delayMs) / intervalMs : 1;
    // Late ticks can only make repeats fewer; a server repeat makes one more.
    EXPECT_GE(pressesOfD.size() * 2, expected) << heldMs << " ms held";
    EXPECT_LE(pressesOfD.size(), expected + 1) << heldMs << " ms held";
    ASSERT_GE(pressesOfD.size(), 2u);
    EXPECT_GE(pressesOfD[1].time - pressesOfD[0].time + 5, delayMs);

    // Closing the session while a key and a button are held lets go of both.
    recorder->clear();
    key(5, true);
    button(InputButton::left, true);
    ASSERT_TRUE(recorder->waitForCount(XCB_BUTTON_PRESS, 1));
    ASSERT_TRUE(recorder->waitForCount(XCB_KEY_PRESS, 1));
    viewer->step([](ClientSession& session) { return session.close(); });
    ASSERT_TRUE(recorder->waitForCount(XCB_KEY_RELEASE, 1));
    ASSERT_TRUE(recorder->waitForCount(XCB_BUTTON_RELEASE, 1));
    EXPECT_EQ(details(recorder->ofType(XCB_KEY_RELEASE)), std::vector<std::uint8_t>{56});
    EXPECT_FALSE(held(56));
    EXPECT_TRUE(eventually([&] { return host->pipeline->control().injector() == nullptr; }));
}

// Far more characters off the keyboard map than there are spare key codes:
// most wait for a borrowed code to settle, yet the connection answers its
// pings at once and the text arrives whole and in order.
TEST_F(RemoteControlEndToEnd, ALongTextOffTheMapNeverHoldsUpTheConnection) {
    constexpr int chunks = 8;
    constexpr char32_t perChunk = 40; // 120 bytes of UTF-8, under a message's limit
    std::vector<std::uint32_t> typed;
    recorder->clear();
    for (int chunk = 0; chunk < chunks; ++chunk) {
        std::string text;
        for (char32_t c = 0x4e00 + chunk * perChunk; c < 0x4e00 + (chunk + 1) * perChunk; ++c) {
            text += static_cast<char>(0xe0 | (c >> 12));
            text += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
            text += static_cast<char>(0x80 | (c & 0x3f));
            typed.push_back(0x01000000u | c);
        }
        send(input::Text{std::move(text)});
    }
    std::vector<double> roundTripsMs;
    std::size_t pressesAtFirstPong = 0;
    for (int i = 0; i < 5; ++i) {
        const std::uint64_t sentAt = Clock::nowNs();
        viewer->sendControl(msg::Ping{sentAt});
        std::optional<std::uint64_t> answeredAt;
        ASSERT_TRUE(viewer->waitUntil([&](const TestViewer& v) {
            const auto& echoes = v.counts().pongEchoesNs;
            for (std::size_t j = 0; j < echoes.size(); ++j)
                if (echoes[j] == sentAt) answeredAt = v.counts().pongsAtNs[j];
            return answeredAt.has_value();
        }));
        if (i == 0) pressesAtFirstPong = recorder->ofType(XCB_KEY_PRESS).size();
        roundTripsMs.push_back(static_cast<double>(*answeredAt - sentAt) / 1e6);
    }
    ASSERT_TRUE(recorder->waitForCount(XCB_KEY_PRESS, typed.size(), 60s));
    EXPECT_EQ(recorder->pressedKeysyms(), typed);
    // The first ping was answered while the text was still being typed.
    EXPECT_LT(pressesAtFirstPong, typed.size());
    std::cout << fmt::format("ping round trips while typing {} characters: {:.1f} ms\n", typed.size(),
                             fmt::join(roundTripsMs, " ms, "));
    // A settle wait on the connection's queue alone would take 200 ms.
    for (double ms : roundTripsMs) EXPECT_LT(ms, 200.0);
}

TEST_F(RemoteControlEndToEnd, ClipboardTextTravelsBothWaysOnlyWhenApproved) {
    Xclip xclip(server.displayName());
    const auto pending = [&] {
        std::vector<ConsentCenter::Request> requests;
        host->main.sync([&] { requests = host->consent->pending(); });
        return requests;
    };
    const auto answer = [&](bool approved) {
        const auto requests = pending();
        ASSERT_EQ(requests.size(), 1u);
        host->main.sync([&] { host->consent->resolve(requests.front().id, approved); });
    };
    const auto outcomes = [&] {
        std::vector<ClipboardOutcome> all;
        for (const ClientAction& action : viewer->notices())
            if (const auto* outcome = action.as<client::ClipboardOutcome>()) all.push_back(outcome->outcome);
        return all;
    };
    const auto waitForOutcomes = [&](std::size_t count) {
        return viewer->waitUntil([&](const TestViewer&) { return outcomes().size() >= count; }, 20s);
    };

    // A push waits for the user; the connection goes on meanwhile.
    const std::string pushed = "h\u00e9llo \u2713 \U0001F4CB";
    viewer->step([&](ClientSession& session) { return session.pushClipboard(pushed); });
    ASSERT_TRUE(eventually([&] { return pending().size() == 1; }));
    EXPECT_EQ(pending().front().windowTitle, "paste 9 characters into this computer\u2019s clipboard");
    key(4, true);
    key(4, false);
    ASSERT_TRUE(recorder->waitForCount(XCB_KEY_RELEASE, 1));
    answer(true);
    ASSERT_TRUE(waitForOutcomes(1));
    EXPECT_EQ(outcomes().back(), ClipboardOutcome::done);
    EXPECT_EQ(xclip.output("-o"), pushed);

    // A pull returns what another client set.
    xclip.input("from xclip \u2713");
    ASSERT_TRUE(eventually([&] { return xclip.output("-o") == "from xclip \u2713"; }));
    viewer->step([](ClientSession& session) { return session.pullClipboard(); });
    ASSERT_TRUE(eventually([&] { return pending().size() == 1; }));
    EXPECT_EQ(pending().front().windowTitle, "read this computer\u2019s clipboard");
    answer(true);
    ASSERT_TRUE(viewer->waitUntil(
        [](const TestViewer& v) {
            return std::any_of(v.notices().begin(), v.notices().end(),
                               [](const ClientAction& a) { return a.as<client::ClipboardReceived>() != nullptr; });
        },
        20s));
    for (const ClientAction& action : viewer->notices())
        if (const auto* received = action.as<client::ClipboardReceived>()) {
            EXPECT_EQ(received->text, "from xclip \u2713");
        }

    // Refused, or left unanswered until the prompt times out: denied, and
    // the clipboard keeps what it had.
    viewer->step([](ClientSession& session) { return session.pushClipboard("refused"); });
    ASSERT_TRUE(eventually([&] { return pending().size() == 1; }));
    answer(false);
    ASSERT_TRUE(waitForOutcomes(2));
    host->main.sync([&] { host->consent->timeoutSeconds = 0.2; });
    viewer->step([](ClientSession& session) { return session.pushClipboard("timed out"); });
    ASSERT_TRUE(waitForOutcomes(3));
    EXPECT_EQ(outcomes(), (std::vector{ClipboardOutcome::done, ClipboardOutcome::denied, ClipboardOutcome::denied}));
    EXPECT_TRUE(pending().empty());
    EXPECT_EQ(xclip.output("-o"), "from xclip \u2713");
}

} // namespace
} // namespace quillmere::testing
