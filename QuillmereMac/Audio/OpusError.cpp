#include "QuillmereMac/Audio/OpusError.h"

#include <opus/opus.h>

#include <fmt/format.h>

namespace quillmere {

std::string OpusError::description() const {
    const char* what = "create";
    switch (kind) {
    case Kind::create: what = "create"; break;
    case Kind::encode: what = "encode"; break;
    case Kind::decode: what = "decode"; break;
    }
    return fmt::format("opus {} failed ({}: {})", what, code, opus_strerror(code));
}

} // namespace quillmere
