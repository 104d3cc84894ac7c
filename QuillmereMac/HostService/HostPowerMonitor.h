#pragma once

#include "Platform/Dispatch/DispatchTimer.h"
#include "Platform/Dispatch/Executor.h"
#include "Platform/Power/PowerSourceDescription.h"
#include "Platform/Power/PowerSysfs.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace quillmere {

// Reads the battery level and external-power state and reports each change.
// A reading holds the percentage in bits 0-7 (255: unknown) and bit 8 when
// on external power or charging.
class HostPowerMonitor : public std::enable_shared_from_this<HostPowerMonitor> {
public:
    using Reading = std::uint16_t;
    using Reader = std::function<Reading()>;
    using OnChange = std::function<void(Reading)>;

    static constexpr Reading mask = 0x1FF;
    static constexpr Reading unknown = 255;
    static constexpr Reading externalPower = 0x100;

    // Without a reader it reads the power sources of /sys/class.
    static std::shared_ptr<HostPowerMonitor> make(Reader read = {});

    // Takes one reading; onChange runs (outside the lock) when it differs
    // from the last one, and always on the first.
    void tick(const OnChange& onChange);

    // Ticks at once and then every intervalNs on queue until stop().
    void start(Executor& queue, std::uint64_t intervalNs, OnChange onChange);
    void stop();

    std::optional<Reading> last() const;
    Reading readNow() const { return static_cast<Reading>(read_() & mask); }

    // The reading of a set of power sources: the first internal battery with
    // usable capacities, else unknown. Nothing to read is unknown too.
    static Reading readPowerSource(const std::optional<std::vector<PowerSourceDescription>>& sources);
    static Reader sysfsReader(PowerSysfs sysfs);

    explicit HostPowerMonitor(Reader read);

private:
    mutable std::mutex lock_;
    std::optional<Reading> last_;
    std::shared_ptr<DispatchTimer> timer_;
    Reader read_;
};

} // namespace quillmere
