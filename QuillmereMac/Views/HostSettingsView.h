#pragma once

#include "QuillmereMac/Bundle/BundleInfo.h"
#include "QuillmereMac/Engine/HostEngine.h"

#include "Platform/Defaults/Defaults.h"
#include "QuillmereWire/TrustedPeer.h"

#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

class QCheckBox;
class QLabel;
class QMessageBox;
class QPushButton;
class QTabWidget;
class QUrl;
class QVBoxLayout;

namespace quillmere {

// The settings window's content: tabs General, iPhones, Developer (hidden
// until the version text was tapped seven times) and About. The switches
// write through the status model, which says under the tabs when a setting
// was not saved; each switch shows what is in effect, or while its save is
// on its way the value that it carries. The iPhones tab lists
// the engine's paired devices, removes one after a confirmation, and says
// beside them what is wrong with them (a removal that was not saved). The
// About tab links to the help when the build names its address. Made once
// with its window and kept, so that taps add up across openings. Main thread
// only.
class HostSettingsView : public QWidget {
public:
    // What the window asks of the status model.
    struct Model {
        // Whose paired devices are listed and removed.
        std::weak_ptr<HostEngine> engine;
        std::function<void(bool)> setAutoApprove;
        std::function<void(bool)> setOpenAtLogin;
        std::function<void(bool)> setTestPattern;
        // The developer switches: the title names the setting in a problem.
        std::function<void(std::string_view title, std::string_view key, bool on)> setSwitch;
        std::function<bool()> loginItemEnabled;
        // The last failed login-item change, for the General tab.
        std::function<std::optional<std::string>()> loginItemProblem;
        // The last setting that was not saved, until one is.
        std::function<std::optional<std::string>()> settingsProblem;
        // While saves of a key are on their way, the value the last carries.
        std::function<std::optional<bool>(std::string_view key)> savingValue;
    };

    static constexpr const char* autoApproveKey = "QuillmereMacAutoApprovePairedSessions";
    static constexpr const char* testPatternKey = "QuillmereMacTestPatternEnabled";
    static constexpr const char* developerUnlockedKey = "QuillmereDeveloperUnlocked";
    static constexpr const char* wifiPriorityKey = "QuillmereWiFiPriority";
    static constexpr const char* normalRateControlKey = "QuillmereMacNormalRateControl";
    static constexpr const char* wifiPriorityTitle = "Wi-Fi priority (next connection)";
    static constexpr const char* normalRateControlTitle = "Normal encoder rate control";
    static constexpr const char* developerUnlockedTitle = "Developer tab";
    static constexpr int tapsToUnlock = 7;
    // The smallest size the window opens at; it grows to fit its content.
    static constexpr int width = 520;
    static constexpr int height = 400;

    HostSettingsView(Model model, Defaults& defaults, std::function<void()> pair,
                     std::function<void()> exportDiagnostics, BundleInfo bundle = BundleInfo::main(),
                     QWidget* parent = nullptr);
    ~HostSettingsView() override;

    QSize sizeHint() const override;

    // Everything shown read anew from the model, the engine and the defaults.
    void refresh();
    // One tap on the version text.
    void registerVersionTap();

    int versionTaps() const { return versionTaps_; }
    const std::optional<WireID>& deviceToRemove() const { return deviceToRemove_; }
    // The removal confirmation while it is open.
    QMessageBox* confirmation() const;
    // Shown when no program could open the help: where it is.
    QMessageBox* helpBox() const;
    // Asks the desktop to open an address; false when no program took it.
    // Tests replace the opening.
    std::function<bool(const QUrl&)> openAddress;

private:
    QWidget* makeGeneral();
    QWidget* makeIPhones();
    QWidget* makeDeveloper();
    QWidget* makeAbout();
    // Makes the Developer tab on unlock and deletes it on lock.
    void showDeveloper(bool unlocked);
    void showDevices(const std::vector<TrustedPeer>& devices);
    QWidget* deviceRow(const TrustedPeer& device);
    void confirmRemoval(const TrustedPeer& device);
    void removalAnswered(bool remove);
    void openHelp(const QString& address);
    // A warning sign and a text, hidden until there is something to say.
    QWidget* problemRow(QLabel*& text, const char* name);
    void setSwitch(const char* title, const char* key, bool on);
    bool switchValue(const char* key) const;

    Model model_;
    Defaults& defaults_;
    std::function<void()> pair_;
    std::function<void()> exportDiagnostics_;
    const BundleInfo bundle_;
    std::vector<Defaults::ObserverID> observers_;
    // Removed with the window: every window opened would otherwise leave one.
    std::optional<HostEngine::ObserverToken> engineObserver_;

    std::optional<WireID> deviceToRemove_;
    std::string deviceName_;
    int versionTaps_ = 0;
    std::optional<std::vector<TrustedPeer>> shownDevices_;
    // Rows whose identity is disclosed, kept across redraws.
    std::set<WireID> disclosed_;

    QTabWidget* tabs_ = nullptr;
    QWidget* developerTab_ = nullptr;
    QCheckBox* autoApprove_ = nullptr;
    QCheckBox* openAtLogin_ = nullptr;
    QLabel* loginItemProblem_ = nullptr;
    QWidget* settingsProblemRow_ = nullptr;
    QLabel* settingsProblem_ = nullptr;
    QVBoxLayout* deviceList_ = nullptr;
    QWidget* trustProblemRow_ = nullptr;
    QLabel* trustProblem_ = nullptr;
    QCheckBox* testPattern_ = nullptr;
    QCheckBox* wifiPriority_ = nullptr;
    QCheckBox* normalRateControl_ = nullptr;
    QPointer<QMessageBox> confirmation_;
    QPointer<QMessageBox> helpBox_;
};

} // namespace quillmere
