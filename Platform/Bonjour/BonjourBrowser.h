#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <condition_variable>
#include <optional>
#include <string>
#include <vector>

struct AvahiClient;
struct AvahiServiceBrowser;
struct AvahiThreadedPoll;

namespace quillmere {

// One advertised service, resolved to an address and a port.
struct BonjourService {
    std::string name;
    std::string hostName;
    // Numeric: "127.0.0.1", "fe80::1".
    std::string address;
    std::uint16_t port = 0;
    bool ipv6 = false;
    bool operator==(const BonjourService&) const = default;
};

// Finds and resolves the services of one DNS-SD type through the Avahi
// daemon, for as long as the object lives. Unlike the advertisement, which
// waits for a daemon, browsing without one fails at once: the caller has
// nothing to wait for.
class BonjourBrowser {
public:
    // The daemon's error text ("Daemon not running") when it cannot be reached.
    static std::expected<std::unique_ptr<BonjourBrowser>, std::string> browse(std::string type);
    ~BonjourBrowser();
    BonjourBrowser(const BonjourBrowser&) = delete;
    BonjourBrowser& operator=(const BonjourBrowser&) = delete;

    // The services resolved and not withdrawn, in the order they were resolved.
    std::vector<BonjourService> services() const;
    // Waits until a resolved service satisfies the predicate; the first one that does.
    std::optional<BonjourService> waitFor(const std::function<bool(const BonjourService&)>& predicate,
                                          std::chrono::milliseconds limit) const;
    // The browser's failure after it started, if any.
    std::optional<std::string> failure() const;

private:
    explicit BonjourBrowser(std::string type) : type_(std::move(type)) {}

    friend struct AvahiBrowseCallbacks;
    void resolved(BonjourService service);
    void removed(const std::string& name);
    void failed(std::string text);

    const std::string type_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<BonjourService> services_;
    std::optional<std::string> failure_;

    AvahiThreadedPoll* poll_ = nullptr;
    AvahiClient* client_ = nullptr;
    AvahiServiceBrowser* browser_ = nullptr;
};

} // namespace quillmere
