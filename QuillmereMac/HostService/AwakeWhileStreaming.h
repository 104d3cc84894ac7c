#pragma once

#include "Platform/Log/Logger.h"

#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace quillmere {

// Keeps the display from sleeping while at least one client is streaming.
// The transport service serialises set() by holding lock() around it.
class AwakeWhileStreaming {
public:
    // A running display-awake activity; destroying it ends the activity.
    class Activity {
    public:
        virtual ~Activity() = default;
    };
    using Begin = std::function<std::expected<std::unique_ptr<Activity>, std::string>(std::string_view reason)>;

    static constexpr std::string_view reason = "Streaming this computer to an iPhone";

    // The desktop's activity; without one the display is never kept awake.
    explicit AwakeWhileStreaming(Begin begin = {});

    std::mutex& lock() { return lock_; }
    void set(bool active);
    bool isHeld() const { return activity_ != nullptr; }

private:
    std::mutex lock_;
    std::unique_ptr<Activity> activity_;
    Begin begin_;
    bool warned_ = false;
    Logger log_{"com.ornbeck.quillmere.mac", "transport"};
};

} // namespace quillmere
