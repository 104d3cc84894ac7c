#pragma once

#include "QuillmereMac/App/HostStatusModel.h"
#include "QuillmereMac/Consent/ConsentCenter.h"

#include <QScrollArea>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QToolBar;
class QVBoxLayout;

namespace quillmere {

// The main window's content: the host's headline, its last error, a
// settings file it did not read, pending sharing requests with their
// answers, the two permissions, the pairing state and a footnote. A pure
// function of the model and the consent center, rebuilt whenever what it
// shows of either changes, keeping the scroll position and the focused
// control. Main thread only.
class StatusView final : public QScrollArea {
public:
    struct Actions {
        std::function<void()> quit;
        std::function<void()> pair;
        std::function<void()> settings;
        // Ask for the permission, then read both again.
        std::function<void()> requestScreenRecording;
        std::function<void()> requestAccessibility;
    };

    // Without a consent center no requests are shown.
    StatusView(HostStatusModel& model, std::shared_ptr<ConsentCenter> consent, Actions actions,
               QWidget* parent = nullptr);
    ~StatusView() override;

    // Refresh, Settings… and Pair iPhone…, for the window to show.
    QToolBar* makeToolBar(QWidget* parent);
    // Builds the content anew from the model.
    void rebuild();
    // Rebuilds only if what the content shows differs from what it shows now.
    void refresh();

    // "1 paired iPhone." or "N paired iPhones."
    static QString pairedCountText(std::size_t count);
    // “device” wants to view “title”.
    static QString requestText(const ConsentCenter::Request& request);

private:
    // Everything the content is made from. A rebuild lays out every label
    // again: costly, so made only when this differs.
    struct Shown {
        std::string headline;
        HostStatus::Phase phase = HostStatus::Phase::stopped;
        PermissionSnapshot permissions;
        std::size_t pairedCount = 0;
        std::optional<std::string> activeSession;
        std::optional<std::string> lastError;
        std::optional<std::string> captureProblem;
        std::vector<ConsentCenter::Request> pending;
        std::optional<std::string> settingsFileProblem;

        bool operator==(const Shown&) const = default;
    };
    Shown shownNow() const;

    void addTitle(QVBoxLayout& column);
    // The host's last error, a settings file that was not read, and content
    // that could not be captured.
    void addErrorBanner(QVBoxLayout& column);
    void addBanner(QVBoxLayout& column, const std::string& message, const char* name, const char* textName,
                   const QString& accessiblePrefix);
    void addRequests(QVBoxLayout& column);
    void addPermissions(QVBoxLayout& column);
    void addIPhone(QVBoxLayout& column);
    // The focused control as names from the content down; empty when the
    // focus is elsewhere.
    QStringList focusedPath() const;
    QWidget* widgetAt(const QStringList& path) const;

    HostStatusModel& model_;
    std::shared_ptr<ConsentCenter> consent_;
    Actions actions_;
    std::uint64_t consentObserver_ = 0;
    std::optional<Shown> shown_;
};

} // namespace quillmere
