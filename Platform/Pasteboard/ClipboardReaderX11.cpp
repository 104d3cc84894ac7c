#include "Platform/Pasteboard/ClipboardReaderX11.h"

#include "Platform/Dispatch/Clock.h"
#include "Platform/Pasteboard/ClipboardRequestorX11.h"
#include "QuillmereBase/UTF8.h"

#include <fmt/format.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <vector>

namespace quillmere {

namespace {

std::string latin1ToUTF8(std::string_view latin1) {
    std::string text;
    text.reserve(latin1.size());
    for (const char byte : latin1) {
        const auto code = static_cast<unsigned char>(byte);
        if (code < 0x80) {
            text += byte;
        } else {
            text += static_cast<char>(0xc0 | (code >> 6));
            text += static_cast<char>(0x80 | (code & 0x3f));
        }
    }
    return text;
}

ClipboardReadError noDisplay(std::string detail) {
    return ClipboardReadError{ClipboardReadError::Kind::noDisplay, std::move(detail), 0, {}};
}

// The forms listed in an answer to TARGETS; with room for every form an owner
// might offer.
constexpr std::size_t longestTargets = 64 * 1024;

} // namespace

std::string ClipboardReadError::description(std::uint64_t boundNs) const {
    switch (kind) {
    case Kind::noDisplay: return fmt::format("the clipboard could not be read: {}", detail);
    case Kind::silentOwner:
        return fmt::format("the clipboard's owner, window {:#x}{}, did not answer within {:g} s", owner,
                           ownerName.empty() ? "" : fmt::format(" ({})", ownerName),
                           static_cast<double>(boundNs) / 1e9);
    }
    return "the clipboard could not be read";
}

ClipboardReaderX11::ClipboardReaderX11(XcbConnection::Opener open, std::size_t longest, std::uint64_t boundNs)
    : open_(std::move(open)), longest_(longest), boundNs_(boundNs),
      wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (wake_.valid()) thread_ = std::thread([this] { run(); });
}

ClipboardReaderX11::~ClipboardReaderX11() {
    if (!thread_.joinable()) return;
    stopping_ = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wake_.get(), &one, sizeof one);
    thread_.join();
}

void ClipboardReaderX11::read(Done done) {
    if (!thread_.joinable()) {
        done(std::unexpected(noDisplay("the reader could not start its thread")));
        return;
    }
    {
        const std::lock_guard lock(mutex_);
        reads_.push_back(std::move(done));
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wake_.get(), &one, sizeof one);
}

void ClipboardReaderX11::run() {
    while (!stopping_) {
        // Opened again by the next read.
        if (x_ && x_->hasError()) {
            requestor_.reset();
            x_.reset();
        }
        Done done;
        {
            const std::lock_guard lock(mutex_);
            if (!reads_.empty()) {
                done = std::move(reads_.front());
                reads_.pop_front();
            }
        }
        if (done) {
            Read read = readNow();
            if (stopping_) break;
            done(std::move(read));
            continue;
        }
        // Between reads too: an owner that answers late, or is still
        // sending what was read no further, waits for its answer's deletion.
        if (requestor_) requestor_->pump();
        wait(std::nullopt);
    }
    requestor_.reset();
    x_.reset();
}

bool ClipboardReaderX11::wait(std::optional<std::uint64_t> deadlineNs) {
    const int display = x_ && !x_->hasError() ? x_->fileDescriptor() : -1;
    std::array<pollfd, 2> fds{pollfd{wake_.get(), POLLIN, 0}, pollfd{display, POLLIN, 0}};
    int timeoutMs = -1;
    if (deadlineNs) {
        const std::uint64_t now = Clock::nowNs();
        timeoutMs = now >= *deadlineNs ? 0 : static_cast<int>((*deadlineNs - now + 999'999) / 1'000'000);
    }
    ::poll(fds.data(), fds.size(), timeoutMs);
    if (fds[0].revents != 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t taken = ::read(wake_.get(), &count, sizeof count);
    }
    return !stopping_;
}

ClipboardReaderX11::Read ClipboardReaderX11::readNow() {
    const std::uint64_t deadlineNs = Clock::nowNs() + boundNs_;
    if (!x_) {
        auto opened = open_();
        if (!opened) return std::unexpected(noDisplay(opened.error().description()));
        x_ = std::move(*opened);
        requestor_ = std::make_unique<ClipboardRequestorX11>(*x_, [this](std::uint64_t until) { return wait(until); });
    }
    ClipboardRequestorX11& requestor = *requestor_;
    const auto broken = [&]() -> Read { return std::unexpected(noDisplay("the connection to the display broke")); };
    const xcb_window_t owner = requestor.owner();
    if (owner == XCB_NONE) return x_->hasError() ? broken() : Read(std::nullopt);
    const auto silent = [&]() -> Read {
        if (x_->hasError()) return broken();
        return std::unexpected(ClipboardReadError{ClipboardReadError::Kind::silentOwner, {}, owner, requestor.name(owner)});
    };
    if (!requestor.begin(deadlineNs)) return silent();
    // The forms it offers, so that what is not text is not read as text.
    // An owner that does not list them may still give text.
    std::vector<xcb_atom_t> forms{requestor.utf8(), XCB_ATOM_STRING};
    std::string listed;
    switch (requestor.convert(requestor.targets(), longestTargets, listed, deadlineNs)) {
    case ClipboardRequestorX11::Answer::silent: return silent();
    case ClipboardRequestorX11::Answer::refused:
    case ClipboardRequestorX11::Answer::tooLong: break;
    case ClipboardRequestorX11::Answer::given:
        std::erase_if(forms, [&](xcb_atom_t form) {
            for (std::size_t at = 0; at + sizeof form <= listed.size(); at += sizeof form)
                if (std::memcmp(listed.data() + at, &form, sizeof form) == 0) return false;
            return true;
        });
        break;
    }
    for (const xcb_atom_t form : forms) {
        std::string text;
        switch (requestor.convert(form, longest_, text, deadlineNs)) {
        case ClipboardRequestorX11::Answer::given:
            if (form != requestor.utf8()) return latin1ToUTF8(text);
            if (isValidUTF8(text)) return text;
            break;
        case ClipboardRequestorX11::Answer::tooLong:
            if (form != requestor.utf8()) text = latin1ToUTF8(text);
            return text;
        case ClipboardRequestorX11::Answer::refused: break;
        case ClipboardRequestorX11::Answer::silent: return silent();
        }
    }
    return std::nullopt;
}

} // namespace quillmere
