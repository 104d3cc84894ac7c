// The command line: what each command accepts, and the one-line reasons for
// what it refuses.

#include "QuillmereViewer/ViewerOptions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillmere {
namespace {

std::expected<viewer::Invocation, UsageError> parse(std::vector<std::string_view> arguments) {
    return ViewerOptions::parse(arguments);
}

viewer::ConnectCommand connect(std::vector<std::string_view> arguments) {
    arguments.insert(arguments.begin(), "connect");
    auto parsed = parse(arguments);
    EXPECT_TRUE(parsed) << (parsed ? "" : parsed.error().text);
    if (!parsed) return {};
    return std::get<viewer::ConnectCommand>(parsed->command);
}

std::string refusal(std::vector<std::string_view> arguments) {
    auto parsed = parse(arguments);
    EXPECT_FALSE(parsed) << "accepted";
    return parsed ? std::string() : parsed.error().text;
}

TEST(ViewerOptions, PairTakesTheInvitationAndItsOptionsInAnyOrder) {
    auto parsed = parse({"pair", "--name", "Bench phone", "quillmere:1:abc", "--timeout", "2.5", "--state", "/tmp/s"});
    ASSERT_TRUE(parsed) << parsed.error().text;
    const auto& pair = std::get<viewer::PairCommand>(parsed->command);
    EXPECT_EQ(pair.invitation, "quillmere:1:abc");
    EXPECT_EQ(pair.deviceName, "Bench phone");
    EXPECT_EQ(pair.timeoutSeconds, 2.5);
    EXPECT_EQ(parsed->state, std::filesystem::path("/tmp/s"));
}

TEST(ViewerOptions, StateMayComeBeforeTheCommand) {
    auto parsed = parse({"--state", "/tmp/v", "connect"});
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->state, std::filesystem::path("/tmp/v"));
    EXPECT_TRUE(std::holds_alternative<viewer::ConnectCommand>(parsed->command));
}

TEST(ViewerOptions, HelpInEveryForm) {
    for (std::string_view form : {"help", "--help", "-h"}) {
        auto parsed = parse({form});
        ASSERT_TRUE(parsed) << form;
        EXPECT_TRUE(std::holds_alternative<viewer::HelpCommand>(parsed->command)) << form;
    }
}

TEST(ViewerOptions, ConnectDefaults) {
    const auto command = connect({});
    EXPECT_FALSE(command.host);
    EXPECT_EQ(command.select, CaptureSelector());
    EXPECT_EQ(command.maxWidth, 1920);
    EXPECT_EQ(command.maxHeight, 1080);
    EXPECT_EQ(command.maxFPS, 60);
    EXPECT_EQ(command.retries, 5);
    EXPECT_EQ(command.timeoutSeconds, 10);
    EXPECT_TRUE(command.input.empty());
    EXPECT_EQ(command.inputEveryMs, 50);
    EXPECT_FALSE(command.pullClipboard);
}

TEST(ViewerOptions, ConnectReadsEveryOption) {
    const auto command =
        connect({"--host", "127.0.0.1", "--port", "4433", "--peer", "Studio", "--select", "display:1", "--frames",
                 "30", "--duration", "2", "--max-size", "640x360", "--fps", "30", "--timing-log", "t.jsonl",
                 "--snapshots", "shots", "--snapshot-every", "5", "--expect-test-pattern", "--retries", "0",
                 "--timeout", "1.5", "--verbose", "--name", "Bench", "--input-every", "500", "--pull-clipboard"});
    EXPECT_EQ(command.host, "127.0.0.1");
    EXPECT_EQ(command.port, 4433);
    EXPECT_EQ(command.peerName, "Studio");
    EXPECT_EQ(command.select, CaptureSelector(CaptureSelector::Display{1}));
    EXPECT_EQ(command.frameLimit, 30);
    EXPECT_EQ(command.durationSeconds, 2.0);
    EXPECT_EQ(command.maxWidth, 640);
    EXPECT_EQ(command.maxHeight, 360);
    EXPECT_EQ(command.maxFPS, 30);
    EXPECT_EQ(command.timingLog, std::filesystem::path("t.jsonl"));
    EXPECT_EQ(command.snapshots, std::filesystem::path("shots"));
    EXPECT_EQ(command.snapshotEvery, 5);
    EXPECT_TRUE(command.expectTestPattern);
    EXPECT_EQ(command.retries, 0);
    EXPECT_EQ(command.timeoutSeconds, 1.5);
    EXPECT_TRUE(command.verbose);
    EXPECT_EQ(command.deviceName, "Bench");
    EXPECT_EQ(command.inputEveryMs, 500);
    EXPECT_TRUE(command.pullClipboard);
}

