#include "Platform/QRCode/QRCodeImage.h"
#include "TestSupport/QRCodeReader.h"
#include "TestSupport/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <string>

namespace quillmere {
namespace {

std::optional<std::string> decodeWithZbar(const QImage& image) {
    testing::TemporaryFolder folder;
    const auto file = folder.path() / "code.png";
    if (!image.save(QString::fromStdString(file.string()), "PNG")) return std::nullopt;
    return testing::readQRCode(file);
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
