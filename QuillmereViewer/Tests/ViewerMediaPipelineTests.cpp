// The viewer program, run as a user runs it, against the host with its real
// media pipeline: paired through the host's invitation, it streams the test
// pattern and checks every picture it decodes.

#include "QuillmereViewer/Tests/ViewerProgram.h"
#include "TestSupport/Host/TestHost.h"
#include "TestSupport/TemporaryFolder.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <future>
#include <iostream>
#include <regex>

namespace quillmere::testing {
namespace {

TEST(ViewerAgainstMediaPipeline, SixHundredTestPatternFramesPassTheViewersChecks) {
    // No X display: the test pattern is what there is to share.
    TestHost host({.pipelineDisplay = ":none"});
    const std::uint16_t port = host.start();
    TemporaryFolder state;

    const std::string invitation = host.showInvitation();
    auto paired = std::async(std::launch::async, [&] {
        return runViewer({"pair", "--state", state.path().string(), "--name", "End-to-end viewer", "--timeout", "60",
                          invitation});
    });
    ASSERT_TRUE(host.approvePairing(std::chrono::seconds(60)));
    const ViewerOutcome pairing = paired.get();
    ASSERT_EQ(pairing.status, 0) << pairing.out << pairing.err;

    const ViewerOutcome session =
        runViewer({"connect", "--state", state.path().string(), "--host", "127.0.0.1", "--port", std::to_string(port),
                   "--select", "title:Test pattern", "--max-size", "640x360", "--frames", "600", "--expect-test-pattern",
                   "--duration", "90"});
    EXPECT_EQ(session.status, 0) << session.out << session.err;
    EXPECT_EQ(session.out.rfind(R"({"verdict":"pass","failures":[])", 0), 0u) << session.out;
    EXPECT_NE(session.out.find(R"("frames":{"delivered":600,"decoded":600,"corrupt":0,)"), std::string::npos)
        << session.out;
    // Under load the host may leave out a captured pattern frame (its pacing
    // is allowed to); what it sends must still decode to its own numbers.
    EXPECT_NE(session.out.find(R"("testPattern":{"checked":600,"mismatches":0,)"), std::string::npos)
        << session.out;

    std::smatch latency;
    ASSERT_TRUE(std::regex_search(session.out, latency, std::regex(R"("latencyMs":\{[^}]*\})"))) << session.out;
    ::testing::Test::RecordProperty("viewer_latency", latency.str());
    std::cout << "viewer summary " << latency.str() << "\n";
}

} // namespace
} // namespace quillmere::testing
