// A client session driven by an arbitrary host: control messages (mostly of
// the kinds a host sends, on small surface and generation numbers so that
// they meet the session's state), fragments of real frames lost or damaged,
// raw datagrams, ticks and the viewer's own requests. Whatever happens, every
// message the session asks to send must pass the codec, a closed session
// must stay silent (but for start, which answers in every phase), and the
// limits on extra surfaces must hold.
#include "FuzzSource.h"
#include "QuillmereWire/ClientSession.h"
#include "QuillmereWire/MediaFragmenter.h"
#include "QuillmereWire/Tests/RandomControlMessage.h"

#include <cstdio>
#include <cstdlib>

using namespace quillmere;

namespace {

void fail(int line) {
    std::fprintf(stderr, "ClientSessionFuzz: check on line %d failed\n", line);
    std::abort();
}

#define check(condition) \
    do {                 \
        if (!(condition)) fail(__LINE__); \
    } while (false)

// The cases a host sends on a session channel.
constexpr std::size_t hostCases[] = {1, 2, 3, 6, 9, 11, 13, 14, 15, 19, 21, 23, 24, 29, 30, 33};

struct Driver {
    fuzzing::FuzzSource& source;
    testing::RandomControlMessage<fuzzing::FuzzSource> random{source};
    ClientSession session{Hello{1, 0, PeerRole::client, {}, {}, "fuzz"},
                          Capabilities{codecs::h264, 1920, 1080, 60, 4, features::bit2, 1200},
                          AssemblyLimits(4, 100'000, 50'000'000), 0};
    std::uint64_t now = 0;
    bool closedSeen = false;

    std::uint32_t small(std::uint64_t high) { return static_cast<std::uint32_t>(source.next(0, high)); }

    void apply(const ClientActions& actions) {
        const bool wasClosed = closedSeen;
        for (std::size_t i = 0; i < actions.size(); ++i) {
            check(!wasClosed);
            if (const auto* send = actions[i].as<client::Send>()) {
                const auto encoded = send->message.encodeFrame();
                if (!encoded)
                    std::fprintf(stderr, "%s: %s\n", std::string(send->message.caseName()).c_str(),
                                 encoded.error().description().c_str());
                check(encoded.has_value());
            }
            if (actions[i].is<client::Closed>()) {
                check(i + 1 == actions.size());
                closedSeen = true;
            }
            if (const auto* deliver = actions[i].as<client::Deliver>()) {
                check(deliver->frame.surfaceID == ClientSession::mainSurfaceID);
                check(session.assembler().acceptedConfigGeneration() == deliver->frame.configGeneration);
            }
            if (const auto* deliver = actions[i].as<client::DeliverSurface>())
                check(deliver->frame.surfaceID == deliver->surfaceID);
        }
        check(closedSeen == (session.phase() == ClientSession::Phase::closed));
        check(session.extras().size() <= ClientSession::maxExtraSurfaces);
        for (const auto& [surfaceID, extra] : session.extras()) check(surfaceID >= 2 && (!extra.streaming || extra.config.acknowledged()));
        if (session.phase() == ClientSession::Phase::streaming) check(session.config().acknowledged().has_value());
    }

    ControlMessage hostMessage() {
        switch (source.next(0, 4)) {
        case 0: return msg::CaptureState{small(4), small(3), static_cast<CaptureStateValue>(source.next(0, 4))};
        case 1: {
            StreamConfig config;
            config.surfaceID = small(4);
            config.configGeneration = small(3);
            config.width = config.height = config.fps = 16;
            return config;
        }
        case 2: return msg::StopStream{small(4), StopReason::captureEnded};
        case 3: return source.next(0, 15) == 0 ? random.any() : random.make(hostCases[source.next(0, 15)]);
        default: return msg::Pong{now - small(1000), now + small(1000)};
        }
    }

    void frame() {
        EncodedFrame frame;
        frame.surfaceID = static_cast<std::uint32_t>(source.next(1, 4));
        frame.epoch = small(3);
        frame.frameID = small(20);
        frame.configGeneration = small(3);
        frame.flags = MediaHeader::Flags{static_cast<std::uint8_t>(source.next(0, 7))};
        frame.data.assign(source.next(1, 900), static_cast<std::uint8_t>(frame.frameID));
        auto datagrams = MediaFragmenter::fragment(frame, 140, small(5000));
        check(datagrams.has_value());
        const std::uint64_t drop = source.next(0, 16);
        for (std::size_t i = 0; i < datagrams->size(); ++i)
            if (i != drop) apply(session.receive((*datagrams)[i], now));
    }

    void request() {
        switch (source.next(0, 13)) {
        case 0: apply(session.selectWindow(small(9))); break;
        case 1: apply(session.addSurface(small(9), small(9))); break;
        case 2: apply(session.removeSurface(small(9))); break;
        case 3: apply(session.pushClipboard(std::string(source.next(0, 3), static_cast<char>(source.next(0, 255))))); break;
        case 4: apply(session.pullClipboard()); break;
        case 5: apply(session.setSurfaceBudget(small(4), static_cast<std::int64_t>(source.next(0, 20000)) - 100, 9000)); break;
        case 6: apply(session.focusHint(small(4), 100)); break;
        case 7: apply(session.pause(small(4), source.next(0, 1) == 1)); break;
        case 8: apply(session.setTextSize(static_cast<std::uint8_t>(source.next(0, 4)))); break;
        case 9: apply(session.report(now, static_cast<std::int64_t>(source.next(0, 600)) - 300, static_cast<std::uint8_t>(source.next(0, 9)))); break;
        case 10: apply(session.decodeFailed(now)); break;
        case 11: apply(session.requestCaptureList()); break;
        case 12: {
            // The one request that answers in every phase, closed included.
            const ClientActions hello = session.start();
            check(hello.size() == 2 && hello[0].is<client::Send>() && hello[1].is<client::Send>());
            break;
        }
        default: apply(session.close()); break;
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzing::FuzzSource source(data, size);
    Driver driver{source};
    if (source.next(0, 7) != 0) driver.apply(driver.session.handle(Hello{1, 0, PeerRole::host, {}, {}, "host"}, 0));
    while (source.used() < size) {
        driver.now += source.next(0, 40'000'000);
        switch (source.next(0, 5)) {
        case 0:
        case 1: driver.apply(driver.session.handle(driver.hostMessage(), driver.now)); break;
        case 2: driver.frame(); break;
        case 3: {
            Bytes raw(source.next(0, 60));
            for (auto& byte : raw) byte = static_cast<std::uint8_t>(source.next(0, 255));
            if (!raw.empty() && source.next(0, 1) == 1) raw[std::min<std::size_t>(1, raw.size() - 1)] = 2;
            driver.apply(driver.session.receive(ByteView(raw), driver.now));
            break;
        }
        case 4: driver.apply(driver.session.tick(driver.now)); break;
        default: driver.request(); break;
        }
    }
    return 0;
}
