#include "QuillmereWire/ClientCloseReason.h"

#include <fmt/format.h>

namespace quillmere {

std::string ClientCloseReason::description() const {
    struct Describe {
        std::string operator()(const Bye& bye) const { return fmt::format("bye({})", enumName(bye.reason)); }
        std::string operator()(const HostError& error) const {
            return fmt::format("hostError({})", enumName(error.code));
        }
        std::string operator()(const ProtocolViolation& violation) const {
            return fmt::format("protocolViolation(\"{}\")", violation.text);
        }
        std::string operator()(const Local&) const { return "local"; }
    };
    return std::visit(Describe{}, value);
}

} // namespace quillmere
