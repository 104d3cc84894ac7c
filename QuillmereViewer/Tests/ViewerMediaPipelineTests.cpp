// The viewer program, run as a user runs it, against the host with its real
// media pipeline: paired through the host's invitation, it streams the test
// pattern and checks every picture it decodes.

#include "TestSupport/Host/TestHost.h"
#include "TestSupport/TemporaryFolder.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <future>
#include <iostream>
#include <regex>
#include <sstream>

extern char** environ;

namespace quillmere::testing {
namespace {

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

// The program with its output written to files of the test.
Outcome runProgram(std::vector<std::string> arguments, const std::filesystem::path& folder) {
    const auto outFile = folder / "out.txt";
    const auto errFile = folder / "err.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    arguments.insert(arguments.begin(), QUILLMERE_VIEWER_PROGRAM);
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    Outcome outcome;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    posix_spawn_file_actions_destroy(&actions);
    const auto read = [](const std::filesystem::path& file) {
        std::ostringstream text;
        text << std::ifstream(file).rdbuf();
        return text.str();
    };
    outcome.out = read(outFile);
    outcome.err = read(errFile);
    return outcome;
}

TEST(ViewerAgainstMediaPipeline, SixHundredTestPatternFramesPassTheViewersChecks) {
    // No X display: the test pattern is what there is to share.
    TestHost host({.pipelineDisplay = ":none"});
    const std::uint16_t port = host.start();
    TemporaryFolder state;
    TemporaryFolder pairingOutput;
    TemporaryFolder sessionOutput;

    const std::string invitation = host.showInvitation();
    auto paired = std::async(std::launch::async, [&] {
        return runProgram({"pair", "--state", state.path().string(), "--name", "End-to-end viewer", "--timeout", "60",
                           invitation},
                          pairingOutput.path());
    });
    ASSERT_TRUE(host.approvePairing(std::chrono::seconds(60)));
    const Outcome pairing = paired.get();
    ASSERT_EQ(pairing.status, 0) << pairing.out << pairing.err;

    const Outcome session =
        runProgram({"connect", "--state", state.path().string(), "--host", "127.0.0.1", "--port", std::to_string(port),
                    "--select", "title:Test pattern", "--max-size", "640x360", "--frames", "600",
                    "--expect-test-pattern", "--duration", "90"},
                   sessionOutput.path());
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
