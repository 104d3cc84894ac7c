#include "Platform/Defaults/Defaults.h"

#include "Platform/Files/PrivateFiles.h"
#include "Platform/Files/UserFolders.h"
#include "QuillmereBase/FileDescriptor.h"

#include <QLockFile>
#include <QSettings>
#include <QStringDecoder>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
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
    using Kind = PrivateFiles::Problem::Kind;
    return problem.kind == Kind::foreign || problem.kind == Kind::above ? DefaultsFileProblem::Kind::refused
                                                                 : DefaultsFileProblem::Kind::unreadable;
}

using FileProblem = std::pair<DefaultsFileProblem::Kind, std::string>;

// The settings text of the file open as fd, or why it is not read.
std::expected<std::string, FileProblem> textOf(const FileDescriptor& fd) {
    using Kind = DefaultsFileProblem::Kind;
    if (!fd.valid()) return std::unexpected(FileProblem(Kind::unreadable, "cannot be read: " + PrivateFiles::reason(errno)));
    if (auto ours = PrivateFiles::file(fd.get()); !ours)
        return std::unexpected(FileProblem(kindOf(ours.error()), ours.error().reason));
    const auto bytes = fd.readToEnd();
    if (!bytes)
        return std::unexpected(FileProblem(Kind::unreadable, "cannot be read: " + PrivateFiles::reason(bytes.error())));
    std::string text(bytes->begin(), bytes->end());
    if (auto damage = damageIn(text)) return std::unexpected(FileProblem(Kind::damaged, *damage));
    return text;
}

// The file's settings text as it now stands; empty when there is no file.
std::expected<std::string, DefaultsError> textNow(const std::filesystem::path& file) {
    const FileDescriptor now(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!now.valid() && errno == ENOENT) return std::string();
    auto read = textOf(now);
    if (!read) return std::unexpected(DefaultsError{file, read.error().second});
    return std::move(*read);
}

QVariantMap valuesOf(const QSettings& settings) {
    QVariantMap values;
    for (const QString& key : settings.allKeys()) values.insert(key, settings.value(key));
    return values;
}

// QSettings reads files by name only, and keeps what it read of a name for
// the whole process, taking the same size and time for the same contents:
// each text is read from an anonymous file with a time of its own.
std::expected<QVariantMap, FileProblem> parsed(const std::string& text) {
    static std::atomic<long> reads{0};
    const auto unread = [] {
        return std::unexpected(
            FileProblem(DefaultsFileProblem::Kind::unreadable, "cannot be read: " + PrivateFiles::reason(errno)));
    };
    const FileDescriptor fd(::memfd_create("quillmere-settings", MFD_CLOEXEC));
    if (!fd.valid()) return unread();
    if (auto written = fd.writeAll(ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())); !written) {
        errno = written.error();
        return unread();
    }
    const long read = ++reads;
    const timespec times[2] = {{read, 0}, {read, 0}};
    if (::futimens(fd.get(), times) != 0) return unread();
    const QSettings settings(QStringLiteral("/proc/self/fd/%1").arg(fd.get()), QSettings::IniFormat);
    if (settings.status() != QSettings::NoError)
        return std::unexpected(FileProblem(DefaultsFileProblem::Kind::damaged, "is not a settings file"));
    return valuesOf(settings);
}

std::string_view keptSuffix(DefaultsFileProblem::Kind kind) {
    return kind == DefaultsFileProblem::Kind::damaged ? "damaged" : "unreadable";
}

// The first of file.suffix, file.suffix-2, file.suffix-3... that names nothing.
std::optional<std::filesystem::path> freeName(const std::filesystem::path& file, std::string_view suffix) {
    for (int copy = 1; copy <= 1000; ++copy) {
        std::filesystem::path name = file.string() + "." + std::string(suffix);
        if (copy > 1) name += "-" + std::to_string(copy);
        struct stat info {};
        if (::lstat(name.c_str(), &info) != 0 && errno == ENOENT) return name;
    }
    return std::nullopt;
}

// Where a write of the file lands: QSaveFile wrote through links to the file
// they name, and a settings file kept elsewhere and linked stays so. Each
// link leads only into a folder of this account's alone: another account
// could otherwise replace the settings, or have a write land on a file of
// its choosing.
std::expected<std::filesystem::path, DefaultsError> linkedFile(std::filesystem::path file) {
    std::error_code error;
    for (int links = 0; links < 40 && std::filesystem::is_symlink(std::filesystem::symlink_status(file, error)); ++links) {
        const std::filesystem::path target = std::filesystem::read_symlink(file, error);
        if (error) break;
        file = target.is_absolute() ? target : file.parent_path() / target;
        if (auto ready = PrivateFiles::folder(file.parent_path(), false); !ready)
            return failure(file.parent_path(), ready.error().reason);
    }
    return file;
}

