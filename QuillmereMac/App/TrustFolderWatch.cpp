#include "QuillmereMac/App/TrustFolderWatch.h"

#include <QFileSystemWatcher>

#include <sys/stat.h>

#include <system_error>

namespace quillmere {

TrustFolderWatch::TrustFolderWatch(std::filesystem::path folder, std::filesystem::path record,
                                   std::function<void()> changed)
    : folder_(std::move(folder)), record_(std::move(record)), changed_(std::move(changed)),
      watcher_(std::make_unique<QFileSystemWatcher>()) {
    const auto onEvent = [this] { check(); };
    QObject::connect(watcher_.get(), &QFileSystemWatcher::directoryChanged, watcher_.get(), onEvent);
    QObject::connect(watcher_.get(), &QFileSystemWatcher::fileChanged, watcher_.get(), onEvent);
    arm();
    folderSeen_ = stampOf(folder_, false);
    recordSeen_ = stampOf(record_, true);
}

TrustFolderWatch::~TrustFolderWatch() = default;

TrustFolderWatch::Stamp TrustFolderWatch::stampOf(const std::filesystem::path& path, bool contents) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return {};
    Stamp stamp{true, info.st_dev, info.st_ino, info.st_mode, info.st_uid, 0, 0};
    // A folder's own times change with every temporary made in it.
    if (contents) {
        stamp.size = info.st_size;
        stamp.modifiedNs = std::int64_t{info.st_mtim.tv_sec} * 1'000'000'000 + info.st_mtim.tv_nsec;
    }
    return stamp;
}

void TrustFolderWatch::arm() {
    if (const QStringList watched = watcher_->directories(); !watched.isEmpty()) watcher_->removePaths(watched);
    armed_ = stampOf(folder_, false);
    QStringList paths;
    std::error_code error;
    if (std::filesystem::is_directory(folder_.parent_path(), error))
        paths << QString::fromStdString(folder_.parent_path());
    if (armed_.present && S_ISDIR(armed_.mode)) paths << QString::fromStdString(folder_);
    if (!paths.isEmpty()) watcher_->addPaths(paths);
}

void TrustFolderWatch::check() {
    const Stamp folder = stampOf(folder_, false);
    // Moved aside, made anew: a watch follows the folder it was set on.
    if (folder.present != armed_.present || folder.device != armed_.device || folder.inode != armed_.inode) arm();
    const Stamp record = stampOf(record_, true);
    if (folder == folderSeen_ && record == recordSeen_) return;
    folderSeen_ = folder;
    recordSeen_ = record;
    if (changed_) changed_();
}

} // namespace quillmere
