#include "QuillmereBase/UTF8.h"
#include "QuillmereViewer/InputScript.h"

namespace quillmere {

InputScript::InputScript(const std::vector<InputStep>& steps, std::uint64_t stepNs)
    : events_(eventsFor(steps)), stepNs_(stepNs) {}

std::vector<InputEvent> InputScript::eventsFor(const std::vector<InputStep>& steps) {
    std::vector<InputEvent> events;
    for (const InputStep& step : steps) {
        if (const auto* type = std::get_if<input_step::Type>(&step)) {
            std::string_view rest = type->text;
            while (!rest.empty()) {
                std::string chunk = truncatedUTF8(rest, InputEvent::maxTextBytes);
                // A single scalar never exceeds four bytes, so every chunk moves on.
                rest.remove_prefix(chunk.size());
                events.emplace_back(std::in_place_type<input::Text>, std::move(chunk));
            }
        } else if (const auto* move = std::get_if<input_step::Move>(&step)) {
            events.emplace_back(std::in_place_type<input::PointerAbsolute>, move->x, move->y);
        } else {
            events.emplace_back(std::in_place_type<input::Button>, InputButton::left, true);
            events.emplace_back(std::in_place_type<input::Button>, InputButton::left, false);
        }
    }
    return events;
}

std::optional<ControlMessage> InputScript::request() {
    if (phase_ != Phase::idle || !wanted()) return std::nullopt;
    phase_ = Phase::requested;
    return ControlMessage(msg::InputControlRequest{});
}

void InputScript::controlState(std::uint32_t generation, InputControlStateValue state, std::uint16_t leaseMs) {
    if (phase_ == Phase::finished || phase_ == Phase::refused || phase_ == Phase::revoked) return;
    switch (state) {
    case InputControlStateValue::granted:
        phase_ = Phase::granted;
        generation_ = generation;
        leaseNs_ = std::uint64_t{leaseMs} * 1'000'000;
        break;
    case InputControlStateValue::expired:
        break;
    case InputControlStateValue::denied:
    case InputControlStateValue::unavailable:
        phase_ = Phase::refused;
        break;
    case InputControlStateValue::revoked:
        phase_ = Phase::revoked;
        break;
    }
}

std::optional<ControlMessage> InputScript::poll(std::uint64_t nowNs) {
    if (phase_ != Phase::granted) return std::nullopt;
    const auto since = [nowNs](std::optional<std::uint64_t> at) { return at && nowNs >= *at ? nowNs - *at : 0; };
    // Renewals keep the lease, not the pace of the events.
    if (!lastEventNs_ || since(lastEventNs_) >= stepNs_) {
        ++eventsSent_;
        lastEventNs_ = nowNs;
        auto sent = message(events_[next_++], nowNs);
        if (next_ == events_.size()) phase_ = Phase::finished;
        return sent;
    }
    if (leaseNs_ > 0 && since(lastSentNs_) >= leaseNs_ / 2) {
        ++renewalsSent_;
        return message(input::Renew{}, nowNs);
    }
    return std::nullopt;
}

ControlMessage InputScript::message(InputEvent event, std::uint64_t nowNs) {
    lastSentNs_ = nowNs;
    return msg::Input{++seq_, generation_, std::move(event)};
}

std::string_view phaseName(InputScript::Phase phase) {
    switch (phase) {
    case InputScript::Phase::idle: return "idle";
    case InputScript::Phase::requested: return "requested";
    case InputScript::Phase::granted: return "granted";
    case InputScript::Phase::finished: return "finished";
    case InputScript::Phase::refused: return "refused";
    case InputScript::Phase::revoked: return "revoked";
    }
    return "unknown";
}

} // namespace quillmere
