#pragma once

// A full-motion picture on an X display that costs its client almost
// nothing: frames of testsrc2 are rendered once (by ffmpeg) into server-side
// pixmaps, then one is copied onto the root window per frame on a 60 fps
// grid. The low four bits of every channel carry a diagonal ramp that moves
// three steps a frame, so every pixel differs from the frame before (testsrc2
// alone changes about 6 % of them) and no damage or unchanged-macroblock
// shortcut applies. It runs in a process of its own (the benchmark program
// started again with sourceFlag), so its CPU is not counted as the host's.

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
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

inline constexpr std::string_view sourceFlag = "--full-motion-source";

struct FullMotion {
    std::string display;
    int width = 1920;
    int height = 1080;
    int fps = 60;
    // One second of frames: the loop's seam is a frame change like any other.
    int frames = 60;
    // Where the count of frames shown so far is kept, for the benchmark to read.
    std::filesystem::path counter;
    // Processors to run on; every one when empty.
    std::vector<int> processors{};
};

// The source's own process: returns when its display goes.
inline int playFullMotion(const FullMotion& source) {
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
    const std::uint32_t noExposures = 0;
    const xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, root, XCB_GC_GRAPHICS_EXPOSURES, &noExposures);

    const int w = source.width;
    const int h = source.height;
    const std::string command =
        fmt::format("/usr/bin/ffmpeg -nostdin -loglevel error -f lavfi -i testsrc2=size={}x{}:rate={} -frames:v {} "
                    "-pix_fmt bgra -f rawvideo -",
                    w, h, source.fps, source.frames);
    FILE* frames = popen(command.c_str(), "r");
    if (frames == nullptr) return 3;
    std::vector<std::uint32_t> picture(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
    std::vector<xcb_pixmap_t> pixmaps;
    // Under the core protocol's request limit without BIG-REQUESTS.
    constexpr int rowsPerRequest = 16;
    for (int i = 0; i < source.frames; ++i) {
        if (std::fread(picture.data(), sizeof picture[0], picture.size(), frames) != picture.size()) break;
        for (int y = 0; y < h; ++y) {
            std::uint32_t* row = picture.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(w);
            for (int x = 0; x < w; ++x) {
                const auto ramp = static_cast<std::uint32_t>((x + y + 3 * i) & 15);
                row[x] = (row[x] & 0x00F0F0F0u) | (ramp * 0x010101u);
            }
        }
        const xcb_pixmap_t pixmap = xcb_generate_id(c);
        xcb_create_pixmap(c, screen->root_depth, pixmap, root, static_cast<std::uint16_t>(w),
                          static_cast<std::uint16_t>(h));
        for (int y = 0; y < h; y += rowsPerRequest) {
            const int rows = std::min(rowsPerRequest, h - y);
            xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap, gc, static_cast<std::uint16_t>(w),
                          static_cast<std::uint16_t>(rows), 0, static_cast<std::int16_t>(y), 0, screen->root_depth,
                          static_cast<std::uint32_t>(w * rows * 4),
                          reinterpret_cast<const std::uint8_t*>(picture.data() + static_cast<std::size_t>(y) * w));
        }
        pixmaps.push_back(pixmap);
        free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    }
    pclose(frames);
    if (pixmaps.empty()) return 4;
    picture = {};

    const int counter = open(source.counter.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const auto period = std::chrono::nanoseconds(1'000'000'000 / source.fps);
    auto next = std::chrono::steady_clock::now();
    for (std::uint64_t shown = 0; xcb_connection_has_error(c) == 0;) {
        xcb_copy_area(c, pixmaps[shown % pixmaps.size()], root, gc, 0, 0, 0, 0, static_cast<std::uint16_t>(w),
                      static_cast<std::uint16_t>(h));
        // On the screen before the frame counts as shown.
        xcb_generic_error_t* error = nullptr;
        free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), &error));
        if (error != nullptr) break;
        ++shown;
        const std::string text = fmt::format("{:20}\n", shown);
        if (pwrite(counter, text.data(), text.size(), 0) < 0) break;
        next += period;
        // Late by more than a frame: a missed frame, not a burst to catch up.
        const auto now = std::chrono::steady_clock::now();
        if (now > next + period) next = now;
        std::this_thread::sleep_until(next);
    }
    xcb_disconnect(c);
    return 0;
}

// The frames the source has shown so far.
inline std::uint64_t framesShown(const std::filesystem::path& counter) {
    std::ifstream file(counter);
    std::uint64_t shown = 0;
    file >> shown;
    return shown;
}

// Runs the source when the program was started as one (sourceFlag display
// counter processors); none otherwise.
inline std::optional<int> playFullMotionIfAsked(int argc, char** argv) {
    if (argc < 4 || argv[1] != sourceFlag) return std::nullopt;
    FullMotion source{.display = argv[2], .counter = argv[3]};
    if (argc > 4) {
        std::istringstream list(argv[4]);
        for (std::string processor; std::getline(list, processor, ',');)
            source.processors.push_back(std::atoi(processor.c_str()));
    }
    return playFullMotion(source);
}

} // namespace quillmere::bench
