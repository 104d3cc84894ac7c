#include "QuillmereMac/App/HostStatusModel.h"

#include "Platform/Log/Logger.h"

#include <QPointer>

namespace quillmere {

HostStatusModel::HostStatusModel(const std::shared_ptr<HostEngine>& engine, LoginItem loginItem, Defaults& defaults,
                                 Executor& main, QObject* parent)
    : QObject(parent), loginItem_(std::move(loginItem)), defaults_(defaults), main_(main) {
    if (const auto& unread = defaults.unread()) settingsFileProblem_ = settingsFileText(*unread);
    engine_ = engine;
    status_ = engine->status();
    QPointer<HostStatusModel> weak(this);
    const auto token = engine->addObserver([weak](const HostStatus& status) {
        if (weak) weak->setStatus(status);
    });
    setStatus(engine->status());
    token_ = token;
}

std::string HostStatusModel::headline(const HostStatus& status) {
    switch (status.phase) {
    case HostStatus::Phase::stopped: return "Stopped";
    case HostStatus::Phase::stopping: return "Stopping\u2026";
    case HostStatus::Phase::running: break;
    }
    if (status.activeSession) return "Sharing with " + *status.activeSession;
    if (status.permissions.screenRecording == PermissionState::notGranted)
        return "Allow Screen Recording to start sharing";
    return "Ready to share a window";
}

void HostStatusModel::refreshPermissions() {
    if (auto engine = engine_.lock()) engine->refreshPermissions();
}

std::string HostStatusModel::settingsFileText(const DefaultsFileProblem& problem) {
    std::string text = "Settings not read: " + problem.description() + ". Quillmere uses its default settings";
    if (problem.setAside && problem.keptAs)
        text += "; the file was moved to " + problem.keptAs->string() + ", and settings are now saved afresh";
    else if (problem.keptAs)
        text += "; the file is kept, and moved to " + problem.keptAs->string() + " when a setting is next saved";
    return text + ".";
}

void HostStatusModel::setAutoApprove(bool on) { setSwitch(autoApproveTitle, autoApproveKey, on); }

void HostStatusModel::setTestPatternEnabled(bool on) { setSwitch(testPatternTitle, testPatternKey, on); }

void HostStatusModel::setSwitch(std::string_view title, std::string_view key, bool on) {
    auto& saving = saving_[std::string(key)];
    ++saving.count;
    saving.value = on;
    defaults_.setValue(key, on, [weak = QPointer<HostStatusModel>(this), &main = main_, title = std::string(title),
                                 key = std::string(key)](const auto& saved) {
        // Said here too: a save that ends while quitting has no window left to tell.
        if (!saved)
            Logger("com.ornbeck.quillmere.mac", "settings")
                .error("\u201C%{public}s\u201D was not saved: %{public}s", title, saved.error().description());
        main.async([weak, title, key, saved] {
            if (weak) weak->saveEnded(title, key, saved);
        });
    });
}

std::optional<bool> HostStatusModel::savingValue(std::string_view key) const {
    const auto found = saving_.find(key);
    if (found == saving_.end()) return std::nullopt;
    return found->second.value;
}

void HostStatusModel::saveEnded(const std::string& title, const std::string& key,
                                const std::expected<void, DefaultsError>& saved) {
    // Saves end in the order they were asked for: the last of a key shows what the file holds.
    if (const auto found = saving_.find(key); found != saving_.end() && --found->second.count == 0) saving_.erase(found);
    std::optional<std::string> problem;
    if (!saved) problem = "Couldn't save \u201C" + title + "\u201D: " + saved.error().description() + ".";
    if (problem != settingsProblem_) {
        settingsProblem_ = std::move(problem);
        Q_EMIT settingsProblemChanged();
    }
    raiseRevision();
}

void HostStatusModel::setOpenAtLogin(bool on) {
    auto changed = loginItem_.set ? loginItem_.set(on) : std::unexpected(std::string("no login item"));
    if (changed) setLoginItemProblem(std::nullopt);
    else setLoginItemProblem(std::string(loginItemProblemPrefix) + changed.error());
    raiseRevision();
}

void HostStatusModel::setStatus(const HostStatus& status) {
    if (status == status_) return;
    status_ = status;
    Q_EMIT statusChanged();
}

void HostStatusModel::setCaptureProblem(std::optional<std::string> problem) {
    if (problem == captureProblem_) return;
    captureProblem_ = std::move(problem);
    Q_EMIT captureProblemChanged();
}

void HostStatusModel::setLoginItemProblem(std::optional<std::string> problem) {
    if (problem == loginItemProblem_) return;
    loginItemProblem_ = std::move(problem);
    Q_EMIT loginItemProblemChanged();
}

void HostStatusModel::raiseRevision() {
    ++revision_;
    // A save may have moved the unread file aside: the banner says where it went.
    if (const auto& unread = defaults_.unread()) {
        if (auto text = settingsFileText(*unread); text != settingsFileProblem_) {
            settingsFileProblem_ = std::move(text);
            Q_EMIT settingsFileProblemChanged();
        }
    }
    Q_EMIT revisionChanged();
}

} // namespace quillmere
