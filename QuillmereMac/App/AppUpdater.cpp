#include "QuillmereMac/App/AppUpdater.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>

#include <charconv>

namespace quillmere {

namespace {

constexpr int checkTimeoutMs = 15'000;
constexpr qint64 largestFeed = 64 * 1024;

// The next dotted part as a number; 0 when absent or not a number.
long long nextPart(std::string_view& version) {
    const auto dot = version.find('.');
    const std::string_view part = version.substr(0, dot);
    version = dot == std::string_view::npos ? std::string_view() : version.substr(dot + 1);
    long long value = 0;
    std::from_chars(part.data(), part.data() + part.size(), value);
    return value;
}

} // namespace

std::unique_ptr<AppUpdater> AppUpdater::fromSettings(const Defaults& defaults, std::string currentVersion) {
    const auto address = defaults.stringForKey(feedKey);
    if (!address || address->empty()) return nullptr;
    const QUrl url(QString::fromStdString(*address));
    if (!url.isValid()) return nullptr;
    return std::make_unique<AppUpdater>(url, std::move(currentVersion));
}

AppUpdater::AppUpdater(QUrl feed, std::string currentVersion, QObject* parent)
    : QObject(parent), feed_(std::move(feed)), currentVersion_(std::move(currentVersion)),
      network_(new QNetworkAccessManager(this)) {}

AppUpdater::~AppUpdater() = default;

int AppUpdater::compareVersions(std::string_view a, std::string_view b) {
    while (!a.empty() || !b.empty()) {
        const long long left = nextPart(a);
        const long long right = nextPart(b);
        if (left != right) return left < right ? -1 : 1;
    }
    return 0;
}

AppUpdater::Result AppUpdater::evaluate(const QByteArray& feed, std::string_view currentVersion) {
    Result result;
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(feed, &error);
    const QJsonObject object = document.object();
    const std::string version = object.value("version").toString().toStdString();
    if (error.error != QJsonParseError::NoError || !document.isObject() || version.empty()) {
        result.error = "The update feed could not be read.";
        return result;
    }
    result.version = version;
    result.url = object.value("url").toString().toStdString();
    result.kind = compareVersions(version, currentVersion) > 0 ? Result::Kind::available : Result::Kind::upToDate;
    return result;
}

void AppUpdater::check(std::function<void(Result)> done) {
    QNetworkRequest request(feed_);
    request.setTransferTimeout(checkTimeoutMs);
    QNetworkReply* reply = network_->get(request);
    const std::string current = currentVersion_;
    connect(reply, &QNetworkReply::finished, this, [reply, current, done = std::move(done)] {
        reply->deleteLater();
        Result result;
        if (reply->error() != QNetworkReply::NoError) {
            result.error = reply->errorString().toStdString();
        } else {
            result = evaluate(reply->read(largestFeed), current);
        }
        done(std::move(result));
    });
}

void AppUpdater::startUpdater() {
    started_ = true;
    check([this](const Result& result) {
        if (result.kind == Result::Kind::available)
            log_.notice("update available: %{public}s at %{public}s", result.version, result.url);
    });
}

void AppUpdater::checkForUpdates() {
    check([](const Result& result) {
        QMessageBox box;
        box.setWindowTitle(QStringLiteral("Software Update"));
        switch (result.kind) {
        case Result::Kind::upToDate:
            box.setText(QStringLiteral("You\u2019re up to date!"));
            box.setInformativeText(QStringLiteral("Quillmere %1 is the newest version available.")
                                       .arg(QString::fromStdString(result.version)));
            break;
        case Result::Kind::available:
            box.setText(QStringLiteral("A new version of Quillmere is available!"));
            box.setInformativeText(QStringLiteral("Quillmere %1 can be downloaded from %2")
                                       .arg(QString::fromStdString(result.version), QString::fromStdString(result.url)));
            break;
        case Result::Kind::failed:
            box.setIcon(QMessageBox::Warning);
            box.setText(QStringLiteral("Update Error!"));
            box.setInformativeText(QString::fromStdString(result.error));
            break;
        }
        box.exec();
    });
}

} // namespace quillmere