TEST(ViewerOptions, InputStepsKeepTheirOrder) {
    const auto command = connect({"--click", "--type", "hello\tworld", "--move", "10,20", "--click"});
    EXPECT_EQ(command.input, (std::vector<InputStep>{input_step::Click{}, input_step::Type{"hello\tworld"},
                                                      input_step::Move{10, 20}, input_step::Click{}}));
}

TEST(ViewerOptions, BadArgumentsAreRefusedWithTheirReason) {
    EXPECT_EQ(refusal({}), "a command is needed: pair or connect");
    EXPECT_EQ(refusal({"show"}), "unknown command \"show\"");
    EXPECT_EQ(refusal({"pair"}), "pair needs the invitation text the host shows");
    EXPECT_EQ(refusal({"pair", "a", "b"}), "pair takes one invitation");
    EXPECT_EQ(refusal({"pair", "a", "--frames", "3"}), "pair has no option --frames");
    EXPECT_EQ(refusal({"connect", "--host", "127.0.0.1"}), "--host and --port go together");
    EXPECT_EQ(refusal({"connect", "--port", "0", "--host", "h"}), "--port needs a whole number from 1 to 65535, not \"0\"");
    EXPECT_EQ(refusal({"connect", "--frames", "0"}), "--frames needs a whole number of at least 1, not \"0\"");
    EXPECT_EQ(refusal({"connect", "--frames"}), "--frames needs a value");
    EXPECT_EQ(refusal({"connect", "--duration", "-1"}), "--duration needs a positive number of seconds, not \"-1\"");
    EXPECT_EQ(refusal({"connect", "--duration", "nan"}), "--duration needs a positive number of seconds, not \"nan\"");
    EXPECT_EQ(refusal({"connect", "--max-size", "640"}),
              "--max-size needs two whole numbers from 0 to 65535 as AxB, not \"640\"");
    EXPECT_EQ(refusal({"connect", "--max-size", "32x32"}), "--max-size needs at least 64x64");
    EXPECT_EQ(refusal({"connect", "--move", "10;20"}),
              "--move needs two whole numbers from 0 to 65535 as A,B, not \"10;20\"");
    EXPECT_EQ(refusal({"connect", "--move", "10,70000"}),
              "--move needs two whole numbers from 0 to 65535 as A,B, not \"10,70000\"");
    EXPECT_EQ(refusal({"connect", "--type", "a\rb"}),
              "--type text may hold tabs and line feeds but no other control characters");
    EXPECT_EQ(refusal({"connect", "--type", "\xff"}), "--type needs UTF-8 text");
    EXPECT_EQ(refusal({"connect", "--select", "display:16"}),
              "--select: \"display:16\" names no display: use display:0 to display:15");
    EXPECT_EQ(refusal({"connect", "--snapshot-every", "3"}), "--snapshot-every needs --snapshots");
    EXPECT_EQ(refusal({"connect", "--input-every", "0"}), "--input-every needs a whole number of at least 1, not \"0\"");
    EXPECT_EQ(refusal({"connect", "--list", "--frames", "3"}),
              "--list ends after the capture list; it takes no streaming options");
    EXPECT_EQ(refusal({"connect", "--bogus"}), "connect has no option --bogus");
    EXPECT_EQ(refusal({"connect", "stray"}), "connect has no argument stray");
    EXPECT_EQ(refusal({"connect", "--name", std::string(65, 'n')}), "--name is longer than 64 bytes");
}

TEST(ViewerOptions, UsageNamesEveryCommandAndOption) {
    const std::string usage = ViewerOptions::usage();
    for (std::string_view word :
         {"pair INVITATION", "connect", "help", "--state", "--name", "--timeout", "--host", "--port", "--peer",
          "--select", "--list", "--frames", "--duration", "--max-size", "--fps", "--timing-log", "--snapshots",
          "--snapshot-every", "--expect-test-pattern", "--type", "--move", "--click", "--input-every",
          "--pull-clipboard", "--retries", "--verbose",
          "Exit status"}) {
        EXPECT_NE(usage.find(word), std::string::npos) << word;
    }
}

} // namespace
} // namespace quillmere
