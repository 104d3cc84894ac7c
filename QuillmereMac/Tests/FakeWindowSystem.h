#pragma once

// A desktop in memory for the raiser and the control logic: windows of
// processes in one stacking order (front first), displays, the active
// application, and a transcript of what was asked of it.

#include "Platform/Accessibility/WindowSystem.h"

#include <algorithm>
#include <map>
#include <mutex>

namespace quillmere::testing {

class FakeWindowSystem final : public WindowSystem {
public:
    struct FakeWindow {
        FakeWindow(Window id, std::int32_t pid, std::optional<ScreenRect> frame,
                   std::optional<std::string> title = std::nullopt, Insets insets = {}, bool keepsAbove = false,
                   bool vanished = false)
            : id(id), pid(pid), frame(frame), title(std::move(title)), insets(insets), keepsAbove(keepsAbove),
              vanished(vanished) {}

        Window id = 0;
        std::int32_t pid = 0;
        std::optional<ScreenRect> frame;
        std::optional<std::string> title;
        Insets insets;
        // Stays in front of its application's other windows whatever is raised.
        bool keepsAbove = false;
        // Still listed, but gone for everything else.
        bool vanished = false;
    };

    // Front to back.
    std::vector<FakeWindow> stack;
    std::vector<ScreenRect> screens{{0, 0, 1920, 1080}};
    std::optional<std::int32_t> front;
    bool listFails = false;
    std::vector<std::string> calls;

    void add(FakeWindow window) {
        std::lock_guard lock(mutex_);
        stack.push_back(std::move(window));
    }
    // The user brings another application forward.
    void activateFromOutside(std::int32_t pid) {
        std::map<std::uint64_t, ActivationHandler> handlers;
        {
            std::lock_guard lock(mutex_);
            front = pid;
            handlers = observers_;
        }
        for (const auto& [token, handler] : handlers) handler(pid);
    }
    std::vector<std::string> transcript() {
        std::lock_guard lock(mutex_);
        return std::exchange(calls, {});
    }

    std::optional<std::vector<Window>> windows(std::int32_t pid) override {
        std::lock_guard lock(mutex_);
        if (listFails) return std::nullopt;
        std::vector<Window> owned;
        for (const FakeWindow& window : stack)
            if (window.pid == pid) owned.push_back(window.id);
        return owned;
    }
    std::optional<ScreenRect> frame(Window window) override {
        std::lock_guard lock(mutex_);
        const FakeWindow* found = find(window);
        return found ? found->frame : std::nullopt;
    }
    std::optional<std::string> title(Window window) override {
        std::lock_guard lock(mutex_);
        const FakeWindow* found = find(window);
        return found ? found->title : std::nullopt;
    }
    Insets decorations(Window window) override {
        std::lock_guard lock(mutex_);
        const FakeWindow* found = find(window);
        return found ? found->insets : Insets{};
    }
    void setFrame(Window window, ScreenRect frame, bool setSize) override {
        std::lock_guard lock(mutex_);
        calls.push_back("setFrame " + std::to_string(window) + " " + std::to_string(frame.x) + "," +
                        std::to_string(frame.y) + " " + std::to_string(frame.width) + "x" +
                        std::to_string(frame.height) + (setSize ? " sized" : ""));
        FakeWindow* found = find(window);
        if (!found || !found->frame) return;
        found->frame->x = frame.x;
        found->frame->y = frame.y;
        if (setSize) found->frame->width = frame.width, found->frame->height = frame.height;
    }
    std::vector<ScreenRect> visibleScreenFrames() override {
        std::lock_guard lock(mutex_);
        return screens;
    }
    std::int32_t raise(Window window) override {
        std::lock_guard lock(mutex_);
        calls.push_back("raise " + std::to_string(window));
        if (!toFront(window)) return 3;
        return 0;
    }
    bool makeKeyWindow(Window window, std::int32_t pid) override {
        std::lock_guard lock(mutex_);
        calls.push_back("key " + std::to_string(window));
        if (!toFront(window)) return false;
        keys_[pid] = window;
        front = pid;
        return true;
    }
    bool activate(std::int32_t pid) override {
        std::lock_guard lock(mutex_);
        calls.push_back("activate " + std::to_string(pid));
        const auto window = focused(pid);
        if (!window) return false;
        toFront(*window);
        front = pid;
        return true;
    }
    std::optional<Window> focusedWindow(std::int32_t pid) override {
        std::lock_guard lock(mutex_);
        return focused(pid);
    }
    std::optional<ScreenRect> frontmostWindowBounds(std::int32_t pid) override {
        std::lock_guard lock(mutex_);
        for (const FakeWindow& window : stack)
            if (window.pid == pid && !window.vanished) return window.frame;
        return std::nullopt;
    }
    std::optional<std::int32_t> frontmostApplication() override {
        std::lock_guard lock(mutex_);
        return front;
    }
    std::uint64_t addActivationObserver(ActivationHandler handler) override {
        std::lock_guard lock(mutex_);
        observers_.emplace(nextToken_, std::move(handler));
        return nextToken_++;
    }
    void removeActivationObserver(std::uint64_t token) override {
        std::lock_guard lock(mutex_);
        observers_.erase(token);
    }

private:
    FakeWindow* find(Window id) {
        const auto found = std::find_if(stack.begin(), stack.end(),
                                        [id](const FakeWindow& w) { return w.id == id && !w.vanished; });
        return found == stack.end() ? nullptr : &*found;
    }
    std::optional<Window> focused(std::int32_t pid) {
        if (const auto key = keys_.find(pid); key != keys_.end() && find(key->second)) return key->second;
        for (const FakeWindow& window : stack)
            if (window.pid == pid && !window.vanished) return window.id;
        return std::nullopt;
    }
    bool toFront(Window id) {
        const auto found = std::find_if(stack.begin(), stack.end(),
                                        [id](const FakeWindow& w) { return w.id == id && !w.vanished; });
        if (found == stack.end()) return false;
        std::rotate(stack.begin(), found, found + 1);
        std::stable_partition(stack.begin(), stack.end(), [](const FakeWindow& w) { return w.keepsAbove; });
        return true;
    }

    std::mutex mutex_;
    std::map<std::int32_t, Window> keys_;
    std::map<std::uint64_t, ActivationHandler> observers_;
    std::uint64_t nextToken_ = 1;
};

} // namespace quillmere::testing
