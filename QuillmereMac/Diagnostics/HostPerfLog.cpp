#include "QuillmereMac/Diagnostics/HostPerfLog.h"

#include "Platform/Files/PrivateFiles.h"
#include "Platform/Files/UserFolders.h"
#include "QuillmereMac/Diagnostics/PerfRecord.h"


#include <QGuiApplication>
#include <QObject>
#include <QScreen>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace quillmere {

namespace {

HostPerfLog::Environment withDefaults(HostPerfLog::Environment environment) {
    if (!environment.wallClockMs) {
        environment.wallClockMs = [] {
            return std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                .count();
        };
    }
    // The desktop environment gives the real readers; without them, none.
    if (!environment.wifi) environment.wifi = [] { return std::optional<WiFiStatus>(); };
    if (!environment.awdlRunning) environment.awdlRunning = [] { return false; };
    if (!environment.displays) environment.displays = [] { return DisplayRecords::current(); };
    return environment;
}

} // namespace

std::optional<std::filesystem::path> HostPerfLog::directory() {
    auto cache = UserFolders::of(UserFolders::cache);
    if (!cache) return std::nullopt;
    return *cache / folderName;
}

std::shared_ptr<HostPerfLog> HostPerfLog::make(Executor& main, Providers providers,
                                               std::optional<std::filesystem::path> directory,
                                               Environment environment) {
    return std::make_shared<HostPerfLog>(main, std::move(providers), std::move(directory), std::move(environment));
}

std::shared_ptr<HostPerfLog> HostPerfLog::make(Executor& main, Providers providers,
                                               std::optional<std::filesystem::path> directory) {
    return make(main, std::move(providers), std::move(directory), Environment());
}

HostPerfLog::HostPerfLog(Executor& main, Providers providers, std::optional<std::filesystem::path> directory,
                         Environment environment)
    : main_(main),
      providers_(std::move(providers)),
      environment_(withDefaults(std::move(environment))),
      defaults_(environment_.defaults != nullptr ? *environment_.defaults : Defaults::standard()),
      bundle_(environment_.bundle.value_or(BundleInfo::main())),
      lastAt_(uptime()) {
    if (!directory) return;
    fileURL_ = *directory / fileName;
    // What is written in a folder others could change is not ours to keep.
    if (auto folder = PrivateFiles::folder(*directory, true); !folder) {
        std::fprintf(stderr, "quillmere-host: the diagnostics folder %s %s; nothing is logged\n", directory->c_str(),
                     folder.error().reason.c_str());
        return;
    }
    file_.emplace(*fileURL_);
}

HostPerfLog::~HostPerfLog() {
    if (timer_) timer_->cancel();
}

void HostPerfLog::start() {
    context("launch");
    std::weak_ptr<HostPerfLog> weak = weak_from_this();
    timer_ = DispatchTimer::make(main_);
    timer_->setHandler([weak] {
        if (auto self = weak.lock()) self->sample(self->uptime());
    });
    timer_->schedule(main_.nowNs() + intervalNs, intervalNs);
    timer_->resume();
    watchScreens();
}

void HostPerfLog::watchScreens() {
    auto* application = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (application == nullptr) return;
    screenWatch_ = std::make_unique<QObject>();
    std::weak_ptr<HostPerfLog> weak = weak_from_this();
    // One change raises several signals; they make one record.
    const auto changed = [weak] {
        auto self = weak.lock();
        if (!self || self->contextPending_) return;
        self->contextPending_ = true;
        self->main_.async([weak] {
            if (auto self = weak.lock()) {
                self->contextPending_ = false;
                self->context("displaysChanged");
            }
        });
    };
    const auto watch = [this, changed](QScreen* screen) {
        QObject::connect(screen, &QScreen::geometryChanged, screenWatch_.get(), changed);
        QObject::connect(screen, &QScreen::refreshRateChanged, screenWatch_.get(), changed);
        QObject::connect(screen, &QScreen::logicalDotsPerInchChanged, screenWatch_.get(), changed);
    };
    for (QScreen* screen : QGuiApplication::screens()) watch(screen);
    QObject::connect(application, &QGuiApplication::screenAdded, screenWatch_.get(), [watch, changed](QScreen* screen) {
        watch(screen);
        changed();
    });
    QObject::connect(application, &QGuiApplication::screenRemoved, screenWatch_.get(), changed);
    QObject::connect(application, &QGuiApplication::primaryScreenChanged, screenWatch_.get(), changed);
}

