#pragma once

// Pictures a screen shows, made here rather than captured, so that every
// encoder gets the same frames and the same record of what changed: a
// desktop with terminals of text (typing, scrolling output, a window opening
// over the text and closing, still spells between) and full motion (testsrc2
// with a moving ramp in the low bits, as FullMotionSource plays it). Text is
// DejaVu Sans Mono through FreeType, anti-aliased as a terminal draws it.

#include "Platform/PixelBuffer/PixelBuffer.h"
#include "QuillmereMac/Geometry/Rect.h"

#include <ft2build.h>
#include FT_FREETYPE_H
#include <libyuv/convert_from_argb.h>

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillmere::bench {

inline constexpr const char* monospaceFont = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf";

// Coverage of the printable ASCII characters, one cell each.
class GlyphAtlas {
public:
    static std::optional<GlyphAtlas> load(int pixelSize, std::string& error) {
        FT_Library library = nullptr;
        FT_Face face = nullptr;
        if (FT_Init_FreeType(&library) != 0 || FT_New_Face(library, monospaceFont, 0, &face) != 0) {
            error = fmt::format("cannot load {}", monospaceFont);
            if (library) FT_Done_FreeType(library);
            return std::nullopt;
        }
        FT_Set_Pixel_Sizes(face, 0, static_cast<FT_UInt>(pixelSize));
        GlyphAtlas atlas;
        atlas.width_ = static_cast<int>(face->size->metrics.max_advance >> 6);
        atlas.height_ = static_cast<int>((face->size->metrics.ascender - face->size->metrics.descender) >> 6) + 1;
        const int baseline = static_cast<int>(face->size->metrics.ascender >> 6);
        atlas.coverage_.assign(static_cast<std::size_t>(95 * atlas.width_ * atlas.height_), 0);
        for (int c = 32; c < 127; ++c) {
            if (FT_Load_Char(face, static_cast<FT_ULong>(c), FT_LOAD_RENDER) != 0) continue;
            const FT_GlyphSlot slot = face->glyph;
            std::uint8_t* cell = atlas.coverage_.data() + static_cast<std::size_t>((c - 32) * atlas.width_ * atlas.height_);
            for (unsigned row = 0; row < slot->bitmap.rows; ++row) {
                const int y = baseline - slot->bitmap_top + static_cast<int>(row);
                for (unsigned col = 0; col < slot->bitmap.width; ++col) {
                    const int x = slot->bitmap_left + static_cast<int>(col);
                    if (x < 0 || y < 0 || x >= atlas.width_ || y >= atlas.height_) continue;
                    cell[y * atlas.width_ + x] = slot->bitmap.buffer[static_cast<int>(row) * slot->bitmap.pitch + static_cast<int>(col)];
                }
            }
        }
        FT_Done_Face(face);
        FT_Done_FreeType(library);
        return atlas;
    }

    int width() const { return width_; }
    int height() const { return height_; }
    const std::uint8_t* glyph(char c) const {
        const int index = (c < 32 || c > 126) ? 0 : c - 32;
        return coverage_.data() + static_cast<std::size_t>(index * width_ * height_);
    }

private:
    int width_ = 0;
    int height_ = 0;
    std::vector<std::uint8_t> coverage_;
};

// A BGRX picture (libyuv's "ARGB") drawn with rectangles and text.
class Canvas {
public:
    Canvas(int width, int height) : width_(width), height_(height), pixels_(static_cast<std::size_t>(width) * height) {}

    int width() const { return width_; }
    int height() const { return height_; }

    void fill(int x, int y, int w, int h, std::uint32_t colour) {
        const int x0 = std::clamp(x, 0, width_), x1 = std::clamp(x + w, 0, width_);
        const int y0 = std::clamp(y, 0, height_), y1 = std::clamp(y + h, 0, height_);
        for (int row = y0; row < y1; ++row) std::fill(at(x0, row), at(x1, row), colour);
    }
    // A vertical gradient, as desktop backgrounds have.
    void gradient(std::uint32_t top, std::uint32_t bottom) {
        for (int row = 0; row < height_; ++row) {
            const double f = static_cast<double>(row) / std::max(height_ - 1, 1);
            std::uint32_t colour = 0;
            for (int shift = 0; shift < 24; shift += 8) {
                const double a = (top >> shift) & 0xFF, b = (bottom >> shift) & 0xFF;
                colour |= static_cast<std::uint32_t>(a + (b - a) * f + 0.5) << shift;
            }
            std::fill(at(0, row), at(width_, row), colour);
        }
    }
    // Text in cells from (x, y), clipped to width w.
    void text(const GlyphAtlas& font, int x, int y, int w, std::string_view text, std::uint32_t fg, std::uint32_t bg) {
        for (std::size_t i = 0; i < text.size(); ++i) {
            const int cx = x + static_cast<int>(i) * font.width();
            if (cx + font.width() > x + w) break;
            blend(font, cx, y, text[i], fg, bg);
        }
    }

    void toNV12(PixelBuffer& out) const {
        libyuv::ARGBToNV12(reinterpret_cast<const std::uint8_t*>(pixels_.data()), width_ * 4, out.planeBaseAddress(0),
                           static_cast<int>(out.planeBytesPerRow(0)), out.planeBaseAddress(1),
                           static_cast<int>(out.planeBytesPerRow(1)), width_, height_);
    }
    std::uint32_t* at(int x, int y) { return pixels_.data() + static_cast<std::size_t>(y) * width_ + x; }
    std::vector<std::uint32_t>& pixels() { return pixels_; }

private:
    void blend(const GlyphAtlas& font, int x, int y, char c, std::uint32_t fg, std::uint32_t bg) {
        const std::uint8_t* glyph = font.glyph(c);
        for (int row = 0; row < font.height(); ++row) {
            if (y + row < 0 || y + row >= height_) continue;
            for (int col = 0; col < font.width(); ++col) {
                if (x + col < 0 || x + col >= width_) continue;
                const unsigned a = glyph[row * font.width() + col];
                std::uint32_t colour = 0;
                for (int shift = 0; shift < 24; shift += 8) {
                    const unsigned f = (fg >> shift) & 0xFF, b = (bg >> shift) & 0xFF;
                    colour |= ((f * a + b * (255 - a) + 127) / 255) << shift;
                }
                *at(x + col, y + row) = colour;
            }
        }
    }

    int width_;
    int height_;
    std::vector<std::uint32_t> pixels_;
};

// Lines a shell session prints: listings, compiler progress, prompts.
inline std::string terminalLine(std::uint64_t n) {
    static constexpr std::array<std::string_view, 24> words{
        "build", "src", "include", "QuillmereMac", "Encoder", "libx264", "render", "-O2", "object", "linking",
        "warning:", "unused", "variable", "test", "PASSED", "frame", "surface", "pipeline", "42", "1920x1080",
        "drwxr-xr-x", "user", "4096", "Makefile"};
    std::uint64_t state = n * 0x9E3779B97F4A7C15ull + 0x1234567ull;
    auto next = [&] {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return state * 2685821657736338717ull;
    };
    std::string line;
    switch (next() % 4) {
    case 0: line = fmt::format("[{:3}%] Building CXX object ", next() % 100); break;
    case 1: line = fmt::format("-rw-r--r-- 1 user user {:6} Dec  8 0{}:{:02} ", next() % 99999, next() % 10, next() % 60); break;
    case 2: line = "user@host:~/quillmere$ "; break;
    default: break;
    }
    const std::size_t length = 20 + next() % 110;
    while (line.size() < length) {
        line += words[next() % words.size()];
        line += (next() % 7 == 0) ? "/" : " ";
    }
    return line;
}

// A desktop over time: two terminals, typing, scrolling output, a window
// opening over the text and closing. The still variant scrolls for half a
// second and then holds still. Sizes scale with the raster (2160p draws
// everything twice as large).
class ScreenScene {
public:
    enum class Kind : std::uint8_t { recording, still };

    ScreenScene(Kind kind, int width, int height, const GlyphAtlas& font)
        : kind_(kind), width_(width), height_(height), scale_(std::max(1, width / 1920)), font_(font) {}

    int width() const { return width_; }
    int height() const { return height_; }
    double duration() const { return kind_ == Kind::recording ? 6.0 : 3.0; }
    // Window openings and closings.
    std::vector<double> sceneChanges() const {
        return kind_ == Kind::recording ? std::vector<double>{3.5, 4.5} : std::vector<double>{};
    }
    // From here on nothing changes; none while it does.
    double stillFrom() const { return kind_ == Kind::recording ? 4.5 : 0.5; }

    struct State {
        int typed = 0;
        int scrolled = 0;
        bool window = false;
        int windowTyped = 0;
        bool operator==(const State&) const = default;
    };

    State stateAt(double t) const {
        State s;
        if (kind_ == Kind::still) {
            s.scrolled = static_cast<int>(std::min(t, 0.5) / 0.04);
            return s;
        }
        s.typed = static_cast<int>(std::clamp(t - 1.0, 0.0, 1.0) / 0.08);
        s.scrolled = static_cast<int>(std::clamp(t - 2.0, 0.0, 1.0) / 0.04);
        s.window = t >= 3.5 && t < 4.5;
        if (s.window) s.windowTyped = static_cast<int>((t - 3.5) / 0.1);
        return s;
    }

    // What changed from one state to the next, as the X server reports it.
    std::vector<Rect> changed(const State& from, const State& to) const {
        std::vector<Rect> rects;
        if (from.scrolled != to.scrolled) {
            rects.push_back(textArea());
        } else if (from.typed != to.typed) {
            rects.push_back(Rect{static_cast<double>(textArea().x), static_cast<double>(promptRow()),
                                 textArea().width, static_cast<double>(font_.height())});
        }
        if (from.window != to.window) {
            // With its title bar and border.
            const Rect w = windowArea();
            rects.push_back(Rect{w.x - 2.0 * scale_, w.y - 26.0 * scale_, w.width + 4.0 * scale_, w.height + 28.0 * scale_});
        } else if (to.window && from.windowTyped != to.windowTyped) {
            const Rect w = windowArea();
            rects.push_back(Rect{w.x, w.y + 60.0 * scale_, w.width, static_cast<double>(font_.height())});
        }
        return rects;
    }

    void draw(Canvas& canvas, const State& s) const {
        canvas.gradient(0x2B4A6F, 0x13233A);
        // The big terminal: scrolling output, then a prompt being typed at.
        const Rect area = textArea();
        drawWindowFrame(canvas, area, 0x1E1E1E);
        const int rows = static_cast<int>(area.height) / font_.height();
        const int first = s.scrolled;
        for (int row = 0; row < rows; ++row) {
            const int y = static_cast<int>(area.y) + row * font_.height();
            if (row == rows - 1 && kind_ == Kind::recording) {
                const std::string typed = std::string("user@host:~/quillmere$ ") +
                                          std::string("cmake --build build --target PictureQualityBench").substr(
                                              0, static_cast<std::size_t>(s.typed));
                canvas.text(font_, static_cast<int>(area.x), y, static_cast<int>(area.width), typed + "_", 0x8AE234, 0x1E1E1E);
                continue;
            }
            const std::uint64_t n = static_cast<std::uint64_t>(first + row);
            const std::uint32_t colour = n % 5 == 0 ? 0x729FCF : (n % 7 == 0 ? 0xFCE94F : 0xD3D7CF);
            canvas.text(font_, static_cast<int>(area.x), y, static_cast<int>(area.width), terminalLine(n), colour, 0x1E1E1E);
        }
        // A narrow terminal on the right, never changing.
        const Rect side{1490.0 * scale_, 40.0 * scale_, 400.0 * scale_, 1000.0 * scale_};
        drawWindowFrame(canvas, side, 0x300A24);
        for (int row = 0; row * font_.height() < static_cast<int>(side.height); ++row) {
            canvas.text(font_, static_cast<int>(side.x), static_cast<int>(side.y) + row * font_.height(),
                        static_cast<int>(side.width), terminalLine(10'000 + static_cast<std::uint64_t>(row)), 0xEEEEEC, 0x300A24);
        }
        if (s.window) {
            const Rect w = windowArea();
            drawWindowFrame(canvas, w, 0xFAFAFA);
            for (int row = 0; row * font_.height() < static_cast<int>(w.height) - 80 * scale_; ++row) {
                std::string line = terminalLine(20'000 + static_cast<std::uint64_t>(row));
                if (row == 2) line = std::string("Dear viewer, ") + std::string("this text is typed one letter at a time.").substr(0, static_cast<std::size_t>(s.windowTyped));
                canvas.text(font_, static_cast<int>(w.x) + 8 * scale_, static_cast<int>(w.y) + 24 * scale_ + row * font_.height(),
                            static_cast<int>(w.width) - 16 * scale_, line, 0x2E3436, 0xFAFAFA);
            }
        }
    }

private:
    Rect textArea() const { return Rect{40.0 * scale_, 40.0 * scale_, 1420.0 * scale_, 1000.0 * scale_}; }
    int promptRow() const {
        const Rect area = textArea();
        const int rows = static_cast<int>(area.height) / font_.height();
        return static_cast<int>(area.y) + (rows - 1) * font_.height();
    }
    Rect windowArea() const { return Rect{420.0 * scale_, 200.0 * scale_, 1080.0 * scale_, 640.0 * scale_}; }
    void drawWindowFrame(Canvas& canvas, const Rect& r, std::uint32_t background) const {
        const int x = static_cast<int>(r.x), y = static_cast<int>(r.y), w = static_cast<int>(r.width),
                  h = static_cast<int>(r.height);
        canvas.fill(x - 2 * scale_, y - 26 * scale_, w + 4 * scale_, 26 * scale_, 0xD6D6D6);
        canvas.text(font_, x + 8 * scale_, y - 24 * scale_, w / 2, "Terminal", 0x2E3436, 0xD6D6D6);
        canvas.fill(x - 2 * scale_, y, w + 4 * scale_, h + 2 * scale_, 0x555753);
        canvas.fill(x, y, w, h, background);
    }

    Kind kind_;
    int width_;
    int height_;
    int scale_;
    const GlyphAtlas& font_;
};

// testsrc2 at 60 fps for one second, looped, with a ramp in the low four
// bits that moves three steps a frame: every pixel changes every frame.
class MotionScene {
public:
    static std::optional<MotionScene> load(int width, int height, std::string& error) {
        const std::string command =
            fmt::format("/usr/bin/ffmpeg -nostdin -loglevel error -f lavfi -i testsrc2=size={}x{}:rate=60 "
                        "-frames:v 60 -pix_fmt bgra -f rawvideo -",
                        width, height);
        FILE* pipe = popen(command.c_str(), "r");
        if (pipe == nullptr) {
            error = "cannot run ffmpeg";
            return std::nullopt;
        }
        MotionScene scene(width, height);
        std::vector<std::uint32_t> picture(static_cast<std::size_t>(width) * height);
        while (std::fread(picture.data(), sizeof picture[0], picture.size(), pipe) == picture.size())
            scene.frames_.push_back(picture);
        pclose(pipe);
        if (scene.frames_.size() < 60) {
            error = "ffmpeg gave no testsrc2 frames";
            return std::nullopt;
        }
        return scene;
    }

    int width() const { return width_; }
    int height() const { return height_; }
    double duration() const { return 4.0; }

    void draw(Canvas& canvas, double t) const {
        const auto i = static_cast<std::size_t>(t * 60 + 1e-6);
        const auto& frame = frames_[i % frames_.size()];
        for (int y = 0; y < height_; ++y) {
            const std::uint32_t* from = frame.data() + static_cast<std::size_t>(y) * width_;
            std::uint32_t* to = canvas.at(0, y);
            for (int x = 0; x < width_; ++x) {
                const auto ramp = static_cast<std::uint32_t>((x + y + 3 * static_cast<int>(i)) & 15);
                to[x] = (from[x] & 0x00F0F0F0u) | (ramp * 0x010101u);
            }
        }
    }

private:
    MotionScene(int width, int height) : width_(width), height_(height) {}
    int width_;
    int height_;
    std::vector<std::vector<std::uint32_t>> frames_;
};

} // namespace quillmere::bench
