#pragma once

// A live desktop as an ordinary X client draws it: a striped block slides
// across the root window at 60 fps (its old place painted over, the block
// drawn anew with core fills, then a round trip so the frame is on the
// screen before it counts). Nothing may cover its path: drawing under
// another window changes nothing on the screen, so nothing is sent. It runs
// in a process of its own (the benchmark program started again with
// movingSourceFlag), so its CPU and its scheduling are not the host's. It
// keeps a count of frames shown and the longest time between two of them,
// so that a gap of its own is told from one of the host's.

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace quillmere::bench {

inline constexpr std::string_view movingSourceFlag = "--moving-desktop-source";

struct MovingDesktop {
    std::string display;
    // The block: its side across, and its height (nine stripes).
    int blockWidth = 480;
    int blockHeight = 270;
    int fps = 60;
    // Frames shown and the longest interval between two, for the benchmark.
    std::filesystem::path counter;
    // Processors to run on; every one when empty.
    std::vector<int> processors{};
};

struct MoverCount {
    std::uint64_t shown = 0;
    // Since the count was last reset (see resetMoverGap).
    std::uint64_t longestGapNs = 0;
};

inline MoverCount moverCount(const std::filesystem::path& counter) {
    std::ifstream file(counter);
    MoverCount count;
    file >> count.shown >> count.longestGapNs;
    return count;
}

// Asks the mover to start its longest gap afresh: a file beside the
// counter, removed once seen.
inline void resetMoverGap(const std::filesystem::path& counter) { std::ofstream(counter.string() + ".reset") << 1; }

inline int playMovingDesktop(const MovingDesktop& source) {
    if (!source.processors.empty()) {
        cpu_set_t set;
        CPU_ZERO(&set);
        for (const int processor : source.processors) CPU_SET(processor, &set);
        sched_setaffinity(0, sizeof set, &set);
    }
    xcb_connection_t* c = xcb_connect(source.display.c_str(), nullptr);
    if (xcb_connection_has_error(c) != 0) return 2;
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const xcb_window_t root = screen->root;
    const int width = screen->width_in_pixels;
    const int height = screen->height_in_pixels;
    const xcb_gcontext_t gc = xcb_generate_id(c);
    const std::uint32_t values[] = {0, 0};
    xcb_create_gc(c, gc, root, XCB_GC_FOREGROUND | XCB_GC_GRAPHICS_EXPOSURES, values);
    const auto fill = [&](int x, int y, int w, int h, std::uint32_t colour) {
        xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &colour);
        const xcb_rectangle_t rect{static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
                                   static_cast<std::uint16_t>(w), static_cast<std::uint16_t>(h)};
        xcb_poly_fill_rectangle(c, root, gc, 1, &rect);
    };
    constexpr std::uint32_t background = 0x203040;
    constexpr int stripes = 9;
    fill(0, 0, width, height, background);

    const int blockWidth = std::clamp(source.blockWidth, 1, width);
    const int blockHeight = std::clamp(source.blockHeight, stripes, height);
    const int stripe = blockHeight / stripes;
    const auto spanX = static_cast<std::uint64_t>(std::max(width - blockWidth, 1));
    const auto spanY = static_cast<std::uint64_t>(std::max(height - blockHeight, 1));
    const int counter = open(source.counter.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const std::string reset = source.counter.string() + ".reset";
    const auto period = std::chrono::nanoseconds(1'000'000'000 / source.fps);
    auto next = std::chrono::steady_clock::now();
    std::optional<std::chrono::steady_clock::time_point> lastShown;
    std::uint64_t longestGapNs = 0;
    int lastX = 0;
    int lastY = 0;
    for (std::uint64_t shown = 0; xcb_connection_has_error(c) == 0;) {
        const int x = static_cast<int>((shown * 12) % spanX);
        const int y = static_cast<int>((shown * 5) % spanY);
        fill(lastX, lastY, blockWidth, blockHeight, background);
        for (int band = 0; band < stripes; ++band) {
            fill(x, y + band * stripe, blockWidth, stripe,
                 0x406080u + 0x101010u * static_cast<std::uint32_t>((static_cast<std::uint64_t>(band) + shown) % 8));
        }
        lastX = x;
        lastY = y;
        // On the screen before the frame counts as shown.
        xcb_generic_error_t* error = nullptr;
        free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), &error));
        if (error != nullptr) break;
        const auto now = std::chrono::steady_clock::now();
        std::error_code ignored;
        if (std::filesystem::remove(reset, ignored)) {
            longestGapNs = 0;
            lastShown.reset();
        }
        if (lastShown) {
            const auto gap = std::chrono::duration_cast<std::chrono::nanoseconds>(now - *lastShown).count();
            longestGapNs = std::max(longestGapNs, static_cast<std::uint64_t>(gap));
        }
        lastShown = now;
        ++shown;
        const std::string text = fmt::format("{:20} {:20}\n", shown, longestGapNs);
        if (pwrite(counter, text.data(), text.size(), 0) < 0) break;
        next += period;
        // Late by more than a frame: a missed frame, not a burst to catch up.
        if (now > next + period) next = now;
        std::this_thread::sleep_until(next);
    }
    xcb_disconnect(c);
    return 0;
}

// Runs the mover when the program was started as one (movingSourceFlag
// display counter processors blockWidth blockHeight); none otherwise.
inline std::optional<int> playMovingDesktopIfAsked(int argc, char** argv) {
    if (argc < 7 || argv[1] != movingSourceFlag) return std::nullopt;
    MovingDesktop source{.display = argv[2], .counter = argv[3]};
    std::istringstream list(argv[4]);
    for (std::string processor; std::getline(list, processor, ',');)
        source.processors.push_back(std::atoi(processor.c_str()));
    source.blockWidth = std::atoi(argv[5]);
    source.blockHeight = std::atoi(argv[6]);
    return playMovingDesktop(source);
}

} // namespace quillmere::bench
