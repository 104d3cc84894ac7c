#pragma once

#include <cstdint>

namespace quillmere {

// The 16-bit type code of each control frame. Input events have one code per
// event case; the event's case is not written separately.
enum class ControlMessageType : std::uint16_t {
    hello = 0x0001,
    capabilities = 0x0002,
    error = 0x0003,
    streamConfig = 0x0010,
    configAck = 0x0011,
    startStream = 0x0012,
    stopStream = 0x0013,
    recoveryRequest = 0x0014,
    receiverReport = 0x0015,
    captureListRequest = 0x0020,
    captureList = 0x0021,
    captureSelect = 0x0022,
    captureState = 0x0023,
    pause = 0x0030,
    ping = 0x0031,
    pong = 0x0032,
    bye = 0x003F,
    enrollRequest = 0x0040,
    enrollPending = 0x0041,
    enrollResult = 0x0042,
    inputControlRequest = 0x0100,
    inputControlState = 0x0101,
    inputKey = 0x0102,
    inputPointerMove = 0x0103,
    inputPointerAbsolute = 0x0104,
    inputButton = 0x0105,
    inputScroll = 0x0106,
    inputText = 0x0107,
    inputRenew = 0x0108,
    inputRelease = 0x0109,
    clipboardPush = 0x0200,
    clipboardPull = 0x0201,
    clipboardResult = 0x0202,
    audioConfig = 0x0300,
    focusHint = 0x0400,
    surfaceBudget = 0x0401,
    textSize = 0x0700,
    cursorShape = 0x0701,
    screenShape = 0x0702,
    hostPower = 0x0703,
};

constexpr bool isKnownControlMessageType(std::uint16_t type) {
    auto within = [type](std::uint16_t low, std::uint16_t high) { return type >= low && type <= high; };
    return within(0x0001, 0x0003) || within(0x0010, 0x0015) || within(0x0020, 0x0023) || within(0x0030, 0x0032) ||
           type == 0x003F || within(0x0040, 0x0042) || within(0x0100, 0x0109) || within(0x0200, 0x0202) ||
           type == 0x0300 || within(0x0400, 0x0401) || within(0x0700, 0x0703);
}

} // namespace quillmere
