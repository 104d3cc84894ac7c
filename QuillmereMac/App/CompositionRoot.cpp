#include "QuillmereMac/App/CompositionRoot.h"

#include "Platform/Files/PrivateFiles.h"
#include "QuillmereMac/App/DesktopEnvironmentX11.h"
#include "QuillmereMac/Control/AXWindowRaiser.h"
#include "QuillmereMac/Diagnostics/HostPerfSources.h"
#include "QuillmereMac/Desktop/PipelineBackends.h"

#include "QuillmereMac/App/TrustFolderWatch.h"
#include "QuillmereMac/Trust/AnyTrustStorage.h"
#include "QuillmereTransport/Identity/IdentityStore.h"
#include "QuillmereTransport/Identity/SystemPairingCrypto.h"

#include <QVariantMap>
#include <QPointer>

#include <algorithm>

namespace quillmere {

namespace {

// What to do about a record the host cannot use, by what is wrong with it:
// only moving it aside loses the pairings, so that is said last.
std::string adviceFor(KeychainOutcome::Fault fault) {
    switch (fault) {
    case KeychainOutcome::Fault::unreadable: return ". Make it readable by this account to keep the paired iPhones.";
    case KeychainOutcome::Fault::newerFormat:
        return ". If a newer Quillmere wrote it, use that one. Otherwise move it aside to start afresh; paired iPhones "
               "then pair again.";
    case KeychainOutcome::Fault::other: break;
    }
    return ". Move it aside to start afresh; paired iPhones then pair again.";
}

} // namespace

std::string CompositionError::description() const {
    constexpr std::string_view unreadList = "the paired iPhones could not be read: ";
    if (const auto* trust = std::get_if<TrustStoreError>(&cause)) {
        const std::string text = std::string(unreadList) + trust->message();
        if (trust->kind() == TrustStoreError::Kind::full) return text + ".";
        return text + adviceFor(trust->newerFormat() ? KeychainOutcome::Fault::newerFormat
                                                      : KeychainOutcome::Fault::other);
    }
    if (const auto* record = std::get_if<KeychainTrustStorage::Failure>(&cause))
        return std::string(unreadList) + record->description() + adviceFor(record->fault());
    if (const auto* place = std::get_if<KeychainFolderError>(&cause)) {
        // What helps depends on what is wrong: only moving a folder of the
        // account's own aside loses the pairings.
        const std::string where = place->folder.string() + " " + place->problem.reason;
        switch (place->problem.kind) {
        case PrivateFiles::Problem::Kind::above:
            return std::string(unreadList) + where +
                   ". Moving it aside would not help: keep Quillmere's state where only this account can change it, "
                   "by mending that folder or by setting XDG_DATA_HOME to a folder of your own.";
        case PrivateFiles::Problem::Kind::foreign:
            return std::string(unreadList) + where +
                   ". Make it this account's alone, or move it aside to start afresh; paired iPhones then pair again.";
        case PrivateFiles::Problem::Kind::wrongKind:
        case PrivateFiles::Problem::Kind::failed: break;
        }
        return "the keychain folder cannot be used: " + where + ".";
    }
    const auto& identity = std::get<IdentityError>(cause);
    switch (identity.kind()) {
    case IdentityError::Kind::keyGeneration:
    case IdentityError::Kind::signing: return "the host's identity could not be made: " + identity.message() + ".";
    case IdentityError::Kind::keychain:
    case IdentityError::Kind::identity:
    case IdentityError::Kind::certificate: break;
    }
    // The lock is only taken to make one; what it says fits the lock.
    if (Keychain::isLockFile(identity.file()))
        return "the host's identity could not be made: " + identity.message() + ".";
    return "the host's identity could not be read: " + identity.message() + adviceFor(identity.fault());
}

std::expected<std::unique_ptr<CompositionRoot>, CompositionError>
CompositionRoot::make(RootNames names, Platform platform, std::function<bool()> autoApproveOverride) {
    if (platform.defaults == nullptr) platform.defaults = &Defaults::standard();
    if (!platform.desktop) platform.desktop = std::make_shared<DesktopEnvironmentX11>(platform.displayName);
    std::unique_ptr<CompositionRoot> root(new CompositionRoot(std::move(names), std::move(platform)));
    root->permissions = root->desktop().makePermissions();
    if (auto composed = root->compose(std::move(autoApproveOverride)); !composed)
        return std::unexpected(composed.error());
    return root;
}

CompositionRoot::~CompositionRoot() = default;

WireID CompositionRoot::deviceIDOf(ByteView fingerprint) {
    const auto bytes = fingerprint.first(std::min<std::size_t>(fingerprint.size(), 16));
    if (auto id = WireID::fromBytes(bytes)) return *id;
    return WireID{};
}

void CompositionRoot::removeScopedItems(const Keychain& keychain, std::string_view scope) {
    keychain.remove(KeychainTrustStorage::query(KeychainTrustStorage::service(scope), KeychainTrustStorage::account));
    IdentityStore(keychain).remove(IdentityStore::hostLabel(scope));
}

HostPerfLog& CompositionRoot::perfLog() {
    if (!perfLog_) {
        HostPerfLog::Environment environment;
        // The transport's thermal zones and power supplies.
        environment.sysfs = platform.transportSources.sysfs;
        environment.defaults = platform.defaults;
        environment.wifi = desktop().wifi();
        environment.awdlRunning = desktop().peerToPeerRunning();
        environment.displays = desktop().screens();
        perfLog_ = HostPerfLog::make(*platform.main, HostPerfSources::of(pipeline, virtualDisplay), platform.diagnostics,
                                     std::move(environment));
    }
    return *perfLog_;
}

std::expected<void, CompositionError> CompositionRoot::compose(std::function<bool()> autoApproveOverride) {
    Executor& main = *platform.main;
    Defaults& settings = defaults();

    trace("consent");
    consent = ConsentCenter::make(main);

    trace("catalog");
    catalog = std::make_shared<WindowCatalog>(platform.displayName, WindowCatalog::currentProcessID(),
                                              WindowCatalog::defaultBundleID, desktop().contentFetcher());

    trace("trust store");
    // The folder first: what helps it is not what helps a damaged record.
    if (const auto& keychainFolder = platform.keychain.root(); !keychainFolder.empty()) {
        if (auto place = PrivateFiles::folder(keychainFolder, true); !place)
            return std::unexpected(CompositionError{KeychainFolderError{keychainFolder, std::move(place.error())}});
    }
    const KeychainTrustStorage trustStorage(platform.keychain);
    // The record next: one that cannot be read here may still be mended
    // without losing its pairings.
    if (auto record = trustStorage.load(names.trustService, names.trustAccount); !record)
        return std::unexpected(CompositionError{std::move(record.error())});
    auto store = TrustStore::open(AnyTrustStorage::keychain(trustStorage, names.trustService, names.trustAccount));
    if (!store) return std::unexpected(CompositionError{store.error()});

    trace("identity");
    auto loaded = IdentityStore(platform.keychain).loadOrCreate(names.identityLabel, identitySubject,
                                                                [this] { trace("identity created"); });
    if (!loaded) return std::unexpected(CompositionError{loaded.error()});
    identity = std::move(*loaded);

    trace("engine");
    // Handshakes read the stored list too: a removal whose news is late (a
    // watch that lost the folder) still holds for the next one.
    engine = HostEngine::make(
        permissions, std::move(*store), main,
        {.handshakeReads = AnyTrustStorage::keychain(trustStorage, names.trustService, names.trustAccount)});

    trace("model");
    model = std::make_unique<HostStatusModel>(engine, platform.loginItem, settings, main);

    trace("device identifier");
    const WireID deviceID = deviceIDOf(identity->fingerprint.view());

    trace("transport");
    // Another host of this account, on another display, shares the folder:
    // its pairings and removals reach this one as they happen, and those
    // made since the list was read above are read now.
    trustWatch_ = std::make_shared<TrustFolderWatch>(
        platform.keychain.root(), trustStorage.fileOf(names.trustService, names.trustAccount),
        [weak = std::weak_ptr<HostEngine>(engine)] {
            if (auto engine = weak.lock()) engine->reloadTrust();
        });
    engine->reloadTrust();
    transport = HostTransportService::make(main, {.identity = *identity,
                                                  .trust = engine->trusted(),
                                                  .hostName = names.hostName,
                                                  .deviceID = deviceID,
                                                  .advertise = names.advertise,
                                                  .awake =
                                                      std::make_shared<AwakeWhileStreaming>(desktop().awakeActivity()),
                                                  .sources = platform.transportSources});

    trace("registered defaults");
    settings.registerDefaults(QVariantMap{{QString::fromUtf8(HostStatusModel::autoApproveKey), true}});

    trace("auto-approve");
    if (autoApproveOverride) {
        consent->autoApproveSessions = std::move(autoApproveOverride);
    } else {
        consent->autoApproveSessions = [&settings] { return settings.boolForKey(HostStatusModel::autoApproveKey); };
    }

    trace("input side");
    std::shared_ptr<EventPosting> poster;
    if (auto made = desktop().makeEventPoster()) {
        poster = std::move(*made);
    } else {
        log_.error("input cannot be posted: %{public}s", made.error());
    }
    auto pasteboard = desktop().makePasteboard(main);
    std::shared_ptr<WindowRaising> raiser;
    if (auto windows = desktop().makeWindowSystem()) {
        raiser = AXWindowRaiser::make(std::move(*windows), main, true, WindowCatalog::currentProcessID());
    } else {
        log_.error("windows cannot be raised: %{public}s", windows.error());
    }

    trace("pipeline");
    textSize = std::make_shared<DisplayTextSize>(desktop().textSizeDisplays(), settings);
    virtualDisplays = desktop().makeVirtualDisplays();
    MediaPipeline::Services services;
    services.catalog = catalog;
    services.consent = consent;
    services.mainActor = &main;
    // Values, not the root: a pipeline task may outlive it at exit.
    services.testPatternEnabled = [&settings, fromEnvironment = names.testPatternFromEnvironment] {
        return settings.boolForKey(HostStatusModel::testPatternKey) || fromEnvironment;
    };
    // Posting input is what the accessibility permission stands for.
    services.permission = [permissions = permissions] { return permissions->accessibilityTrusted(); };
    PipelineBackends::fill(services, platform.desktop);
    services.poster = std::move(poster);
    services.pasteboard = std::move(pasteboard);
    services.raiser = std::move(raiser);
    services.textSize = textSize;
    virtualDisplay = std::make_shared<VirtualDisplayController>(virtualDisplays);
    services.virtualDisplay = virtualDisplay;
    services.captureProblem = [status = QPointer<HostStatusModel>(model.get())](std::optional<std::string> problem) {
        if (status) status->setCaptureProblem(std::move(problem));
    };
    pipeline = MediaPipeline::make(std::move(services));

    trace("delegate");
    transport->setDelegate(pipeline);

    trace("services");
    engine->addService(transport);

    trace("trusted fingerprints");
    transport->trustChanged(engine->trustedPeers());

    trace("pairing");
    pairing = EnrollmentService::make(
        main, HostEnrollment(std::make_shared<SystemPairingCrypto>(), identity->fingerprint, pairingApprovalTimeoutSeconds),
        *identity, names.hostName, names.pairingAddress, EnrollmentService::addingTo(engine),
        EnrollmentService::wallClockSeconds);

    trace("session change");
    transport->setOnSessionChange([weak = std::weak_ptr<HostEngine>(engine)](std::optional<std::string> name, int count) {
        if (auto engine = weak.lock()) engine->sessionChanged(std::move(name), count);
    });
    return {};
}

} // namespace quillmere
