#pragma once

#include "QuillmereTransport/PeerCloseReason.h"

#include <string>

namespace quillmere {

// A close reason as the user reads it: a failure's own text ("handshake
// timeout"), else what happened.
std::string closeReasonText(const PeerCloseReason& reason);

} // namespace quillmere
