#pragma once

#include "Platform/Defaults/Defaults.h"
#include "Platform/Log/Logger.h"

#include <QByteArray>
#include <QObject>
#include <QUrl>

#include <functional>
#include <memory>
#include <string>
#include <string_view>

class QNetworkAccessManager;

namespace quillmere {

// Our own small update check: a feed (a JSON object with "version" and
// "url") fetched from the address in the settings, compared with the running
// version. No feed configured, no updater. Main thread only.
class AppUpdater final : public QObject {
public:
    static constexpr std::string_view feedKey = "QuillmereUpdateFeedURL";

    struct Result {
        enum class Kind { upToDate, available, failed };
        Kind kind = Kind::failed;
        // The feed's version and download address when one is available.
        std::string version;
        std::string url;
        std::string error;
    };

    // None when the settings name no feed.
    static std::unique_ptr<AppUpdater> fromSettings(const Defaults& defaults, std::string currentVersion);

    AppUpdater(QUrl feed, std::string currentVersion, QObject* parent = nullptr);
    ~AppUpdater() override;

    // One check in the background: a newer version is logged.
    void startUpdater();
    bool started() const { return started_; }
    // The user's check: its outcome in a message box.
    void checkForUpdates();
    // Fetches the feed; done runs once on the main thread.
    void check(std::function<void(Result)> done);

    // What a feed's bytes say against the current version.
    static Result evaluate(const QByteArray& feed, std::string_view currentVersion);
    // Dotted numeric versions: negative, zero or positive as a < b, a == b, a > b.
    static int compareVersions(std::string_view a, std::string_view b);

    const QUrl& feed() const { return feed_; }

private:
    QUrl feed_;
    std::string currentVersion_;
    QNetworkAccessManager* network_;
    bool started_ = false;
    Logger log_{"com.ornbeck.quillmere.mac", "app"};
};

} // namespace quillmere
