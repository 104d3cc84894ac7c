#include "QuillmereTransport/QUICParameters.h"

#include "Platform/Defaults/Defaults.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "QuillmereTransport/Identity/Fingerprint.h"

namespace quillmere {

namespace {

constexpr int dscpAF41 = 34;

} // namespace

QUICParameters::ServiceClass QUICParameters::serviceClass() { return serviceClass(Defaults::standard()); }

QUICParameters::ServiceClass QUICParameters::serviceClass(const Defaults& defaults) {
    return defaults.boolForKey(wifiPriorityKey) ? ServiceClass::interactiveVideo : ServiceClass::bestEffort;
}

int QUICParameters::trafficClass(ServiceClass serviceClass) {
    return serviceClass == ServiceClass::interactiveVideo ? dscpAF41 << 2 : 0;
}

QuicConfiguration QUICParameters::make(std::string alpn, const LocalIdentity& identity, bool requirePeerAuthentication,
                                       Verify verify) {
    return make(std::move(alpn), identity, requirePeerAuthentication, std::move(verify), Defaults::standard());
}

QuicConfiguration QUICParameters::make(std::string alpn, const LocalIdentity& identity, bool requirePeerAuthentication,
                                       Verify verify, const Defaults& defaults) {
    QuicConfiguration configuration;
    configuration.alpn = std::move(alpn);
    configuration.maxDatagramFrameSize = maxDatagramFrameSize;
    configuration.idleTimeoutNs = idleTimeoutMs * 1'000'000ULL;
    configuration.certificateDER = identity.secIdentity.certificateDER();
    // A keychain identity always exports; a key that does not leaves the
    // certificate without its key, which the listener or connection then
    // refuses to load.
    if (auto key = identity.secIdentity.privateKeyDER()) configuration.privateKeyDER = std::move(*key);
    configuration.requirePeerAuthentication = requirePeerAuthentication;
    // One verify queue per parameter set, shared by every connection made with it.
    auto verifyQueue = std::make_shared<SerialQueue>(std::string(verifyQueueLabel));
    configuration.peerCheck = [verifyQueue, verify = std::move(verify)](std::span<const ByteView> chain) {
        // The leaf alone decides; dates, issuer, names and signature play no part.
        const std::optional<Digest32> fingerprint = Fingerprint::ofPeer(chain);
        bool accepted = false;
        verifyQueue->sync([&] { accepted = verify ? verify(fingerprint) : false; });
        return accepted;
    };
    configuration.trafficClass = trafficClass(serviceClass(defaults));
    return configuration;
}

} // namespace quillmere
