#include "Platform/Defaults/Defaults.h"

#include "Platform/Files/PrivateFiles.h"
#include "Platform/Files/UserFolders.h"
#include "QuillmereBase/FileDescriptor.h"

#include <QStringDecoder>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace quillmere {

namespace {

QString keyOf(std::string_view key) { return QString::fromUtf8(key.data(), static_cast<qsizetype>(key.size())); }

bool isNumber(const QVariant& value) {
    switch (value.typeId()) {
    case QMetaType::Int: case QMetaType::UInt: case QMetaType::LongLong: case QMetaType::ULongLong:
    case QMetaType::Double: case QMetaType::Float: case QMetaType::Long: case QMetaType::ULong:
    case QMetaType::Short: case QMetaType::UShort:
        return true;
    default:
        return false;
    }
}

// INI files keep no types: numbers and booleans come back as text.
std::optional<double> numberOf(const QVariant& value) {
    if (value.typeId() == QMetaType::Bool) return value.toBool() ? 1.0 : 0.0;
    if (isNumber(value)) return value.toDouble();
    if (value.typeId() != QMetaType::QString) return std::nullopt;
    const QString text = value.toString().trimmed();
    if (text.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0 ||
        text.compare(QLatin1String("yes"), Qt::CaseInsensitive) == 0)
        return 1.0;
    bool ok = false;
    const double number = text.toDouble(&ok);
    if (!ok || !std::isfinite(number)) return std::nullopt;
    return number;
}

std::unexpected<DefaultsError> failure(const std::filesystem::path& file, std::string reason) {
    return std::unexpected(DefaultsError{file, std::move(reason)});
}

std::unique_ptr<QSettings> settingsOver(const std::filesystem::path& file) {
    return std::make_unique<QSettings>(QString::fromStdString(file.string()), QSettings::IniFormat);
}

// QSettings reads whatever it is given as best it can (random bytes give
// keys of random bytes, invalid UTF-8 gives replacement characters), so a
// file that is not settings text is found here, before it is read.
std::optional<std::string> damageIn(const std::string& bytes) {
    if (bytes.find('\0') != std::string::npos) return "holds NUL bytes, not settings";
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder.decode(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
    if (decoder.hasError()) return "holds bytes that are not text";
    bool continued = false;
    int number = 0;
    for (const QString& raw : text.split(QLatin1Char('\n'))) {
        ++number;
        const QString line = raw.trimmed();
        for (const QChar c : line)
            if (c.category() == QChar::Other_Control && c != QLatin1Char('\t'))
                return "holds control characters, not settings";
        const bool continuation = continued;
        continued = line.endsWith(QLatin1Char('\\'));
        if (continuation || line.isEmpty() || line.startsWith(QLatin1Char(';')) || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('[')) ? !line.endsWith(QLatin1Char(']')) : !line.contains(QLatin1Char('=')))
            return "is not a settings file: line " + std::to_string(number) + " holds no setting";
    }
    return std::nullopt;
}

DefaultsFileProblem::Kind kindOf(const PrivateFiles::Problem& problem) {
    return problem.kind == PrivateFiles::Problem::Kind::foreign ? DefaultsFileProblem::Kind::refused
                                                                 : DefaultsFileProblem::Kind::unreadable;
}

// Why the file open as fd is not read as settings; none when it may be.
std::optional<std::pair<DefaultsFileProblem::Kind, std::string>> problemOf(const FileDescriptor& fd) {
    using Kind = DefaultsFileProblem::Kind;
    if (!fd.valid()) return std::pair(Kind::unreadable, "cannot be read: " + PrivateFiles::reason(errno));
    if (auto ours = PrivateFiles::file(fd.get()); !ours) return std::pair(kindOf(ours.error()), ours.error().reason);
    const auto bytes = fd.readToEnd();
    if (!bytes) return std::pair(Kind::unreadable, "cannot be read: " + PrivateFiles::reason(bytes.error()));
    if (auto damage = damageIn(std::string(bytes->begin(), bytes->end()))) return std::pair(Kind::damaged, *damage);
    return std::nullopt;
}

// Why a file cannot be written where QSettings says only that it was not:
// the steps it takes, tried.
std::string whyNotWritten(const std::filesystem::path& file) {
    const int existing = ::open(file.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (existing < 0 && errno != ENOENT) return PrivateFiles::reason(errno);
    if (existing >= 0) ::close(existing);
    std::string probe = (file.parent_path() / ".quillmere-probe-XXXXXX").string();
    const int fd = ::mkstemp(probe.data());
    if (fd < 0) return PrivateFiles::reason(errno);
    ::close(fd);
    ::unlink(probe.c_str());
    return "the write did not complete";
}

} // namespace

Defaults::Defaults(const std::filesystem::path& file) : file_(file) { open(); }

void Defaults::open() {
    const std::filesystem::path folder = file_.parent_path();
    const auto ready = PrivateFiles::folder(folder, false);
    if (!ready) {
        unread_ = DefaultsFileProblem{kindOf(ready.error()), folder, ready.error().reason, std::nullopt};
        return;
    }
    const FileDescriptor fd(::open(file_.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (*ready == PrivateFiles::Folder::missing || (!fd.valid() && errno == ENOENT)) {
        settings_ = settingsOver(file_);
        return;
    }
    auto problem = problemOf(fd);
    if (!problem) {
        settings_ = settingsOver(file_);
        if (settings_->status() == QSettings::NoError) return;
        settings_.reset();
        problem.emplace(DefaultsFileProblem::Kind::damaged, "is not a settings file");
    }
    const auto [kind, reason] = *problem;
    unread_ = DefaultsFileProblem{kind, file_, reason, std::nullopt};
    if (kind == DefaultsFileProblem::Kind::refused) return;
    // Its bytes may be all there is of the user's settings: the first save
    // moves the file aside rather than writing over it. Refusing every save
    // instead would leave the settings window useless until the user found
    // and mended a file they may never have heard of.
    struct stat now {};
    if (::stat(file_.c_str(), &now) != 0) return;
    toSetAside_ = std::make_pair(now.st_dev, now.st_ino);
    unread_->keptAs = file_.string() + (kind == DefaultsFileProblem::Kind::damaged ? ".damaged" : ".unreadable");
}

Defaults::~Defaults() = default;

std::expected<std::filesystem::path, std::string> Defaults::standardFile() {
    auto config = UserFolders::of(UserFolders::config);
    if (!config) return config;
    return *config / "quillmere" / "quillmere.ini";
}

Defaults& Defaults::standard() {
    // The program refuses to start without a home before it gets here.
    static Defaults instance(standardFile().value_or(std::filesystem::path()));
    return instance;
}

void Defaults::registerDefaults(const QVariantMap& defaults) {
    std::lock_guard lock(mutex_);
    for (auto it = defaults.begin(); it != defaults.end(); ++it) registered_.insert(it.key(), it.value());
}

QVariant Defaults::objectForKey(std::string_view key) const {
    const QString name = keyOf(key);
    std::lock_guard lock(mutex_);
    QVariant stored = settings_ ? settings_->value(name) : QVariant();
    if (stored.isValid()) return stored;
    return registered_.value(name);
}

bool Defaults::boolForKey(std::string_view key) const {
    const auto number = numberOf(objectForKey(key));
    return number && *number != 0.0;
}

std::int64_t Defaults::integerForKey(std::string_view key) const {
    const auto number = numberOf(objectForKey(key));
    if (!number || *number >= 9.2e18 || *number <= -9.2e18) return 0;
    return static_cast<std::int64_t>(*number);
}

double Defaults::doubleForKey(std::string_view key) const { return numberOf(objectForKey(key)).value_or(0.0); }

std::optional<std::string> Defaults::stringForKey(std::string_view key) const {
    const QVariant value = objectForKey(key);
    if (value.typeId() == QMetaType::QString || isNumber(value) || value.typeId() == QMetaType::Bool)
        return value.toString().toStdString();
    return std::nullopt;
}

std::optional<QVariantMap> Defaults::dictionaryForKey(std::string_view key) const {
    const QVariant value = objectForKey(key);
    if (value.typeId() != QMetaType::QVariantMap) return std::nullopt;
    return value.toMap();
}

std::expected<void, DefaultsError> Defaults::setValue(std::string_view key, const QVariant& value) {
    std::expected<void, DefaultsError> written;
    {
        std::lock_guard lock(mutex_);
        written = write(keyOf(key), value);
        lastWriteSucceeded_ = written.has_value();
    }
    if (written) notify(std::string(key));
    return written;
}

std::expected<void, DefaultsError> Defaults::removeObject(std::string_view key) { return setValue(key, QVariant()); }

std::expected<void, DefaultsError> Defaults::write(const QString& key, const QVariant& value) {
    if (unread_ && unread_->kind == DefaultsFileProblem::Kind::refused) return failure(file_, unread_->description());
    const std::filesystem::path folder = file_.parent_path();
    if (auto ready = PrivateFiles::folder(folder, true); !ready)
        return failure(file_, folder.string() + " " + ready.error().reason);
    if (!settings_) {
        if (auto moved = setAside(); !moved) return moved;
        // Read at the next start, not half-read now.
        if (::access(file_.c_str(), F_OK) == 0)
            return failure(file_, "it appeared after the settings were read, and is read at the next start");
        settings_ = settingsOver(file_);
    }

    struct stat before {};
    const bool existed = ::stat(file_.c_str(), &before) == 0;
    const QVariant previous = settings_->value(key);
    if (value.isValid()) settings_->setValue(key, value);
    else settings_->remove(key);
    settings_->sync();
    // QSettings keeps its first error for good: a write that happened is a
    // new file put in place of the old.
    struct stat after {};
    const bool replaced =
        ::stat(file_.c_str(), &after) == 0 && (!existed || after.st_ino != before.st_ino || after.st_dev != before.st_dev);
    if (!replaced) {
        // Back to what the file holds; QSettings would otherwise keep the
        // change and write it with the next one.
        if (previous.isValid()) settings_->setValue(key, previous);
        else settings_->remove(key);
        return failure(file_, whyNotWritten(file_));
    }
    if ((after.st_mode & 077) != 0) ::chmod(file_.c_str(), 0600);
    return {};
}

std::expected<void, DefaultsError> Defaults::setAside() {
    if (!toSetAside_ || !unread_ || !unread_->keptAs) return {};
    struct stat now {};
    if (::stat(file_.c_str(), &now) != 0) {
        if (errno != ENOENT) return failure(file_, PrivateFiles::reason(errno));
        toSetAside_.reset();
        return {};
    }
    if (std::make_pair(now.st_dev, now.st_ino) != *toSetAside_)
        return failure(file_, "it was replaced after it was found unreadable, and is read at the next start");
    const char* keptAs = unread_->keptAs->c_str();
    int moved = ::renameat2(AT_FDCWD, file_.c_str(), AT_FDCWD, keptAs, RENAME_NOREPLACE);
    if (moved != 0 && errno == EINVAL) {
        // A file system without the flag.
        if (::access(keptAs, F_OK) == 0) errno = EEXIST;
        else moved = ::rename(file_.c_str(), keptAs);
    }
    if (moved != 0)
        return failure(file_, "it cannot be moved to " + unread_->keptAs->string() + ": " + PrivateFiles::reason(errno));
    toSetAside_.reset();
    return {};
}

Defaults::ObserverID Defaults::observe(std::string_view key, Observer observer) {
    std::lock_guard lock(observersMutex_);
    const ObserverID id = nextObserver_++;
    observers_.emplace(id, std::make_pair(std::string(key), std::move(observer)));
    return id;
}

void Defaults::removeObserver(ObserverID id) {
    std::lock_guard lock(observersMutex_);
    observers_.erase(id);
}

bool Defaults::lastWriteSucceeded() const {
    std::lock_guard lock(mutex_);
    return lastWriteSucceeded_;
}

void Defaults::notify(const std::string& key) {
    // Observers run outside the lock, so they may read and write defaults.
    std::vector<Observer> toCall;
    {
        std::lock_guard lock(observersMutex_);
        for (const auto& [id, entry] : observers_)
            if (entry.first == key) toCall.push_back(entry.second);
    }
    for (const auto& observer : toCall) observer(key);
}

} // namespace quillmere
