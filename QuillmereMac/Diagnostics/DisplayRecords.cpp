#include "QuillmereMac/Diagnostics/DisplayRecords.h"

#include "Platform/DisplayConfiguration/RandrScreen.h"
#include "Platform/X11/XcbConnection.h"
#include "QuillmereMac/Diagnostics/PerfRecord.h"

#include <fmt/format.h>

#include <QGuiApplication>
#include <QScreen>

#include <cmath>
#include <map>
#include <memory>

namespace quillmere {

namespace {

// Every connected output with a CRTC, by name.
std::map<std::string, DisplayRecords::Output> randrOutputs() {
    std::map<std::string, DisplayRecords::Output> outputs;
    const QByteArray display = qgetenv("DISPLAY");
    auto connection = XcbConnection::open(display.toStdString());
    if (!connection) return outputs;
    auto screen = RandrScreen::of(**connection);
    if (!screen) return outputs;
    const auto resources = screen->resources();
    if (!resources) return outputs;
    const std::uint32_t main = screen->mainOutput(*resources);
    for (const std::uint32_t id : resources->outputs) {
        const auto output = screen->output(id, resources->configTimestamp);
        if (!output || !output->connected || output->crtc == XCB_NONE) continue;
        DisplayRecords::Output found;
        found.main = id == main;
        found.builtIn = DisplayRecords::isBuiltIn(output->name);
        if (const auto crtc = screen->crtc(output->crtc, resources->configTimestamp); crtc && crtc->mode != XCB_NONE) {
            if (const RandrScreen::Mode* mode = resources->mode(crtc->mode))
                found.mode = DisplayRecords::Mode{mode->width, mode->height, mode->refreshRate};
        }
        outputs.emplace(output->name, found);
    }
    return outputs;
}

} // namespace

nlohmann::json DisplayRecords::record(const Screen& screen) {
    nlohmann::json record = nlohmann::json::object();
    record["name"] = screen.name;
    record["points"] = fmt::format("{}x{}", screen.width, screen.height);
    record["scale"] = PerfRecord::number(screen.scale);
    record["maxFPS"] = screen.maxFPS;
    if (screen.output) {
        record["main"] = screen.output->main;
        record["builtIn"] = screen.output->builtIn;
        if (screen.output->mode) {
            record["pixels"] = fmt::format("{}x{}", screen.output->mode->width, screen.output->mode->height);
            record["refreshHz"] = PerfRecord::number(PerfRecord::r3(screen.output->mode->refreshHz));
        }
    }
    return record;
}

std::vector<DisplayRecords::Screen> DisplayRecords::current() {
    std::vector<Screen> screens;
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr) return screens;
    const auto outputs =
        QGuiApplication::platformName() == "xcb" ? randrOutputs() : std::map<std::string, Output>();
    for (const QScreen* qscreen : QGuiApplication::screens()) {
        Screen screen;
        screen.name = qscreen->name().toStdString();
        screen.width = qscreen->geometry().width();
        screen.height = qscreen->geometry().height();
        screen.scale = qscreen->devicePixelRatio();
        screen.maxFPS = static_cast<int>(std::lround(qscreen->refreshRate()));
        if (const auto found = outputs.find(screen.name); found != outputs.end()) screen.output = found->second;
        screens.push_back(std::move(screen));
    }
    return screens;
}

bool DisplayRecords::isBuiltIn(const std::string& outputName) {
    for (const char* prefix : {"eDP", "LVDS", "DSI"}) {
        if (outputName.rfind(prefix, 0) == 0) return true;
    }
    return false;
}

} // namespace quillmere
