#include "QuillmereMac/App/SingleInstance.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace quillmere {

namespace {

constexpr const char* showRequest = "show\n";
constexpr const char* shownReply = "shown\n";
constexpr int answerWaitMs = 5000;

} // namespace

std::string SingleInstance::socketPath(const std::string& runtimeFolder, const std::string& display) {
    if (runtimeFolder.empty()) return {};
    std::string name = display.empty() ? std::string("default") : display;
    for (char& c : name)
        if (c == '/') c = '_';
    return (std::filesystem::path(runtimeFolder) / ("quillmere-host-" + name)).string();
}

std::string SingleInstance::runtimeFolder() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime != '\0') return runtime;
    // Not $TMPDIR: two starts must find the same folder whatever it says.
    const std::string folder = "/tmp/quillmere-" + std::to_string(::getuid());
    ::mkdir(folder.c_str(), 0700);
    struct stat info {};
    // Another user's folder of that name is not ours to listen in.
    if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::getuid()) return {};
    return folder;
}

SingleInstance::SingleInstance(std::string path, QObject* parent) : QObject(parent), path_(std::move(path)) {}

SingleInstance::~SingleInstance() = default;

SingleInstance::Claim SingleInstance::claim(std::function<void()> show) {
    show_ = std::move(show);
    if (path_.empty() || path_.front() != '/') {
        failure_ = "no private runtime folder for the single-instance socket";
        return Claim::failed;
    }
    if (listen()) return Claim::ours;
    if (askRunning()) return Claim::runningElsewhere;
    // Nobody answers: a host that was killed left its socket behind.
    QLocalServer::removeServer(QString::fromStdString(path_));
    if (listen()) return Claim::ours;
    failure_ = "cannot listen on " + path_ + ": " + server_->errorString().toStdString();
    return Claim::failed;
}

bool SingleInstance::listen() {
    // No socket options: with them Qt binds elsewhere and renames over an
    // existing socket, which would hide the running host. The folder is the
    // user's own already.
    server_ = std::make_unique<QLocalServer>();
    if (!server_->listen(QString::fromStdString(path_))) return false;
    QObject::connect(server_.get(), &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* peer = server_->nextPendingConnection()) {
            QObject::connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
            QPointer<QLocalSocket> guarded(peer);
            QObject::connect(peer, &QLocalSocket::readyRead, this, [this, guarded] {
                if (!guarded || !guarded->canReadLine()) return;
                if (guarded->readLine() == showRequest && show_) show_();
                guarded->write(shownReply);
                guarded->disconnectFromServer();
            });
        }
    });
    return true;
}

bool SingleInstance::askRunning() const {
    QLocalSocket socket;
    socket.connectToServer(QString::fromStdString(path_));
    if (!socket.waitForConnected(answerWaitMs)) return false;
    socket.write(showRequest);
    if (!socket.waitForBytesWritten(answerWaitMs)) return false;
    while (!socket.canReadLine())
        if (!socket.waitForReadyRead(answerWaitMs)) return false;
    return socket.readLine() == shownReply;
}

} // namespace quillmere
