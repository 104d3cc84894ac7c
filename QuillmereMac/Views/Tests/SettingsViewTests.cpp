#include "QuillmereMac/Views/HostSettingsView.h"

#include "QuillmereMac/Views/Tests/PanelTestHost.h"
#include "QuillmereMac/Trust/KeychainTrustStorage.h"
#include "QuillmereMac/Views/IdentityText.h"

#include <QCheckBox>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTabWidget>
#include <QTest>
#include <QUrl>

#include <fmt/format.h>
#include <gtest/gtest.h>

namespace quillmere::testing {
namespace {

using View = HostSettingsView;

class SettingsViewTest : public ::testing::Test {
protected:
    PanelTestHost host;
    TemporaryFolder folder;
    std::filesystem::path defaultsFile = folder.path() / "defaults.ini";
    Defaults defaults{defaultsFile};
    bool loginEnabled = false;
    std::optional<std::string> loginFailure;
    std::optional<std::string> loginProblem;
    std::vector<std::string> calls;

    SettingsViewTest() { defaults.registerDefaults({{View::autoApproveKey, true}}); }

    // The status model as far as the window uses it.
    View::Model model() {
        View::Model model;
        model.engine = host.engine;
        model.setAutoApprove = [this](bool on) {
            calls.push_back("autoApprove " + std::to_string(on));
            defaults.setValue(View::autoApproveKey, on);
        };
        model.setTestPattern = [this](bool on) {
            calls.push_back("testPattern " + std::to_string(on));
            defaults.setValue(View::testPatternKey, on);
        };
        model.setOpenAtLogin = [this](bool on) {
            calls.push_back("openAtLogin " + std::to_string(on));
            if (loginFailure) loginProblem = "Couldn't change Open at login: " + *loginFailure;
            else loginEnabled = on;
        };
        model.setSwitch = [this](std::string_view, std::string_view key, bool on) { defaults.setValue(key, on); };
        model.loginItemEnabled = [this] { return loginEnabled; };
        model.loginItemProblem = [this] { return loginProblem; };
        return model;
    }

    std::unique_ptr<View> open(BundleInfo bundle = {}) {
        auto view = std::make_unique<View>(
            model(), defaults, [this] { calls.push_back("pair"); }, [this] { calls.push_back("export"); },
            std::move(bundle));
        view->show();
        return view;
    }

    static QStringList tabTitles(const View& view) {
        const auto* tabs = view.findChild<QTabWidget*>("tabs");
        QStringList titles;
        for (int i = 0; i < tabs->count(); ++i) titles << tabs->tabText(i);
        return titles;
    }
    static void showTab(View& view, const char* name) {
        auto* tabs = view.findChild<QTabWidget*>("tabs");
        tabs->setCurrentWidget(view.findChild<QWidget*>(name));
    }
    std::vector<std::string> namesInTrustStore() const {
        std::vector<std::string> names;
        const auto reopened = host.openEngine();
        for (const TrustedPeer& peer : reopened->status().pairedDevices) names.push_back(peer.name);
        return names;
    }
};

TEST_F(SettingsViewTest, SevenTapsOnTheVersionUnlockTheDeveloperTabForGood) {
    auto view = open();
    auto* version = view->findChild<QPushButton*>("versionButton");
    for (int tap = 1; tap <= 6; ++tap) QTest::mouseClick(version, Qt::LeftButton);
    EXPECT_EQ(tabTitles(*view), QStringList({"General", "iPhones", "About"}));
    QTest::mouseClick(version, Qt::LeftButton);
    EXPECT_EQ(tabTitles(*view), QStringList({"General", "iPhones", "Developer", "About"}));
    QTest::mouseClick(version, Qt::LeftButton);
    EXPECT_EQ(view->versionTaps(), 7);
    EXPECT_EQ(tabTitles(*view).size(), 4);

    // A new run reads the setting back from its file.
    view.reset();
    Defaults relaunched(defaultsFile);
    const View again(model(), relaunched, {}, {});
    EXPECT_EQ(tabTitles(again), QStringList({"General", "iPhones", "Developer", "About"}));
}

TEST_F(SettingsViewTest, CancelAndEscapeLeaveTheTrustStoreUntouched) {
    host.pair("Anna's iPhone", 1);
    host.pair("Ben's iPhone", 2);
    auto view = open();
    showTab(*view, "iphonesTab");
    const auto removeFirst = [&] {
        QTest::mouseClick(view->findChildren<QPushButton*>("removeDevice").at(0), Qt::LeftButton);
        QMessageBox* box = view->confirmation();
        if (box == nullptr) throw std::runtime_error("no confirmation");
        return box;
    };
    const std::function<void(QMessageBox*)> dismissals[] = {
        [](QMessageBox* box) { QTest::mouseClick(box->findChild<QPushButton*>("cancelRemoval"), Qt::LeftButton); },
        [](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Escape); },
    };
    for (const auto& dismiss : dismissals) {
        QMessageBox* box = removeFirst();
        EXPECT_EQ(box->text(), "Remove Anna's iPhone?");
        EXPECT_EQ(box->informativeText(),
                  "This iPhone will disconnect and need to pair again before it can view or control your computer.");
        EXPECT_TRUE(view->deviceToRemove());
        dismiss(box);
        EXPECT_FALSE(view->deviceToRemove());
        EXPECT_EQ(namesInTrustStore(), (std::vector<std::string>{"Anna's iPhone", "Ben's iPhone"}));
    }

