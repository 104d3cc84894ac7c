#include "Platform/Dispatch/MainQueue.h"
#include "Platform/QRCode/QRCodeImage.h"
#include "QuillmereMac/Trust/KeychainTrustStorage.h"
#include "QuillmereMac/Views/PairingView.h"
#include "QuillmereMac/Views/Tests/PanelTestHost.h"
#include "QuillmereTransport/Identity/SystemPairingCrypto.h"
#include "TestSupport/ChildProcess.h"
#include "TestSupport/Host/PairingClient.h"

#include <QFontMetrics>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>

#include <gtest/gtest.h>

#include <atomic>
#include <tuple>

namespace quillmere::testing {
namespace {

class PairingViewTest : public ::testing::Test {
protected:
    PanelTestHost host;
    LocalIdentity identity = host.keys.make("host");
    std::shared_ptr<EnrollmentService> service = EnrollmentService::make(
        MainQueue::shared(),
        HostEnrollment(std::make_shared<SystemPairingCrypto>(), identity.fingerprint,
                       EnrollmentService::approvalTimeoutSeconds),
        identity, "Test Mac", "127.0.0.1", EnrollmentService::addingTo(host.engine), EnrollmentService::wallClockSeconds);
    std::atomic<std::uint64_t> viewNow{0};
    PairingView view{service, [this] { return viewNow.load(); }};

    PairingViewTest() {
        view.show();
        view.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&view));
    }
    ~PairingViewTest() override { service->cancel(); }

    template <class T>
    std::optional<T> awaitState() {
        pumpUntil([&] { return std::holds_alternative<T>(service->state()); });
        if (const T* state = std::get_if<T>(&service->state())) return *state;
        return std::nullopt;
    }
    void click(const char* button) {
        auto* found = shown<QPushButton>(view, button);
        if (found == nullptr) throw std::runtime_error(std::string("no button ") + button);
        QTest::mouseClick(found, Qt::LeftButton);
    }
    QString text(const char* label) {
        const auto* found = shown<QLabel>(view, label);
        return found != nullptr ? found->text() : QString("(no %1)").arg(label);
    }
};

TEST_F(PairingViewTest, TheCodeAndItsCountdown) {
    EXPECT_EQ(text("instructions"), PairingView::instructions);
    EXPECT_TRUE(drawnProminent(shown<QPushButton>(view, "showPairingCode")));
    click("showPairingCode");
    const auto showing = awaitState<EnrollmentState::Showing>();
    ASSERT_TRUE(showing);
    pumpUntil([&] { return shown<QLabel>(view, "qrCode") != nullptr; });
    const QLabel* code = shown<QLabel>(view, "qrCode");
    ASSERT_NE(code, nullptr);
    const QImage image = code->pixmap().toImage().convertToFormat(QImage::Format_Grayscale8);
    // The offscreen screen is 800x600: the code is made smaller to fit it.
    EXPECT_GE(view.shownQRScale(), PairingView::minimumQRScale);
    EXPECT_EQ(image, *QRCodeImage::make(showing->text, view.shownQRScale()));

    const std::pair<std::int64_t, const char*> cases[] = {
        {300, "Code expires in 5:00"}, {61, "Code expires in 1:01"}, {9, "Code expires in 0:09"},
        {0, "Code expires in 0:00"},   {-5, "Code expires in 0:00"},
    };
    for (const auto& [left, countdown] : cases) {
        viewNow = static_cast<std::uint64_t>(static_cast<std::int64_t>(showing->expiresAt) - left);
        view.refresh();
        EXPECT_EQ(text("countdown"), countdown) << left;
    }
    // Past its expiry the code stays until the service moves on.
    EXPECT_NE(shown<QLabel>(view, "qrCode"), nullptr);
}

TEST(PairingViewScale, WholePixelsPerModuleDownToFour) {
    // modules, preferred, height needed at the preferred scale, room: scale.
    const std::tuple<int, int, int, int, int> cases[] = {
        {57, 8, 700, 700, 8},  // fits
        {57, 8, 701, 700, 7},  // one pixel over: one step down frees 57
        {57, 8, 757, 700, 7},  // exactly one step
        {57, 8, 758, 700, 6},  // one more pixel: two steps
        {57, 8, 2000, 700, 4}, // never below four
        {0, 8, 900, 700, 8},   // no code
    };
    for (const auto& [modules, preferred, needed, room, scale] : cases)
        EXPECT_EQ(PairingView::fittingQRScale(modules, preferred, needed, room), scale) << needed << " in " << room;
}

