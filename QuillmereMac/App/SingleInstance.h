#pragma once

#include <QObject>

#include <functional>
#include <memory>
#include <string>

class QLocalServer;

namespace quillmere {

// One host per user and X display: the first to start listens on a local
// socket named for the display in the user's runtime folder; a later start
// asks it to show its status window instead of running. A socket left by a
// host that was killed answers nobody and is replaced. Main thread only.
class SingleInstance final : public QObject {
public:
    enum class Claim { ours, runningElsewhere, failed };

    // runtimeFolder/quillmere-host-<display>; the display's "/" become "_";
    // empty without a folder.
    static std::string socketPath(const std::string& runtimeFolder, const std::string& display);
    // $XDG_RUNTIME_DIR, else /tmp/quillmere-<uid> when it is this user's own;
    // empty when neither is.
    static std::string runtimeFolder();

    explicit SingleInstance(std::string path, QObject* parent = nullptr);
    ~SingleInstance() override;

    // ours: this process now answers later starts by calling show.
    // runningElsewhere: the running host was asked to show its window.
    Claim claim(std::function<void()> show);
    // Why the claim failed.
    const std::string& failure() const { return failure_; }

private:
    bool listen();
    bool askRunning() const;

    std::string path_;
    std::unique_ptr<QLocalServer> server_;
    std::function<void()> show_;
    std::string failure_;
};

} // namespace quillmere