    QTest::mouseClick(removeFirst()->findChild<QPushButton*>("confirmRemoval"), Qt::LeftButton);
    // Gone from the list at the click; saved after it.
    EXPECT_EQ(view->findChildren<QWidget*>("deviceRow").size(), 1);
    EXPECT_EQ(shown<QLabel>(*view, "deviceName")->text(), "Ben's iPhone");
    EXPECT_TRUE(pumpUntil([&] { return namesInTrustStore() == std::vector<std::string>{"Ben's iPhone"}; }));

    // A removal that could not be saved says so beside the list, until it is.
    const auto record = KeychainTrustStorage(Keychain(host.keys.path() / "keychain"))
                            .fileOf(KeychainTrustStorage::service("test"), KeychainTrustStorage::account);
    std::filesystem::permissions(record, std::filesystem::perms(0666));
    QTest::mouseClick(removeFirst()->findChild<QPushButton*>("confirmRemoval"), Qt::LeftButton);
    ASSERT_TRUE(pumpUntil([&] { return shown<QLabel>(*view, "trustProblem") != nullptr; }));
    EXPECT_EQ(shown<QLabel>(*view, "trustProblem")->text().remove(QChar(0x200B)).toStdString(),
              "Removed \u201CBen's iPhone\u201D for now, but the removal could not be saved: " + record.string() +
                  " can be changed by other accounts (mode 0666). It will be trusted again when Quillmere next "
                  "starts unless that is mended.");
    std::filesystem::permissions(record, std::filesystem::perms(0600));
    EXPECT_TRUE(pumpUntil([&] { return shown<QLabel>(*view, "trustProblem") == nullptr; }));
    EXPECT_EQ(namesInTrustStore(), std::vector<std::string>{});
}

TEST_F(SettingsViewTest, WithoutPairedDevicesOnlyTheHintAndThePairButton) {
    auto view = open();
    showTab(*view, "iphonesTab");
    ASSERT_NE(shown<QLabel>(*view, "noDevices"), nullptr);
    EXPECT_EQ(shown<QLabel>(*view, "noDevices")->text(), "No paired iPhones yet.");
    EXPECT_TRUE(view->findChildren<QWidget*>("deviceRow").isEmpty());
    QTest::mouseClick(shown<QPushButton>(*view, "pairAnother"), Qt::LeftButton);
    EXPECT_EQ(calls, std::vector<std::string>{"pair"});

    // A device paired meanwhile shows at once, its identity in full once disclosed.
    const TrustedPeer anna = host.pair("Anna's iPhone", 1);
    EXPECT_EQ(shown<QLabel>(*view, "noDevices"), nullptr);
    EXPECT_EQ(shown<QWidget>(*view, "deviceIdentity"), nullptr);
    shown<QAbstractButton>(*view, "identityDisclosure")->click();
    auto* identity = shown<IdentityText>(*view, "deviceIdentity");
    ASSERT_NE(identity, nullptr);
    std::string hex;
    for (const std::uint8_t byte : anna.fingerprint.bytes()) hex += fmt::format("{:02x}", byte);
    EXPECT_EQ(identity->toPlainText().toStdString(), hex);
}

TEST_F(SettingsViewTest, SwitchesWriteTheirSettings) {
    defaults.setValue(View::developerUnlockedKey, true);
    auto view = open();
    struct Case {
        const char* toggle;
        const char* key;
        std::optional<std::string> call;
    };
    const Case cases[] = {
        {"autoApprove", View::autoApproveKey, "autoApprove 0"},
        {"testPattern", View::testPatternKey, "testPattern 1"},
        {"wifiPriority", View::wifiPriorityKey, std::nullopt},
        {"normalRateControl", View::normalRateControlKey, std::nullopt},
    };
    for (const Case& c : cases) {
        auto* toggle = view->findChild<QCheckBox*>(c.toggle);
        const bool before = toggle->isChecked();
        EXPECT_EQ(before, defaults.boolForKey(c.key)) << c.toggle;
        calls.clear();
        toggle->click();
        EXPECT_EQ(defaults.boolForKey(c.key), !before) << c.toggle;
        EXPECT_EQ(toggle->isChecked(), !before) << c.toggle;
        EXPECT_EQ(calls, c.call ? std::vector<std::string>{*c.call} : std::vector<std::string>{}) << c.toggle;
    }

    // A failed login-item change leaves the switch at the real state and says why.
    loginFailure = "The operation couldn't be completed.";
    auto* login = view->findChild<QCheckBox*>("openAtLogin");
    login->click();
    EXPECT_FALSE(login->isChecked());
    ASSERT_NE(shown<QLabel>(*view, "loginItemProblem"), nullptr);
    EXPECT_EQ(shown<QLabel>(*view, "loginItemProblem")->text(),
              "Couldn't change Open at login: The operation couldn't be completed.");
    loginFailure.reset();
    loginProblem.reset();
    login->click();
    EXPECT_TRUE(login->isChecked());
    EXPECT_EQ(shown<QLabel>(*view, "loginItemProblem"), nullptr);

    showTab(*view, "developerTab");
    QTest::mouseClick(shown<QPushButton>(*view, "showDiagnostics"), Qt::LeftButton);
    EXPECT_EQ(calls.back(), "export");
}

TEST_F(SettingsViewTest, VersionTextAndHelpLink) {
    const QString help = "https://help.example/quillmere?a=1&b=2";
    const std::pair<BundleInfo, QString> cases[] = {
        {BundleInfo{"2.3", "41"}, "Version 2.3 (41)"},
        {BundleInfo{{}, {}, "Release", help.toStdString()}, "Version 1.0 (1)"},
    };
    for (const auto& [bundle, title] : cases) {
        auto view = open(bundle);
        EXPECT_EQ(view->findChild<QPushButton*>("versionButton")->text(), title);
        // No address, no link; an address no browser opens is told in words.
        auto* link = view->findChild<QLabel*>("helpLink");
        ASSERT_EQ(link != nullptr, bundle.helpAddress.has_value());
        if (!link) continue;
        std::vector<QUrl> opened;
        view->openAddress = [&](const QUrl& url) {
            opened.push_back(url);
            return false;
        };
        showTab(*view, "aboutTab");
        QTest::mouseClick(link, Qt::LeftButton, {}, link->rect().center());
        EXPECT_EQ(opened, std::vector<QUrl>{QUrl(help)});
        ASSERT_NE(view->helpBox(), nullptr);
        EXPECT_TRUE(view->helpBox()->text().contains(help));
    }
}

TEST_F(SettingsViewTest, NoTextIsCutOffAtTheWindowsSize) {
    host.pair("Anna's iPhone with a rather long name that wraps", 1);
    host.pair("Ben's iPhone", 2);
    defaults.setValue(View::developerUnlockedKey, true);
    loginProblem = "Couldn't change Open at login: The operation couldn't be completed. (Permission denied)";
    auto view = open(BundleInfo{"2.3", "41"});
    view->resize(View::width, View::height);
    // Its content fits the window: nothing makes the window grow.
    EXPECT_EQ(view->size(), QSize(View::width, View::height));
    for (QAbstractButton* disclosure : view->findChildren<QAbstractButton*>("identityDisclosure")) disclosure->click();
    for (const char* tab : {"generalTab", "iphonesTab", "developerTab", "aboutTab"}) {
        showTab(*view, tab);
        // Laid out anew: the identities were disclosed on a hidden page.
        for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
        EXPECT_EQ(clippedTexts(*view->findChild<QWidget*>(tab)), std::vector<std::string>{}) << tab;
        // Nor does a page that fits scroll.
        if (const auto* page = view->findChild<QScrollArea*>(tab)) {
            EXPECT_EQ(page->verticalScrollBar()->maximum(), 0) << tab;
        }
    }
    for (const IdentityText* identity : view->findChildren<IdentityText*>("deviceIdentity"))
        EXPECT_GE(identity->height(), identity->heightForWidth(identity->width()));
}

} // namespace
} // namespace quillmere::testing
