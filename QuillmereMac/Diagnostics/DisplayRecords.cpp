#include "QuillmereMac/Diagnostics/DisplayRecords.h"

#include "QuillmereMac/Diagnostics/PerfRecord.h"

#include <fmt/format.h>

#include <QGuiApplication>
#include <QScreen>

#include <cmath>
#include <map>
#include <memory>

namespace quillmere {

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

std::vector<DisplayRecords::Screen> DisplayRecords::current(const std::function<Outputs()>& readOutputs) {
    std::vector<Screen> screens;
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr) return screens;
    const Outputs outputs = readOutputs ? readOutputs() : Outputs();
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
