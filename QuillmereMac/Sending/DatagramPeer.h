#pragma once

#include "Platform/Dispatch/Executor.h"
#include "QuillmereBase/SharedBytes.h"

#include <cstdint>
#include <functional>

namespace quillmere {

// What the media side uses of a peer connection's datagram flow. Everything
// but queue() must be called on queue().
class DatagramPeer {
public:
    using Completion = std::function<void(bool sent)>;

    virtual ~DatagramPeer() = default;

    // The connection's serial queue.
    virtual Executor& queue() = 0;
    // Sends at once; the completion (when given) says whether it went out.
    virtual void sendDatagram(SharedBytes datagram, Completion completion) = 0;
    // 0 while there is no datagram flow.
    virtual std::int64_t usableDatagramSize() const = 0;
};

} // namespace quillmere
