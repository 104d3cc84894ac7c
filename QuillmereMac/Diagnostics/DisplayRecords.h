#pragma once

#include <nlohmann/json.hpp>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quillmere {

// The displays as the diagnostics log's context record describes them: the
// application's screens in order, each with its RandR output when the X
// server has one of the screen's name (the stand-in for a screen number).
struct DisplayRecords {
    struct Mode {
        int width = 0;
        int height = 0;
        double refreshHz = 0;
    };
    struct Output {
        bool main = false;
        bool builtIn = false;
        // None while the output's mode cannot be read.
        std::optional<Mode> mode;
    };
    struct Screen {
        std::string name;
        // Points.
        int width = 0;
        int height = 0;
        double scale = 1;
        int maxFPS = 0;
        std::optional<Output> output;
    };

    // "name", "points", "scale", "maxFPS", and with an output "main",
    // "builtIn", and with its mode "pixels" and "refreshHz".
    static nlohmann::json record(const Screen& screen);

    // Outputs by name, as the desktop reads them.
    using Outputs = std::map<std::string, Output>;

    // Nothing without a GUI application; outputs are read only with one.
    static std::vector<Screen> current(const std::function<Outputs()>& readOutputs = {});

    // Laptop panels: eDP, LVDS and DSI connectors.
    static bool isBuiltIn(const std::string& outputName);
};

} // namespace quillmere
