#include "TestSupport/QRCodeReader.h"

#include <array>
#include <cstdio>

namespace quillmere::testing {

std::optional<std::string> readQRCode(const std::filesystem::path& image) {
    // Only QR codes: a one-dimensional symbology can find a short "barcode"
    // in a window's other pixels, and binary output has no separator.
    const std::string command =
        "zbarimg --quiet --raw -Sdisable -Sqrcode.enable -Sbinary '" + image.string() + "' 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return std::nullopt;
    std::string out;
    std::array<char, 512> buffer;
    for (std::size_t n; (n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0;) out.append(buffer.data(), n);
    if (::pclose(pipe) != 0) return std::nullopt;
    return out;
}

} // namespace quillmere::testing
