#pragma once

#include "Platform/Dispatch/Executor.h"
#include "QuillmereMac/HostService/TrustSnapshot.h"
#include "QuillmereWire/TrustStore.h"

#include <expected>
#include <functional>
#include <memory>

namespace quillmere {

// The trust store on a queue of its own: every read and save, which may wait
// for another process's hold on the keychain, runs there and never on the
// main actor. What it finds goes into the snapshot at once; the outcome is
// told on the main actor. Destroying it drops what has not begun and waits
// for what has.
class TrustStoreWorker {
public:
    using Done = std::function<void(std::expected<void, TrustStoreError>)>;

    TrustStoreWorker(TrustStore store, std::shared_ptr<TrustSnapshot> trusted, Executor& main,
                     std::shared_ptr<Executor> queue);
    ~TrustStoreWorker();
    TrustStoreWorker(const TrustStoreWorker&) = delete;
    TrustStoreWorker& operator=(const TrustStoreWorker&) = delete;

    void reload(Done done);
    void add(const TrustedPeer& peer, Done done);
    // Saves every removal the snapshot holds unsaved; done with the last
    // failure, if any. Nothing stored (the folder moved aside) saves nothing:
    // the list may come back.
    void saveRemovals(Done done);

private:
    using Job = std::function<std::expected<void, TrustStoreError>(TrustStore& store, TrustSnapshot& trusted)>;
    void run(Job job, Done done);

    // Touched on the queue only.
    std::shared_ptr<TrustStore> store_;
    std::shared_ptr<TrustSnapshot> trusted_;
    Executor& main_;
    std::shared_ptr<Executor> queue_;
};

} // namespace quillmere
