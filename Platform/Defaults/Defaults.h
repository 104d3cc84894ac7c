#pragma once

#include "Platform/Dispatch/OrderedWork.h"

#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace quillmere {

// A setting that was not saved: the file or folder that could not be
// written, and why in words.
struct DefaultsError {
    std::filesystem::path file;
    // "permission denied", "/home/u/.config is not a folder",
    // "this folder cannot be written to: permission denied"
    std::string reason;
    std::string description() const { return file.string() + ": " + reason; }
};

// Why the file was not read when opened; nothing stored then answers.
struct DefaultsFileProblem {
    enum class Kind {
        // Not settings text. Kept: the first save moves it to keptAs, a name
        // beside it that no earlier copy holds.
        damaged,
        // The system refused to read it, or it is no plain file.
        unreadable,
        // Another account's, or others may change it: never read nor written.
        refused,
    };
    Kind kind = Kind::damaged;
    // The file, or the folder the fault is in.
    std::filesystem::path path;
    // Follows the path in a sentence: "holds NUL bytes, not settings".
    std::string reason;
    std::optional<std::filesystem::path> keptAs;
    // Once true, the file is at keptAs and saves go to a new one.
    bool setAside = false;
    std::string description() const { return path.string() + " " + reason; }
};

// User defaults: stored values in an INI file, with registered defaults
// (kept in memory only) answering for keys that hold nothing. Every write
// reads the file afresh, changes the one key and puts the whole file in
// place at once; one that fails changes nothing, in memory either, and
// leaves nothing behind to be written later, so that what runs is what the
// next start reads. The file and its folder are used only when they are this
// account's alone. Writes run one at a time in the order they were asked
// for, whichever thread asked, those not waited for on a queue of the
// defaults' own. Safe to use from any thread: reads never wait for a write,
// nor for the lock a write waits for.
class Defaults {
public:
    using ObserverID = std::uint64_t;
    using Observer = std::function<void(const std::string& key)>;
    using Saved = std::function<void(const std::expected<void, DefaultsError>& saved)>;

    // How long a write waits for another program's lock on the file.
    static constexpr std::chrono::seconds lockWait{5};

    // Reads the file now; what kept it from being read is unread().
    explicit Defaults(const std::filesystem::path& file);
    // Writes already asked for are finished first.
    ~Defaults();
    Defaults(const Defaults&) = delete;
    Defaults& operator=(const Defaults&) = delete;

    // $XDG_CONFIG_HOME/quillmere/quillmere.ini, with ~/.config when the
    // variable is unset or not an absolute path; an error without a home.
    static std::expected<std::filesystem::path, std::string> standardFile();
    // The process's defaults over the standard file.
    static Defaults& standard();

    // Adds to (and overrides keys of) the registered defaults.
    void registerDefaults(const QVariantMap& defaults);

    // The stored value, else the registered one, else an invalid QVariant.
    QVariant objectForKey(std::string_view key) const;
    // Numbers are true when not zero; texts when "true" or "yes" (any case)
    // or a non-zero number; anything else, absence included, is false.
    bool boolForKey(std::string_view key) const;
    // 0 when absent or not a number.
    std::int64_t integerForKey(std::string_view key) const;
    double doubleForKey(std::string_view key) const;
    std::optional<std::string> stringForKey(std::string_view key) const;
    std::optional<QVariantMap> dictionaryForKey(std::string_view key) const;

    // An invalid value removes the key; removing a key that the file, as it
    // now stands, does not hold succeeds without a write. Observers of the
    // key are told after a write that reached the file. These wait for the
    // write, and for those asked for before it.
    std::expected<void, DefaultsError> setValue(std::string_view key, const QVariant& value);
    std::expected<void, DefaultsError> removeObject(std::string_view key);
    // The same without waiting, for the main thread: the write may wait for
    // another program's lock. done, when given, runs on the defaults' queue
    // after the observers, with how it went. From there, observers and done
    // may write and wait.
    void setValue(std::string_view key, const QVariant& value, Saved done);
    void removeObject(std::string_view key, Saved done);
    // done runs on the defaults' queue once every write asked for before has ended.
    void afterWrites(std::function<void()> done);

    ObserverID observe(std::string_view key, Observer observer);
    void removeObserver(ObserverID id);

    // Whether the last write reached the file.
    bool lastWriteSucceeded() const;
    std::optional<DefaultsFileProblem> unread() const;
    const std::filesystem::path& file() const { return file_; }

private:
    void open();
    std::expected<void, DefaultsError> written(const std::string& key, const QVariant& value);
    std::expected<void, DefaultsError> write(const QString& key, const QVariant& value);
    // The file as it now is with the one change, in place: what it holds.
    std::expected<QVariantMap, DefaultsError> save(const QString& key, const QVariant& value) const;
    std::expected<void, DefaultsError> setAside();
    // What the file holds now becomes what reads answer from.
    void remember(QVariantMap values);
    void notify(const std::string& key);

    const std::filesystem::path file_;
    // Changed only by writes, under mutex_.
    std::optional<DefaultsFileProblem> unread_;
    // The unread file to move to unread_->keptAs before the first save; the
    // writes' own.
    std::optional<std::pair<dev_t, ino_t>> toSetAside_;

    mutable std::mutex mutex_;
    // What the file held when last read or written; none while it is not
    // read. Changed only by writes.
    std::optional<QVariantMap> stored_;
    QVariantMap registered_;
    bool lastWriteSucceeded_ = true;

    std::mutex observersMutex_;
    ObserverID nextObserver_ = 1;
    std::map<ObserverID, std::pair<std::string, Observer>> observers_;

    // Last: it ends first, once the writes asked for are done, while what
    // they use is still there.
    OrderedWork writes_{"settings writes"};
};

} // namespace quillmere
