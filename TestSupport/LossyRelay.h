#pragma once

#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>

namespace quillmere::testing {

// A UDP relay on loopback that behaves like a poor Wi-Fi link: clients send
// to port() and the relay forwards to the server's port, each client through
// an upstream socket of its own, so the server sees one address per client.
// Each direction can lose, delay and reorder packets, or swallow everything
// for a while (an outage). Losses are drawn from a seeded generator, so a
// run can be repeated.
class LossyRelay {
public:
    enum class Direction : std::uint8_t { toServer, toClient };

    struct Conditions {
        double loss = 0;     // probability that a packet is dropped
        double reorder = 0;  // probability that a packet is held back...
        std::chrono::microseconds reorderDelay{3000}; // ...for this long
        std::chrono::microseconds delay{0};           // added to every packet
        bool blackHole = false;                       // everything is dropped
        // Each client's first this many packets pass, the rest are dropped:
        // 1 towards clients lets a server's first answer through and no more.
        std::uint64_t passFirst = std::numeric_limits<std::uint64_t>::max();
    };

    struct Counts {
        std::uint64_t forwarded = 0;
        std::uint64_t dropped = 0; // lost at random or in a black hole
        std::uint64_t reordered = 0;
        std::uint64_t chosen = 0; // dropped as dropOne chose
    };

    explicit LossyRelay(std::uint16_t serverPort, std::uint64_t seed = 1);
    ~LossyRelay();
    LossyRelay(const LossyRelay&) = delete;
    LossyRelay& operator=(const LossyRelay&) = delete;

    std::uint16_t port() const;

    void setConditions(Direction direction, const Conditions& conditions);
    void setConditions(const Conditions& conditions); // both directions
    // Both directions go dark (true) or come back with their other conditions.
    void blackHole(bool on);
    // From now on, the nth packet in that direction larger than minBytes is
    // dropped, once: one datagram of a frame, say, where small packets are
    // acknowledgements and control.
    void dropOne(Direction direction, std::size_t minBytes, std::uint64_t nth = 1);
    Counts counts(Direction direction) const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace quillmere::testing
