#pragma once

#include "Platform/X11/XcbConnection.h"
#include "QuillmereBase/FileDescriptor.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace quillmere {

class ClipboardRequestorX11;

// Why the clipboard's text could not be read.
struct ClipboardReadError {
    enum class Kind : std::uint8_t {
        noDisplay,   // the display did not open
        silentOwner, // the owner did not answer in time
    };

    Kind kind = Kind::noDisplay;
    // noDisplay: what the opening said.
    std::string detail;
    // silentOwner: the owner's window, and its class or title when it has one.
    std::uint32_t owner = 0;
    std::string ownerName;

    // "the clipboard's owner, window 0x1a00001 (xclip), did not answer within 2 s".
    std::string description(std::uint64_t boundNs) const;
    bool operator==(const ClipboardReadError&) const = default;
};

// The CLIPBOARD selection's text, asked of its owner over a connection and
// a window of our own, kept from the first read to the reader's end: the
// owner is another program (or our own GUI thread), which may be slow,
// stopped or gone, so each answer is waited for no longer than a bound,
// and one that comes later is dropped there. UTF8_STRING first, then
// STRING; long texts come in INCR chunks. One read at a time, in the order
// asked, on a thread of the reader's own.
class ClipboardReaderX11 {
public:
    static constexpr std::uint64_t answerBoundNs = 2'000'000'000;

    // Text, or none when the clipboard holds none or its owner refuses
    // both forms. A text longer than the reader's longest is read no
    // further than longest + 1 bytes, which come cut there: too long to
    // whoever applies the limit.
    using Read = std::expected<std::optional<std::string>, ClipboardReadError>;
    using Done = std::function<void(Read)>;

    ClipboardReaderX11(XcbConnection::Opener open, std::size_t longest, std::uint64_t boundNs = answerBoundNs);
    // Waits for the thread: a read under way is given up, and no Done runs
    // once this returns.
    ~ClipboardReaderX11();
    ClipboardReaderX11(const ClipboardReaderX11&) = delete;
    ClipboardReaderX11& operator=(const ClipboardReaderX11&) = delete;

    // done runs on the reader's thread, at most the bound after the read's turn came.
    void read(Done done);

private:
    void run();
    Read readNow();
    // See ClipboardRequestorX11::Wait; with no deadline, until the wake.
    bool wait(std::optional<std::uint64_t> deadlineNs);

    const XcbConnection::Opener open_;
    const std::size_t longest_;
    const std::uint64_t boundNs_;
    std::mutex mutex_;
    std::deque<Done> reads_;
    std::atomic<bool> stopping_{false};
    FileDescriptor wake_;
    // The thread's own.
    std::unique_ptr<XcbConnection> x_;
    std::unique_ptr<ClipboardRequestorX11> requestor_;
    // Last: started once the rest is made.
    std::thread thread_;
};

} // namespace quillmere
