#include "QuillmereWire/SharedBytes.h"

#include <algorithm>

namespace quillmere {

SharedBytes::SharedBytes(Bytes bytes) : storage_(std::make_shared<const Bytes>(std::move(bytes))) {
    data_ = storage_->data();
    size_ = storage_->size();
}

SharedBytes SharedBytes::copyOf(ByteView bytes) { return SharedBytes(Bytes(bytes.begin(), bytes.end())); }

SharedBytes SharedBytes::slice(std::size_t offset, std::size_t count) const {
    SharedBytes part(*this);
    offset = std::min(offset, size_);
    part.data_ = data_ + offset;
    part.size_ = std::min(count, size_ - offset);
    return part;
}

bool SharedBytes::operator==(const SharedBytes& other) const {
    return size_ == other.size_ && (data_ == other.data_ || std::equal(data_, data_ + size_, other.data_));
}

} // namespace quillmere
