#include "Platform/Keychain/Tests/TemporaryFolder.h"
#include "Platform/QRCode/QRCodeImage.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <memory>
#include <string>

namespace quillmere {
namespace {

// What zbarimg reads from the image file, without its "QR-Code:" prefix and
// the newline; nothing when it finds no code.
std::optional<std::string> decodeWithZbar(const QImage& image) {
    testing::TemporaryFolder folder;
    const auto file = folder.path() / "code.png";
    if (!image.save(QString::fromStdString(file.string()), "PNG")) return std::nullopt;
    const std::string command = "zbarimg --quiet --raw -Sbinary '" + file.string() + "' 2>/dev/null";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    if (!pipe) return std::nullopt;
    std::string out;
    std::array<char, 512> buffer;
    for (std::size_t n; (n = std::fread(buffer.data(), 1, buffer.size(), pipe.get())) > 0;) out.append(buffer.data(), n);
    if (::pclose(pipe.release()) != 0) return std::nullopt;
    return out;
}

TEST(QRCodeImage, DecodesBackToTheExactText) {
    // The longest invitation text there can be, and the characters Base64URL uses.
    const std::string text = "quillmere:1:" + std::string(290, 'A').replace(5, 4, "-_9z");
    const auto image = QRCodeImage::make(text, 8);
    ASSERT_TRUE(image.has_value());
    EXPECT_EQ(decodeWithZbar(*image), text);
}

TEST(QRCodeImage, ScaleSetsTheModuleSize) {
    const auto one = QRCodeImage::make("quillmere:1:AAAA", 1);
    const auto eight = QRCodeImage::make("quillmere:1:AAAA", 8);
    ASSERT_TRUE(one && eight);
    EXPECT_EQ(eight->width(), one->width() * 8);
    EXPECT_EQ(one->width(), one->height());
    // The quiet zone is white, the finder pattern's corner black.
    const int zone = QRCodeImage::quietZoneModules;
    EXPECT_EQ(qGray(one->pixel(zone - 1, zone - 1)), 255);
    EXPECT_EQ(qGray(one->pixel(zone, zone)), 0);
    EXPECT_EQ(qGray(eight->pixel(zone * 8, zone * 8 + 7)), 0);
}

TEST(QRCodeImage, RefusesWhatCannotBeDrawn) {
    EXPECT_FALSE(QRCodeImage::make("quillmere:1:AAAA", 0));
    // More than the largest code holds at level M.
    EXPECT_FALSE(QRCodeImage::make(std::string(3000, 'x'), 1));
}

} // namespace
} // namespace quillmere
