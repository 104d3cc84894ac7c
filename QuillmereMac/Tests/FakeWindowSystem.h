#pragma once

// A desktop in memory for the raiser and the control logic, used from one
// thread: windows of processes in one stacking order (front first),
// displays, the application in front, and what was asked of it.

#include "Platform/Accessibility/WindowSystem.h"

#include <algorithm>
#include <map>

namespace quillmere::testing {

class FakeWindowSystem final : public WindowSystem {
public:
    struct FakeWindow {
        FakeWindow(Window id, std::int32_t pid, std::optional<ScreenRect> frame,
                   std::optional<std::string> title = std::nullopt, Insets insets = {})
            : id(id), pid(pid), frame(frame), title(std::move(title)), insets(insets) {}

        Window id;
        std::int32_t pid;
        std::optional<ScreenRect> frame;
        std::optional<std::string> title;
        Insets insets;
        // Stays in front of every other window whatever is raised.
        bool keepsAbove = false;
        // Still listed, but gone for everything else.
        bool vanished = false;
    };

    std::vector<FakeWindow> stack;
    std::vector<ScreenRect> screens{{0, 0, 1920, 1080}};
    std::optional<std::int32_t> front;
    bool listFails = false;
    std::vector<std::string> calls;

    // The user brings another application forward.
    void activateFromOutside(std::int32_t pid) {
        front = pid;
        for (const auto& [token, handler] : std::map(observers_)) handler(pid);
    }
    std::vector<std::string> transcript() { return std::exchange(calls, {}); }

    std::optional<std::vector<Window>> windows(std::int32_t pid) override {
        if (listFails) return std::nullopt;
        std::vector<Window> owned;
        for (const FakeWindow& window : stack)
            if (window.pid == pid) owned.push_back(window.id);
        return owned;
    }
    std::optional<ScreenRect> frame(Window id) override { return find(id) ? find(id)->frame : std::nullopt; }
    std::optional<std::string> title(Window id) override { return find(id) ? find(id)->title : std::nullopt; }
    Insets decorations(Window id) override { return find(id) ? find(id)->insets : Insets{}; }
    void setFrame(Window id, ScreenRect frame, bool setSize) override {
        calls.push_back("setFrame " + std::to_string(id) + " " + std::to_string(frame.x) + "," +
                        std::to_string(frame.y) + " " + std::to_string(frame.width) + "x" +
                        std::to_string(frame.height) + (setSize ? " sized" : ""));
        FakeWindow* found = find(id);
        if (!found || !found->frame) return;
        if (!setSize) frame.width = found->frame->width, frame.height = found->frame->height;
        found->frame = frame;
    }
    std::vector<ScreenRect> visibleScreenFrames() override { return screens; }
    std::int32_t raise(Window id) override {
        calls.push_back("raise " + std::to_string(id));
        return toFront(id) ? 0 : 3;
    }
    bool makeKeyWindow(Window id, std::int32_t pid) override {
        calls.push_back("key " + std::to_string(id));
        if (!toFront(id)) return false;
        keys_[pid] = id;
        front = pid;
        return true;
    }
    bool activate(std::int32_t pid) override {
        calls.push_back("activate " + std::to_string(pid));
        const auto window = focusedWindow(pid);
        if (!window) return false;
        toFront(*window);
        front = pid;
        return true;
    }
    std::optional<Window> focusedWindow(std::int32_t pid) override {
        if (const auto key = keys_.find(pid); key != keys_.end() && find(key->second)) return key->second;
        for (const FakeWindow& window : stack)
            if (window.pid == pid && !window.vanished) return window.id;
        return std::nullopt;
    }
    std::optional<ScreenRect> frontmostWindowBounds(std::int32_t pid) override {
        for (const FakeWindow& window : stack)
            if (window.pid == pid && !window.vanished) return window.frame;
        return std::nullopt;
    }
    std::optional<std::int32_t> frontmostApplication() override { return front; }
    std::uint64_t addActivationObserver(ActivationHandler handler) override {
        observers_.emplace(nextToken_, std::move(handler));
        return nextToken_++;
    }
    void removeActivationObserver(std::uint64_t token) override { observers_.erase(token); }

private:
    FakeWindow* find(Window id) {
        const auto found =
            std::find_if(stack.begin(), stack.end(), [id](const FakeWindow& w) { return w.id == id && !w.vanished; });
        return found == stack.end() ? nullptr : &*found;
    }
    bool toFront(Window id) {
        FakeWindow* found = find(id);
        if (!found) return false;
        std::rotate(stack.begin(), stack.begin() + (found - stack.data()), stack.begin() + (found - stack.data()) + 1);
        std::stable_partition(stack.begin(), stack.end(), [](const FakeWindow& w) { return w.keepsAbove; });
        return true;
    }

    std::map<std::int32_t, Window> keys_;
    std::map<std::uint64_t, ActivationHandler> observers_;
    std::uint64_t nextToken_ = 1;
};

} // namespace quillmere::testing
