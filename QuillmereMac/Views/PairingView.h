#pragma once

#include "QuillmereMac/Enrollment/EnrollmentService.h"

#include <QPointer>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class QLabel;
class QScrollArea;
class QTimer;
class QVBoxLayout;

namespace quillmere {

// The pairing window's content: a header, then one section for the
// enrollment service's state (the code to scan with its countdown, the
// approval of the phone that scanned it, its saving, the outcome). It holds
// no pairing logic: it shows the service's state and calls start, cancel and
// decide. Main thread only.
class PairingView : public QWidget {
public:
    static constexpr std::uint32_t lifetimeSeconds = 300;
    // Pixels per module of the code, and the fewest it takes on a short screen.
    static constexpr int qrScale = 8;
    static constexpr int minimumQRScale = 4;
    // The white border around the code, beyond its quiet zone.
    static constexpr int qrMargin = 16;
    static constexpr const char* cancelledMessage = "Pairing cancelled.";
    static constexpr const char* instructions =
        "Open Quillmere on your iPhone and tap “Pair your first Mac”. (Quillmere pairs with one computer; forget the "
        "old one on the iPhone first to switch.) Then scan this code and approve the iPhone here. Keep both devices on "
        "the same network.";

    // now gives whole seconds since 1970, the service's clock.
    PairingView(std::shared_ptr<EnrollmentService> service, EnrollmentService::Now now, QWidget* parent = nullptr);

    // The section for the service's state, and the countdown, drawn anew.
    void refresh();

    // "Code expires in 4:59"; 0:00 once the expiry has passed.
    static QString countdownText(std::uint64_t expiresAt, std::uint64_t now);
    // "Approve “name” ?"
    static QString approvalTitle(const std::string& deviceName);
    // "Saving “name” to the paired iPhones…"
    static QString savingTitle(const std::string& deviceName);

    QSize sizeHint() const override { return {480, 630}; }

    // Pixels per module that let a window needing heightAtPreferred at the
    // preferred scale fit roomHeight: the preferred when it fits, else the
    // largest that may fit, at least minimumQRScale.
    static int fittingQRScale(int modules, int preferred, int heightAtPreferred, int roomHeight);
    int shownQRScale() const { return shownQRScale_; }

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QWidget* makeSection(const EnrollmentState::Value& state);
    QWidget* showingSection(const EnrollmentState::Showing& showing);
    void updateCountdown();
    void setQRScale(int scale);
    void refitSoon();
    void pollFrame();
    // The whole content's size at the window's width, without scrolling.
    QSize wantedWindowSize() const;
    // Grows the window to show the whole section, as far as its screen allows.
    void fitWindow();

    std::shared_ptr<EnrollmentService> service_;
    EnrollmentService::Now now_;
    QScrollArea* scroll_ = nullptr;
    QVBoxLayout* column_ = nullptr;
    QPointer<QWidget> section_;
    std::optional<EnrollmentState::Value> shown_;
    QPointer<QLabel> countdown_;
    std::uint64_t expiresAt_ = 0;
    QTimer* ticker_ = nullptr;
    std::string invitation_;
    QPointer<QLabel> qr_;
    int qrModules_ = 0;
    int shownQRScale_ = qrScale;
    bool refitting_ = false;
    // A busy desktop may frame a new window seconds late.
    static constexpr int maxFramePolls = 150;
    int framePolls_ = 0;
    // The room the code's size was chosen for; -1 before.
    int fittedRoomHeight_ = -1;
};

} // namespace quillmere
