#include "QuillmereViewer/CloseReasonText.h"

#include <fmt/format.h>

namespace quillmere {

std::string closeReasonText(const PeerCloseReason& reason) {
    switch (reason.kind()) {
    case PeerCloseReason::Kind::failed: return reason.text();
    case PeerCloseReason::Kind::protocolError:
        return fmt::format("protocol error: {}", reason.wireError() ? reason.wireError()->description() : "?");
    case PeerCloseReason::Kind::local: return "closed by this viewer";
    case PeerCloseReason::Kind::remote: return "closed by the host";
    }
    return reason.description();
}

} // namespace quillmere