// A lock file that no process holds. QLockFile keeps an flock on its file
// while it holds the lock; one left by a program that only took the flock
// (flock(1)) stays when that program ends, and QLockFile would wait half a
// minute for it to grow stale. One made a moment ago may not have its flock yet.
bool abandoned(const std::string& lockName) {
    const FileDescriptor fd(::open(lockName.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat info {};
    if (!fd.valid() || ::fstat(fd.get(), &info) != 0) return false;
    const auto made = std::chrono::system_clock::from_time_t(info.st_mtim.tv_sec);
    if (std::chrono::system_clock::now() - made < std::chrono::seconds(2)) return false;
    return ::flock(fd.get(), LOCK_SH | LOCK_NB) == 0;
}

// The lock within the bound; false with lock.error() (and errno) as the last try left them.
bool lockWithin(QLockFile& lock, const std::string& lockName, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
        errno = 0;
        if (lock.tryLock(100)) return true;
        if (lock.error() != QLockFile::LockFailedError || std::chrono::steady_clock::now() >= deadline) return false;
        // Removed as QLockFile removes a stale one, one remover at a time.
        QLockFile removing(QString::fromStdString(lockName + ".rmlock"));
        if (abandoned(lockName) && removing.tryLock(0) && abandoned(lockName)) lock.removeStaleLockFile();
    }
}

} // namespace

Defaults::Defaults(const std::filesystem::path& file) : file_(file) { open(); }

