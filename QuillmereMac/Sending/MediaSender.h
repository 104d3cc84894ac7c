#pragma once

#include "QuillmereMac/Sending/DatagramPeer.h"
#include "QuillmereMac/Sending/TransportMetrics.h"

#include "Platform/Log/Logger.h"
#include "QuillmereWire/EncodedFrame.h"
#include "QuillmereWire/SendAdmission.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace quillmere {

// Moves one surface's encoded frames from its send queue onto the
// connection's datagram flow: admission, fragmenting, send-age stamps and the
// figures of the sending. Runs on the connection's queue.
class MediaSender : public std::enable_shared_from_this<MediaSender> {
public:
    using ClockFunction = std::function<std::uint64_t()>;
    // Whether the session lets the frame's surface stream with the frame's
    // configuration generation.
    using Admits = std::function<bool(const EncodedFrame&)>;
    using Via = std::function<void(SharedBytes bytes, DatagramPeer::Completion completion)>;

    static constexpr std::int64_t defaultMaxDatagramSize = 65'535;

    static std::shared_ptr<MediaSender> make(std::uint32_t surfaceID, SendAdmission admission, ClockFunction clock,
                                             Admits admits);

    SendAdmission::Decision offer(EncodedFrame frame);
    // Sends every admitted frame: through via when given, else straight on
    // the peer's datagram flow. Returns how many frames could not be cut into
    // datagrams (too large, or a datagram size too small for a fragment):
    // the frames after them need a keyframe.
    std::int64_t send(DatagramPeer& peer, std::int64_t maxDatagramSize, const Via& via);
    // "frames sent=... dropped=... datagrams=... rejected=... sendAge
    // mean=...µs max=...µs usableDatagram last=... min=...".
    std::string summary() const;

    std::uint32_t surfaceID() const { return surfaceID_; }
    SendAdmission& admission() { return admission_; }
    const SendAdmission& admission() const { return admission_; }
    const TransportMetrics& metrics() const { return metrics_; }

    // The send offset stamped into a frame's datagrams: its age in whole
    // microseconds, saturated to 32 bits.
    static std::uint32_t sendOffsetUs(std::uint64_t ageNs);

    MediaSender(std::uint32_t surfaceID, SendAdmission admission, ClockFunction clock, Admits admits);

private:
    void noteRefusal(const std::string& reason);

    std::uint32_t surfaceID_;
    SendAdmission admission_;
    TransportMetrics metrics_;
    ClockFunction clock_;
    Admits admits_;
    // The reason of the refusals under way, logged once when they begin.
    std::string refusing_;
    Logger log_{"com.ornbeck.quillmere.mac", "pipeline"};
};

} // namespace quillmere
