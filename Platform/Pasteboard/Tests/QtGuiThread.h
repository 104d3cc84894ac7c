#pragma once

// A QGuiApplication on an X display, on a thread of its own, so that a test
// can keep its own thread free to wait: MainQueue runs work there, and the
// clipboard it owns stays served while it runs.

#include "Platform/Dispatch/MainQueue.h"
#include "Platform/X11/XcbOpening.h"

#include <QGuiApplication>

#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quillmere::testing {

class QtGuiThread {
public:
    explicit QtGuiThread(const std::string& display) {
        std::promise<void> made;
        thread_ = std::thread([&made, display] {
            std::vector<std::string> arguments{"test", "-platform", "xcb", "-display", display};
            std::vector<char*> argv;
            for (auto& argument : arguments) argv.push_back(argument.data());
            argv.push_back(nullptr);
            int argc = static_cast<int>(arguments.size());
            // Qt opens its X connection as the application is made.
            std::optional<XcbOpening> opening(std::in_place);
            QGuiApplication app(argc, argv.data());
            opening.reset();
            made.set_value();
            QGuiApplication::exec();
        });
        made.get_future().wait();
    }

    ~QtGuiThread() {
        MainQueue::shared().async([] { QCoreApplication::quit(); });
        thread_.join();
    }

    QtGuiThread(const QtGuiThread&) = delete;
    QtGuiThread& operator=(const QtGuiThread&) = delete;

private:
    std::thread thread_;
};

} // namespace quillmere::testing
