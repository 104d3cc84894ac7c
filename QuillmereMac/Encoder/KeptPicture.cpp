#include "QuillmereMac/Encoder/KeptPicture.h"

#include <algorithm>
#include <cstring>

namespace quillmere {
namespace {

bool rowsEqual(const std::uint8_t* a, std::size_t strideA, const std::uint8_t* b, std::size_t strideB, int rows,
               std::size_t bytes) {
    // A whole NV12 block row is 16 bytes: compared inline, not by a call.
    if (bytes == 16) {
        for (int row = 0; row < rows; ++row, a += strideA, b += strideB) {
            if (std::memcmp(a, b, 16) != 0) return false;
        }
        return true;
    }
    for (int row = 0; row < rows; ++row, a += strideA, b += strideB) {
        if (std::memcmp(a, b, bytes) != 0) return false;
    }
    return true;
}

} // namespace

std::vector<KeptPicture::Plane> KeptPicture::planesOf(const PixelBuffer& frame) {
    const int width = frame.width();
    const int height = frame.height();
    if (width < 1 || height < 1) return {};
    std::vector<Plane> planes;
    const std::size_t count = frame.isPlanar() ? frame.planeCount() : 1;
    for (std::size_t index = 0; index < count; ++index) {
        const int perColumn = PixelBuffer::bytesPerColumn(frame.pixelFormat(), index);
        const int columns = frame.isPlanar() ? frame.planeWidth(index) : width;
        Plane plane;
        plane.base = frame.isPlanar() ? frame.planeBaseAddress(index) : frame.baseAddress();
        plane.stride = frame.isPlanar() ? frame.planeBytesPerRow(index) : frame.bytesPerRow();
        plane.rows = frame.isPlanar() ? frame.planeHeight(index) : height;
        plane.rowBytes = columns * perColumn;
        if (plane.base == nullptr || perColumn < 1 || columns < 1 || plane.rows < 1 ||
            plane.stride < static_cast<std::size_t>(plane.rowBytes))
            return {};
        // Subsampled planes (NV12's chroma) cover a macroblock with fewer columns and rows.
        const int columnStep = (width + columns - 1) / columns;
        const int rowStep = (height + plane.rows - 1) / plane.rows;
        plane.blockBytes = macroblockSide / columnStep * perColumn;
        plane.blockRows = macroblockSide / rowStep;
        if (plane.blockBytes < 1 || plane.blockRows < 1) return {};
        planes.push_back(plane);
    }
    return planes;
}

bool KeptPicture::fits(const PixelBuffer& frame, const std::vector<Plane>& planes) const {
    if (frame.pixelFormat() != pixelFormat_ || frame.width() != width_ || frame.height() != height_ ||
        planes.size() != planes_.size())
        return false;
    for (std::size_t index = 0; index < planes.size(); ++index) {
        const auto size = static_cast<std::size_t>(planes[index].rows) * static_cast<std::size_t>(planes[index].rowBytes);
        if (planes_[index].size() != size) return false;
    }
    return true;
}

void KeptPicture::copyWhole(const PixelBuffer& frame, const std::vector<Plane>& planes) {
    planes_.resize(planes.size());
    for (std::size_t index = 0; index < planes.size(); ++index) {
        const Plane& plane = planes[index];
        const auto rowBytes = static_cast<std::size_t>(plane.rowBytes);
        planes_[index].resize(static_cast<std::size_t>(plane.rows) * rowBytes);
        for (int row = 0; row < plane.rows; ++row) {
            std::memcpy(planes_[index].data() + static_cast<std::size_t>(row) * rowBytes,
                        plane.base + static_cast<std::size_t>(row) * plane.stride, rowBytes);
        }
    }
    pixelFormat_ = frame.pixelFormat();
    width_ = frame.width();
    height_ = frame.height();
}

bool KeptPicture::blockUnchanged(const std::vector<Plane>& planes, int column, int row) {
    bool unchanged = true;
    for (std::size_t index = 0; index < planes.size() && unchanged; ++index) {
        const Plane& plane = planes[index];
        const int top = row * plane.blockRows;
        const int left = column * plane.blockBytes;
        if (top >= plane.rows || left >= plane.rowBytes) continue;
        const int rows = std::min(plane.blockRows, plane.rows - top);
        const auto bytes = static_cast<std::size_t>(std::min(plane.blockBytes, plane.rowBytes - left));
        const std::uint8_t* now = plane.base + static_cast<std::size_t>(top) * plane.stride + left;
        const std::uint8_t* kept =
            planes_[index].data() + static_cast<std::size_t>(top) * static_cast<std::size_t>(plane.rowBytes) + left;
        unchanged = rowsEqual(now, plane.stride, kept, static_cast<std::size_t>(plane.rowBytes), rows, bytes);
    }
    if (unchanged) return true;
    for (std::size_t index = 0; index < planes.size(); ++index) {
        const Plane& plane = planes[index];
        const int top = row * plane.blockRows;
        const int left = column * plane.blockBytes;
        if (top >= plane.rows || left >= plane.rowBytes) continue;
        const int rows = std::min(plane.blockRows, plane.rows - top);
        const auto bytes = static_cast<std::size_t>(std::min(plane.blockBytes, plane.rowBytes - left));
        for (int line = top; line < top + rows; ++line) {
            std::memcpy(planes_[index].data() + static_cast<std::size_t>(line) * static_cast<std::size_t>(plane.rowBytes) +
                            left,
                        plane.base + static_cast<std::size_t>(line) * plane.stride + left, bytes);
        }
    }
    return false;
}

int KeptPicture::keep(const PixelBuffer& frame, std::vector<std::uint8_t>& map) {
    const std::vector<Plane> planes = planesOf(frame);
    if (planes.empty()) {
        forget();
        return 0;
    }
    const int columns = (frame.width() + macroblockSide - 1) / macroblockSide;
    const int rows = (frame.height() + macroblockSide - 1) / macroblockSide;
    const bool whole = map.size() != static_cast<std::size_t>(columns) * static_cast<std::size_t>(rows);
    if (whole || !fits(frame, planes)) {
        if (whole && lastWhole_) {
            forget();
        } else {
            copyWhole(frame, planes);
        }
        lastWhole_ = whole;
        return 0;
    }
    lastWhole_ = false;
    int marked = 0;
    for (int row = 0; row < rows; ++row) {
        for (int column = 0; column < columns; ++column) {
            std::uint8_t& constant = map[static_cast<std::size_t>(row) * static_cast<std::size_t>(columns) +
                                         static_cast<std::size_t>(column)];
            if (constant != 0 || !blockUnchanged(planes, column, row)) continue;
            constant = 1;
            ++marked;
        }
    }
    return marked;
}

void KeptPicture::forget() {
    planes_.clear();
    pixelFormat_ = 0;
    width_ = 0;
    height_ = 0;
}

} // namespace quillmere
