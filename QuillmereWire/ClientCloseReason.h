#pragma once

#include "QuillmereWire/WireEnums.h"

#include <string>
#include <variant>

namespace quillmere {

// Why a client session ended.
struct ClientCloseReason {
    // The host said goodbye.
    struct Bye { ByeReason reason = ByeReason::normal; bool operator==(const Bye&) const = default; };
    // The host sent an error.
    struct HostError { ErrorCode code = ErrorCode::protocolViolation; bool operator==(const HostError&) const = default; };
    // We found the host breaking the protocol; the text was sent to it too.
    struct ProtocolViolation { std::string text; bool operator==(const ProtocolViolation&) const = default; };
    // This client closed.
    struct Local { bool operator==(const Local&) const = default; };

    std::variant<Bye, HostError, ProtocolViolation, Local> value;

    static ClientCloseReason bye(ByeReason reason) { return {Bye{reason}}; }
    static ClientCloseReason hostError(ErrorCode code) { return {HostError{code}}; }
    static ClientCloseReason protocolViolation(std::string text) { return {ProtocolViolation{std::move(text)}}; }
    static ClientCloseReason local() { return {Local{}}; }

    template <class T>
    bool is() const { return std::holds_alternative<T>(value); }
    template <class T>
    const T* as() const { return std::get_if<T>(&value); }

    // "bye(normal)", "hostError(notAuthorized)", "protocolViolation(\"bad host hello\")", "local".
    std::string description() const;

    bool operator==(const ClientCloseReason&) const = default;
};

} // namespace quillmere
