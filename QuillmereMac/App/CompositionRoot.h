#pragma once

#include "Platform/Defaults/Defaults.h"
#include "Platform/Dispatch/Executor.h"
#include "Platform/Files/PrivateFiles.h"
#include "Platform/Keychain/Keychain.h"
#include "Platform/Log/Logger.h"
#include "QuillmereMac/App/HostStatusModel.h"
#include "QuillmereMac/App/LoginItem.h"
#include "QuillmereMac/App/RootNames.h"
#include "QuillmereMac/Catalog/WindowCatalog.h"
#include "QuillmereMac/Consent/ConsentCenter.h"
#include "QuillmereMac/Desktop/DesktopEnvironment.h"
#include "QuillmereMac/Diagnostics/HostPerfLog.h"
#include "QuillmereMac/Display/DisplayTextSize.h"
#include "QuillmereMac/Display/VirtualDisplayController.h"
#include "QuillmereMac/Engine/HostEngine.h"
#include "QuillmereMac/Enrollment/EnrollmentService.h"
#include "QuillmereMac/HostService/HostTransportService.h"
#include "QuillmereMac/Media/MediaPipeline.h"
#include "QuillmereMac/Trust/KeychainTrustStorage.h"
#include "QuillmereTransport/Identity/IdentityError.h"
#include "QuillmereWire/TrustStoreError.h"

#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace quillmere {

class TrustFolderWatch;

// The keychain's folder cannot be used or made: another account's, beneath
// a folder that is not this account's alone, or refused by the system.
struct KeychainFolderError {
    std::filesystem::path folder;
    PrivateFiles::Problem problem;
};

// Why the host could not be composed: its trust store or the record that
// holds it, its identity, or where both are kept.
struct CompositionError {
    std::variant<TrustStoreError, KeychainTrustStorage::Failure, IdentityError, KeychainFolderError> cause;
    // In words: what could not be used, the file, the reason, what to do.
    std::string description() const;
};

// The host's object graph, made once at launch in a fixed order and kept for
// the life of the process. Main thread only.
class CompositionRoot {
public:
    // What the graph is composed over: the real system in the program,
    // temporary folders and a private X server in tests.
    struct Platform {
        Executor* main = nullptr;
        Keychain keychain = Keychain::standard();
        Defaults* defaults = nullptr;
        // $DISPLAY when empty.
        std::string displayName;
        // Makes every platform backend; the X11 one over displayName when none.
        std::shared_ptr<DesktopEnvironment> desktop;
        HostTransportService::Sources transportSources;
        LoginItem loginItem;
        // Where the diagnostics log is written; none: nowhere.
        std::optional<std::filesystem::path> diagnostics;
        // Told each composition step by name as it is taken.
        std::function<void(std::string_view step)> trace;
    };

    static constexpr std::string_view identitySubject = "QuillmereMac";
    static constexpr std::uint32_t pairingApprovalTimeoutSeconds = 120;

    // Every step in order; fails on a trust store that cannot be read or an
    // identity that can be neither loaded nor made. An override, when given,
    // answers in place of the auto-approve setting.
    static std::expected<std::unique_ptr<CompositionRoot>, CompositionError>
    make(RootNames names, Platform platform, std::function<bool()> autoApproveOverride = {});
    ~CompositionRoot();

    // The first 16 bytes of a fingerprint; all zero when it has fewer.
    static WireID deviceIDOf(ByteView fingerprint);

    // Deletes the scope's trust item and identity; failures are ignored.
    static void removeScopedItems(const Keychain& keychain, std::string_view scope);

    std::shared_ptr<HostEngine> engine;
    std::unique_ptr<HostStatusModel> model;
    // Present once composed.
    std::optional<LocalIdentity> identity;
    std::shared_ptr<HostTransportService> transport;
    std::shared_ptr<EnrollmentService> pairing;
    std::shared_ptr<ConsentCenter> consent;
    std::shared_ptr<WindowCatalog> catalog;
    std::shared_ptr<MediaPipeline> pipeline;
    // The main display's text size and the maker of virtual displays, which
    // the controller heals at start.
    std::shared_ptr<DisplayTextSize> textSize;
    std::shared_ptr<VirtualDisplayMaking> virtualDisplays;
    std::shared_ptr<VirtualDisplayController> virtualDisplay;
    // The desktop's, asked once.
    std::shared_ptr<PermissionChecking> permissions;
    const RootNames names;
    const Platform platform;
    DesktopEnvironment& desktop() const { return *platform.desktop; }

    Defaults& defaults() const { return *platform.defaults; }
    // Made on first use, over the pipeline and the diagnostics folder.
    HostPerfLog& perfLog();

private:
    CompositionRoot(RootNames names, Platform platform) : names(std::move(names)), platform(std::move(platform)) {}
    std::expected<void, CompositionError> compose(std::function<bool()> autoApproveOverride);
    void trace(std::string_view step) const {
        if (platform.trace) platform.trace(step);
    }

    std::shared_ptr<HostPerfLog> perfLog_;
    std::shared_ptr<TrustFolderWatch> trustWatch_;
    Logger log_{"com.ornbeck.quillmere.mac", "control"};
};

} // namespace quillmere