std::optional<double> HostPerfLog::cpuPercent(double now) {
    const auto seconds = SystemInfo::processCPUSeconds();
    if (!seconds) return std::nullopt;
    std::optional<double> percent;
    if (lastCPU_ && lastCPU_->second < now)
        percent = std::max(0.0, (*seconds - lastCPU_->first) / (now - lastCPU_->second) * 100.0);
    lastCPU_ = std::make_pair(*seconds, now);
    return percent;
}

void HostPerfLog::sample(double now) {
    const auto surfaces = providers_.surfaces ? providers_.surfaces() : PerfSurfaces();
    const double previousAt = lastAt_;
    const auto cpu = cpuPercent(now);
    if (surfaces.empty()) {
        last_.clear();
        lastAt_ = now;
        return;
    }
    if (displaysKey_.empty()) context("session");
    append(performance(surfaces, cpu, std::max(now - previousAt, 0.001)));
    lastAt_ = now;
}

HostPerfLog::Json HostPerfLog::performance(const PerfSurfaces& surfaces,
                                           std::optional<double> cpu, double dt) {
    Json record = Json::object();
    record["event"] = "host.perf";
    record["surfaces"] = surfaces.size();
    if (cpu) record["cpu"] = PerfRecord::number(PerfRecord::r3(*cpu));
    if (const auto bytes = environment_.system.processFootprintBytes())
        record["memoryMB"] = PerfRecord::number(PerfRecord::r3(static_cast<double>(*bytes) / 1'048'576.0));
    if (const auto load = environment_.system.loadAverage1())
        record["load1"] = PerfRecord::number(PerfRecord::r3(*load));
    record["thermal"] = PerfRecord::thermalName(environment_.sysfs.thermalState());
    record["lowPower"] = environment_.system.lowPowerMode();
    record["lowLatencyRC"] = !defaults_.boolForKey("QuillmereMacNormalRateControl");
    record["wifiPriority"] = defaults_.boolForKey("QuillmereWiFiPriority");
    if (const auto power = PerfRecord::powerText(environment_.sysfs.powerSources())) record["power"] = *power;
    if (const auto wifi = environment_.wifi()) record["wifi"] = PerfRecord::wifi(*wifi, environment_.awdlRunning());
    record["screenShape"] = providers_.screenShape ? providers_.screenShape() : std::string("standard");
    if (providers_.audioRoutes) {
        if (const auto routes = PerfRecord::audioRoutes(providers_.audioRoutes())) record["audioRoutes"] = *routes;
    }

    Json perSurface = Json::array();
    for (const auto& [key, current] : surfaces) {
        const auto previous = last_.find(key);
        perSurface.push_back(PerfRecord::surface(
            key.surfaceID, current, previous != last_.end() ? std::optional(previous->second) : std::nullopt, dt));
        last_[key] = current;
    }
    record["surface"] = std::move(perSurface);

    if (const auto pacer = providers_.pacer ? providers_.pacer() : std::nullopt) {
        record["pacer"] = PerfRecord::pacer(*pacer, lastPacer_);
        lastPacer_ = *pacer;
    }
    return record;
}

void HostPerfLog::context(std::string_view reason) {
    Json displays = Json::array();
    displaysKey_.clear();
    for (const DisplayRecords::Screen& screen : environment_.displays()) {
        Json display = DisplayRecords::record(screen);
        displaysKey_ += display.dump(-1, ' ', false, Json::error_handler_t::replace);
        displays.push_back(std::move(display));
    }

    Json record = Json::object();
    record["event"] = "host.context";
    record["reason"] = reason;
    record["displays"] = std::move(displays);
    record["os"] = environment_.system.osVersion();
    record["model"] = environment_.system.model().value_or("-");
    record["chip"] = environment_.system.chip().value_or("-");
    record["cores"] = environment_.system.activeProcessorCount();
    if (const auto bytes = environment_.system.physicalMemoryBytes())
        record["memoryGB"] = PerfRecord::number(PerfRecord::r3(static_cast<double>(*bytes) / 1073741824.0));
    record["app"] = bundle_.appText();
    record["build"] = bundle_.configuration;
    append(std::move(record));
}

void HostPerfLog::append(Json record) {
    record["t"] = PerfRecord::timestamp(environment_.wallClockMs());
    if (!file_) return;
    std::string line;
    try {
        line = PerfRecord::line(record);
    } catch (const nlohmann::json::exception&) {
        return;
    }
    if (file_->append(line) == PerfLogFile::Outcome::symbolicLink) {
        std::fprintf(stderr, "quillmere-host: the diagnostics log %s is a symbolic link; nothing is logged\n",
                     file_->path().c_str());
        // Not again every 5 s.
        file_.reset();
    }
}

} // namespace quillmere
