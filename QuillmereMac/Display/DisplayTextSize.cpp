#include "QuillmereMac/Display/DisplayTextSize.h"

#include "Platform/Defaults/Defaults.h"

#include <cmath>
#include <limits>

namespace quillmere {

namespace {

constexpr double shapeTolerance = 0.02;

// The mode from before the first change, as kept in the user defaults.
struct SavedMode {
    std::uint32_t display = 0;
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::int64_t pixelWidth = 0;
    double refreshRate = 0;
};

std::optional<std::int64_t> integerOf(const QVariantMap& record, const char* key) {
    const QVariant value = record.value(QString::fromLatin1(key));
    switch (value.typeId()) {
    case QMetaType::Int: case QMetaType::UInt: case QMetaType::LongLong: case QMetaType::Long:
    case QMetaType::Short: case QMetaType::UShort:
        return value.toLongLong();
    case QMetaType::ULongLong: case QMetaType::ULong: {
        const qulonglong unsignedValue = value.toULongLong();
        if (unsignedValue > static_cast<qulonglong>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
        return static_cast<std::int64_t>(unsignedValue);
    }
    default:
        return std::nullopt;
    }
}

std::optional<SavedMode> readSaved(const Defaults& defaults) {
    const auto record = defaults.dictionaryForKey(DisplayTextSize::savedModeKey);
    if (!record) return std::nullopt;
    const auto display = integerOf(*record, "display");
    const auto width = integerOf(*record, "width");
    const auto height = integerOf(*record, "height");
    const auto pixelWidth = integerOf(*record, "pixelWidth");
    if (!display || !width || !height || !pixelWidth) return std::nullopt;
    if (*display < 0 || *display > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
    const QVariant refresh = record->value(QStringLiteral("refresh"));
    const double refreshRate = refresh.typeId() == QMetaType::Double ? refresh.toDouble() : 0.0;
    return SavedMode{static_cast<std::uint32_t>(*display), *width, *height, *pixelWidth, refreshRate};
}

bool sameSize(const DisplayTextSize::LiveMode& a, std::int64_t width, std::int64_t height, std::int64_t pixelWidth) {
    return a.width == width && a.height == height && a.pixelWidth == pixelWidth;
}

DisplayTextSize::Mode rankedOf(const DisplayTextSize::LiveMode& mode) {
    return {mode.width, mode.height, mode.pixelWidth, mode.usable};
}

} // namespace

DisplayTextSize::DisplayTextSize(Displays displays, Defaults& defaults)
    : displays_(std::move(displays)), defaults_(defaults) {}

double DisplayTextSize::scale(std::uint8_t level) {
    switch (level) {
    case 1: return 1.15;
    case 2: return 1.35;
    default: return 1.0;
    }
}

std::optional<std::size_t> DisplayTextSize::rank(double f, std::span<const Mode> modes, std::int64_t referenceWidth,
                                                 std::int64_t referenceHeight) {
    if (!(f > 1.0) || referenceWidth < 1 || referenceHeight < 1) return std::nullopt;
    const double referenceAspect = static_cast<double>(referenceWidth) / static_cast<double>(referenceHeight);
    const double target = static_cast<double>(referenceWidth) / f;
    std::optional<std::size_t> best;
    double bestDistance = 0;
    for (std::size_t i = 0; i < modes.size(); ++i) {
        const Mode& mode = modes[i];
        if (!mode.usable || mode.width < 1 || mode.height < 1 || mode.width >= referenceWidth) continue;
        const double aspect = static_cast<double>(mode.width) / static_cast<double>(mode.height);
        if (!(std::abs(aspect / referenceAspect - 1.0) < shapeTolerance)) continue;
        const double distance = std::abs(static_cast<double>(mode.width) - target);
        if (!best || distance < bestDistance) {
            best = i;
            bestDistance = distance;
        }
    }
    return best;
}

std::optional<DisplayTextSize::LiveMode> DisplayTextSize::nearestRefresh(const std::vector<LiveMode>& modes,
                                                                         const Mode& size, double refreshRate) {
    // Only usable ones: a size can be offered at a rate the desktop cannot use.
    std::optional<LiveMode> best;
    for (const LiveMode& mode : modes) {
        if (!mode.usable || !sameSize(mode, size.width, size.height, size.pixelWidth)) continue;
        if (!best || std::abs(mode.refreshRate - refreshRate) < std::abs(best->refreshRate - refreshRate)) best = mode;
    }
    return best;
}

void DisplayTextSize::setLevel(std::uint8_t level, std::function<void(bool changed)> done) {
    work_.async([this, level, done = std::move(done)] {
        const bool changed = applyLevel(level);
        if (done) done(changed);
    });
}

bool DisplayTextSize::setLevel(std::uint8_t level) {
    bool changed = false;
    work_.sync([&] { changed = applyLevel(level); });
    return changed;
}

bool DisplayTextSize::heal() {
    bool healed = false;
    work_.sync([&] { healed = healNow(); });
    return healed;
}

bool DisplayTextSize::applyLevel(std::uint8_t level) {
    const std::uint32_t display = original_ ? original_->first : displays_.main();
    const std::optional<LiveMode> current = displays_.current(display);
    if (!current) return false;
    const LiveMode reference = original_ ? original_->second : *current;
    const bool restore = !(scale(level) > 1.0);

    LiveMode target;
    if (restore) {
        if (!original_) return false;
        target = original_->second;
    } else {
        const std::vector<LiveMode> modes = displays_.all(display);
        std::vector<Mode> ranked;
        ranked.reserve(modes.size());
        for (const LiveMode& mode : modes) ranked.push_back(rankedOf(mode));
        const auto chosen = rank(scale(level), ranked, reference.width, reference.height);
        const auto found = chosen ? nearestRefresh(modes, ranked[*chosen], reference.refreshRate) : std::nullopt;
        if (!found) {
            log_.notice("text size %{public}hhu: no larger HiDPI mode", level);
            return false;
        }
        target = *found;
    }

    if (sameSize(target, current->width, current->height, current->pixelWidth)) {
        if (restore) {
            original_.reset();
            removeSaved();
        }
        return false;
    }
    // Saved before the switch, so that a run that dies afterwards is healed;
    // a display is never changed without it.
    if (!restore && !original_ && !writeSaved(display, *current)) {
        log_.error("text size %{public}hhu: original mode not saved, not changed", level);
        return false;
    }
    if (!displays_.set(display, target, true)) {
        log_.error("text size %{public}hhu: mode change failed", level);
        return false;
    }
    if (restore) {
        original_.reset();
        removeSaved();
    } else if (!original_) {
        original_ = std::make_pair(display, *current);
    }
    log_.notice("text size %{public}hhu: %{public}ldx%{public}ld looks-like", level, target.width, target.height);
    return true;
}

bool DisplayTextSize::healNow() {
    if (original_) return false;
    const std::optional<SavedMode> saved = readSaved(defaults_);
    if (!saved) return false;
    const std::uint32_t display = displays_.current(saved->display) ? saved->display : displays_.main();
    const std::optional<LiveMode> current = displays_.current(display);
    if (!current) {
        removeSaved();
        return false;
    }
    if (sameSize(*current, saved->width, saved->height, saved->pixelWidth)) {
        removeSaved();
        return false;
    }
    const auto match = nearestRefresh(displays_.all(display), Mode{saved->width, saved->height, saved->pixelWidth, true},
                                      saved->refreshRate);
    if (!match) {
        log_.error("heal: saved mode %{public}ldx%{public}ld no longer offered", saved->width, saved->height);
        removeSaved();
        return false;
    }
    const bool ok = displays_.set(display, *match, false);
    log_.notice("heal: restored %{public}ldx%{public}ld from %{public}ldx%{public}ld ok=%{bool,public}d", saved->width,
                saved->height, current->width, current->height, ok);
    // A refused switch leaves the display changed: the record stays for the
    // next launch to try again.
    if (ok) removeSaved();
    return ok;
}

bool DisplayTextSize::writeSaved(std::uint32_t display, const LiveMode& mode) {
    QVariantMap record;
    record.insert(QStringLiteral("display"), static_cast<qlonglong>(display));
    record.insert(QStringLiteral("width"), static_cast<qlonglong>(mode.width));
    record.insert(QStringLiteral("height"), static_cast<qlonglong>(mode.height));
    record.insert(QStringLiteral("pixelWidth"), static_cast<qlonglong>(mode.pixelWidth));
    record.insert(QStringLiteral("refresh"), mode.refreshRate);
    return defaults_.setValue(savedModeKey, record).has_value();
}

// Not waited for: the display is back as the record says, and a record that
// stays is found so at the next start and removed then. Writes keep their
// order: a later record of the original lands after this removal.
void DisplayTextSize::removeSaved() {
    defaults_.removeObject(savedModeKey, [log = log_](const auto& removed) {
        if (!removed) log.error("the display's saved mode was not removed: %{public}s", removed.error().description());
    });
}

} // namespace quillmere
