#pragma once

#include "Platform/Log/Logger.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

struct AvahiClient;
struct AvahiEntryGroup;
struct AvahiThreadedPoll;

namespace quillmere {

// One DNS-SD service published through the Avahi daemon, with no TXT
// record, in the default domain, for as long as the object lives. A missing
// daemon is logged and does not stop anything: the service is published as
// soon as the daemon appears. A name taken by another service is replaced by
// Avahi's alternative ("Name #2").
class BonjourAdvertisement {
public:
    enum class State : std::uint8_t {
        waiting,     // no daemon yet
        registering,
        established,
        failed,
    };
    // Runs on Avahi's own thread.
    using StateHandler = std::function<void(State state, const std::string& name, const std::string& detail)>;

    // DNS labels hold 63 bytes: longer names are cut between characters.
    static constexpr std::size_t maxNameBytes = 63;

    static std::unique_ptr<BonjourAdvertisement> publish(std::string name, std::string type, std::uint16_t port,
                                                         StateHandler onState = {});
    // Withdraws the service. Not from the state handler: it stops and joins
    // Avahi's thread.
    ~BonjourAdvertisement();
    BonjourAdvertisement(const BonjourAdvertisement&) = delete;
    BonjourAdvertisement& operator=(const BonjourAdvertisement&) = delete;

    // The name in use (Avahi's alternative after a collision).
    std::string name() const;
    State state() const;

private:
    BonjourAdvertisement(std::string name, std::string type, std::uint16_t port, StateHandler onState);

    friend struct AvahiCallbacks;
    void addService(AvahiClient* client);
    void setState(State state, const std::string& detail);
    void fail(const std::string& what, int error);

    const std::string type_;
    const std::uint16_t port_;
    const StateHandler onState_;
    const Logger log_;

    mutable std::mutex mutex_;
    std::string name_;
    State state_ = State::waiting;

    AvahiThreadedPoll* poll_ = nullptr;
    AvahiClient* client_ = nullptr;
    AvahiEntryGroup* group_ = nullptr;
};

} // namespace quillmere
