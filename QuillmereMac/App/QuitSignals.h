#pragma once

#include <QObject>

#include <functional>

class QSocketNotifier;

namespace quillmere {

// SIGINT and SIGTERM turned into a call on the main thread: the handler only
// writes a byte to a pipe, whose reading end the event loop watches. One
// instance per process.
class QuitSignals final : public QObject {
public:
    explicit QuitSignals(std::function<void()> onSignal, QObject* parent = nullptr);
    ~QuitSignals() override;
    QuitSignals(const QuitSignals&) = delete;
    QuitSignals& operator=(const QuitSignals&) = delete;

    bool installed() const { return notifier_ != nullptr; }

private:
    std::function<void()> onSignal_;
    QSocketNotifier* notifier_ = nullptr;
};

} // namespace quillmere
