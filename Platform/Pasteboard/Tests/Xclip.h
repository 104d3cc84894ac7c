#pragma once

// Another client's use of the clipboard, through xclip.

#include "TestSupport/Eventually.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace quillmere::testing {

class Xclip {
public:
    explicit Xclip(std::string display) : display_(std::move(display)) {}

    std::string output(const std::string& arguments) const {
        std::string result;
        // An owner stuck in a transfer would keep xclip waiting for ever.
        FILE* pipe = popen(("DISPLAY=" + display_ + " timeout 20 xclip -selection clipboard " + arguments + " 2>/dev/null").c_str(), "r");
        if (!pipe) return result;
        char buffer[4096];
        while (const std::size_t n = fread(buffer, 1, sizeof buffer, pipe)) result.append(buffer, n);
        pclose(pipe);
        return result;
    }
    void input(const std::string& text, const std::string& target = "UTF8_STRING") const {
        FILE* pipe = popen(("DISPLAY=" + display_ + " xclip -selection clipboard -t " + target + " -i").c_str(), "w");
        ASSERT_NE(pipe, nullptr);
        fwrite(text.data(), 1, text.size(), pipe);
        pclose(pipe);
        // xclip takes the clipboard from its background child, which a busy
        // machine may start after this returns.
        EXPECT_TRUE(eventually([&] { return output("-o -t " + target) == text; })) << "xclip never took the clipboard";
    }

private:
    std::string display_;
};

} // namespace quillmere::testing
