#pragma once

#include "QuillmereMac/Bundle/BundleInfo.h"
#include "QuillmereMac/Diagnostics/DisplayRecords.h"
#include "QuillmereMac/Diagnostics/PerfLogFile.h"
#include "QuillmereMac/Diagnostics/PerfSurfaceSample.h"
#include "QuillmereMac/Sending/DatagramPacer.h"

#include "Platform/Defaults/Defaults.h"
#include "Platform/Dispatch/DispatchTimer.h"
#include "Platform/Dispatch/Executor.h"
#include "Platform/Power/PowerSysfs.h"
#include "Platform/SystemInfo/SystemInfo.h"
#include "Platform/WiFi/WiFiStatus.h"
#include "QuillmereMacCore/AudioRouting.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class QObject;

namespace quillmere {

// The host's diagnostics file, "host-perf.jsonl": one JSON object per line,
// keys sorted at every depth. A context record (machine and displays) at
// start and whenever the screens change; every 5 s while anything is shared,
// a performance record of per-surface rates, latencies and sizes against the
// previous sample, with process, power, Wi-Fi, screen-shape, audio-route
// and pacer figures. Lives on the main actor; reports no failure of its own.
class HostPerfLog : public std::enable_shared_from_this<HostPerfLog> {
public:
    using SurfaceSample = PerfSurfaceSample;
    using Json = nlohmann::json;

    // What the log reads of the media side, each on the main actor.
    struct Providers {
        std::function<PerfSurfaces()> surfaces;
        // None without a surface.
        std::function<std::optional<DatagramPacer::Metrics>()> pacer;
        std::function<std::map<std::uint32_t, AudioRouting::Route>()> audioRoutes;
        // "standard", "wide" or "ultrawide".
        std::function<std::string()> screenShape;
    };

    // What it reads of the machine: the clock and system figures default to
    // the real ones, the Wi-Fi and screen readers come from the desktop.
    struct Environment {
        // Milliseconds since 1970, for "t".
        std::function<std::int64_t()> wallClockMs;
        SystemInfo system;
        // Thermal zones and power supplies (the transport's).
        PowerSysfs sysfs;
        // None without a wireless interface.
        std::function<std::optional<WiFiStatus>()> wifi;
        std::function<bool()> awdlRunning;
        std::function<std::vector<DisplayRecords::Screen>()> displays;
        // The standard defaults when not given.
        Defaults* defaults = nullptr;
        std::optional<BundleInfo> bundle;
    };

    static constexpr std::uint64_t intervalNs = 5'000'000'000;
    static constexpr const char* folderName = "Quillmere-Diagnostics";
    static constexpr const char* fileName = "host-perf.jsonl";

    // $XDG_CACHE_HOME (else ~/.cache) plus the folder; none without either.
    static std::optional<std::filesystem::path> directory();

    // Makes the directory private to the user. Without one, or where it is
    // not the user's alone (said once on stderr), it writes nothing.
    static std::shared_ptr<HostPerfLog> make(Executor& main, Providers providers,
                                             std::optional<std::filesystem::path> directory,
                                             Environment environment);
    // With the real machine.
    static std::shared_ptr<HostPerfLog> make(Executor& main, Providers providers,
                                             std::optional<std::filesystem::path> directory);
    ~HostPerfLog();
    HostPerfLog(const HostPerfLog&) = delete;
    HostPerfLog& operator=(const HostPerfLog&) = delete;

    // Once: the launch context, the 5 s timer and the screen watch.
    void start();
    // One performance sample at an uptime in seconds (the timer's body).
    void sample(double now);
    // Reasons: "launch", "displaysChanged", "session".
    void context(std::string_view reason);
    // Adds "t" and writes the record as one line.
    void append(Json record);

    const std::optional<std::filesystem::path>& fileURL() const { return fileURL_; }

    HostPerfLog(Executor& main, Providers providers, std::optional<std::filesystem::path> directory,
                Environment environment);

private:
    double uptime() const { return static_cast<double>(main_.nowNs()) / 1e9; }
    std::optional<double> cpuPercent(double now);
    Json performance(const PerfSurfaces& surfaces, std::optional<double> cpu, double dt);
    void watchScreens();

    Executor& main_;
    const Providers providers_;
    const Environment environment_;
    Defaults& defaults_;
    const BundleInfo bundle_;
    std::optional<std::filesystem::path> fileURL_;
    std::optional<PerfLogFile> file_;
    std::shared_ptr<DispatchTimer> timer_;
    std::optional<std::pair<double, double>> lastCPU_;
    PerfSurfaces last_;
    double lastAt_ = 0;
    std::string displaysKey_;
    std::optional<DatagramPacer::Metrics> lastPacer_;
    std::unique_ptr<QObject> screenWatch_;
    bool contextPending_ = false;
};

} // namespace quillmere
