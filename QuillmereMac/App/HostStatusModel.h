#pragma once

#include "Platform/Defaults/Defaults.h"
#include "Platform/Dispatch/Executor.h"
#include "QuillmereMac/App/LoginItem.h"
#include "QuillmereMac/Engine/HostEngine.h"

#include <QObject>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quillmere {

// The windows' view of the host: a mirror of the engine's status with its
// one-line headline, the settings the windows write, and "Open at login".
// Each signal fires only when its value really changed; every settings
// write raises revision when it ended, so that views reading the defaults
// read them again. Settings are saved off the main thread, which another
// program's lock on the file would stop; a switch shows the value its save
// carries until the save ended. A setting that is not saved does not take
// effect: the defaults keep what the file holds, which is what the next
// start reads, and settingsProblem says why until a later save works. Main
// thread only.
class HostStatusModel final : public QObject {
    Q_OBJECT

public:
    static constexpr std::string_view autoApproveKey = "QuillmereMacAutoApprovePairedSessions";
    static constexpr std::string_view testPatternKey = "QuillmereMacTestPatternEnabled";
    static constexpr std::string_view loginItemProblemPrefix = "Couldn't change Open at login: ";
    static constexpr std::string_view autoApproveTitle = "Allow automatic connections";
    static constexpr std::string_view testPatternTitle = "Offer test pattern";

    // The defaults and main, where saves report back, must outlive the
    // model. The model observes the engine for the rest of its life.
    HostStatusModel(const std::shared_ptr<HostEngine>& engine, LoginItem loginItem, Defaults& defaults, Executor& main,
                    QObject* parent = nullptr);

    const HostStatus& status() const { return status_; }
    std::string headline() const { return headline(status_); }
    static std::string headline(const HostStatus& status);

    // Reads both permissions again into the engine's status.
    void refreshPermissions();
    void setAutoApprove(bool on);
    void setOpenAtLogin(bool on);
    void setTestPatternEnabled(bool on);
    // Any switch of the settings window; the title names it in a problem.
    void setSwitch(std::string_view title, std::string_view key, bool on);
    // While saves of the key are on their way, the value the last carries.
    std::optional<bool> savingValue(std::string_view key) const;

    const std::optional<std::string>& loginItemProblem() const { return loginItemProblem_; }
    // The last failed save, until one works.
    const std::optional<std::string>& settingsProblem() const { return settingsProblem_; }
    // Why the settings file was not read at start, and where it went; for
    // the whole run.
    const std::optional<std::string>& settingsFileProblem() const { return settingsFileProblem_; }
    static std::string settingsFileText(const DefaultsFileProblem& problem);
    // Why the last content that could not be captured cannot be, in words;
    // until a capture starts.
    const std::optional<std::string>& captureProblem() const { return captureProblem_; }
    void setCaptureProblem(std::optional<std::string> problem);
    int revision() const { return revision_; }
    const LoginItem& loginItem() const { return loginItem_; }
    const std::weak_ptr<HostEngine>& engine() const { return engine_; }
    Defaults& defaults() const { return defaults_; }

Q_SIGNALS:
    void statusChanged();
    void loginItemProblemChanged();
    void settingsProblemChanged();
    void settingsFileProblemChanged();
    void captureProblemChanged();
    void revisionChanged();

private:
    void setStatus(const HostStatus& status);
    void setLoginItemProblem(std::optional<std::string> problem);
    void saveEnded(const std::string& title, const std::string& key, const std::expected<void, DefaultsError>& saved);
    void raiseRevision();

    HostStatus status_;
    std::weak_ptr<HostEngine> engine_;
    HostEngine::ObserverToken token_ = 0;
    LoginItem loginItem_;
    std::optional<std::string> loginItemProblem_;
    std::optional<std::string> settingsProblem_;
    std::optional<std::string> settingsFileProblem_;
    std::optional<std::string> captureProblem_;
    int revision_ = 0;
    Defaults& defaults_;
    Executor& main_;
    struct Saving {
        int count = 0;
        bool value = false;
    };
    std::map<std::string, Saving, std::less<>> saving_;
};

} // namespace quillmere
