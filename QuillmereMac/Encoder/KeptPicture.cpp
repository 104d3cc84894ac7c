#include "QuillmereMac/Encoder/KeptPicture.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace quillmere {

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

void KeptPicture::compareLine(const Plane& plane, std::vector<std::uint8_t>& kept, int line,
                              const std::uint8_t* constant, std::vector<std::uint8_t>& differs) {
    const std::uint8_t* now = plane.base + static_cast<std::size_t>(line) * plane.stride;
    std::uint8_t* old = kept.data() + static_cast<std::size_t>(line) * static_cast<std::size_t>(plane.rowBytes);
    const int columns = static_cast<int>(differs.size());
    auto span = [&](int first, int end) {
        const int left = first * plane.blockBytes;
        return std::pair{left, static_cast<std::size_t>(std::min(end * plane.blockBytes, plane.rowBytes) - left)};
    };
    for (int column = 0; column < columns;) {
        if (constant[column] != 0) {
            ++column;
            continue;
        }
        // A run of blocks alike: the line of those found changed is copied,
        // that of the others compared in one go, block by block only when it differs.
        const bool changed = differs[column] != 0;
        int end = column + 1;
        while (end < columns && constant[end] == 0 && (differs[end] != 0) == changed) ++end;
        if (column * plane.blockBytes >= plane.rowBytes) break;
        const auto [left, bytes] = span(column, end);
        if (changed) {
            std::memcpy(old + left, now + left, bytes);
        } else if (std::memcmp(now + left, old + left, bytes) != 0) {
            for (int block = column; block < end; ++block) {
                const auto [blockLeft, blockBytes] = span(block, block + 1);
                if (std::memcmp(now + blockLeft, old + blockLeft, blockBytes) == 0) continue;
                differs[block] = 1;
                std::memcpy(old + blockLeft, now + blockLeft, blockBytes);
            }
        }
        column = end;
    }
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
    // Line by line across each row of macroblocks, so that memory is read in order.
    int marked = 0;
    std::vector<std::uint8_t> differs(static_cast<std::size_t>(columns));
    for (int row = 0; row < rows; ++row) {
        std::uint8_t* constant = map.data() + static_cast<std::size_t>(row) * static_cast<std::size_t>(columns);
        if (std::find(constant, constant + columns, 0) == constant + columns) continue;
        std::fill(differs.begin(), differs.end(), 0);
        for (std::size_t index = 0; index < planes.size(); ++index) {
            const Plane& plane = planes[index];
            const int top = row * plane.blockRows;
            for (int line = top; line < std::min(top + plane.blockRows, plane.rows); ++line)
                compareLine(plane, planes_[index], line, constant, differs);
        }
        for (int column = 0; column < columns; ++column) {
            if (constant[column] != 0 || differs[static_cast<std::size_t>(column)] != 0) continue;
            constant[column] = 1;
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