void Defaults::open() {
    const std::filesystem::path folder = file_.parent_path();
    const auto ready = PrivateFiles::folder(folder, false);
    if (!ready) {
        // A folder that is a link, as one another account could change, is
        // never read: its defaults would let paired phones in unasked.
        std::error_code error;
        const bool link = std::filesystem::is_symlink(std::filesystem::symlink_status(folder, error));
        unread_ = DefaultsFileProblem{link ? DefaultsFileProblem::Kind::refused : kindOf(ready.error()), folder,
                                      ready.error().reason, std::nullopt};
        return;
    }
    if (const auto linked = linkedFile(file_); !linked) {
        unread_ = DefaultsFileProblem{DefaultsFileProblem::Kind::refused, linked.error().file, linked.error().reason,
                                      std::nullopt};
        return;
    }
    const FileDescriptor fd(::open(file_.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (*ready == PrivateFiles::Folder::missing || (!fd.valid() && errno == ENOENT)) {
        stored_.emplace();
        return;
    }
    const auto text = textOf(fd);
    const auto values = text ? parsed(*text) : std::unexpected(text.error());
    if (values) {
        stored_ = std::move(*values);
        return;
    }
    const auto [kind, reason] = values.error();
    unread_ = DefaultsFileProblem{kind, file_, reason, std::nullopt};
    if (kind == DefaultsFileProblem::Kind::refused) return;
    // Its bytes may be all there is of the user's settings: the first save
    // moves the file aside rather than writing over it. Refusing every save
    // instead would leave the settings window useless until the user found
    // and mended a file they may never have heard of.
    struct stat now {};
    if (::stat(file_.c_str(), &now) != 0) return;
    toSetAside_ = std::make_pair(now.st_dev, now.st_ino);
    unread_->keptAs = freeName(file_, keptSuffix(kind));
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
    QVariant stored = stored_ ? stored_->value(name) : QVariant();
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
    const std::string name(key);
    std::expected<void, DefaultsError> saved;
    writes_.sync([&] { saved = written(name, value); });
    if (saved) notify(name);
    return saved;
}

std::expected<void, DefaultsError> Defaults::removeObject(std::string_view key) { return setValue(key, QVariant()); }

void Defaults::setValue(std::string_view key, const QVariant& value, Saved done) {
    writes_.async([this, name = std::string(key), value, done = std::move(done)] {
        const auto saved = written(name, value);
        if (saved) notify(name);
        if (done) done(saved);
    });
}

void Defaults::removeObject(std::string_view key, Saved done) { setValue(key, QVariant(), std::move(done)); }

void Defaults::afterWrites(std::function<void()> done) { writes_.async(std::move(done)); }

std::expected<void, DefaultsError> Defaults::written(const std::string& key, const QVariant& value) {
    auto saved = write(keyOf(key), value);
    std::lock_guard lock(mutex_);
    lastWriteSucceeded_ = saved.has_value();
    return saved;
}

std::expected<void, DefaultsError> Defaults::write(const QString& key, const QVariant& value) {
    if (unread_ && unread_->kind == DefaultsFileProblem::Kind::refused) return failure(file_, unread_->description());
    const std::filesystem::path folder = file_.parent_path();
    if (auto ready = PrivateFiles::folder(folder, true); !ready)
        return failure(file_, folder.string() + " " + ready.error().reason);
    if (!stored_) {
        if (auto moved = setAside(); !moved) return moved;
        // Read at the next start, not half-read now.
        if (::access(file_.c_str(), F_OK) == 0)
            return failure(file_, "it appeared after the settings were read, and is read at the next start");
        remember({});
    }
    if (!value.isValid()) {
        // Another process may have saved the key since the last read.
        const auto linked = linkedFile(file_);
        if (!linked) return failure(file_, linked.error().file.string() + " " + linked.error().reason);
        const std::filesystem::path& file = *linked;
        const auto text = textNow(file);
        if (!text) return std::unexpected(text.error());
        auto values = parsed(*text);
        if (!values) return failure(file, values.error().second);
        if (!values->contains(key)) {
            remember(std::move(*values));
            return {};
        }
    }
    auto saved = save(key, value);
    if (!saved) return std::unexpected(saved.error());
    remember(std::move(*saved));
    return {};
}

void Defaults::remember(QVariantMap values) {
    std::lock_guard lock(mutex_);
    stored_ = std::move(values);
}

std::expected<QVariantMap, DefaultsError> Defaults::save(const QString& key, const QVariant& value) const {
    const auto linked = linkedFile(file_);
    if (!linked) return failure(file_, linked.error().file.string() + " " + linked.error().reason);
    const std::filesystem::path& file = *linked;
    const std::filesystem::path folder = file.parent_path();
    // A file the user made read-only is not written over.
    if (const int existing = ::open(file.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK); existing >= 0)
        ::close(existing);
    else if (errno != ENOENT)
        return failure(file, PrivateFiles::reason(errno));

    // The new file is made whole beside the old, then put in its place.
    std::string made = (folder / ("." + file.filename().string() + ".XXXXXX")).string();
    FileDescriptor copy(::mkostemp(made.data(), O_CLOEXEC));
    if (!copy.valid()) return failure(folder, "this folder cannot be written to: " + PrivateFiles::reason(errno));
    struct Unmade {
        const std::string& path;
        bool placed = false;
        ~Unmade() {
            if (!placed) ::unlink(path.c_str());
        }
    } unmade{made};

    // The lock QSettings takes: another host, or another program writing
    // the same way, changes the file before or after this, never between.
    const std::string lockName = file.string() + ".lock";
    QLockFile lock(QString::fromStdString(lockName));
    if (!lockWithin(lock, lockName, lockWait)) {
        // Held, or not made at all: a full disk is not another program.
        if (lock.error() == QLockFile::LockFailedError)
            return failure(file, "another program holds " + lockName + " and does not let it go");
        const int error = errno != 0 ? errno : (lock.error() == QLockFile::PermissionError ? EACCES : EIO);
        return failure(folder, "this folder cannot be written to: " + PrivateFiles::reason(error));
    }
    // What another process saved since this one read the file stays.
    const auto text = textNow(file);
    if (!text) return std::unexpected(text.error());
    if (auto copied = copy.writeAll(ByteView(reinterpret_cast<const std::uint8_t*>(text->data()), text->size()));
        !copied)
        return failure(folder, "this folder cannot be written to: " + PrivateFiles::reason(copied.error()));
    if (!copy.close()) return failure(folder, "this folder cannot be written to: " + PrivateFiles::reason(errno));

    QVariantMap values;
    {
        QSettings settings(QString::fromStdString(made), QSettings::IniFormat);
        if (settings.status() != QSettings::NoError) return failure(file, "is not a settings file");
        if (value.isValid()) settings.setValue(key, value);
        else settings.remove(key);
        settings.sync();
        if (settings.status() != QSettings::NoError) return failure(file, "the write did not complete");
        values = valuesOf(settings);
    }
    if (::chmod(made.c_str(), 0600) != 0 || ::rename(made.c_str(), file.c_str()) != 0)
        return failure(file, PrivateFiles::reason(errno));
    unmade.placed = true;
    return values;
}

std::expected<void, DefaultsError> Defaults::setAside() {
    if (!toSetAside_ || !unread_) return {};
    struct stat now {};
    if (::stat(file_.c_str(), &now) != 0) {
        if (errno != ENOENT) return failure(file_, PrivateFiles::reason(errno));
        toSetAside_.reset();
        return {};
    }
    if (std::make_pair(now.st_dev, now.st_ino) != *toSetAside_)
        return failure(file_, "it was replaced after it was found unreadable, and is read at the next start");
    // The name told of, unless a copy took it since; never over a copy.
    const std::string_view suffix = keptSuffix(unread_->kind);
    std::optional<std::filesystem::path> keptAs = unread_->keptAs ? unread_->keptAs : freeName(file_, suffix);
    for (int tries = 0; keptAs && tries < 1000; ++tries) {
        int moved = ::renameat2(AT_FDCWD, file_.c_str(), AT_FDCWD, keptAs->c_str(), RENAME_NOREPLACE);
        if (moved != 0 && errno == EINVAL) {
            // A file system without the flag.
            if (::access(keptAs->c_str(), F_OK) == 0) errno = EEXIST;
            else moved = ::rename(file_.c_str(), keptAs->c_str());
        }
        if (moved == 0) {
            std::lock_guard lock(mutex_);
            unread_->keptAs = keptAs;
            unread_->setAside = true;
            toSetAside_.reset();
            return {};
        }
        if (errno != EEXIST)
            return failure(file_, "it cannot be moved to " + keptAs->string() + ": " + PrivateFiles::reason(errno));
        keptAs = freeName(file_, suffix);
    }
    return failure(file_, "it cannot be moved aside: every name for a kept copy beside it is taken");
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

std::optional<DefaultsFileProblem> Defaults::unread() const {
    std::lock_guard lock(mutex_);
    return unread_;
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