TEST_F(PairingViewTest, EscapeCancelsWhileStartingAndWhileShowing) {
    click("showPairingCode");
    ASSERT_TRUE(std::holds_alternative<EnrollmentState::Starting>(service->state()));
    EXPECT_EQ(text("progress"), "(no progress)") << "a progress bar has no text";
    ASSERT_NE(shown<QWidget>(view, "progress"), nullptr);
    QTest::keyClick(&view, Qt::Key_Escape);
    EXPECT_EQ(service->state(), EnrollmentService::State(EnrollmentState::Finished{"Pairing cancelled."}));
    EXPECT_EQ(text("finishedMessage"), "Pairing cancelled.");

    click("showNewPairingCode");
    ASSERT_TRUE(awaitState<EnrollmentState::Showing>());
    QTest::keyClick(&view, Qt::Key_Escape);
    EXPECT_EQ(service->state(), EnrollmentService::State(EnrollmentState::Finished{"Pairing cancelled."}));
}

TEST_F(PairingViewTest, ReturnApprovesThePhoneAndEscapeRefusesIt) {
    const std::string name = "Anna's \"Work\" iPhone";
    struct Case {
        Qt::Key key;
        std::string outcome;
        bool paired;
        // Another Quillmere holds the paired devices a while after the approval.
        bool held = false;
    };
    // A record others may change is not saved to; the reason names its whole path.
    const auto record = KeychainTrustStorage(Keychain(host.keys.path() / "keychain"))
                            .fileOf(KeychainTrustStorage::service("test"), KeychainTrustStorage::account);
    const Case cases[] = {{Qt::Key_Escape, "Pairing denied.", false},
                          {Qt::Key_Return, name + " is paired.", true},
                          {Qt::Key_Return, name + " is paired.", true, true},
                          {Qt::Key_Return,
                           "Could not save the paired device: " + record.string() +
                               " can be changed by other accounts (mode 0666).",
                           false}};
    int run = 0;
    for (const Case& c : cases) {
        if (run == 3) std::filesystem::permissions(record, std::filesystem::perms(0666));
        service->start(PairingView::lifetimeSeconds);
        const auto showing = awaitState<EnrollmentState::Showing>();
        ASSERT_TRUE(showing);
        auto phone = offMain([&] {
            auto client = std::make_unique<PairingClient>(host.keys, host.defaults.defaults(),
                                                          "phone" + std::to_string(++run), showing->text, name);
            const bool asked = client->ready() && client->hello() && client->request();
            return asked ? std::move(client) : nullptr;
        });
        ASSERT_TRUE(phone);
        ASSERT_TRUE(awaitState<EnrollmentState::AwaitingApproval>());
        EXPECT_EQ(text("approvalTitle"), "Approve “Anna's \"Work\" iPhone” ?");
        EXPECT_TRUE(drawnProminent(shown<QPushButton>(view, "approve")));

        std::optional<ChildProcess> holder;
        if (c.held) holder = ChildProcess::holdingLock(record.parent_path() / ".lock");
        QTest::keyClick(&view, c.key);
        if (c.held) {
            ASSERT_TRUE(awaitState<EnrollmentState::Saving>());
            EXPECT_EQ(text("savingTitle"), "Saving “Anna's \"Work\" iPhone” to the paired iPhones…");
            holder.reset();
        }
        const auto finished = awaitState<EnrollmentState::Finished>();
        ASSERT_TRUE(finished);
        EXPECT_EQ(finished->message, c.outcome);
        EXPECT_EQ(text("finishedMessage").remove(QChar(0x200B)).toStdString(), c.outcome);
        EXPECT_TRUE(drawnProminent(shown<QPushButton>(view, "showNewPairingCode")));
        EXPECT_EQ(host.engine->trusted()->peer(phone->identity.fingerprint).has_value(), c.paired);
        // Long paths may wrap: no unbroken run is wider than the column (620).
        const QLabel* message = shown<QLabel>(view, "finishedMessage");
        int widest = 0;
        for (const QString& run : message->text().split(QRegularExpression(QStringLiteral("[\\s\\x{200B}]"))))
            widest = std::max(widest, QFontMetrics(message->font()).horizontalAdvance(run));
        EXPECT_LE(widest, 620) << message->text().toStdString();
    }
}

} // namespace
} // namespace quillmere::testing
