#include "QuillmereTransport/PeerCloseReason.h"

namespace quillmere {

std::string PeerCloseReason::description() const {
    switch (kind_) {
    case Kind::failed:
        return "failed(\"" + text_ + "\")";
    case Kind::protocolError:
        return "protocolError(" + std::get<WireError>(error_).description() + ")";
    case Kind::local:
        return "local";
    case Kind::remote:
        return "remote";
    }
    return "remote";
}

} // namespace quillmere
