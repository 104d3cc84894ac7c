#include "QuillmereWire/WireProtocol.h"

#include <fmt/format.h>

int main() {
    fmt::print("quillmere-host: protocol {} (version {}.{}), service {}\n",
               quillmere::WireProtocol::protocolIdentifier, quillmere::WireProtocol::majorVersion,
               quillmere::WireProtocol::minorVersion, quillmere::WireProtocol::serviceType);
    return 0;
}
