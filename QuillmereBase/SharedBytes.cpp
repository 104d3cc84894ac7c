#include "QuillmereBase/SharedBytes.h"

namespace quillmere {

SharedBytes::SharedBytes(Bytes bytes) : storage_(std::make_shared<const Bytes>(std::move(bytes))) {
    data_ = storage_->data();
    size_ = storage_->size();
}

SharedBytes SharedBytes::copyOf(ByteView bytes) { return SharedBytes(Bytes(bytes.begin(), bytes.end())); }

bool SharedBytes::operator==(const SharedBytes& other) const {
    return size_ == other.size_ && (data_ == other.data_ || std::equal(data_, data_ + size_, other.data_));
}

} // namespace quillmere
