#include "QuillmereMac/HostConnection/HandshakeRefusals.h"

#include "Platform/Dispatch/ManualExecutor.h"
#include "QuillmereMac/Tests/LogCapture.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

TEST(HandshakeRefusals, AFloodIsOneLineThenOneSummaryPerWindow) {
    testing::LogCapture log;
    ManualExecutor main;
    auto refusals = std::make_shared<HandshakeRefusals>(main);
    const std::string first = "failed(\"TLS handshake failed: Certificate is bad (alert 42)\")";
    const std::string last = "failed(\"handshake timeout\")";
    refusals->refused(first);
    for (int i = 0; i < 499; ++i) refusals->refused(i == 498 ? last : first);
    EXPECT_EQ(log.lines("transport"), std::vector<std::string>{"connection closed: " + first});

    main.advance(HandshakeRefusals::windowNs);
    refusals->refused(first); // the burst goes on into the next window
    main.advance(HandshakeRefusals::windowNs);
    main.advance(HandshakeRefusals::windowNs); // quiet: nothing more
    EXPECT_EQ(log.lines("transport"),
              (std::vector<std::string>{
                  "connection closed: " + first,
                  "499 more connections closed before their handshake ended in 10 s, the last: " + last,
                  "1 more connections closed before their handshake ended in 10 s, the last: " + first}));

    // After a quiet window, the next refusal is written whole again.
    log.clear();
    refusals->refused(last);
    EXPECT_EQ(log.lines("transport"), std::vector<std::string>{"connection closed: " + last});
}

} // namespace
} // namespace quillmere
