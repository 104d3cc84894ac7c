#pragma once

// What the host-service tests share: a main actor on a thread of its own,
// waiting for a condition, and reading control messages a client received.

#include "Platform/Dispatch/SerialQueue.h"
#include "QuillmereTransport/Tests/PeerTestSupport.h"

#include <QImage>

#include <array>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quillmere::testing {

// Polls until the condition holds, for at most the limit.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// The control messages of one type a client received, in order.
template <class T>
std::vector<T> received(const PeerRecorder& recorder) {
    std::vector<T> out;
    for (const ControlMessage& message : recorder.messages()) {
        if (const T* m = message.as<T>()) out.push_back(*m);
    }
    return out;
}

template <class T>
std::optional<T> awaitMessage(PeerRecorder& recorder, std::size_t index = 0,
                              std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    recorder.waitFor(
        [index](const std::vector<PeerEvent>& events) {
            std::size_t seen = 0;
            for (const auto& event : events) {
                const auto* control = std::get_if<peer::Control>(&event);
                if (control && control->message.is<T>() && seen++ == index) return true;
            }
            return false;
        },
        limit);
    const auto all = received<T>(recorder);
    if (all.size() <= index) return std::nullopt;
    return all[index];
}

// What zbarimg reads from the image, byte for byte; none when it finds no code.
inline std::optional<std::string> decodeQRCode(const QImage& image) {
    TemporaryFolder folder;
    const auto file = folder.path() / "code.png";
    if (!image.save(QString::fromStdString(file.string()), "PNG")) return std::nullopt;
    const std::string command = "zbarimg --quiet --raw -Sbinary '" + file.string() + "' 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return std::nullopt;
    std::string out;
    std::array<char, 512> buffer;
    for (std::size_t n; (n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0;) out.append(buffer.data(), n);
    if (::pclose(pipe) != 0) return std::nullopt;
    return out;
}

} // namespace quillmere::testing
