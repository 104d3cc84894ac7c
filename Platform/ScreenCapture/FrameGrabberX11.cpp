#include "Platform/ScreenCapture/FrameGrabberX11.h"

#include "Platform/ScreenCapture/RasterPlacement.h"
#include "Platform/SystemInfo/UsableProcessors.h"
#include "Platform/X11/XcbConnection.h"

#include <algorithm>

namespace quillmere {

namespace {

// Past four, memory bandwidth rather than threads bounds a 4K conversion.
constexpr int maximumConversionBands = 4;

} // namespace

FrameGrabberX11::FrameGrabberX11(XcbConnection& connection, CaptureTargetX11& target)
    : connection_(connection), target_(target), cursor_(connection, target.root()),
      writer_(std::min(UsableProcessors::count(), maximumConversionBands)) {}

std::optional<ScreenRect> FrameGrabberX11::visibleCursor() const {
    const auto placed = cursor_.placement(target_.pointerOriginX(), target_.pointerOriginY());
    if (!placed) return std::nullopt;
    const int left = std::max(placed->x, 0);
    const int top = std::max(placed->y, 0);
    const int right = std::min(placed->x + placed->width, target_.width());
    const int bottom = std::min(placed->y + placed->height, target_.height());
    if (right <= left || bottom <= top) return std::nullopt;
    return ScreenRect{left, top, right - left, bottom - top};
}

bool FrameGrabberX11::cursorMoved() {
    cursor_.request(target_.pointerWindow());
    connection_.flush();
    cursor_.collect();
    const auto visible = visibleCursor();
    if (visible != drawnCursor_) return true;
    return visible && cursor_.serial() != drawnCursorSerial_;
}

ScreenImage FrameGrabberX11::converted(const ScreenImage& raw, const std::vector<ScreenRect>* areas,
                                       const ColourMapX11* colours) {
    const PixelLayoutX11& layout = target_.layout();
    const std::size_t stride = static_cast<std::size_t>(raw.width) * 4;
    if (convertedWidth_ != raw.width || convertedHeight_ != raw.height) {
        converted_.assign(stride * static_cast<std::size_t>(raw.height), 0);
        convertedWidth_ = raw.width;
        convertedHeight_ = raw.height;
        areas = nullptr;
    }
    const ScreenImage image{converted_.data(), stride, raw.width, raw.height};
    BandWorkers& bands = writer_.bands();
    const auto convertArea = [&](const ScreenRect& area) {
        const int left = std::max(area.x, 0);
        const int top = std::max(area.y, 0);
        const int width = std::min(area.x + area.width, raw.width) - left;
        const int height = std::min(area.y + area.height, raw.height) - top;
        if (width <= 0 || height <= 0) return;
        const int count = RasterWriter::bandsFor(width, height, bands.maximumBands());
        const int bandRows = (height + count - 1) / count;
        bands.run(count, [&](int band) {
            const int first = top + band * bandRows;
            const int rows = std::min(bandRows, top + height - first);
            if (rows <= 0) return;
            const std::uint8_t* from = raw.pixels + static_cast<std::size_t>(first) * raw.bytesPerRow +
                                       static_cast<std::size_t>(left) * layout.bytesPerPixel();
            std::uint8_t* to = image.pixels + static_cast<std::size_t>(first) * stride + left * 4u;
            if (colours != nullptr) {
                colours->convert(from, raw.bytesPerRow, to, stride, width, rows);
            } else {
                layout.convert(from, raw.bytesPerRow, to, stride, width, rows);
            }
        });
    };
    if (areas == nullptr) {
        convertArea({0, 0, raw.width, raw.height});
    } else {
        for (const ScreenRect& area : *areas) convertArea(area);
    }
    return image;
}

int FrameGrabberX11::framesInFlight() const {
    if (!pool_) return 0;
    return static_cast<int>(pool_->allocatedCount() - pool_->freeCount());
}

std::expected<std::optional<ScreenCaptureSample>, ScreenCaptureError> FrameGrabberX11::grab(
    const ScreenCaptureStreamConfiguration& configuration, bool whole, std::uint64_t captureTimeNs) {
    const PixelLayoutX11& layout = target_.layout();
    // Held for the frame: the map read between frames replaces it, whole.
    const std::shared_ptr<const ColourMapX11> colours = target_.colours();
    const bool converts = layout.converts() || colours;
    const std::size_t bytes = layout.bytesPerRow(target_.width()) * static_cast<std::size_t>(target_.height());
    if (!segment_ || segment_->size() < bytes) {
        segment_.reset();
        auto segment = ShmSegmentX11::make(connection_, bytes);
        if (!segment) return std::unexpected(segment.error());
        segment_ = std::move(*segment);
    }
    // The cursor drawn into the last image is read over again; a converted
    // image has it drawn into the copy, never into what the server wrote.
    target_.requestGrab(*segment_, whole, converts ? std::nullopt : drawnCursor_);
    if (configuration.showsCursor) cursor_.request(target_.pointerWindow());
    connection_.flush();
    auto grab = target_.collectGrab();
    if (configuration.showsCursor) cursor_.collect();
    if (!grab) return std::nullopt;

    std::vector<ScreenRect> dirty = std::move(grab->damage);
    whole = whole || grab->reshaped;
    // Where the cursor was is dirty too: this grab no longer has it there.
    if (drawnCursor_) dirty.push_back(*drawnCursor_);
    drawnCursor_.reset();
    // What changed (and where the cursor was) is converted again; the rest
    // of the copy is still what the server's image holds.
    ScreenImage picture =
        converts ? converted(grab->image, whole ? nullptr : &dirty, colours.get()) : grab->image;
    if (configuration.showsCursor) {
        const auto placed = cursor_.placement(target_.pointerOriginX(), target_.pointerOriginY());
        if (const auto visible = visibleCursor(); placed && visible) {
            cursor_.draw(picture, *placed);
            dirty.push_back(*visible);
            drawnCursor_ = visible;
            drawnCursorSerial_ = cursor_.serial();
        }
    }

    const auto placement = RasterPlacement::make(picture.width, picture.height, configuration.width,
                                                 configuration.height, configuration.scalesToFit);
    if (!placement) return std::nullopt;
    if (!pool_ || pool_->width() != configuration.width || pool_->height() != configuration.height) {
        auto pool = PixelBufferPool::make(PixelFormat::nv12VideoRange, configuration.width, configuration.height,
                                          std::max(configuration.queueDepth, 1));
        if (!pool) {
            return std::unexpected(
                ScreenCaptureError::make(ScreenCaptureError::internalError, "no pixel buffers for the raster"));
        }
        pool_ = std::move(*pool);
        history_.forget();
        whole = true;
    }
    auto buffer = pool_->createPixelBuffer();
    if (!buffer) return std::nullopt;
    const BgraImage image{picture.pixels, picture.bytesPerRow, picture.width, picture.height};
    // Pooled buffers come back holding an earlier frame: bring them up to date.
    // A frame placed anew is rewritten whole, and changed whole.
    whole = whole || !(*placement == placement_);
    std::optional<std::vector<ScreenRect>> changes;
    if (!whole) changes = dirty;
    const auto areas = history_.areasToWrite(buffer->get(), changes);
    if (!writer_.write(image, *placement, **buffer, areas ? &*areas : nullptr)) {
        history_.forget();
        return std::nullopt;
    }
    history_.written(buffer->get(), std::move(changes));
    placement_ = *placement;

    ScreenCaptureSample sample;
    sample.status = ScreenCaptureFrameStatus::complete;
    sample.pixelBuffer = std::move(*buffer);
    sample.presentationTimeNs = captureTimeNs;
    sample.contentRect = ScreenRect{0, 0, picture.width, picture.height};
    if (!whole) {
        std::vector<ScreenRect> rects;
        rects.reserve(dirty.size());
        for (const ScreenRect& rect : dirty) {
            const ScreenRect mapped = placement->map(rect.x, rect.y, rect.width, rect.height);
            if (mapped.width > 0 && mapped.height > 0) rects.push_back(mapped);
        }
        sample.dirtyRects = std::move(rects);
    }
    return sample;
}

} // namespace quillmere
