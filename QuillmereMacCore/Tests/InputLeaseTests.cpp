#include "QuillmereMacCore/InputLease.h"

#include "QuillmereWire/SequenceNumber.h"

#include <gtest/gtest.h>

#include <random>

namespace quillmere {
namespace {

using Actions = std::vector<InjectAction>;

constexpr std::uint64_t leaseNs = 500'000'000;
constexpr std::uint64_t t0 = 10'000'000'000;

InputEvent keyEvent(std::uint16_t usage, bool down) { return input::Key{usage, down}; }
InputEvent buttonEvent(InputButton button, bool down) { return input::Button{button, down}; }
InputEvent move() { return input::PointerMove{3, -4}; }

// A granted lease plus a sequence counter, so tests read as the client's stream.
struct Client {
    InputLease lease{leaseNs, 1000};
    std::uint32_t generation = lease.grant(t0).generation;
    std::uint32_t seq = 0;

    Actions send(const InputEvent& event, std::uint64_t now = t0) { return lease.admit(++seq, generation, event, now); }
};

TEST(InputLease, DropsInputOutsideTheCurrentGrant) {
    InputLease lease(leaseNs, 1000);
    EXPECT_TRUE(lease.admit(1, 0, keyEvent(4, true), t0).empty());
    EXPECT_EQ(lease.counters().droppedInactive, 1);

    const auto first = lease.grant(t0).generation;
    const auto second = lease.grant(t0).generation;
    EXPECT_EQ(second, first + 1);
    EXPECT_TRUE(lease.admit(1, first, keyEvent(4, true), t0).empty());
    EXPECT_EQ(lease.counters().droppedStale, 1);
    EXPECT_EQ(lease.admit(1, second, keyEvent(4, true), t0), Actions{inject::KeyDown{4}});

    // Revocation keeps the generation; its input now counts as inactive.
    EXPECT_EQ(lease.revoke(), Actions{inject::KeyUp{4}});
    EXPECT_EQ(lease.generation(), second);
    EXPECT_TRUE(lease.admit(2, second, keyEvent(5, true), t0).empty());
    EXPECT_EQ(lease.counters().droppedInactive, 2);
}

TEST(InputLease, OrdersSequenceNumbersWithWrapAround) {
    Client c;
    EXPECT_EQ(c.lease.admit(0xFFFFFFFFu, c.generation, input::Text{"a"}, t0).size(), 1u);
    EXPECT_EQ(c.lease.admit(0, c.generation, input::Text{"b"}, t0).size(), 1u);
    EXPECT_TRUE(c.lease.admit(0x80000000u, c.generation, input::Text{"c"}, t0).empty());
    EXPECT_EQ(c.lease.counters().droppedOrder, 1);
}

TEST(InputLease, RepeatedSequenceNeitherInjectsNorRefreshes) {
    Client c;
    EXPECT_EQ(c.lease.admit(77, c.generation, input::Renew{}, t0 + 100).size(), 0u);
    EXPECT_EQ(c.lease.lastValidNs(), t0 + 100);
    EXPECT_TRUE(c.lease.admit(77, c.generation, keyEvent(4, true), t0 + 200).empty());
    EXPECT_EQ(c.lease.counters().droppedOrder, 1);
    EXPECT_EQ(c.lease.lastValidNs(), t0 + 100);
    EXPECT_TRUE(c.lease.heldKeys().empty());
}

TEST(InputLease, LimitsMotionPerSecondWindow) {
    Client c;
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(c.send(move(), t0 + 5).size(), 1u);
    EXPECT_TRUE(c.send(input::Scroll{0, 1, ScrollUnit::line}, t0 + 999'999'999).empty());
    EXPECT_TRUE(c.send(input::PointerAbsolute{1, 1}, t0 + 999'999'999).empty());
    EXPECT_EQ(c.lease.counters().droppedRate, 2);
    // Keys and text are never limited.
    EXPECT_EQ(c.send(keyEvent(4, true), t0 + 999'999'999).size(), 1u);
    EXPECT_EQ(c.send(input::Text{"x"}, t0 + 999'999'999).size(), 1u);
    // A key alone can open the next window.
    EXPECT_EQ(c.send(keyEvent(4, false), t0 + 1'000'000'005).size(), 1u);
    EXPECT_EQ(c.lease.windowStartNs(), t0 + 1'000'000'005);
    EXPECT_EQ(c.send(move(), t0 + 1'000'000'006).size(), 1u);
}

TEST(InputLease, NonPositiveMotionLimitAdmitsOnePerWindow) {
    InputLease lease(leaseNs, -5);
    const auto gen = lease.grant(0).generation;
    EXPECT_EQ(lease.maxMotionPerSecond(), 1);
    EXPECT_EQ(lease.admit(1, gen, move(), t0).size(), 1u);
    EXPECT_TRUE(lease.admit(2, gen, move(), t0 + 1).empty());
    EXPECT_EQ(lease.admit(3, gen, move(), t0 + 1'000'000'000).size(), 1u);
}

TEST(InputLease, MapsEventsToActionsUnchanged) {
    Client c;
    EXPECT_EQ(c.send(input::PointerMove{-32768, 32767}), (Actions{inject::MoveRelative{-32768, 32767}}));
    EXPECT_EQ(c.send(input::PointerAbsolute{65535, 0}), (Actions{inject::MoveAbsolute{65535, 0}}));
    EXPECT_EQ(c.send(input::Scroll{-2, 7, ScrollUnit::line}), (Actions{inject::Scroll{-2, 7, ScrollUnit::line}}));
    EXPECT_EQ(c.send(input::Text{"grüß"}), Actions{inject::Text{"grüß"}});
    EXPECT_EQ(c.lease.counters().accepted, 4);
}

TEST(InputLease, KeepsHeldKeysAndButtonsOnce) {
    Client c;
    EXPECT_EQ(c.send(keyEvent(4, true)), Actions{inject::KeyDown{4}});
    EXPECT_EQ(c.send(keyEvent(4, true)), Actions{inject::KeyDown{4}});
    EXPECT_EQ(c.send(keyEvent(4, false)), Actions{inject::KeyUp{4}});
    EXPECT_TRUE(c.send(keyEvent(4, false)).empty());
    EXPECT_EQ(c.lease.counters().ignoredDuplicate, 1);

    EXPECT_EQ(c.send(buttonEvent(InputButton::left, true)), Actions{inject::ButtonDown{InputButton::left}});
    EXPECT_TRUE(c.send(buttonEvent(InputButton::left, true)).empty());
    EXPECT_TRUE(c.send(buttonEvent(InputButton::right, false)).empty());
    EXPECT_EQ(c.lease.counters().ignoredDuplicate, 3);
    EXPECT_EQ(c.lease.heldButtons(), std::vector<InputButton>{InputButton::left});
}

TEST(InputLease, ReleaseLetsGoOfButtonsThenKeysNewestFirst) {
    Client c;
    c.send(keyEvent(4, true));
    c.send(keyEvent(5, true));
    c.send(buttonEvent(InputButton::left, true));
    c.send(buttonEvent(InputButton::right, true));
    const auto accepted = c.lease.counters().accepted;
    EXPECT_EQ(c.send(input::Release{}), (Actions{inject::ButtonUp{InputButton::right}, inject::ButtonUp{InputButton::left},
                                                 inject::KeyUp{5}, inject::KeyUp{4}}));
    EXPECT_TRUE(c.send(input::Release{}).empty());
    EXPECT_EQ(c.lease.counters().accepted, accepted);
}

TEST(InputLease, GrantReleasesWhatTheOldGrantHeld) {
    Client c;
    c.send(keyEvent(9, true));
    const auto grant = c.lease.grant(t0 + 50);
    EXPECT_EQ(grant.generation, c.generation + 1);
    EXPECT_EQ(grant.releases, Actions{inject::KeyUp{9}});
    EXPECT_EQ(c.lease.lastSeq(), std::nullopt);
    EXPECT_EQ(c.lease.lastValidNs(), t0 + 50);
}

TEST(InputLease, ExpiresOnlyWhenStaleWithSomethingHeld) {
    Client c;
    c.send(keyEvent(4, true), t0);
    EXPECT_TRUE(c.lease.expireIfIdle(t0 + leaseNs).empty());
    // Time going backwards never counts as idle.
    EXPECT_TRUE(c.lease.expireIfIdle(t0 - 1).empty());
    EXPECT_EQ(c.lease.expireIfIdle(t0 + leaseNs + 1), Actions{inject::KeyUp{4}});
    EXPECT_EQ(c.lease.counters().expiries, 1);
    EXPECT_TRUE(c.lease.active());

    EXPECT_TRUE(c.lease.expireIfIdle(t0 + 10 * leaseNs).empty());
    EXPECT_EQ(c.lease.counters().expiries, 1);
}

TEST(InputLease, RenewPostponesExpiry) {
    Client c;
    c.send(buttonEvent(InputButton::middle, true), t0);
    c.send(input::Renew{}, t0 + 400'000'000);
    EXPECT_TRUE(c.lease.expireIfIdle(t0 + leaseNs + 1).empty());
    EXPECT_EQ(c.lease.expireIfIdle(t0 + 400'000'000 + leaseNs + 1), Actions{inject::ButtonUp{InputButton::middle}});
}

TEST(InputLease, NeverAdmitsAnEventOlderThanTheLastAdmitted) {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> jump(-40, 60);
    std::uniform_int_distribution<int> kind(0, 3);
    InputLease lease(leaseNs, 5);
    const auto gen = lease.grant(0).generation;
    std::uint32_t seq = 0xFFFFFF00u; // crosses the wrap
    std::uint64_t now = t0;
    for (int i = 0; i < 20000; ++i) {
        seq += static_cast<std::uint32_t>(jump(random));
        if (i % 997 == 0) seq += 0x80000000u;
        now += 1'000'000;
        const auto before = lease.lastSeq();
        InputEvent event = kind(random) == 0 ? keyEvent(4, i % 2 == 0) : move();
        const auto actions = lease.admit(seq, gen, event, now);
        if (before && !isNewer(seq, *before)) {
            ASSERT_TRUE(actions.empty());
            ASSERT_EQ(lease.lastSeq(), before);
        } else {
            ASSERT_EQ(lease.lastSeq(), seq);
        }
        ASSERT_LE(lease.motionInWindow(), 5);
    }
    const auto& counters = lease.counters();
    EXPECT_GT(counters.droppedOrder, 0);
    EXPECT_GT(counters.accepted, 0);
}

} // namespace
} // namespace quillmere
