#pragma once

#include "QuillmereMacCore/RateConfig.h"
#include "QuillmereWire/ControlMessage.h"

namespace quillmere {

// What every session of the host offers and starts its rate policy with.
struct SessionDefaults {
    static Capabilities hostCapabilities() {
        return Capabilities{codecs::h264, 3840, 2160, 60, 4, features::bit0 | features::bit1 | features::bit2 | features::bit7,
                            65535};
    }
    static RateConfig rateConfig() {
        return RateConfig(2000, 40000, 20000, 0.85, 1.05, 500'000'000, 2'000'000'000, 10'000'000'000ULL, 0.02, 0.05, 3);
    }
};

} // namespace quillmere
