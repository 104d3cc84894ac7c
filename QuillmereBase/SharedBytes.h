#pragma once

#include "QuillmereBase/Bytes.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <utility>

namespace quillmere {

// Immutable bytes with shared ownership. Copies and slices share one buffer
// and keep it alive, so whatever holds a SharedBytes may keep it past the call
// that handed it over; a plain ByteView taken from it is valid only while
// some SharedBytes of that buffer lives.
class SharedBytes {
public:
    SharedBytes() = default;
    // Takes the buffer over without copying it.
    explicit SharedBytes(Bytes bytes);
    static SharedBytes copyOf(ByteView bytes);

    SharedBytes(const SharedBytes&) = default;
    SharedBytes& operator=(const SharedBytes&) = default;
    // A moved-from holder is empty, never a view of a buffer it no longer keeps.
    SharedBytes(SharedBytes&& other) noexcept
        : storage_(std::move(other.storage_)), data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)) {}
    SharedBytes& operator=(SharedBytes&& other) noexcept {
        storage_ = std::move(other.storage_);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        return *this;
    }

    ByteView view() const { return ByteView(data_, size_); }
    const std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    // A part of this view over the same buffer; offset and count are clamped
    // to the view, so a slice never reaches outside it.
    SharedBytes slice(std::size_t offset, std::size_t count) const& { return SharedBytes(*this).slice(offset, count); }
    // The same, handing this holder's share over instead of adding one.
    SharedBytes slice(std::size_t offset, std::size_t count) && {
        SharedBytes part(std::move(*this));
        offset = std::min(offset, part.size_);
        part.data_ += offset;
        part.size_ = std::min(count, part.size_ - offset);
        return part;
    }
    SharedBytes suffix(std::size_t offset) const& { return slice(offset, size_); }
    SharedBytes suffix(std::size_t offset) && { return std::move(*this).slice(offset, size_); }

    Bytes toBytes() const { return Bytes(data_, data_ + size_); }

    // Equal when the bytes are, wherever they are stored.
    bool operator==(const SharedBytes& other) const;

private:
    std::shared_ptr<const Bytes> storage_;
    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

} // namespace quillmere
